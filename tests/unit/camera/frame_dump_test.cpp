// The frame dump: channel sequence and drive stop, the acknowledgement's place, when the
// camera's output is complete or given up, and the paced transfer to the image port.
#include "tests/unit/camera/camera_rig.h"

#include "camera/frame_dump.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "sim/frame_format.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"

namespace camera_test {
namespace {

constexpr uint8_t kFill = 0x55;  // neither 3 nor ':'
// The stop is read back (the drive module confirms it) before the camera is taken.
const char* const kEntryFromCamera =
    "5C 32 (10) 04 05 3F 01 00 00 00 (10) 04 03 3F 01 00 (20) 5C 31 (10) 5C 31 (10) 0D (100) 64 66 0D";

// A frame of `size` bytes that ends with 3 and ':'.
std::vector<uint8_t> frameOf(size_t size) {
    std::vector<uint8_t> frame(size, kFill);
    frame[size - 2] = 3;
    frame[size - 1] = ':';
    return frame;
}

class FrameDump : public CameraTest {
protected:
    // The camera answers "df" with `output` 1 ms after the line's CR.
    // The drive module confirms the stop.
    void cameraSends(std::vector<uint8_t> output) {
        auto camera = answerAfter(text("df\r"), std::move(output));
        auto drive = testing_support::driveReadsStopped();
        device.answer([camera, drive](const std::vector<uint8_t>& received) {
            std::vector<uint8_t> answer = camera(received);
            return answer.empty() ? drive(received) : answer;
        });
    }
    // The trace from the "df" line on, without it.
    std::string afterRequest() const {
        std::string t = trace();
        size_t at = t.find("64 66 0D");
        return at == std::string::npos ? "(no request)" : t.substr(std::min(t.size(), at + 9));
    }
    std::vector<vt::Send> imageSends() const { return vt::clientSends(system.imageClient); }
};

TEST_F(FrameDump, FromTheCameraChannelStopsTheDriveThenAsksForTheFrameAndAcknowledgesBeforeIt) {
    control.cameraSelected = 1;
    control.driveStopped = false;
    cameraSends(frameOf(100));
    dispatch({'D', 1, 2});  // parameters are not looked at
    EXPECT_EQ(trace().rfind(kEntryFromCamera, 0), 0u) << trace();
    EXPECT_EQ(control.cameraSelected, 1);
    EXPECT_TRUE(control.driveStopped);
    std::vector<vt::Send> acks = vt::clientSends(system.commandClient);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].timeUs, 160000u) << "after the camera entry, before the request";
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{0}}));
}

TEST_F(FrameDump, FromTheControllerChannelTheSameWithoutTheFirstSwitch) {
    control.cameraSelected = 0;
    cameraSends(frameOf(100));
    dispatch({'D'});
    EXPECT_EQ(trace().rfind(std::string(kEntryFromCamera).substr(11), 0), 0u) << trace();
}

TEST_F(FrameDump, TransfersInChunksOf2000With250MsAfterEachFullChunk) {
    struct Case {
        size_t size;
        std::vector<size_t> sends;
        const char* pauses;
    };
    const Case cases[] = {
        {2500, {2000, 500}, "(1) (250)"},
        {4000, {2000, 2000}, "(1) (250) (250)"},  // the empty last send puts nothing on the wire
        {1999, {1999}, "(1)"},
        {2, {2}, "(1)"},
    };
    for (const Case& c : cases) {
        vt::clearTrace();
        vt::clientDiscardReceived(system.imageClient);
        const std::vector<uint8_t> frame = frameOf(c.size);
        cameraSends(frame);
        dispatch({'D'});
        EXPECT_EQ(afterRequest(), c.pauses) << c.size;
        std::vector<vt::Send> sends = imageSends();
        ASSERT_EQ(sends.size(), c.sends.size()) << c.size;
        std::vector<uint8_t> all;
        for (size_t i = 0; i < sends.size(); ++i) {
            EXPECT_EQ(sends[i].bytes.size(), c.sends[i]) << c.size;
            EXPECT_EQ(sends[i].timeUs - sends[0].timeUs, i * 250000u) << c.size;
            all.insert(all.end(), sends[i].bytes.begin(), sends[i].bytes.end());
        }
        EXPECT_EQ(all, frame) << c.size;
    }
}

TEST_F(FrameDump, OnlyAPromptAfterAnEarlierThreeEndsTheOutput) {
    const std::vector<std::vector<uint8_t>> complete = {
        {1, 2, ':', 3, ':'},  // the first ':' is data
        {3, ':'},
        {3, 3, ':'},
        {':', 3, 7, 3, ':'},
    };
    for (const std::vector<uint8_t>& output : complete) {
        vt::clientDiscardReceived(system.imageClient);
        std::vector<uint8_t> withTail = output;
        withTail.insert(withTail.end(), {9, 9, ':'});  // after the end: left in the ring
        cameraSends(withTail);
        dispatch({'D'});
        EXPECT_EQ(vt::clientReceived(system.imageClient), output) << hex(output);
    }
}

TEST_F(FrameDump, WithoutAThreeTheDumpGivesUpAfter500EmptyPollsInARow) {
    // Two pieces 300 ms apart: the polls count from the last byte, so the second piece is
    // still taken; then nothing completes the output.
    cameraSends(text("ab:"));
    const uint64_t start = vt::nowUs();
    device.sendAt(start + 140000 + 300000, text("cd:"));
    dispatch({'D'});
    EXPECT_TRUE(imageSends().empty());
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{0}})) << "no reply beyond the acknowledgement";
    // From the request: 1 ms until "ab:", 300 ms until "cd:", then 500 empty polls.
    EXPECT_EQ(vt::nowUs() - start, (140 + 300 + 500) * 1000u);
}

TEST_F(FrameDump, ASilentCameraGivesUpAfterHalfASecond) {
    dispatch({'D'});
    EXPECT_EQ(afterRequest(), pauses(1, 500));
    EXPECT_TRUE(imageSends().empty());
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{0}}));
}

TEST_F(FrameDump, ThePromptMayComeAsByte34645ButNotLater) {
    cameraSends(frameOf(34645));
    dispatch({'D'});
    std::vector<vt::Send> sends = imageSends();
    ASSERT_EQ(sends.size(), 18u);  // 17 full chunks and 645 bytes
    EXPECT_EQ(sends.back().bytes.size(), 645u);

    vt::clientDiscardReceived(system.imageClient);
    std::vector<uint8_t> tooLong = frameOf(34646);
    tooLong[0] = 3;  // the 3 comes early; the prompt is byte 34646
    cameraSends(tooLong);
    dispatch({'D'});
    EXPECT_TRUE(imageSends().empty());
}

TEST_F(FrameDump, AnOutputThatNeverEndsIsCutAt34646Bytes) {
    // More than the buffer holds, all at once: the dump stops reading after 34646 bytes.
    cameraSends(std::vector<uint8_t>(38000, kFill));
    dispatch({'D'});
    EXPECT_TRUE(imageSends().empty());
    int left = 0;
    uint8_t b = 0;
    while (control.serialPort->readByte(b)) ++left;
    EXPECT_EQ(left, 38000 - 34646);
}

// The whole dump against the camera model: what arrives on the image port is exactly what the
// camera sent after the request, and it decodes as a picture.
class FrameDumpOnTheRobot : public ::testing::Test {
protected:
    void SetUp() override { system.connectClients(); }
    sim::Robot robot;
    SimFarEnd far{robot};
    testing_support::VirtualSystem system{&far};
};

TEST_F(FrameDumpOnTheRobot, TheFrameArrivesWholeAndTheDriveIsStopped) {
    control.cameraSelected = 1;
    controllerEntryPlain();
    ASSERT_TRUE(driveStart());
    {
        std::lock_guard<std::mutex> hold(far.mutex());
        ASSERT_TRUE(robot.drive().running);
    }
    const uint8_t packet[] = {'D', 'D'};
    dispatchCommand(packet, 2);

    std::vector<uint8_t> image = vt::clientReceived(system.imageClient);
    EXPECT_EQ(vt::clientSends(system.imageClient).size(), 18u);
    // The robot's lock is taken after the last call into the virtual world, which takes its own
    // lock before the robot's.
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_FALSE(robot.drive().running);
    EXPECT_EQ(robot.camera().frameDumps(), 1u);
    const std::vector<uint8_t> sent = robot.bytesToHost();
    ASSERT_EQ(image.size(), 4 + sim::frame::kFrameBytes);
    ASSERT_GE(sent.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.end() - static_cast<long>(image.size())));
    sim::frame::Image picture;
    std::string error;
    EXPECT_TRUE(sim::frame::decode(image, picture, &error)) << error;
}

}  // namespace
}  // namespace camera_test
