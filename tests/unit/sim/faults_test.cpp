// Faults of the devices and of the link: they take effect when set and stop when cleared.
#include <gtest/gtest.h>

#include "tests/unit/sim/sim_rig.h"

using sim::Device;
using simtest::bytes;
using simtest::Rig;

namespace {

const std::vector<uint8_t> kQuery = {2, 2, 31, 1};
const std::vector<uint8_t> kStatus = {4, 2, 61, 1};

TEST(Faults, ASilentDeviceHearsButDoesNotAnswer) {
    Rig rig;
    rig.controller();
    rig.robot.faults(Device::Servo).silent = true;
    EXPECT_TRUE(rig.ask(kQuery).empty());
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    EXPECT_TRUE(rig.robot.servo(1).on);       // it still acts
    EXPECT_EQ(rig.ask(kStatus).size(), 10u);  // the drive module still answers
    rig.robot.faults(Device::Servo).silent = false;
    EXPECT_EQ(rig.ask(kQuery), bytes({2, 3, 31, 1, 0x89}));
}

TEST(Faults, ASilentCameraGivesNoPromptAndNoStream) {
    Rig rig;
    rig.robot.setFaults(Device::Camera, sim::Faults{.silent = true});
    EXPECT_TRUE(rig.ask(std::vector<uint8_t>{'\r'}).empty());
    rig.askText("tc\r");
    EXPECT_TRUE(rig.wait(500).empty());
    EXPECT_TRUE(rig.robot.camera().tracking());
    rig.robot.clearFaults();
    EXPECT_FALSE(rig.wait(100).empty());
    EXPECT_NE(rig.robot.traceText().find("event link faults of camera: silent"), std::string::npos);
    EXPECT_NE(rig.robot.traceText().find("event link faults cleared"), std::string::npos);
}

TEST(Faults, ASlowDeviceAnswersAfterItsDelay) {
    Rig rig;
    rig.controller();
    rig.robot.faults(Device::Drive).slowMs = 100;
    rig.send(kStatus);
    EXPECT_TRUE(rig.wait(100).empty());
    EXPECT_EQ(rig.wait(2).size(), 10u);
    EXPECT_EQ(rig.ask(kQuery, 2).size(), 5u);  // the servo module is not slowed
    rig.robot.faults(Device::Drive).slowMs = 0;
    EXPECT_EQ(rig.ask(kStatus, 2).size(), 10u);
    // A slow link slows every device.
    rig.robot.faults(Device::Link).slowMs = 30;
    EXPECT_TRUE(rig.ask(kQuery, 30).empty());
    EXPECT_EQ(rig.wait(2).size(), 5u);
}

TEST(Faults, GarblingMixesRandomBytesInRepeatablyBySeed) {
    auto run = [](uint32_t seed) {
        sim::Config config;
        config.seed = seed;
        config.faults[size_t(Device::Link)].garblePercent = 50;
        Rig rig(config);
        rig.controller();
        std::vector<uint8_t> all;
        for (int i = 0; i < 20; ++i)
            for (uint8_t b : rig.ask(kStatus)) all.push_back(b);
        return std::make_pair(all, rig.robot.counts().garbled);
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a.first, b.first);
    EXPECT_NE(a.first, c.first);
    EXPECT_GT(a.second, 0u);
    // Insertions make the stream longer; replacements keep its length.
    EXPECT_GE(a.first.size(), 200u);
    EXPECT_LE(a.first.size() - 200u, a.second);
}

TEST(Faults, FullGarblingReplacesEveryByteAndAddsOneAfterIt) {
    sim::Config config;
    config.faults[size_t(Device::Drive)].garblePercent = 100;
    Rig rig(config);
    rig.controller();
    const std::vector<uint8_t> garbled = rig.ask(kStatus);
    EXPECT_EQ(garbled.size(), 20u);         // every byte replaced and one inserted after each
    EXPECT_EQ(rig.ask(kQuery).size(), 5u);  // the servo module is clean
    rig.robot.faults(Device::Drive).garblePercent = 0;
    EXPECT_EQ(rig.ask(kStatus), bytes({4, 8, 61, 1, 0, 0, 0, 0, 0xFE, 0x0C}));
}

TEST(Faults, DroppingLosesBytesInBothDirections) {
    Rig rig;
    rig.controller();
    rig.robot.faults(Device::Servo).dropPercent = 100;
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    EXPECT_FALSE(rig.robot.servo(1).on);  // it never heard the packet
    EXPECT_EQ(rig.ask(kStatus).size(), 10u);
    rig.robot.faults(Device::Servo).dropPercent = 0;
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    EXPECT_TRUE(rig.robot.servo(1).on);
    // A link that drops everything: the drive hears nothing.
    rig.robot.faults(Device::Link).dropPercent = 100;
    rig.ask(bytes({4, 4, 62, 1, 0xFF, 0x35}));
    EXPECT_EQ(rig.robot.drive().speedValue, -500);
    rig.robot.faults(Device::Link).dropPercent = 0;
    // Half the bytes: some go, some do not.
    rig.robot.faults(Device::Drive).dropPercent = 50;
    size_t got = 0;
    for (int i = 0; i < 40; ++i) got += rig.ask(kStatus, 60).size();  // gaps reset the framing
    EXPECT_GT(got, 0u);
    EXPECT_LT(got, 400u);
    EXPECT_GT(rig.robot.counts().lostToFaults, 0u);
}

TEST(Faults, AnUnpluggedLinkPassesNothingEitherWayUntilPluggedIn) {
    Rig rig;
    rig.robot.faults(Device::Link).unplugged = true;
    EXPECT_FALSE(rig.robot.plugged());
    rig.controller();
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    EXPECT_EQ(rig.robot.channel(), sim::Channel::Camera);
    EXPECT_FALSE(rig.robot.servo(1).on);
    rig.robot.faults(Device::Link).unplugged = false;
    rig.controller();
    EXPECT_EQ(rig.ask(kQuery).size(), 5u);
    // Output already due is lost while unplugged.
    rig.send(kQuery);
    rig.robot.faults(Device::Link).unplugged = true;
    EXPECT_TRUE(rig.wait(10).empty());
}

// The next N replies of a module are lost; the module still carries the requests out, and the
// replies after those N come again. Only the module named loses replies.
TEST(Faults, DroppedRepliesAreCountedDownAndTheRequestsStillAct) {
    struct Row {
        Device device;
        uint32_t drop;
        std::vector<uint8_t> request;
        size_t replyLength;
    };
    const Row rows[] = {
        {Device::Servo, 1, kQuery, 5},
        {Device::Servo, 3, {2, 2, 30, 0x80}, 5},
        {Device::Drive, 1, kStatus, 10},
        {Device::Drive, 2, {4, 3, 63, 1, 0}, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(deviceName(row.device) + std::string(" ") + std::to_string(row.drop));
        Rig rig;
        rig.controller();
        rig.robot.faults(row.device).dropReplies = row.drop;
        // A request to the other module is answered and does not count down.
        const bool servo = row.device == Device::Servo;
        EXPECT_EQ(rig.ask(servo ? kStatus : kQuery).size(), servo ? 10u : 5u);
        for (uint32_t i = 0; i < row.drop; ++i) {
            EXPECT_TRUE(rig.ask(row.request).empty()) << "reply " << i;
            EXPECT_EQ(rig.robot.faults(row.device).dropReplies, row.drop - i - 1);
        }
        EXPECT_EQ(rig.ask(row.request).size(), row.replyLength);
        EXPECT_EQ(rig.ask(row.request).size(), row.replyLength);
        EXPECT_FALSE(rig.robot.faults(row.device).any());
    }
    // The start write and its read-back: the read-back is lost, yet the drive runs.
    Rig rig;
    rig.controller();
    rig.robot.faults(Device::Drive).dropReplies = 1;
    rig.send(bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C}));
    EXPECT_TRUE(rig.ask(bytes({4, 3, 63, 1, 0})).empty());
    rig.ask(bytes({4, 4, 62, 1, 0xFE, 0x23}));
    EXPECT_TRUE(rig.robot.drive().running);
    EXPECT_EQ(rig.robot.drive().effectiveValue(), -477);
    EXPECT_NE(rig.robot.traceText().find("drive reply dropped (0 more to drop)"), std::string::npos);
}

}  // namespace
