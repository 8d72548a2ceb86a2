// The drive never runs unattended: the drive timeout is checked on every idle pass whatever the
// tracking modes, it watches every speed that went out (also after a start whose read-back was
// lost), and no stale bytes are taken as a start's read-back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "link/serial_port.h"
#include "motion/drive_command.h"
#include "motion/idle_timeouts.h"
#include "protocol/dispatcher.h"
#include "tests/support/test_support.h"
#include "tests/unit/motion/motion_rig.h"

using motion_test::drivePacket;
using motion_test::RobotRig;
using motion_test::ScriptedRig;
using testing_support::bytesOf;

namespace {

constexpr const char* kTakeController = "5C 32 (10) 5C 32 (10) ";
constexpr const char* kServo1Off = "02 03 1F 01 00 (10) ";
// The stop and its read-back, which the drive module answers with 0, 0.
constexpr const char* kDriveStop = "04 05 3F 01 00 00 00 (10) 04 03 3F 01 00 (20)";
constexpr const char* kStartWrite = "04 07 3F 01 00 06 01 FE 0C";

void send(const std::vector<uint8_t>& packet) { dispatchCommand(packet.data(), static_cast<int32_t>(packet.size())); }

TEST(DriveWatchInTheMainLoop, TheDriveTimeoutRunsOnEveryIdlePassWhileTheServoChecksKeepTheirGate) {
    struct Case {
        const char* name;
        bool ControlState::*mode;  // nullptr: no tracking mode
        int second;                // the clock at the pass; the drive's speed came at 10:00, timeout 5
        std::string expected;
    };
    const Case cases[] = {
        {"following with both servos", &ControlState::trackModeBoth, 6, std::string(kTakeController) + kDriveStop},
        {"following with servo 1", &ControlState::trackModeServo1, 6, std::string(kTakeController) + kDriveStop},
        {"following with servo 2", &ControlState::trackModeServo2, 6, std::string(kTakeController) + kDriveStop},
        {"following, not yet due", &ControlState::trackModeBoth, 5, ""},
        {"reports only", &ControlState::trackModeReportOnly, 6, std::string(kTakeController) + kServo1Off + kDriveStop},
        {"not tracking", nullptr, 6, std::string(kTakeController) + kServo1Off + kDriveStop},
    };
    for (const Case& c : cases) {
        ScriptedRig rig;  // a silent camera: the tracking step finds nothing
        rig.device.answer(testing_support::driveReadsStopped());
        if (c.mode != nullptr) control.*c.mode = true;
        control.cameraSelected = 1;
        control.driveStopped = false;
        control.driveSpeedSent = true;
        control.driveStartTime = secondsOfHour(10, 0);
        control.servoEnabled[1] = true;
        control.servoMoveTime[1] = secondsOfHour(10, 0);
        vt::setClock(10, c.second);
        vt::clearTrace();
        Deframer deframer;
        EXPECT_TRUE(mainLoopPass(deframer)) << c.name;
        EXPECT_EQ(vt::traceText(), c.expected) << c.name;
        EXPECT_EQ(control.driveStopped, c.second == 6) << c.name;
        // A following servo stays on for its target.
        bool servoCheckRan = c.mode == nullptr || c.mode == &ControlState::trackModeReportOnly;
        EXPECT_EQ(control.servoEnabled[1], !servoCheckRan) << c.name;
    }
}

// The modules of a scripted device: the status reads are answered at once, the drive start's
// read-back as the row says.
void answerStatus(testing_support::ScriptedDevice& device, std::vector<uint8_t> readBack) {
    device.answer([readBack](const std::vector<uint8_t>& got) {
        auto endsWith = [&got](const std::vector<uint8_t>& tail) {
            return got.size() >= tail.size() && std::equal(tail.begin(), tail.end(), got.end() - tail.size());
        };
        if (endsWith(bytesOf("04 02 3D 01"))) return bytesOf("04 0A 3D 01 01 01 00 00 FE 23");
        if (endsWith(bytesOf("02 02 1E 80"))) return bytesOf("02 03 1E 80 00");
        if (endsWith(bytesOf("04 05 3F 01 00 00 00 04 03 3F 01 00"))) return bytesOf("04 05 3F 01 00 00 00");
        if (endsWith(bytesOf("04 03 3F 01 00"))) return readBack;
        return std::vector<uint8_t>{};
    });
}

TEST(DriveWatchOfAnUnconfirmedStart, EverySpeedSentArmsTheTimeoutAndTheStartIsTriedAgain) {
    struct Case {
        const char* name;
        std::vector<uint8_t> readBack;  // the drive module's answer to the read-back request
        uint64_t lateMs;                // > 0: the answer comes this long after the command began
    };
    const Case cases[] = {
        {"lost", {}, 0},
        {"garbled", bytesOf("04 03 3F 01 00 01 06"), 0},
        {"cut short", bytesOf("04 03 3F 01 00 06"), 0},
        // The reader gives up 120 ms after the start write; the answer comes 5 ms later.
        {"late", {}, 125},
    };
    for (const Case& c : cases) {
        ScriptedRig rig;
        answerStatus(rig.device, c.readBack);
        if (c.lateMs > 0) rig.device.sendAt(vt::nowUs() + c.lateMs * 1000, bytesOf("04 03 3F 01 00 06 01"));
        send(drivePacket(2, 10, 0, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED));
        // The speed went out: the drive may run although its start was not confirmed.
        EXPECT_NE(vt::traceText().find("04 04 3E 01 FE 23"), std::string::npos) << c.name;
        EXPECT_TRUE(control.driveStopped) << c.name;
        EXPECT_TRUE(control.driveSpeedSent) << c.name;

        vt::setClock(10, 2);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), "") << c.name;
        vt::setClock(10, 3);
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), kDriveStop) << c.name;
        EXPECT_FALSE(control.driveSpeedSent) << c.name;

        // Stopped once: no second stop, and the next speed tries the start again.
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), "") << c.name;
        send(drivePacket(0, 10, 0, 0, 0, SET_SPEED));
        EXPECT_EQ(vt::traceText().rfind(kStartWrite, 0), 0u) << c.name << ": " << vt::traceText();
    }
}

TEST(DriveWatchOfAnUnconfirmedStart, AStopCommandDisarmsTheTimeout) {
    ScriptedRig rig;
    answerStatus(rig.device, {});
    send(drivePacket(2, 10, 0, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED));
    ASSERT_TRUE(control.driveSpeedSent);
    send(drivePacket(0, 0, 0, 0, 0, STOP_DRIVE));
    EXPECT_FALSE(control.driveSpeedSent);
    vt::setClock(10, 30);
    vt::clearTrace();
    idleTimeouts();
    EXPECT_EQ(vt::traceText(), "");  // stopped already: no second stop
}

TEST(DriveWatchAfterALongPassThrough, TheNextDriveStartReadsItsOwnReadBack) {
    RobotRig rig;
    // 25 servo status queries in one 'B': 125 answer bytes, more than the 97 that fit.
    std::vector<uint8_t> b = {'B', 100};
    for (int i = 0; i < 25; ++i) {
        for (uint8_t x : {2, 2, 31, i % 4}) b.push_back(x);
    }
    uint8_t sum = 0;
    for (uint8_t x : b) sum = static_cast<uint8_t>(sum + x);
    b.push_back(sum);
    send(b);
    ASSERT_EQ(rig.system.commandReplies().size(), 1u);
    EXPECT_EQ(rig.system.commandReplies()[0].size(), 100u);
    uint8_t left = 0;
    EXPECT_FALSE(control.serialPort->readByte(left));

    send(drivePacket(0, 10, 0, 0, 0, SET_SPEED));
    EXPECT_FALSE(control.driveStopped);  // the start was confirmed by the drive's own answer
    auto replies = rig.system.commandReplies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1][0], 0);
    std::lock_guard<std::mutex> hold(rig.far.mutex());
    EXPECT_TRUE(rig.robot.drive().running);
}

}  // namespace

namespace {

// A pass that received command bytes: the drive check runs after each packet carried out and
// after bytes that complete none, so that no stream of commands other than speeds, nor garbage,
// holds the drive timeout off. The servo checks stay on the idle passes.
TEST(DriveWatchInTheMainLoop, APassWithCommandBytesStillStopsADriveThatTimedOut) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;  // what the client sent this pass
        bool stops;
    };
    const Case cases[] = {
        {"a status query", testing_support::framed(drivePacket(0, 0, 0, 0, 0, 0)), true},
        {"a bad checksum", bytesOf("FF 38 50 00 FF 37"), true},
        {"bytes that end no packet", bytesOf("01 02 03 FF 38 50"), true},
        {"a camera line", testing_support::framed({'C', 2, 'g', 'v', 0x22}), true},
        {"a new speed", testing_support::framed(drivePacket(0, 10, 0, 0, 0, SET_SPEED)), false},
    };
    for (const Case& c : cases) {
        ScriptedRig rig;
        rig.device.answer(testing_support::driveReadsStopped());
        control.driveStopped = false;
        control.driveSpeedSent = true;
        control.driveStartTime = secondsOfHour(10, 0);
        control.servoEnabled[1] = true;
        control.servoMoveTime[1] = secondsOfHour(10, 0);
        vt::setClock(10, 6);
        vt::clientSend(rig.system.commandClient, c.bytes);
        vt::clearTrace();
        Deframer deframer;
        bool received = false;
        EXPECT_TRUE(mainLoopPass(deframer, &received)) << c.name;
        ASSERT_TRUE(received) << c.name;
        EXPECT_EQ(vt::traceText().find(kDriveStop) != std::string::npos, c.stops) << c.name << ": " << vt::traceText();
        // No servo check on a pass with command bytes.
        EXPECT_TRUE(control.servoEnabled[1]) << c.name;
    }
}

// Following steers servos 1 and 2: servo 0 keeps its idle check in every mode (once the drive
// stands), servos 1 and 2 keep theirs only outside the following modes.
TEST(DriveWatchInTheMainLoop, ServoZerosIdleCheckRunsInEveryTrackingMode) {
    const std::pair<const char*, bool ControlState::*> modes[] = {
        {"both", &ControlState::trackModeBoth},
        {"servo 1", &ControlState::trackModeServo1},
        {"servo 2", &ControlState::trackModeServo2},
        {"reports only", &ControlState::trackModeReportOnly},
        {"none", nullptr},
    };
    for (const auto& [name, mode] : modes) {
        for (bool driveStands : {true, false}) {
            ScriptedRig rig;
            if (mode != nullptr) control.*mode = true;
            control.driveTimeout = 0;  // the drive, when it runs, runs on
            control.driveStopped = driveStands;
            for (int ch = 0; ch < 3; ++ch) {
                control.servoEnabled[ch] = true;
                control.servoMoveTime[ch] = secondsOfHour(10, 0);
            }
            vt::setClock(10, 7);
            Deframer deframer;
            EXPECT_TRUE(mainLoopPass(deframer)) << name;
            EXPECT_EQ(control.servoEnabled[0], !driveStands) << name << (driveStands ? ", drive standing" : "");
            const bool following = mode != nullptr && mode != &ControlState::trackModeReportOnly;
            EXPECT_EQ(control.servoEnabled[1], following) << name;
        }
    }
}

}  // namespace
