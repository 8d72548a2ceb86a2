// Starting and stopping tracking: the flags the letters set, the reply's place in the exchange,
// the channel entry and the camera line.
#include "tests/unit/camera/camera_rig.h"

#include "link/serial_port.h"

namespace camera_test {
namespace {

using Payloads = std::vector<std::vector<uint8_t>>;

class TrackingStart : public CameraTest {
protected:
    // Virtual time of the reply, from the start of the test.
    uint64_t replyTimeUs() {
        std::vector<vt::Send> sends = vt::clientSends(system.commandClient);
        EXPECT_EQ(sends.size(), 1u);
        return sends.empty() ? UINT64_MAX : sends[0].timeUs - startUs;
    }
    uint64_t startUs = vt::nowUs();
};

TEST_F(TrackingStart, ColourTrackingFromTheControllerChannelAnswersFirstThenEntersTheCameraTwice) {
    control.cameraSelected = 0;
    dispatch({'T', 0, 255, 150, 255, 0, 255});
    EXPECT_EQ(replyTimeUs(), 0u) << "answered before the 70 ms of the camera entry";
    EXPECT_EQ(replies(), (Payloads{{0}}));
    // "tc 0 255 150 255 0 255" and CR after the double entry.
    EXPECT_EQ(trace(), "5C 31 (10) 5C 31 (10) 0D (50) " + hex(text("tc 0 255 150 255 0 255\r")));
    EXPECT_EQ(control.cameraSelected, 1);
    EXPECT_TRUE(control.trackModeBoth);
}

TEST_F(TrackingStart, TheShortestAndTheLongestColourLine) {
    dispatch({'U', 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(vt::written("COM1:"), text("tc 0 0 0 0 0 0\r"));
    vt::clearTrace();
    dispatch({'V', 255, 255, 255, 255, 255, 255});
    EXPECT_EQ(vt::written("COM1:"), text("tc 255 255 255 255 255 255\r"));
}

TEST_F(TrackingStart, MissingColourValuesAreZeroNotWhateverFollowsThePacket) {
    // Three values, then the checksum: the buffer beyond holds 0xEE, which must not show up.
    dispatch({'A', 10, 20, 30});
    EXPECT_EQ(vt::written("COM1:"), text("tc 10 20 30 0 0 0\r"));
    vt::clearTrace();
    dispatch({'T'});
    EXPECT_EQ(vt::written("COM1:"), text("tc 0 0 0 0 0 0\r"));
    EXPECT_TRUE(control.trackModeReportOnly);
}

TEST_F(TrackingStart, WindowTrackingOnTheCameraChannelWritesOnlyItsLine) {
    control.cameraSelected = 1;
    arrive({1, 2, 3});
    vt::clearTrace();
    dispatch({'W'});
    EXPECT_EQ(trace(), "74 77 0D");
    uint8_t b = 0;
    EXPECT_TRUE(control.serialPort->readByte(b)) << "nothing is drained on the camera channel";
    EXPECT_EQ(replies(), (Payloads{{0}}));
}

TEST_F(TrackingStart, WindowTrackingFromTheControllerChannel) {
    control.cameraSelected = 0;
    dispatch({'Z'});
    EXPECT_EQ(replyTimeUs(), 0u) << "answered before the 70 ms of the camera entry";
    EXPECT_EQ(trace(), "5C 31 (10) 5C 31 (10) 0D (50) 74 77 0D");
    EXPECT_TRUE(control.trackModeReportOnly);
}

TEST_F(TrackingStart, EveryStartTakesTheFollowPositionsFromTheLastServoMovesAndRestartsTheParser) {
    for (uint8_t letter : {'T', 'W'}) {
        control.lastServo1Position = -56;    // a position of 200 as the servo move records it
        control.lastServo2Position = 0x133;  // only the low byte counts
        control.trackServo1Position = 1;
        control.trackServo2Position = 2;
        control.trackParserState = 7;
        dispatch({letter, 1, 2, 3, 4, 5, 6});
        EXPECT_EQ(control.trackServo1Position, 200) << letter;
        EXPECT_EQ(control.trackServo2Position, 0x33) << letter;
        EXPECT_EQ(control.trackParserState, 0) << letter;
    }
}

TEST_F(TrackingStart, LettersSetTheirFlagsWhichAddUpUntilStopClearsThemAll) {
    struct Letter {
        uint8_t letter;
        bool ControlState::*flag;
    };
    const Letter letters[] = {
        {'T', &ControlState::trackModeBoth},   {'U', &ControlState::trackModeServo1},
        {'V', &ControlState::trackModeServo2}, {'A', &ControlState::trackModeReportOnly},
        {'W', &ControlState::trackModeBoth},   {'X', &ControlState::trackModeServo1},
        {'Y', &ControlState::trackModeServo2}, {'Z', &ControlState::trackModeReportOnly},
    };
    for (const Letter& l : letters) {
        dispatch({'N'});
        dispatch({l.letter});
        for (const Letter& other : letters) {
            EXPECT_EQ(control.*other.flag, other.flag == l.flag) << l.letter << " alone";
        }
    }
    dispatch({'N'});
    dispatch({'U'});
    dispatch({'V'});
    EXPECT_TRUE(control.trackModeServo1);
    EXPECT_TRUE(control.trackModeServo2);
    EXPECT_FALSE(control.trackModeBoth);
    dispatch({'T'});
    dispatch({'Z'});
    dispatch({'N'});
    for (const Letter& l : letters) EXPECT_FALSE(control.*l.flag);
}

TEST_F(TrackingStart, StopWritesCrToTheChannelItIsOnThenDrainsAndAnswersLast) {
    for (int32_t selected : {0, 1}) {
        control.cameraSelected = selected;
        control.trackModeServo2 = true;
        arrive({0xFF, 1, 2});
        vt::clearTrace();
        dispatch({'N'});
        EXPECT_EQ(trace(), "0D (50)");
        EXPECT_EQ(control.cameraSelected, selected) << "stopping selects no channel";
        EXPECT_FALSE(control.trackModeServo2);
        uint8_t b = 0;
        EXPECT_FALSE(control.serialPort->readByte(b));
    }
    // The reply comes after the pause, at the end of the exchange.
    std::vector<vt::Send> sends = vt::clientSends(system.commandClient);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[1].timeUs - sends[0].timeUs, 50000u);
    EXPECT_EQ(replies(), (Payloads{{0}, {0}}));
}

TEST_F(TrackingStart, StopWithNoModeSetDoesTheSameAndKeepsTheParserWhereItWas) {
    control.trackParserState = 5;
    dispatch({'N'});
    EXPECT_EQ(trace(), "0D (50)");
    EXPECT_EQ(control.trackParserState, 5);
    EXPECT_EQ(replies(), (Payloads{{0}}));
}

TEST_F(TrackingStart, ABadChecksumSetsNoFlagAndStartsNothing) {
    uint8_t packet[] = {'V', 1, 2, 3, 4, 5, 6, 0};
    dispatchCommand(packet, sizeof packet);
    EXPECT_FALSE(control.trackModeServo2);
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(replies(), (Payloads{{1}}));
}

}  // namespace
}  // namespace camera_test
