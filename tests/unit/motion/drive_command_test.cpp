// The drive command 'P' and its status reply, on the simulated robot and on scripted devices,
// byte for byte and pause for pause.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/control_state.h"
#include "link/serial_port.h"
#include "motion/drive_command.h"
#include "protocol/dispatcher.h"
#include "tests/support/test_support.h"
#include "tests/unit/motion/motion_rig.h"

using motion_test::drivePacket;
using motion_test::RobotRig;
using testing_support::hex;

namespace {

using Payload = std::vector<uint8_t>;

// The status requests that end every 'P': each reply is read after one 10 ms poll wait.
constexpr const char* kStatusReads = "04 02 3D 01 (10) 02 02 1E 80 (10)";
constexpr const char* kStartAndRead = "04 07 3F 01 00 06 01 FE 0C (10) 04 03 3F 01 00 (20)";

void send(const std::vector<uint8_t>& packet) { dispatchCommand(packet.data(), static_cast<int32_t>(packet.size())); }

Payload failure() {
    Payload p(12, 0);
    p[0] = 20;
    return p;
}

class DriveCommandTest : public ::testing::Test {
protected:
    // The robot's state, read while no system thread talks to it.
    template <typename F>
    auto robot(F read) {
        std::lock_guard<std::mutex> hold(rig.far.mutex());
        return read(rig.robot);
    }
    // Runs one 'P' from a fresh trace and returns the trace.
    std::string run(const std::vector<uint8_t>& packet) {
        vt::clearTrace();
        send(packet);
        return vt::traceText();
    }
    Payload lastReply() {
        auto replies = rig.system.commandReplies();
        return replies.empty() ? Payload{} : replies.back();
    }
    RobotRig rig;
};

TEST(DriveCommandWorkedTrace, FromTheCameraChannelWithTheDriveStoppedAndServoZeroOff) {
    RobotRig rig(sim::Channel::Camera);
    ASSERT_EQ(control.cameraSelected, 1);
    send(drivePacket(3, 10, 100, 0, 0, 0x07));
    EXPECT_EQ(vt::traceText(),
              "5C 32 (10) (10) "
              "04 07 3F 01 00 06 01 FE 0C (10) 04 03 3F 01 00 (20) "  // the drive start, read back
              "04 04 3E 01 FE 23 (10) "                               // speed 10 is -477
              "02 03 1F 00 87 (10) 02 02 1F 00 (10) "                 // servo 0 on, asked
              "02 03 21 00 64 (10) "                                  // servo 0 to 100
              "04 02 3D 01 (10) 02 02 1E 80 (10)");
    // 0; servo 0 on (bit 0); running, forward, drive value -477; six zeros.
    EXPECT_EQ(rig.system.commandReplies(), (std::vector<Payload>{{0, 0x01, 1, 1, 0xFE, 0x23, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(control.cameraSelected, 0);
    EXPECT_EQ(control.driveTimeout, 3);
    EXPECT_FALSE(control.driveStopped);
    EXPECT_TRUE(control.servoEnabled[0]);
    EXPECT_EQ(control.driveStartTime, 600);
    EXPECT_EQ(control.servoMoveTime[0], 600);
    std::lock_guard<std::mutex> hold(rig.far.mutex());
    EXPECT_TRUE(rig.robot.drive().running);
    EXPECT_EQ(rig.robot.drive().speedValue, -477);
    EXPECT_TRUE(rig.robot.servo(0).on);
    EXPECT_EQ(rig.robot.servo(0).position, 100);
}

TEST_F(DriveCommandTest, FlagsZeroOrTheUnusedBitOnlyReadTheStatus) {
    for (uint8_t flags : {0x00, 0x80}) {
        EXPECT_EQ(run(drivePacket(9, 50, 1, 2, 3, flags)), kStatusReads) << int(flags);
        // Stopped, standing, drive value -500.
        EXPECT_EQ(lastReply(), (Payload{0, 0, 0, 0, 0xFE, 0x0C, 0, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(control.driveTimeout, 5);  // byte 1 counts only with its flag
    EXPECT_EQ(control.driveStartTime, 0);
}

TEST_F(DriveCommandTest, ASpeedStartsTheDriveOnlyWhenItIsStopped) {
    EXPECT_EQ(run(drivePacket(0, 0x7F, 0, 0, 0, SET_SPEED)),
              std::string(kStartAndRead) + " 04 04 3E 01 FF 35 (10) " + kStatusReads);
    EXPECT_FALSE(control.driveStopped);
    EXPECT_EQ(run(drivePacket(0, 0x80, 0, 0, 0, SET_SPEED)), std::string("04 04 3E 01 FC E0 (10) ") + kStatusReads);
    EXPECT_EQ(lastReply(), (Payload{0, 0, 1, 2, 0xFC, 0xE0, 0, 0, 0, 0, 0, 0}));  // backward at -800
    EXPECT_EQ(robot([](sim::Robot& r) { return r.drive().starts; }), 1u);
}

TEST_F(DriveCommandTest, StopThenSpeedStopsWaitsAndStartsAgain) {
    send(drivePacket(0, 10, 0, 0, 0, SET_SPEED));
    ASSERT_FALSE(control.driveStopped);
    EXPECT_EQ(
        run(drivePacket(0, 10, 0, 0, 0, STOP_DRIVE | SET_SPEED)),
        std::string("04 05 3F 01 00 00 00 (10) (10) ") + kStartAndRead + " 04 04 3E 01 FE 23 (10) " + kStatusReads);
    EXPECT_FALSE(control.driveStopped);
    EXPECT_EQ(robot([](sim::Robot& r) { return r.drive().starts; }), 2u);

    // A stop that stays a stop is read back.
    EXPECT_EQ(run(drivePacket(0, 0, 0, 0, 0, STOP_DRIVE)),
              std::string("04 05 3F 01 00 00 00 (10) (10) 04 03 3F 01 00 (20) ") + kStatusReads);
    EXPECT_FALSE(control.driveStopUnconfirmed);
    EXPECT_TRUE(control.driveStopped);
    EXPECT_FALSE(robot([](sim::Robot& r) { return r.drive().running; }));
}

TEST_F(DriveCommandTest, ReinitialisationRunsTheWholeStartUpSequenceBeforeTheSpeed) {
    send(drivePacket(0, 10, 0, 50, 0, SET_SPEED | MOVE_SERVO1));
    ASSERT_TRUE(control.servoEnabled[1]);
    std::string trace = run(drivePacket(0, 1, 0, 0, 0, REINIT_CONTROLLER | SET_SPEED));
    std::string init;
    for (int ch = 0; ch < 4; ++ch) {
        std::string c = "0" + std::to_string(ch);
        init += "02 03 1F " + c + (ch == 0 ? " 87" : " 89") + " (10) 02 02 1F " + c + " (10) 02 04 20 " + c +
                " 00 46 (10) 02 03 1F " + c + " 00 (10) ";
    }
    init +=
        "04 05 3F 01 01 00 14 (20) 04 05 3F 01 02 00 00 (20) 04 05 3F 01 03 00 50 (20) "
        "04 05 3F 01 06 00 64 (20) 04 05 3F 01 07 00 05 (20) 04 05 3F 01 00 00 00 (10) ";
    EXPECT_EQ(trace, init + kStartAndRead + " 04 04 3E 01 FE 0E (10) " + kStatusReads);
    EXPECT_FALSE(control.driveStopped);
    EXPECT_FALSE(control.servoEnabled[0]);
    EXPECT_FALSE(control.servoEnabled[1]);
    EXPECT_FALSE(control.servoEnabled[2]);
}

TEST_F(DriveCommandTest, ServoMovesSwitchOnOnceAndRecordTheFollowPositions) {
    std::string first = run(drivePacket(0, 0, 0, 30, 40, MOVE_SERVO1 | MOVE_SERVO2));
    EXPECT_EQ(first, std::string("02 03 1F 01 89 (10) 02 02 1F 01 (10) 02 03 21 01 1E (10) ") +
                         "02 03 1F 02 89 (10) 02 02 1F 02 (10) 02 03 21 02 28 (10) " + kStatusReads);
    EXPECT_EQ(run(drivePacket(0, 0, 7, 31, 41, MOVE_SERVO0 | MOVE_SERVO1 | MOVE_SERVO2)),
              std::string("02 03 1F 00 87 (10) 02 02 1F 00 (10) 02 03 21 00 07 (10) ") +
                  "02 03 21 01 1F (10) 02 03 21 02 29 (10) " + kStatusReads);
    EXPECT_EQ(control.trackServo1Position, 31);
    EXPECT_EQ(control.trackServo2Position, 41);
    EXPECT_EQ(control.lastServo1Position & 0xFF, 31);
    EXPECT_EQ(control.lastServo2Position & 0xFF, 41);
    EXPECT_EQ(lastReply()[1], 0x07);  // servos 0, 1 and 2 on
}

TEST_F(DriveCommandTest, AFollowingServoIgnoresItsMoveBit) {
    struct Case {
        bool both, servo1, servo2;
        bool moves1, moves2;
    };
    const Case cases[] = {
        {false, true, false, false, true}, {false, false, true, true, false}, {true, false, false, false, false}};
    for (const Case& c : cases) {
        control.trackModeBoth = c.both;
        control.trackModeServo1 = c.servo1;
        control.trackModeServo2 = c.servo2;
        control.servoMoveTime[1] = control.servoMoveTime[2] = 77;
        control.servoEnabled[1] = control.servoEnabled[2] = false;
        control.trackServo1Position = control.trackServo2Position = 5;
        control.lastServo1Position = control.lastServo2Position = 6;
        std::string trace = run(drivePacket(0, 0, 0, 200, 201, MOVE_SERVO1 | MOVE_SERVO2));
        EXPECT_EQ(trace.find("02 03 21 01") != std::string::npos, c.moves1) << trace;
        EXPECT_EQ(trace.find("02 03 21 02") != std::string::npos, c.moves2) << trace;
        EXPECT_EQ(control.servoMoveTime[1] == 77, !c.moves1);
        EXPECT_EQ(control.servoEnabled[1], c.moves1);
        EXPECT_EQ(control.trackServo1Position, c.moves1 ? 200 : 5);
        EXPECT_EQ(control.lastServo1Position & 0xFF, c.moves1 ? 200 : 6);
        EXPECT_EQ(control.servoMoveTime[2] == 77, !c.moves2);
        EXPECT_EQ(control.servoEnabled[2], c.moves2);
        EXPECT_EQ(control.trackServo2Position, c.moves2 ? 201 : 5);
        EXPECT_EQ(control.lastServo2Position & 0xFF, c.moves2 ? 201 : 6);
        EXPECT_EQ(lastReply()[0], 0);  // always answered
    }
}

TEST_F(DriveCommandTest, TheTimeoutByteIsSigned) {
    send(drivePacket(0, 0, 0, 0, 0, SET_DRIVE_TIMEOUT));
    EXPECT_EQ(control.driveTimeout, 0);
    send(drivePacket(0xFF, 0, 0, 0, 0, SET_DRIVE_TIMEOUT));
    EXPECT_EQ(control.driveTimeout, -1);
    send(drivePacket(0x80, 0, 0, 0, 0, SET_DRIVE_TIMEOUT));
    EXPECT_EQ(control.driveTimeout, -128);
    send(drivePacket(0x7F, 0, 0, 0, 0, SET_DRIVE_TIMEOUT));
    EXPECT_EQ(control.driveTimeout, 127);
}

TEST_F(DriveCommandTest, EveryStampOfACommandIsTheClockReadingAtItsStart) {
    // 995 ms into second 0 of minute 10: the command's pauses carry the clock into second 1.
    vt::advanceMs(995);
    send(drivePacket(0, 10, 1, 2, 3, SET_SPEED | MOVE_SERVO0 | MOVE_SERVO1 | MOVE_SERVO2));
    EXPECT_EQ(control.driveStartTime, 600);
    EXPECT_EQ(control.servoMoveTime[0], 600);
    EXPECT_EQ(control.servoMoveTime[1], 600);
    EXPECT_EQ(control.servoMoveTime[2], 600);
    EXPECT_EQ(control.clockReading.wSecond, 0);
    EXPECT_GT(vt::nowMs(), 1000u);
}

TEST_F(DriveCommandTest, ASilentDriveModuleGivesTheFailureReplyAndTheNextCommandSelectsAgain) {
    robot([](sim::Robot& r) { return r.faults(sim::Device::Drive).silent = true; });
    // Only the drive status request; the servo module is not asked. Nine waits, no more.
    EXPECT_EQ(run(drivePacket(0, 0, 0, 0, 0, 0)), "04 02 3D 01 (10) (10) (10) (10) (10) (10) (10) (10) (10)");
    EXPECT_EQ(lastReply(), failure());
    EXPECT_EQ(control.cameraSelected, 1);

    robot([](sim::Robot& r) { return r.faults(sim::Device::Drive).silent = false; });
    EXPECT_EQ(run(drivePacket(0, 0, 0, 0, 0, 0)), std::string("5C 32 (10) (10) ") + kStatusReads);
    EXPECT_EQ(lastReply()[0], 0);
    EXPECT_EQ(control.cameraSelected, 0);
}

TEST_F(DriveCommandTest, ASilentServoModuleAlsoGivesTheFailureReply) {
    robot([](sim::Robot& r) { return r.faults(sim::Device::Servo).silent = true; });
    EXPECT_EQ(run(drivePacket(0, 0, 0, 0, 0, 0)),
              "04 02 3D 01 (10) 02 02 1E 80 (10) (10) (10) (10) (10) (10) (10) (10) (10) (10)");
    EXPECT_EQ(lastReply(), failure());
    EXPECT_EQ(control.cameraSelected, 1);
}

TEST_F(DriveCommandTest, AFailedStartOrEnableStillSendsTheSpeedAndPositionAndIsRetried) {
    robot([](sim::Robot& r) {
        r.faults(sim::Device::Drive).silent = true;  // it still hears, but confirms nothing
        return r.faults(sim::Device::Servo).silent = true;
    });
    send(drivePacket(0, 10, 0, 0, 90, SET_SPEED | MOVE_SERVO2));
    EXPECT_TRUE(control.driveStopped);
    EXPECT_FALSE(control.servoEnabled[2]);
    EXPECT_EQ(robot([](sim::Robot& r) { return r.drive().speedCommands; }), 1u);
    EXPECT_EQ(robot([](sim::Robot& r) { return r.servo(2).position; }), 90);

    robot([](sim::Robot& r) { return r.clearFaults(), true; });
    std::string trace = run(drivePacket(0, 10, 0, 0, 91, SET_SPEED | MOVE_SERVO2));
    EXPECT_EQ(trace.rfind(std::string("5C 32 (10) (10) ") + kStartAndRead, 0), 0u) << trace;
    EXPECT_NE(trace.find("02 03 1F 02 89"), std::string::npos) << trace;
    EXPECT_FALSE(control.driveStopped);
    EXPECT_TRUE(control.servoEnabled[2]);
}

TEST_F(DriveCommandTest, AShortPacketReadsItsMissingParametersAsZero) {
    // 'P' with five parameter bytes: their checksum (0x5F) must not be taken as flags, which
    // would re-initialise, stop and drive.
    std::vector<uint8_t> five = {'P', 1, 2, 3, 4, 5, 0x5F};
    EXPECT_EQ(run(five), kStatusReads);
    // 'P' with the timeout and its flag only in a longer packet still works; with none at all
    // the packet is the letter and its checksum.
    std::vector<uint8_t> none = {'P', 'P'};
    EXPECT_EQ(run(none), kStatusReads);
    EXPECT_EQ(control.driveTimeout, 5);
    EXPECT_EQ(rig.system.commandReplies().size(), 2u);
    // Bytes after the sixth parameter are not looked at.
    std::vector<uint8_t> seven = drivePacket(0, 0, 0, 0, 0, SET_DRIVE_TIMEOUT);
    seven.insert(seven.end() - 1, 0xFF);
    seven.back() = static_cast<uint8_t>(seven.back() + 0xFF);
    send(seven);
    EXPECT_EQ(control.driveTimeout, 0);
}

}  // namespace
