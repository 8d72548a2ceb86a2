// Target following: the steps of both tables at their boundaries, the clamps, the modes, and
// the order of switching, enabling, moving, stamping and pausing.
#include "tests/unit/camera/camera_rig.h"

#include "motion/target_following.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"

namespace camera_test {
namespace {

class TargetFollowing : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        control.trackModeBoth = true;
        control.servoEnabled[1] = true;
        control.servoEnabled[2] = true;
    }
    // Servo 1's position after one step from `from` for middle x (y in the dead zone).
    int afterX(int from, uint8_t x) {
        control.trackServo1Position = static_cast<uint8_t>(from);
        followTarget(x, 70);
        return control.trackServo1Position;
    }
    int afterY(int from, uint8_t y) {
        control.trackServo2Position = static_cast<uint8_t>(from);
        followTarget(40, y);
        return control.trackServo2Position;
    }
};

TEST_F(TargetFollowing, EveryBoundaryOfTheHorizontalTable) {
    const std::pair<uint8_t, int> steps[] = {{255, -8}, {61, -8}, {60, -4}, {48, -4}, {47, 0}, {33, 0},
                                             {32, 4},   {20, 4},  {19, 8},  {1, 8},   {0, 0}};
    for (auto [x, step] : steps) EXPECT_EQ(afterX(127, x), 127 + step) << "x " << int(x);
}

TEST_F(TargetFollowing, EveryBoundaryOfTheVerticalTable) {
    const std::pair<uint8_t, int> steps[] = {{255, 6}, {93, 6},  {92, 4},  {86, 4}, {85, 0}, {59, 0},
                                             {58, -4}, {52, -4}, {51, -6}, {1, -6}, {0, 0}};
    for (auto [y, step] : steps) EXPECT_EQ(afterY(127, y), 127 + step) << "y " << int(y);
}

TEST_F(TargetFollowing, PositionsAreClampedEvenWithoutAStep) {
    EXPECT_EQ(afterX(240, 5), 245);
    EXPECT_EQ(afterX(12, 70), 10);
    EXPECT_EQ(afterX(5, 70), 10);  // left low by a drive command before tracking
    EXPECT_EQ(afterX(5, 0), 10);   // no step, still clamped
    EXPECT_EQ(afterX(250, 40), 245);
    EXPECT_EQ(afterX(250, 5), 245);
    EXPECT_EQ(afterY(238, 100), 240);
    EXPECT_EQ(afterY(18, 10), 15);
    EXPECT_EQ(afterY(3, 10), 15);
    EXPECT_EQ(afterY(3, 70), 15);
    EXPECT_EQ(afterY(255, 0), 240);
}

TEST_F(TargetFollowing, TheWorkedTrace) {
    control.trackServo1Position = 127;
    control.trackServo2Position = 127;
    control.cameraSelected = 1;
    vt::setClock(12, 34);
    followTarget(70, 100);
    EXPECT_EQ(trace(), "5C 32 (10) 5C 32 (10) 02 03 21 01 77 (10) (10) 02 03 21 02 85 (10)");
    EXPECT_EQ(control.trackServo1Position, 119);
    EXPECT_EQ(control.lastServo1Position & 0xFF, 119);
    EXPECT_EQ(control.trackServo2Position, 133);
    EXPECT_EQ(control.lastServo2Position & 0xFF, 133);
    EXPECT_EQ(control.cameraSelected, 0);
    // Both stamped with the clock read after servo 1's move (40 ms into minute 12, second 34).
    EXPECT_EQ(control.servoMoveTime[1], 12 * 60 + 34);
    EXPECT_EQ(control.servoMoveTime[2], 12 * 60 + 34);
}

TEST_F(TargetFollowing, TheControllerIsTakenTwiceEvenWhenItIsBelievedSelected) {
    control.cameraSelected = 0;
    control.trackModeBoth = false;
    control.trackModeReportOnly = true;
    followTarget(70, 100);
    EXPECT_EQ(trace(), "5C 32 (10) 5C 32 (10) (10)");
}

TEST_F(TargetFollowing, WithOnlyServo1FollowingServo2IsNeitherChangedNorSentButStamped) {
    control.trackModeBoth = false;
    control.trackModeServo1 = true;
    control.trackServo1Position = 127;
    control.trackServo2Position = 3;  // out of range: not clamped, since it does not follow
    vt::setClock(20, 0);
    followTarget(70, 100);
    EXPECT_EQ(trace(), "5C 32 (10) 5C 32 (10) 02 03 21 01 77 (10) (10)");
    EXPECT_EQ(control.trackServo2Position, 3);
    EXPECT_EQ(control.servoMoveTime[2], 20 * 60);
}

TEST_F(TargetFollowing, WithOnlyServo2FollowingServo1StaysAndOnlyServo2Moves) {
    control.trackModeBoth = false;
    control.trackModeServo2 = true;
    control.trackServo1Position = 250;
    control.trackServo2Position = 127;
    followTarget(70, 100);
    EXPECT_EQ(trace(), "5C 32 (10) 5C 32 (10) (10) 02 03 21 02 85 (10)");
    EXPECT_EQ(control.trackServo1Position, 250);
}

// Against the servo module model: switching on goes through its answers.
class TargetFollowingOnTheRobot : public ::testing::Test {
protected:
    sim::Robot robot;
    SimFarEnd far{robot};
    testing_support::VirtualSystem system{&far};
};

TEST_F(TargetFollowingOnTheRobot, ReportOnlySwitchesBothServosOnTwiceEachAndMovesNeither) {
    control.trackModeReportOnly = true;
    control.trackServo1Position = 127;
    control.trackServo2Position = 127;
    vt::setClock(30, 15);
    followTarget(70, 100);
    // Each enable: the enable packet, 10 ms, the status query, one empty poll of its answer
    // (10 ms); two of them 20 ms apart per servo, servo 2 first.
    const std::string enable2 = "02 03 1F 02 89 (10) 02 02 1F 02 (10)";
    const std::string enable1 = "02 03 1F 01 89 (10) 02 02 1F 01 (10)";
    EXPECT_EQ(vt::traceText(),
              "5C 32 (10) 5C 32 (10) " + enable2 + " (20) " + enable2 + " " + enable1 + " (20) " + enable1 + " (10)");
    EXPECT_TRUE(control.servoEnabled[1]);
    EXPECT_TRUE(control.servoEnabled[2]);
    EXPECT_EQ(control.servoMoveTime[1], 30 * 60 + 15);
    EXPECT_EQ(control.servoMoveTime[2], 30 * 60 + 15);
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_TRUE(robot.servo(1).on);
    EXPECT_TRUE(robot.servo(2).on);
    EXPECT_EQ(robot.servo(1).moves, 0u);
    EXPECT_EQ(robot.servo(2).moves, 0u);
}

TEST_F(TargetFollowingOnTheRobot, AServoThatDoesNotAnswerIsStillMarkedOnAndMoved) {
    robot.faults(sim::Device::Servo).silent = true;
    control.trackModeBoth = true;
    control.trackServo1Position = 127;
    control.trackServo2Position = 127;
    followTarget(70, 100);
    EXPECT_TRUE(control.servoEnabled[1]);
    EXPECT_TRUE(control.servoEnabled[2]);
    std::lock_guard<std::mutex> hold(far.mutex());
    EXPECT_EQ(robot.servo(1).position, 119);
    EXPECT_EQ(robot.servo(2).position, 133);
}

}  // namespace
}  // namespace camera_test
