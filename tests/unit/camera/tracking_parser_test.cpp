// The tracking step: parsing the packet stream, following confident packets, and the choice of
// the record sent for every group of three.
#include "tests/unit/camera/camera_rig.h"

#include <array>
#include <tuple>

#include "app/halvoran.h"
#include "camera/tracking_parser.h"
#include "link/serial_port.h"

namespace camera_test {
namespace {

using Report = std::array<uint8_t, 8>;

std::vector<uint8_t> packet(uint8_t mx, uint8_t my, uint8_t x1, uint8_t y1, uint8_t x2, uint8_t y2, uint8_t pixels,
                            uint8_t confidence) {
    return {0xFF, 'M', mx, my, x1, y1, x2, y2, pixels, confidence};
}

Report record(const TrackReport& r) {
    return {r.servo1Position, r.servo2Position, r.middleX, r.middleY, r.width, r.height, r.pixels, r.confidence};
}

class TrackingParser : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        control.cameraSelected = 1;
        control.trackModeBoth = true;
        // Both servos already on: following sends only its moves.
        control.servoEnabled[1] = true;
        control.servoEnabled[2] = true;
        control.trackServo1Position = 127;
        control.trackServo2Position = 127;
    }

    // The bytes arrive and the step runs once per byte. When following has left the link on
    // the controller channel, one step first takes the camera channel back while nothing waits.
    void feed(const std::vector<uint8_t>& bytes) {
        if (control.cameraSelected == 0) trackingStep();
        arrive(bytes);
        for (size_t i = 0; i < bytes.size(); ++i) trackingStep();
    }

    std::vector<Report> sentReports() const {
        std::vector<Report> out;
        for (const std::vector<uint8_t>& payload : reports()) {
            EXPECT_EQ(payload.size(), 8u);
            Report r{};
            std::copy_n(payload.begin(), std::min<size_t>(8, payload.size()), r.begin());
            out.push_back(r);
        }
        return out;
    }
};

TEST_F(TrackingParser, TheFirstPacketAfterStartUpIsStoredFollowedAndKeptAsTheFirstOfAGroup) {
    feed(bytesOf("FF 54 10 20 05 06 15 26 40 32"));
    EXPECT_EQ(control.trackMiddleX, 0x10);
    EXPECT_EQ(control.trackMiddleY, 0x20);
    EXPECT_EQ(control.trackWidth, 0x10);
    EXPECT_EQ(control.trackHeight, 0x20);
    EXPECT_EQ(control.trackPixels, 0x40);
    EXPECT_EQ(control.trackConfidence, 0x32);
    // Following x 0x10 (+8) and y 0x20 (-6) from 127/127.
    EXPECT_EQ(trace(), "5C 32 (10) 5C 32 (10) 02 03 21 01 87 (10) (10) 02 03 21 02 79 (10)");
    EXPECT_EQ(record(control.trackHistoryB), (Report{135, 121, 0x10, 0x20, 0x10, 0x20, 0x40, 0x32}));
    EXPECT_EQ(control.trackReportCounter, 1);
    EXPECT_EQ(control.trackParserState, 0);
    EXPECT_TRUE(reports().empty());
}

using Confidences = std::tuple<uint8_t, uint8_t, uint8_t, int>;  // three packets, the one sent

class ReportChoice : public TrackingParser, public ::testing::WithParamInterface<Confidences> {};

TEST_P(ReportChoice, TheNewestPacketWithAPositiveSignedConfidenceIsSent) {
    auto [c0, c1, c2, chosen] = GetParam();
    // Middle x tells the packets apart; all of them in the dead zone, so positions stay.
    const uint8_t confidences[3] = {c0, c1, c2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(reports().empty());
        feed(packet(static_cast<uint8_t>(40 + i), 70, 1, 2, 3, 4, 9, confidences[i]));
    }
    std::vector<Report> sent = sentReports();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Report{127, 127, static_cast<uint8_t>(40 + chosen), 70, 2, 2, 9, confidences[chosen]}));
}

INSTANTIATE_TEST_SUITE_P(Groups, ReportChoice,
                         ::testing::Values(Confidences{0, 0, 0, 2},      // none positive: the newest
                                           Confidences{80, 90, 0, 1},    // the second
                                           Confidences{80, 0, 0, 0},     // the first
                                           Confidences{80, 90, 100, 2},  // the newest
                                           Confidences{80, 90, 200, 1},  // 200 is negative as a signed byte
                                           Confidences{80, 0, 128, 0},   // so is 128
                                           Confidences{3, 0, 0, 0},      // positive, though too low to follow
                                           Confidences{0, 127, 0, 1}));

TEST_F(TrackingParser, FollowingStartsAboveFiveReadUnsigned) {
    struct Case {
        uint8_t confidence;
        bool follows;
    };
    for (Case c : {Case{5, false}, Case{6, true}, Case{0, false}, Case{200, true}, Case{254, true}}) {
        vt::clearTrace();
        control.cameraSelected = 1;
        feed(packet(70, 70, 0, 0, 0, 0, 0, c.confidence));
        const bool switched = trace().find("5C 32 (10) 5C 32 (10)") != std::string::npos;
        EXPECT_EQ(switched, c.follows) << int(c.confidence) << ": " << trace();
    }
}

TEST_F(TrackingParser, ReportsCarryTheServoPositionsAfterFollowingTheirPacket) {
    for (int i = 0; i < 3; ++i) feed(packet(70, 100, 10, 20, 30, 25, 50, 80));
    // Three steps of -8 on servo 1 and +6 on servo 2.
    EXPECT_EQ(sentReports(), (std::vector<Report>{{103, 145, 70, 100, 20, 5, 50, 80}}));
    EXPECT_EQ(control.lastServo1Position & 0xFF, 103);
    EXPECT_EQ(control.lastServo2Position & 0xFF, 145);
}

TEST_F(TrackingParser, SizesWrapAndReportsAreFramedWithTheirFFsDoubled) {
    // Second corner left of and above the first: 0 - 1 and 4 - 9 modulo 256.
    for (int i = 0; i < 3; ++i) feed(packet(40, 70, 1, 9, 0, 4, 7, 1));
    EXPECT_EQ(sentReports(), (std::vector<Report>{{127, 127, 40, 70, 0xFF, 0xFB, 7, 1}}));
    EXPECT_NE(hex(vt::clientReceived(system.trackingClient)).find("FF FF FB"), std::string::npos);
}

TEST_F(TrackingParser, AnFFInsideAPacketStartsItOverAndTheNextByteIsTheTypeByte) {
    arrive(bytesOf("FF 54 10 20 05 FF"));
    for (int i = 0; i < 6; ++i) trackingStep();
    EXPECT_EQ(control.trackParserState, 1);
    feed(bytesOf("77 11 22 01 02 05 06 40 03"));
    EXPECT_EQ(control.trackMiddleX, 0x11);
    EXPECT_EQ(control.trackMiddleY, 0x22);
    EXPECT_EQ(control.trackWidth, 4);
    EXPECT_EQ(control.trackHeight, 4);
    EXPECT_EQ(control.trackPixels, 0x40);
    EXPECT_EQ(control.trackConfidence, 3);
    EXPECT_EQ(control.trackReportCounter, 1) << "the cut packet does not count";
}

TEST_F(TrackingParser, BytesBeforeTheFirstFFAreIgnored) {
    feed(text("ACK\r"));
    feed(packet(40, 70, 1, 1, 2, 2, 3, 4));
    EXPECT_EQ(control.trackMiddleX, 40);
    EXPECT_EQ(control.trackReportCounter, 1);
}

TEST_F(TrackingParser, OnTheControllerChannelAStepTakesTheCameraBackRestartsAndDrains) {
    arrive(bytesOf("01 02 03"));
    control.cameraSelected = 0;
    control.trackParserState = 6;
    vt::clearTrace();
    trackingStep();
    EXPECT_EQ(trace(), "5C 31 (10)");
    EXPECT_EQ(control.cameraSelected, 1);
    EXPECT_EQ(control.trackParserState, 0);
    uint8_t b = 0;
    EXPECT_FALSE(control.serialPort->readByte(b));
}

TEST_F(TrackingParser, ASilentCameraCostsNothing) {
    const uint64_t before = vt::nowUs();
    for (int i = 0; i < 100; ++i) trackingStep();
    EXPECT_EQ(vt::nowUs(), before);
    EXPECT_EQ(trace(), "");
    EXPECT_TRUE(reports().empty());
}

TEST_F(TrackingParser, TheMainLoopStepsOnlyInPassesWithoutCommandBytesAndOnlyWhileAModeIsSet) {
    Deframer deframer;
    control.trackModeBoth = false;
    // Nothing for the idle time-outs to switch off, so that the link stays on the camera.
    control.servoEnabled[1] = control.servoEnabled[2] = false;
    arrive(bytesOf("FF 54"));
    mainLoopPass(deframer);
    EXPECT_EQ(control.trackParserState, 0) << "no mode set: no tracking step";
    for (bool ControlState::*mode : {&ControlState::trackModeBoth, &ControlState::trackModeServo1,
                                     &ControlState::trackModeServo2, &ControlState::trackModeReportOnly}) {
        control.trackParserState = 0;
        control.trackModeBoth = control.trackModeServo1 = control.trackModeServo2 = control.trackModeReportOnly = false;
        control.*mode = true;
        control.serialPort->drain();
        arrive(bytesOf("FF 54"));
        vt::clientSend(system.commandClient, bytesOf("FF 38"));  // part of a packet
        mainLoopPass(deframer);
        EXPECT_EQ(control.trackParserState, 0) << "a pass with command bytes does no idle work";
        mainLoopPass(deframer);
        EXPECT_EQ(control.trackParserState, 1);
        mainLoopPass(deframer);
        EXPECT_EQ(control.trackParserState, 2);
        vt::clientSend(system.commandClient, bytesOf("74 74 FF 37"));  // the rest: answered 2
        mainLoopPass(deframer);
    }
    EXPECT_EQ(replies().size(), 4u);
}

}  // namespace
}  // namespace camera_test
