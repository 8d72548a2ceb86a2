// The whole program on the simulated robot in virtual time: the modules initialised at
// start-up, a drive command served, the idle time-outs of the main loop across the change of
// the hour, and the robot stopped at the end.
#include <gtest/gtest.h>

#include <thread>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "motion/drive_command.h"
#include "net/tcp_endpoint.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_program.h"
#include "tests/support/virtual_system.h"
#include "tests/unit/motion/motion_rig.h"

using testing_support::decodeReplies;
using testing_support::framed;
using testing_support::waitUntil;

namespace {

class MainLoopMotionTest : public ::testing::Test, protected testing_support::RobotProgram {};

TEST_F(MainLoopMotionTest, IdleTimeOutsStopTheRobotAcrossTheHourAndShutdownStopsTheRest) {
    bool servo1OffAtSecondOne = false, driveRanAtSecondOne = false, driveStoppedAtSecondFour = false;
    bool servo0OnAtSecondFour = false, servo0OffAtSecondFive = false;
    std::vector<std::vector<uint8_t>> replies;
    const int exitCode = program.run([&] {
        program.connectAll();
        const int command = program.command;
        // A first 'P' that does nothing: once it is answered, the main loop runs and the
        // virtual clock no longer races ahead in the wait for the clients.
        vt::clientSend(command, framed(motion_test::drivePacket(0, 0, 0, 0, 0, 0)));
        waitUntil([&] { return decodeReplies(vt::clientReceived(command)).size() == 1; });
        vt::setClock(59, 58);
        vt::clientSend(command,
                       framed(motion_test::drivePacket(0, 20, 90, 100, 0, SET_SPEED | MOVE_SERVO0 | MOVE_SERVO1)));
        waitUntil([&] { return decodeReplies(vt::clientReceived(command)).size() == 2; });

        vt::setClock(0, 1);  // 3 seconds after the move: servo 1 off, the drive goes on
        servo1OffAtSecondOne = robotBecomes([](sim::Robot& r) { return !r.servo(1).on; });
        driveRanAtSecondOne = robotState([](sim::Robot& r) { return r.drive().running; });

        vt::setClock(0, 4);  // 6 seconds after the speed: the drive stops
        driveStoppedAtSecondFour = robotBecomes([](sim::Robot& r) { return !r.drive().running; });
        servo0OnAtSecondFour = robotState([](sim::Robot& r) { return r.servo(0).on; });

        vt::setClock(0, 5);  // servo 0: 7 seconds, and the drive stopped
        servo0OffAtSecondFive = robotBecomes([](sim::Robot& r) { return !r.servo(0).on; });

        vt::clientSend(command, {0xFF, 0x36});
        replies = decodeReplies(vt::clientReceived(command));
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(servo1OffAtSecondOne);
    EXPECT_TRUE(driveRanAtSecondOne);
    EXPECT_TRUE(driveStoppedAtSecondFour);
    EXPECT_TRUE(servo0OnAtSecondFour);
    EXPECT_TRUE(servo0OffAtSecondFive);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1][0], 0);
    EXPECT_EQ(replies[1][1], 0x03);  // servos 0 and 1 on when the status was read
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_EQ(robot.servo(0).position, 90);
    EXPECT_EQ(robot.servo(1).position, 100);
    EXPECT_EQ(robot.drive().speedValue, -454);  // speed 20
    EXPECT_EQ(robot.drive().stops, 1u);         // by the time-out; shutdown finds it stopped
    for (int ch = 0; ch < 4; ++ch) EXPECT_FALSE(robot.servo(ch).on) << ch;
}

}  // namespace
