// The idle time-outs: servos switched off after their idle time, the drive stopped after the
// drive timeout, at the right second, also across the change of the hour.
#include <gtest/gtest.h>

#include <string>

#include "app/control_state.h"
#include "link/serial_port.h"
#include "motion/idle_timeouts.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

using testing_support::bytesOf;

namespace {

constexpr const char* kServo0Off = "02 03 1F 00 00 (10)";
constexpr const char* kServo1Off = "02 03 1F 01 00 (10)";
constexpr const char* kServo2Off = "02 03 1F 02 00 (10)";
// The stop and its read-back, which the drive module answers with 0, 0.
constexpr const char* kDriveStop = "04 05 3F 01 00 00 00 (10) 04 03 3F 01 00 (20)";

class IdleTimeoutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        control.cameraSelected = 0;
        device.answer(testing_support::driveReadsStopped());
    }
    // One idle call with the clock at minute:second; returns what it sent.
    std::string at(int minute, int second) {
        vt::setClock(minute, second);
        vt::clearTrace();
        idleTimeouts();
        return vt::traceText();
    }
    void servoMovedAt(int channel, int minute, int second) {
        control.servoEnabled[channel] = true;
        control.servoMoveTime[channel] = secondsOfHour(minute, second);
    }
    void driveStartedAt(int minute, int second) {
        control.driveStopped = false;
        control.driveStartTime = secondsOfHour(minute, second);
    }
    testing_support::ScriptedDevice device;
    testing_support::VirtualSystem system{&device};
};

TEST_F(IdleTimeoutsTest, ServosOneAndTwoGoOffWhenMoreThanTwoSecondsOld) {
    servoMovedAt(1, 10, 0);
    servoMovedAt(2, 10, 1);
    EXPECT_EQ(at(10, 2), "");
    EXPECT_EQ(at(10, 3), kServo1Off);
    EXPECT_FALSE(control.servoEnabled[1]);
    EXPECT_TRUE(control.servoEnabled[2]);
    EXPECT_EQ(at(10, 4), kServo2Off);
    EXPECT_FALSE(control.servoEnabled[2]);
    EXPECT_EQ(at(10, 30), "");  // off once, not again
}

TEST_F(IdleTimeoutsTest, ServoZeroNeedsSevenSecondsAndAStoppedDrive) {
    servoMovedAt(0, 10, 0);
    control.driveTimeout = 0;  // the drive runs as long as it likes
    driveStartedAt(10, 0);
    EXPECT_EQ(at(10, 6), "");
    EXPECT_EQ(at(10, 7), "");
    EXPECT_EQ(at(12, 0), "");
    EXPECT_TRUE(control.servoEnabled[0]);
    control.driveStopped = true;  // stopped by a command
    EXPECT_EQ(at(12, 0), kServo0Off);
    EXPECT_FALSE(control.servoEnabled[0]);
}

TEST_F(IdleTimeoutsTest, ServoZeroWithAStoppedDriveAtSixAndSeven) {
    servoMovedAt(0, 10, 0);
    EXPECT_EQ(at(10, 6), "");
    EXPECT_EQ(at(10, 7), kServo0Off);
}

TEST_F(IdleTimeoutsTest, TheDriveStopsWhenNoSpeedCameWithinItsTimeout) {
    driveStartedAt(10, 0);
    EXPECT_EQ(at(10, 5), "");
    EXPECT_FALSE(control.driveStopped);
    EXPECT_EQ(at(10, 6), kDriveStop);
    EXPECT_TRUE(control.driveStopped);
    EXPECT_EQ(at(10, 20), "");
}

TEST_F(IdleTimeoutsTest, ADriveTimeoutOfZeroNeverStopsTheDrive) {
    control.driveTimeout = 0;
    driveStartedAt(10, 0);
    for (int minute : {10, 20, 40, 59}) EXPECT_EQ(at(minute, 59), "") << minute;
    EXPECT_FALSE(control.driveStopped);
}

TEST_F(IdleTimeoutsTest, ANegativeDriveTimeoutStopsTheDriveAtOnce) {
    control.driveTimeout = -1;
    driveStartedAt(10, 0);
    EXPECT_EQ(at(10, 0), kDriveStop);
    control.driveTimeout = -128;
    driveStartedAt(10, 0);
    EXPECT_EQ(at(10, 0), kDriveStop);
}

TEST_F(IdleTimeoutsTest, ServoZeroComesAfterTheDriveOfTheSameCall) {
    servoMovedAt(0, 10, 0);
    driveStartedAt(10, 0);
    // All three due at once: servo 0 waits for the drive stop of this call, so the next call.
    servoMovedAt(1, 10, 0);
    servoMovedAt(2, 10, 0);
    EXPECT_EQ(at(10, 10), std::string(kServo1Off) + " " + kServo2Off + " " + kDriveStop);
    EXPECT_TRUE(control.servoEnabled[0]);
    EXPECT_EQ(at(10, 10), kServo0Off);
}

TEST_F(IdleTimeoutsTest, FromTheCameraChannelTheControllerIsSelectedOnceBeforeTheFirstAction) {
    servoMovedAt(1, 10, 0);
    servoMovedAt(2, 10, 0);
    control.cameraSelected = 1;
    device.sendAt(vt::nowUs(), bytesOf("3A 3A"));  // camera bytes waiting in the ring
    vt::deliverDue();
    EXPECT_EQ(at(10, 3), std::string("5C 32 (10) 5C 32 (10) ") + kServo1Off + " " + kServo2Off);
    EXPECT_EQ(control.cameraSelected, 0);
    uint8_t left = 0;
    EXPECT_FALSE(control.serialPort->readByte(left));  // drained
    // Nothing due: no selection.
    control.cameraSelected = 1;
    EXPECT_EQ(at(10, 4), "");
    EXPECT_EQ(control.cameraSelected, 1);
    // The drive alone due: the selection comes before the stop.
    driveStartedAt(10, 0);
    EXPECT_EQ(at(10, 6), std::string("5C 32 (10) 5C 32 (10) ") + kDriveStop);
}

TEST_F(IdleTimeoutsTest, TheTimeOutsCountOnAcrossTheChangeOfTheHour) {
    servoMovedAt(1, 59, 58);
    EXPECT_EQ(at(59, 59), "");
    EXPECT_EQ(at(0, 0), "");          // 2 seconds old
    EXPECT_EQ(at(0, 1), kServo1Off);  // 3 seconds old

    servoMovedAt(0, 59, 55);
    EXPECT_EQ(at(0, 1), "");
    EXPECT_EQ(at(0, 2), kServo0Off);

    driveStartedAt(59, 57);
    EXPECT_EQ(at(0, 2), "");
    EXPECT_EQ(at(0, 3), kDriveStop);
}

}  // namespace
