// 'C' and 'B': the channel each takes, the bytes it sends, how long it waits and what it answers.
#include "tests/unit/camera/camera_rig.h"

#include "link/serial_port.h"

namespace camera_test {
namespace {

using Payloads = std::vector<std::vector<uint8_t>>;

// A payload whose byte 1 counts the bytes that follow it.
std::vector<uint8_t> withHeader(uint8_t status, const std::string& body) {
    std::vector<uint8_t> out(body.size() + 2);
    out[0] = status;
    out[1] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

std::vector<uint8_t> ringContents() {
    std::vector<uint8_t> out;
    uint8_t b = 0;
    while (control.serialPort->readByte(b)) out.push_back(b);
    return out;
}

class CameraPassThrough : public CameraTest {};

TEST_F(CameraPassThrough, FromTheControllerChannelSelectsTheCameraPromptsAndReturnsTheAnswer) {
    control.cameraSelected = 0;
    device.answer(answerAfter(text("gv\r"), text("ACK\rcam 1\r:")));
    dispatch({'C', 2, 'g', 'v'});
    EXPECT_EQ(trace(), "5C 31 (10) 0D (50) 67 76 0D (50)");
    EXPECT_EQ(control.cameraSelected, 1);
    EXPECT_EQ(replies(), Payloads{withHeader(0, "ACK\rcam 1\r:")});
}

TEST_F(CameraPassThrough, OnTheCameraChannelOnlyDrainsBeforeTheRequest) {
    control.cameraSelected = 1;
    arrive(text("old answer:"));
    vt::clearTrace();
    device.answer(answerAfter(text("gv\r"), text(":")));
    dispatch({'C', 2, 'g', 'v'});
    EXPECT_EQ(trace(), "67 76 0D (50)");
    // A prompt alone: [0, 1, ':'], nothing of the drained answer.
    EXPECT_EQ(replies(), (Payloads{{0, 1, ':'}}));
}

TEST_F(CameraPassThrough, TheAnswerEndsAtTheFirstPromptAndTheRestStaysInTheRing) {
    device.answer(answerAfter(text("x\r"), text("AB:CD:")));
    dispatch({'C', 1, 'x'});
    EXPECT_EQ(replies(), (Payloads{{0, 3, 'A', 'B', ':'}}));
    EXPECT_EQ(ringContents(), text("CD:"));
}

TEST_F(CameraPassThrough, CountsThatSendNothingOrMoreThanThePacketHolds) {
    struct Case {
        std::vector<uint8_t> packet;
        const char* written;
    };
    const Case cases[] = {
        {{'C', 0}, "0D"},
        {{'C', 0x80, 'a'}, "0D"},  // a negative count
        {{'C', 0xFF, 'a', 'b'}, "0D"},
        {{'C', 10, 'g', 'v'}, "67 76 0D"},  // clipped to the two bytes present
        {{'C', 127}, "0D"},
        {{'C'}, "0D"},                  // no count byte at all
        {{'C', 1, 'a', 'b'}, "61 0D"},  // fewer than present: only those
    };
    for (const Case& c : cases) {
        vt::clearTrace();
        device.answer(answerAfter(text("\r"), text(":")));
        dispatch(c.packet);
        EXPECT_EQ(hex(vt::written("COM1:")), c.written) << hex(c.packet);
    }
    EXPECT_EQ(replies().size(), std::size(cases));
}

TEST_F(CameraPassThrough, ASilentCameraGetsTenPausesThenTenZero) {
    dispatch({'C', 2, 'g', 'v'});
    EXPECT_EQ(trace(), "67 76 0D " + pauses(50, 10));
    EXPECT_EQ(replies(), (Payloads{{10, 0}}));
}

TEST_F(CameraPassThrough, TheTenPausesCountOverTheWholeAnswerNotSinceTheLastByte) {
    // One byte every 100 ms keeps the camera busy; a prompt that comes in the tenth pause is
    // too late, one in the ninth is still taken.
    for (uint64_t promptMs : {460u, 440u}) {
        const uint64_t start = vt::nowUs();
        for (uint64_t i = 0; i < 4; ++i) device.sendAt(start + 1000 + i * 100000, {static_cast<uint8_t>('0' + i)});
        device.sendAt(start + promptMs * 1000, {':'});
        dispatch({'C', 0});
    }
    EXPECT_EQ(replies(), (Payloads{{10, 0}, {0, 5, '0', '1', '2', '3', ':'}}));
}

TEST_F(CameraPassThrough, AnAnswerThatFillsTheBufferWithoutAPromptFails) {
    // 97 bytes and the prompt fit exactly: a payload of 100 bytes.
    std::string fits(97, 'x');
    device.answer(answerAfter(text("a\r"), text(fits + ":")));
    dispatch({'C', 1, 'a'});
    // 98 bytes without a prompt fill the buffer: given up while bytes are still coming.
    device.answer(answerAfter(text("b\r"), text(std::string(120, 'y') + ":")));
    vt::clearTrace();
    dispatch({'C', 1, 'b'});
    EXPECT_EQ(trace(), "62 0D (50)");
    Payloads got = replies();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 100u);
    EXPECT_EQ(got[0][1], 98);
    EXPECT_EQ(got[0].back(), ':');
    EXPECT_EQ(got[1], (std::vector<uint8_t>{10, 0}));
}

TEST_F(CameraPassThrough, ALongAnswerStillWithoutAPromptAtAnEmptyPollFails) {
    // 95 bytes leave the write position at 97 when the ring runs empty: too close to the end.
    device.answer(answerAfter(text("a\r"), text(std::string(95, 'x'))));
    dispatch({'C', 1, 'a'});
    EXPECT_EQ(trace(), "61 0D (50) (50)");
    EXPECT_EQ(replies(), (Payloads{{10, 0}}));
}

class ControllerPassThrough : public CameraTest {};

TEST_F(ControllerPassThrough, FromTheCameraChannelSelectsTheControllerAndSendsNoTerminator) {
    control.cameraSelected = 1;
    dispatch({'B', 4, 2, 2, 31, 1});
    EXPECT_EQ(trace(), "5C 32 (10) 02 02 1F 01 " + pauses(50, 4));
    EXPECT_EQ(control.cameraSelected, 0);
    EXPECT_EQ(replies(), (Payloads{{0, 1, '*'}}));  // a silent controller
}

TEST_F(ControllerPassThrough, OnTheControllerChannelItDrainsAndCollectsWhatComes) {
    control.cameraSelected = 0;
    arrive({9, 9, 9});
    vt::clearTrace();
    device.answer(answerAfter({2, 2, 31, 1}, {0x10, 0x20, 0x30, 0x40, 0x50}));
    dispatch({'B', 4, 2, 2, 31, 1});
    EXPECT_EQ(trace(), "02 02 1F 01 " + pauses(50, 4));
    EXPECT_EQ(replies(), (Payloads{{0, 6, 0x10, 0x20, 0x30, 0x40, 0x50, '*'}}));
}

TEST_F(ControllerPassThrough, AnAnswerLongerThanTheBufferIsReadToItsEndAndTheRestDropped) {
    control.cameraSelected = 0;
    std::vector<uint8_t> flood(120);
    for (size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<uint8_t>(i);
    device.answer(answerAfter({0x77}, flood));
    dispatch({'B', 1, 0x77});
    // One empty poll before the answer, three after it: the fourth ends the collection.
    EXPECT_EQ(trace(), "77 " + pauses(50, 4));
    Payloads got = replies();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 100u);
    EXPECT_EQ(got[0][1], 98);
    EXPECT_EQ(std::vector<uint8_t>(got[0].begin() + 2, got[0].end() - 1),
              std::vector<uint8_t>(flood.begin(), flood.begin() + 97));
    EXPECT_EQ(got[0].back(), '*');
    // Nothing is left for the next reader of a module reply.
    EXPECT_TRUE(ringContents().empty());
}

TEST_F(ControllerPassThrough, ADeviceThatNeverFallsSilentIsGivenUpAfterASecondOfLineTime) {
    control.cameraSelected = 0;
    device.answer(answerAfter({0x77}, std::vector<uint8_t>(30000, 0x42)));
    dispatch({'B', 1, 0x77});
    EXPECT_EQ(trace(), "77 (50)");  // 97 bytes kept, 11520 dropped, no more empty poll
    ASSERT_EQ(replies().size(), 1u);
    EXPECT_EQ(replies()[0].size(), 100u);
    EXPECT_EQ(ringContents().size(), 30000u - 97 - 11520);
}

TEST_F(ControllerPassThrough, CountsAreClippedToThePacket) {
    control.cameraSelected = 0;
    dispatch({'B', 50, 1, 2});
    dispatch({'B', 0x90, 1, 2});
    EXPECT_EQ(hex(vt::written("COM1:")), "01 02");
}

}  // namespace
}  // namespace camera_test
