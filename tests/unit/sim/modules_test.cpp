// The servo module and the drive module behind the controller channel.
#include <gtest/gtest.h>

#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

class Modules : public ::testing::Test {
protected:
    void SetUp() override { rig.controller(); }
    Rig rig;
};

TEST_F(Modules, ServoStatusQueryAnswersFiveBytesWithTheFifthNonZeroOnlyWhenOn) {
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 1})), bytes({2, 3, 31, 1, 0}));
    // Enable as the system does it: 0x87 for channel 0, 0x89 for the others.
    EXPECT_TRUE(rig.ask(bytes({2, 3, 31, 0, 0x87})).empty());
    EXPECT_TRUE(rig.ask(bytes({2, 3, 31, 3, 0x89})).empty());
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 0})), bytes({2, 3, 31, 0, 0x87}));
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 3})), bytes({2, 3, 31, 3, 0x89}));
    EXPECT_TRUE(rig.robot.servo(0).on);
    EXPECT_TRUE(rig.robot.servo(3).on);
    EXPECT_FALSE(rig.robot.servo(1).on);
    rig.ask(bytes({2, 3, 31, 3, 0}));  // off
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 3})), bytes({2, 3, 31, 3, 0}));
    EXPECT_FALSE(rig.robot.servo(3).on);
}

TEST_F(Modules, RepliesComeAfterTheReplyDelayAndNotBefore) {
    rig.send(bytes({2, 2, 31, 1}));
    EXPECT_TRUE(rig.wait(1.4).empty());
    EXPECT_EQ(rig.wait(0.1).size(), 5u);
}

TEST_F(Modules, ServoModuleReadGivesTheChannelsOnAndThePositions) {
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    rig.ask(bytes({2, 3, 31, 2, 0x89}));
    EXPECT_EQ(rig.ask(bytes({2, 2, 30, 0x80})), bytes({2, 3, 30, 0x80, 0x06}));
    rig.ask(bytes({2, 3, 33, 2, 200}));
    EXPECT_EQ(rig.ask(bytes({2, 2, 30, 2})), bytes({2, 3, 30, 2, 200}));
    EXPECT_EQ(rig.ask(bytes({2, 2, 30, 0x55})), bytes({2, 3, 30, 0x55, 0}));
}

TEST_F(Modules, TheHeadFollowsAPositionOnlyWhileTheServoIsOn) {
    rig.ask(bytes({2, 3, 33, 1, 100}));
    EXPECT_EQ(rig.robot.servo(1).position, 100);
    EXPECT_EQ(rig.robot.servo(1).headPosition, 127);
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    EXPECT_EQ(rig.robot.servo(1).headPosition, 100);
    rig.ask(bytes({2, 3, 33, 1, 119}));
    EXPECT_EQ(rig.robot.servo(1).headPosition, 119);
    rig.ask(bytes({2, 3, 31, 1, 0}));
    rig.ask(bytes({2, 3, 33, 1, 20}));
    EXPECT_EQ(rig.robot.servo(1).headPosition, 119);
    EXPECT_EQ(rig.robot.servo(1).moves, 3u);
}

TEST_F(Modules, DriveStartIsReadBackAsSixOneAndStopAsZeroZero) {
    EXPECT_FALSE(rig.robot.drive().running);
    EXPECT_TRUE(rig.ask(bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C})).empty());
    const std::vector<uint8_t> reply = rig.ask(bytes({4, 3, 63, 1, 0}), 20);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[5], 6);
    EXPECT_EQ(reply[6], 1);
    EXPECT_TRUE(rig.robot.drive().running);
    EXPECT_EQ(rig.robot.drive().speedValue, -500);
    const std::array<uint8_t, 4> started{6, 1, 0xFE, 0x0C};
    EXPECT_EQ(rig.robot.drive().parameter(0), started);

    rig.ask(bytes({4, 5, 63, 1, 0, 0, 0}));
    EXPECT_FALSE(rig.robot.drive().running);
    EXPECT_EQ(rig.ask(bytes({4, 3, 63, 1, 0}), 20), bytes({4, 5, 63, 1, 0, 0, 0}));
}

TEST_F(Modules, DriveValuesOfTheSpeedTableAreTakenAsSignedHighByteFirst) {
    rig.ask(bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C}));
    const struct {
        uint8_t hi, lo;
        int value;
    } table[] = {{0xFC, 0xE0, -800}, {0xFE, 0x0A, -502}, {0xFE, 0x0C, -500}, {0xFE, 0x0E, -498},
                 {0xFE, 0xA2, -350}, {0xFF, 0x35, -203}, {0xFD, 0x89, -631}, {0xFE, 0x23, -477}};
    for (const auto& row : table) {
        rig.ask(bytes({4, 4, 62, 1, row.hi, row.lo}));
        EXPECT_EQ(rig.robot.drive().speedValue, row.value);
        // The status carries the value in effect at positions 9 and 10, the direction at 6.
        const std::vector<uint8_t> status = rig.ask(bytes({4, 2, 61, 1}));
        ASSERT_EQ(status.size(), 10u);
        EXPECT_EQ(status[8], row.hi);
        EXPECT_EQ(status[9], row.lo);
        EXPECT_EQ(status[5], row.value > -500 ? 1 : row.value < -500 ? 2 : 0);
    }
    EXPECT_EQ(rig.robot.drive().speedCommands, 8u);
}

TEST_F(Modules, DriveStatusHasTenBytesWithRunningModeAndValue) {
    EXPECT_EQ(rig.ask(bytes({4, 2, 61, 1})), bytes({4, 8, 61, 1, 0, 0, 0, 0, 0xFE, 0x0C}));
    rig.ask(bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C}));
    rig.ask(bytes({4, 4, 62, 1, 0xFF, 0x35}));
    EXPECT_EQ(rig.ask(bytes({4, 2, 61, 1})), bytes({4, 8, 61, 1, 1, 1, 6, 1, 0xFF, 0x35}));
    // Stopped, the value in effect is the stop value again; the last value sent is kept.
    rig.ask(bytes({4, 5, 63, 1, 0, 0, 0}));
    EXPECT_EQ(rig.ask(bytes({4, 2, 61, 1})), bytes({4, 8, 61, 1, 0, 0, 0, 0, 0xFE, 0x0C}));
    EXPECT_EQ(rig.robot.drive().speedValue, -203);
}

TEST_F(Modules, StartUpSequenceLeavesServosOffConfiguredAndTheDriveStopped) {
    std::vector<uint8_t> replies;
    for (int ch = 0; ch < 4; ++ch) {
        const uint8_t c = uint8_t(ch);
        rig.ask(bytes({2, 3, 31, c, ch == 0 ? 0x87 : 0x89}));
        for (uint8_t b : rig.ask(bytes({2, 2, 31, c}))) replies.push_back(b);
        rig.ask(bytes({2, 4, 32, c, 0, 70}));
        rig.ask(bytes({2, 3, 31, c, 0}));
    }
    const int params[][2] = {{1, 20}, {2, 0}, {3, 80}, {6, 100}, {7, 5}};
    for (const auto& p : params) rig.ask(bytes({4, 5, 63, 1, p[0], 0, p[1]}), 20);
    rig.ask(bytes({4, 5, 63, 1, 0, 0, 0}));

    EXPECT_EQ(replies.size(), 20u);  // only the four status replies
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(replies[size_t(ch) * 5 + 4], ch == 0 ? 0x87 : 0x89);
        EXPECT_FALSE(rig.robot.servo(ch).on);
        const std::array<uint8_t, 2> configured{0, 70};
        EXPECT_EQ(rig.robot.servo(ch).config, configured);
    }
    for (const auto& p : params) EXPECT_EQ(rig.robot.drive().parameter(p[0])[1], p[1]);
    EXPECT_FALSE(rig.robot.drive().running);
    EXPECT_EQ(rig.robot.servoModule().packets(), 16u);
    EXPECT_EQ(rig.robot.driveModule().packets(), 6u);
}

TEST_F(Modules, BytesThatStartNoPacketAreSkipped) {
    // A CR and stray bytes while idle, then a query: only the query is answered.
    EXPECT_EQ(rig.ask(bytes({0x0D, 0x00, 0x7F, 2, 2, 31, 1})), bytes({2, 3, 31, 1, 0}));
    EXPECT_EQ(rig.robot.servoModule().framer().skipped(), 3u);
}

TEST_F(Modules, MalformedPacketsAreConsumedByTheirCountAndNotAnswered) {
    // Unknown command, wrong count for a known command, channel 4, drive axis 2,
    // drive parameter 16, and an empty packet: each is swallowed whole, nothing changes.
    rig.send(bytes({2, 3, 99, 1, 1}));
    rig.send(bytes({2, 4, 31, 1, 0x89, 0}));
    rig.send(bytes({2, 3, 31, 4, 0x89}));
    rig.send(bytes({4, 4, 62, 2, 0xFF, 0x35}));
    rig.send(bytes({4, 3, 63, 1, 16}));
    rig.send(bytes({2, 0}));
    EXPECT_TRUE(rig.wait(10).empty());
    EXPECT_FALSE(rig.robot.servo(1).on);
    EXPECT_EQ(rig.robot.drive().speedValue, -500);
    EXPECT_EQ(rig.robot.servoModule().ignored(), 4u);
    EXPECT_EQ(rig.robot.driveModule().ignored(), 2u);
    // The framing is intact afterwards.
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 1})), bytes({2, 3, 31, 1, 0}));
}

TEST_F(Modules, AGapInsideAPacketDropsItSoThatTheNextPacketIsUnderstood) {
    rig.send(bytes({2, 9, 31}));  // announces nine bytes, sends one
    EXPECT_TRUE(rig.wait(60).empty());
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 1})), bytes({2, 3, 31, 1, 0}));
    EXPECT_EQ(rig.robot.servoModule().framer().timedOut(), 1u);
}

TEST_F(Modules, WithoutAGapALongCountSwallowsTheFollowingPacket) {
    rig.send(bytes({2, 9, 31}));
    EXPECT_TRUE(rig.ask(bytes({2, 2, 31, 1})).empty());
}

TEST_F(Modules, BothModulesFrameEveryPacketSoAddressBytesInsideOthersAreNotStarts) {
    // A drive write whose data bytes are 2 and 4, then a servo position of 4 and 2.
    rig.send(bytes({4, 5, 63, 1, 2, 2, 4}));
    rig.send(bytes({2, 3, 33, 2, 4}));
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 2})), bytes({2, 3, 31, 2, 0}));
    EXPECT_EQ(rig.ask(bytes({4, 3, 63, 1, 2}), 20), bytes({4, 5, 63, 1, 2, 2, 4}));
    EXPECT_EQ(rig.robot.servo(2).position, 4);
    EXPECT_EQ(rig.robot.servoModule().ignored() + rig.robot.driveModule().ignored(), 0u);
}

}  // namespace
