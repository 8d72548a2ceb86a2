// The world in front of the pan/tilt head: where the camera sees the target, and that the
// steps of target following bring it into the dead zone (x 33..47, y 59..85).
#include <gtest/gtest.h>

#include <algorithm>

#include "motion/target_following.h"
#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

bool inDeadZone(const sim::TrackView& v) {
    return v.middleX >= 33 && v.middleX <= 47 && v.middleY >= 59 && v.middleY <= 85;
}

sim::World worldWithTargetAt(double az, double el) {
    sim::World world;
    world.setPath(*sim::parsePath("static " + std::to_string(az) + " " + std::to_string(el)), 0);
    return world;
}

TEST(World, TheTargetAppearsOnTheSideWhereItIs) {
    EXPECT_GT(worldWithTargetAt(10, 0).look(0, 127, 127, 100).middleX, 47);
    EXPECT_LT(worldWithTargetAt(-10, 0).look(0, 127, 127, 100).middleX, 33);
    EXPECT_LT(worldWithTargetAt(0, 6).look(0, 127, 127, 100).middleY, 59);
    EXPECT_GT(worldWithTargetAt(0, -6).look(0, 127, 127, 100).middleY, 85);
    const sim::TrackView centred = worldWithTargetAt(0, 0).look(0, 127, 127, 100);
    EXPECT_TRUE(inDeadZone(centred));
    EXPECT_EQ(centred.confidence, 100);
    // Turning the head towards the target (servo 1 down pans right) centres it.
    sim::World right = worldWithTargetAt(14, 0);
    double s1, s2;
    right.servoFor(right.targetAt(0), s1, s2);
    EXPECT_NEAR(s1, 107, 1e-9);
    EXPECT_TRUE(inDeadZone(right.look(0, 107, 127, 100)));
}

TEST(World, SteppingTheServosAsTargetFollowingDoesBringsTheTargetIntoTheDeadZone) {
    for (double az : {-22.0, -15.0, -8.0, -4.0, 0.0, 4.0, 8.0, 15.0, 22.0}) {
        for (double el : {-18.0, -10.0, -4.0, 0.0, 4.0, 10.0, 18.0}) {
            sim::World world = worldWithTargetAt(az, el);
            int s1 = 127, s2 = 127;
            sim::TrackView v = world.look(0, uint8_t(s1), uint8_t(s2), 100);
            ASSERT_TRUE(v.seen) << az << " " << el;
            int steps = 0;
            while (!inDeadZone(v) && steps < 30) {
                s1 = followedServo1Position(uint8_t(s1), v.middleX);
                s2 = followedServo2Position(uint8_t(s2), v.middleY);
                v = world.look(0, uint8_t(s1), uint8_t(s2), 100);
                ASSERT_TRUE(v.seen);
                ++steps;
            }
            EXPECT_TRUE(inDeadZone(v)) << "target at " << az << " " << el;
            EXPECT_EQ(v.confidence, 100);
        }
    }
}

TEST(World, ATargetOutOfViewGivesNothing) {
    const sim::TrackView v = worldWithTargetAt(40, 0).look(0, 127, 127, 100);
    EXPECT_FALSE(v.seen);
    EXPECT_EQ(v.middleX, 0);
    EXPECT_EQ(v.middleY, 0);
    EXPECT_EQ(v.pixels, 0);
    EXPECT_EQ(v.confidence, 0);
    // Looking that way finds it.
    EXPECT_TRUE(worldWithTargetAt(40, 0).look(0, 70, 127, 100).seen);
    // No target at all.
    sim::World empty = worldWithTargetAt(0, 0);
    empty.setPresent(false);
    EXPECT_FALSE(empty.look(0, 127, 127, 100).seen);
}

TEST(World, APartlyVisibleTargetHasLessConfidenceAndStaysInsideThePicture) {
    const sim::TrackView v = worldWithTargetAt(23, 0).look(0, 127, 127, 200);
    ASSERT_TRUE(v.seen);
    EXPECT_LT(v.confidence, 200);
    EXPECT_GT(v.confidence, 5);
    EXPECT_EQ(v.x2, 80);
    EXPECT_GT(v.middleX, 60);
    EXPECT_EQ(worldWithTargetAt(0, 0).look(0, 127, 127, 200).confidence, 200);
}

TEST(World, PathsMoveTheTarget) {
    sim::World world;
    world.setPath(*sim::parsePath("line -10 0 10 0 4"), 1000000);
    EXPECT_DOUBLE_EQ(world.targetAt(1000000).az, -10);
    EXPECT_DOUBLE_EQ(world.targetAt(3000000).az, 10);  // half way through: the far end
    EXPECT_DOUBLE_EQ(world.targetAt(4000000).az, 0);   // on its way back
    world.setPath(*sim::parsePath("circle 0 0 5 8"), 0);
    EXPECT_NEAR(world.targetAt(0).el, 5, 1e-9);
    EXPECT_NEAR(world.targetAt(2000000).az, 5, 1e-9);
    EXPECT_NEAR(world.targetAt(4000000).el, -5, 1e-9);
    EXPECT_FALSE(sim::parsePath("circle 0 0 5"));
    EXPECT_FALSE(sim::parsePath("line 0 0 1 1 0"));
    EXPECT_FALSE(sim::parsePath("static 1 x"));
    EXPECT_FALSE(sim::parsePath("spiral 1 2"));
    EXPECT_FALSE(sim::parsePath("static nan 0"));
}

// The whole chain through the link: servo packets turn the head, the camera's packets show it.
TEST(World, FollowingThroughTheLinkCentresTheTarget) {
    Rig rig;
    rig.robot.setPath(*sim::parsePath("static 15 -9"));
    rig.controller();
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    rig.ask(bytes({2, 3, 31, 2, 0x89}));
    int s1 = 127, s2 = 127;
    sim::TrackView v;
    for (int step = 0; step < 20; ++step) {
        rig.camera();
        rig.sendText("tc 0 255 150 255 0 255\r");
        std::vector<uint8_t> out = rig.wait(50);
        rig.sendText("\r");
        for (uint8_t b : rig.wait(5)) out.push_back(b);
        // The last whole packet before the prompt.
        auto it = std::find(out.rbegin(), out.rend(), 0xFF);
        ASSERT_NE(it, out.rend());
        const size_t at = size_t(out.rend() - it) - 1;
        ASSERT_GE(out.size(), at + 10);
        const int x = out[at + 2], y = out[at + 3];
        if (x >= 33 && x <= 47 && y >= 59 && y <= 85) break;
        s1 = followedServo1Position(uint8_t(s1), uint8_t(x));
        s2 = followedServo2Position(uint8_t(s2), uint8_t(y));
        rig.controller();
        rig.ask(bytes({2, 3, 33, 1, s1}));
        rig.ask(bytes({2, 3, 33, 2, s2}));
    }
    v = rig.robot.camera().lastView();
    EXPECT_TRUE(inDeadZone(v)) << int(v.middleX) << " " << int(v.middleY);
    EXPECT_LT(s1, 127);
    EXPECT_GT(s2, 127);
}

}  // namespace
