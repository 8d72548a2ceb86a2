// The camera commands against the simulated robot in virtual time: a camera line and a module
// request round trip, and tracking that brings a target off to one side into the dead zone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "protocol/dispatcher.h"
#include "protocol/framing.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

namespace camera_test {
namespace {

using testing_support::text;

sim::Config withTargetAt(double az, double el) {
    sim::Config config;
    config.world.path.az = az;
    config.world.path.el = el;
    return config;
}

class CameraOnTheRobot : public ::testing::Test {
protected:
    explicit CameraOnTheRobot(sim::Config config = sim::Config()) : robot(config) {}
    void SetUp() override { system.connectClients(); }

    void dispatch(std::vector<uint8_t> packet) {
        packet.push_back(packetChecksum(packet.data(), static_cast<int>(packet.size())));
        dispatchCommand(packet.data(), static_cast<int32_t>(packet.size()));
    }
    // Main-loop passes with `ms` of time going by, one millisecond between passes.
    void runMs(int ms) {
        Deframer deframer;
        for (int i = 0; i < ms; ++i) {
            ASSERT_TRUE(mainLoopPass(deframer));
            vt::advanceMs(1);
        }
    }
    sim::TrackView lastView() {
        std::lock_guard<std::mutex> hold(far.mutex());
        return robot.camera().lastView();
    }

    sim::Robot robot;
    SimFarEnd far{robot};
    testing_support::VirtualSystem system{&far};
};

TEST_F(CameraOnTheRobot, ACameraLineAndAModuleRequestRoundTrip) {
    control.cameraSelected = 0;
    std::vector<uint8_t> line = {'C', 2, 'g', 'v'};
    dispatch(line);
    dispatch({'B', 4, 2, 2, 31, 3});  // status query of servo channel 3
    std::vector<std::vector<uint8_t>> replies = system.commandReplies();
    ASSERT_EQ(replies.size(), 2u);
    const std::string answer = "ACK\rHalvoran-sim camera 1.0\r:";
    std::vector<uint8_t> expected{0, static_cast<uint8_t>(answer.size())};
    for (char c : answer) expected.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(replies[0], expected);
    EXPECT_EQ(replies[1], (std::vector<uint8_t>{0, 6, 2, 3, 31, 3, 0, '*'}));
}

class TrackingOnTheRobot : public CameraOnTheRobot {
protected:
    // Right of and below straight ahead.
    TrackingOnTheRobot() : CameraOnTheRobot(withTargetAt(12, -8)) {}
};

TEST_F(TrackingOnTheRobot, FollowingBringsTheTargetIntoTheDeadZoneAndReportsFlow) {
    control.cameraSelected = 0;
    dispatch({'T', 0, 255, 150, 255, 0, 255});
    runMs(45);  // the camera's first packet, seen with the head straight ahead
    sim::TrackView before = lastView();
    ASSERT_TRUE(before.seen);
    EXPECT_TRUE(before.middleX > 47 || before.middleY > 85) << int(before.middleX) << " " << int(before.middleY);

    runMs(4000);
    sim::TrackView after = lastView();
    ASSERT_TRUE(after.seen);
    EXPECT_GE(after.middleX, 33);
    EXPECT_LE(after.middleX, 47);
    EXPECT_GE(after.middleY, 59);
    EXPECT_LE(after.middleY, 85);

    std::vector<std::vector<uint8_t>> reports = system.trackingReplies();
    ASSERT_GE(reports.size(), 5u);
    const std::vector<uint8_t>& last = reports.back();
    ASSERT_EQ(last.size(), 8u);
    EXPECT_EQ(last[0], control.trackServo1Position);
    EXPECT_EQ(last[1], control.trackServo2Position);
    EXPECT_GT(last[7], 5);
    {
        std::lock_guard<std::mutex> hold(far.mutex());
        EXPECT_LT(robot.servo(1).position, 127) << "servo 1 turned right";
        EXPECT_GT(robot.servo(2).position, 127) << "servo 2 turned down";
    }

    // 'N' ends the camera's stream.
    dispatch({'N'});
    runMs(100);
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_FALSE(robot.camera().tracking());
}

TEST_F(TrackingOnTheRobot, ReportOnlyMovesNoServoButReportsTheTarget) {
    control.cameraSelected = 0;
    dispatch({'Z'});
    runMs(1000);
    std::vector<std::vector<uint8_t>> reports = system.trackingReplies();
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.back()[0], 127);
    EXPECT_EQ(reports.back()[1], 127);
    EXPECT_GT(reports.back()[2], 47) << "the target stays off to the right";
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_EQ(robot.servo(1).moves, 0u);
    EXPECT_EQ(robot.servo(2).moves, 0u);
    EXPECT_TRUE(robot.servo(1).on);
    EXPECT_TRUE(robot.servo(2).on);
}

}  // namespace
}  // namespace camera_test
