// The controller modules' packets, their waits, and the reply reader with its empty-poll limit.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/control_state.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "tests/support/test_support.h"
#include "tests/unit/motion/motion_rig.h"

using motion_test::pausesIn;
using motion_test::RobotRig;
using testing_support::bytesOf;
using testing_support::ScriptedDevice;
using testing_support::VirtualSystem;

namespace {

class ControllerPacketsTest : public ::testing::Test {
protected:
    // Answers `reply` 1 ms after the host's last bytes are `request`.
    void answer(const std::string& request, const std::string& reply) {
        std::vector<uint8_t> want = bytesOf(request), give = bytesOf(reply);
        device.answer([want, give](const std::vector<uint8_t>& got) {
            if (got.size() >= want.size() && std::equal(want.begin(), want.end(), got.end() - want.size())) return give;
            return std::vector<uint8_t>{};
        });
    }
    // Something already waiting in the ring, which the draining reads must not take as a reply.
    void leaveInRing(const std::string& bytes) {
        device.sendAt(vt::nowUs(), bytesOf(bytes));
        vt::deliverDue();
        vt::clearTrace();
    }
    ScriptedDevice device;
    VirtualSystem system{&device};
};

TEST_F(ControllerPacketsTest, SpeedBytesBecomeDriveValuesAsTheTableSays) {
    struct Case {
        uint8_t speed;
        const char* valueBytes;
    };
    const Case cases[] = {{0x80, "FC E0"}, {0xFF, "FE 0A"}, {0x00, "FE 0C"}, {0x01, "FE 0E"},
                          {0x40, "FE A2"}, {0x7F, "FF 35"}, {200, "FD 89"},  {10, "FE 23"}};
    for (const Case& c : cases) {
        vt::clearTrace();
        driveSetSpeed(static_cast<int8_t>(c.speed));
        EXPECT_EQ(vt::traceText(), std::string("04 04 3E 01 ") + c.valueBytes + " (10)") << int(c.speed);
    }
}

TEST_F(ControllerPacketsTest, ServoEnableSendsItsModeAndReadsTheFifthByte) {
    answer("02 02 1F 00", "02 03 1F 00 87");
    EXPECT_TRUE(servoEnable(0));
    // The reply comes 1 ms after the query: one empty poll, one wait.
    EXPECT_EQ(vt::traceText(), "02 03 1F 00 87 (10) 02 02 1F 00 (10)");

    vt::clearTrace();
    answer("02 02 1F 03", "02 03 1F 03 00");
    EXPECT_FALSE(servoEnable(3));  // the module says the channel is off
    EXPECT_EQ(vt::traceText(), "02 03 1F 03 89 (10) 02 02 1F 03 (10)");

    answer("02 02 1F 02", "00 00 00 00 01");
    EXPECT_TRUE(servoEnable(2));  // any non-zero fifth byte means on
}

TEST_F(ControllerPacketsTest, WithoutAReplyTheReadsGiveUpAtTheirEmptyPollLimit) {
    struct Case {
        const char* name;
        std::function<bool()> call;
        const char* request;
        int waits;
    };
    uint8_t status[4] = {1, 2, 3, 4};
    uint8_t value = 9;
    const Case cases[] = {
        {"servoEnable", [] { return servoEnable(1); }, "02 03 1F 01 89 (10) 02 02 1F 01", 9},
        {"driveStart", [] { return driveStart(); }, "04 07 3F 01 00 06 01 FE 0C (10) 04 03 3F 01 00 (20)", 9},
        {"driveReadStatus", [&] { return driveReadStatus(status); }, "04 02 3D 01", 9},
        {"servoModuleRead", [&] { return servoModuleRead(value); }, "02 02 1E 80", 10},
    };
    for (const Case& c : cases) {
        vt::clearTrace();
        EXPECT_FALSE(c.call()) << c.name;
        std::string expected = c.request;
        for (int i = 0; i < c.waits; ++i) expected += " (10)";
        // No wait after the last empty poll: the reader gives up at once.
        EXPECT_EQ(vt::traceText(), expected) << c.name;
    }
    // A failed read leaves its out-values alone.
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(value, 9);
}

TEST_F(ControllerPacketsTest, AReplyInPiecesCountsEveryEmptyPollOfTheWholeReply) {
    // Requests go out at the same virtual instant; the first poll is at once, then one every
    // 10 ms. Pieces at 45 ms and 85 ms leave nine empty polls (0..40, 50..80), each followed by
    // a wait: accepted at 90 ms.
    uint64_t t0 = vt::nowUs();
    device.sendAt(t0 + 45000, bytesOf("0A 0B 0C"));
    device.sendAt(t0 + 85000, bytesOf("0D 0E 0F 10 11 12 13"));
    uint8_t status[4] = {};
    EXPECT_TRUE(driveReadStatus(status));
    EXPECT_EQ(testing_support::hex({status, status + 4}), "0E 0F 12 13");
    EXPECT_EQ(pausesIn(vt::traceText(), "(10)"), 9);

    // The same with the second piece at 95 ms: the tenth empty poll (at 90 ms) gives up at once,
    // although no gap after a byte is longer than the limit. The late bytes stay for the next
    // reader.
    vt::clearTrace();
    t0 = vt::nowUs();
    device.sendAt(t0 + 45000, bytesOf("0A 0B 0C"));
    device.sendAt(t0 + 95000, bytesOf("0D 0E 0F 10 11 12 13"));
    EXPECT_FALSE(driveReadStatus(status));
    EXPECT_EQ(pausesIn(vt::traceText(), "(10)"), 9);
    vt::advanceMs(10);
    uint8_t next = 0;
    ASSERT_TRUE(control.serialPort->readByte(next));
    EXPECT_EQ(next, 0x0D);
}

TEST_F(ControllerPacketsTest, DriveStartTrustsOnlyTheLastTwoBytesOfItsReply) {
    answer("04 03 3F 01 00", "99 98 97 96 95 06 01");
    EXPECT_TRUE(driveStart());
    // The read-back reply is there after the 20 ms wait: no poll waits.
    EXPECT_EQ(vt::traceText(), "04 07 3F 01 00 06 01 FE 0C (10) 04 03 3F 01 00 (20)");
    answer("04 03 3F 01 00", "04 05 3F 01 00 01 06");
    EXPECT_FALSE(driveStart());
}

TEST_F(ControllerPacketsTest, TheStatusReadsDrainFirstAndLeaveWhatFollowsTheirReply) {
    answer("04 02 3D 01", "0A 0B 0C 0D 0E 0F 10 11 12 13 77");
    leaveInRing("55 55 55");
    uint8_t status[4] = {};
    ASSERT_TRUE(driveReadStatus(status));
    EXPECT_EQ(testing_support::hex({status, status + 4}), "0E 0F 12 13");
    EXPECT_EQ(vt::traceText(), "04 02 3D 01 (10)");
    uint8_t extra = 0;
    ASSERT_TRUE(control.serialPort->readByte(extra));
    EXPECT_EQ(extra, 0x77);

    answer("02 02 1E 80", "02 03 1E 80 05");
    leaveInRing("66 66");
    uint8_t value = 0;
    ASSERT_TRUE(servoModuleRead(value));
    EXPECT_EQ(value, 5);
}

TEST_F(ControllerPacketsTest, NoReplyIsTakenFromBytesThatWaitedBeforeItsRequest) {
    // Each row leaves bytes in the ring that would turn the result round if they were read as
    // the reply: a stale "off" before a module that says on, a stale confirmation before a
    // module that refuses, a stale full reply before a silent module.
    struct Case {
        const char* name;
        const char* stale;
        const char* request;  // what the module answers (empty: it is silent)
        const char* reply;
        std::function<bool()> call;
        bool expected;
    };
    uint8_t status[4] = {};
    uint8_t value = 0;
    const Case cases[] = {
        {"servoEnable", "02 03 1F 01 00", "02 02 1F 01", "02 03 1F 01 89", [] { return servoEnable(1); }, true},
        {"driveStart", "04 03 3F 01 00 06 01", "04 03 3F 01 00", "04 03 3F 01 00 00 00", [] { return driveStart(); },
         false},
        {"driveReadStatus", "0A 0B 0C 0D 0E 0F 10 11 12 13", "", "", [&] { return driveReadStatus(status); }, false},
        {"servoModuleRead", "01 02 03 04 05", "", "", [&] { return servoModuleRead(value); }, false},
    };
    for (const Case& c : cases) {
        if (*c.request != 0) {
            answer(c.request, c.reply);
        } else {
            device.answer(nullptr);
        }
        leaveInRing(c.stale);
        EXPECT_EQ(c.call(), c.expected) << c.name;
        uint8_t left = 0;
        EXPECT_FALSE(control.serialPort->readByte(left)) << c.name;  // the stale bytes are gone
    }
}

TEST_F(ControllerPacketsTest, ServoMoveRecordsOnlyTheFollowingServos) {
    servoMove(1, 200);
    EXPECT_EQ(control.lastServo1Position & 0xFF, 200);
    servoMove(2, 17);
    EXPECT_EQ(control.lastServo2Position & 0xFF, 17);
    servoMove(0, 90);
    servoMove(3, 91);
    EXPECT_EQ(control.lastServo1Position & 0xFF, 200);
    EXPECT_EQ(control.lastServo2Position & 0xFF, 17);
    EXPECT_EQ(vt::traceText(), "02 03 21 01 C8 (10) 02 03 21 02 11 (10) 02 03 21 00 5A (10) 02 03 21 03 5B (10)");
}

TEST(ControllerSequences, InitialisationEnablesConfiguresAndSwitchesOffEachServoThenTheDrive) {
    RobotRig rig;
    controllerInit();
    std::string expected;
    for (int ch = 0; ch < 4; ++ch) {
        std::string c = "0" + std::to_string(ch);
        expected += "02 03 1F " + c + (ch == 0 ? " 87" : " 89") + " (10) 02 02 1F " + c + " (10) 02 04 20 " + c +
                    " 00 46 (10) 02 03 1F " + c + " 00 (10) ";
    }
    expected +=
        "04 05 3F 01 01 00 14 (20) 04 05 3F 01 02 00 00 (20) 04 05 3F 01 03 00 50 (20) "
        "04 05 3F 01 06 00 64 (20) 04 05 3F 01 07 00 05 (20) 04 05 3F 01 00 00 00 (10)";
    EXPECT_EQ(vt::traceText(), expected);
    std::lock_guard<std::mutex> hold(rig.far.mutex());
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_FALSE(rig.robot.servo(ch).on) << ch;
        EXPECT_EQ(rig.robot.servo(ch).config[1], 70) << ch;
    }
    EXPECT_FALSE(rig.robot.drive().running);
    EXPECT_EQ(rig.robot.drive().parameter(3)[1], 80);
}

TEST(ControllerSequences, ShutdownStopsTheDriveThenSwitchesOffAllFourServos) {
    RobotRig rig;
    ASSERT_TRUE(driveStart());
    for (int ch = 0; ch < 4; ++ch) ASSERT_TRUE(servoEnable(ch));
    vt::clearTrace();
    controllerShutdown();
    EXPECT_EQ(vt::traceText(),
              "04 05 3F 01 00 00 00 (10) 04 03 3F 01 00 (20) 02 03 1F 00 00 (10) 02 03 1F 01 00 (10) "
              "02 03 1F 02 00 (10) 02 03 1F 03 00 (10)");
    std::lock_guard<std::mutex> hold(rig.far.mutex());
    EXPECT_FALSE(rig.robot.drive().running);
    for (int ch = 0; ch < 4; ++ch) EXPECT_FALSE(rig.robot.servo(ch).on) << ch;
}

}  // namespace
