// The channel switch in front of the camera and the controller modules, and the byte trace.
#include <gtest/gtest.h>

#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

TEST(ChannelSwitch, StartsOnTheCameraChannel) {
    Rig rig;
    EXPECT_EQ(rig.robot.channel(), sim::Channel::Camera);
    EXPECT_EQ(rig.askText("\r"), ":");
    EXPECT_TRUE(rig.ask(bytes({2, 2, 31, 1})).empty());  // goes to the camera as text
}

TEST(ChannelSwitch, SelectsTheControllerAndTheCameraAndAnswersNothing) {
    Rig rig;
    EXPECT_TRUE(rig.ask(bytes({0x5C, '2'})).empty());
    EXPECT_EQ(rig.robot.channel(), sim::Channel::Controller);
    EXPECT_EQ(rig.ask(bytes({2, 2, 31, 1})).size(), 5u);
    EXPECT_TRUE(rig.ask(bytes({0x5C, '1'})).empty());
    EXPECT_EQ(rig.robot.channel(), sim::Channel::Camera);
    EXPECT_EQ(rig.askText("gv\r"), "ACK\rHalvoran-sim camera 1.0\r:");
    EXPECT_EQ(rig.robot.counts().switches, 2u);
    // Neither the modules nor the camera saw the switch bytes.
    EXPECT_EQ(rig.robot.servoModule().framer().skipped(), 0u);
    EXPECT_EQ(rig.robot.camera().lines().size(), 1u);
}

TEST(ChannelSwitch, BytesReachOnlyTheSelectedDevice) {
    Rig rig;
    rig.controller();
    rig.askText("tc\r");  // the camera does not hear it
    EXPECT_FALSE(rig.robot.camera().tracking());
    rig.camera();
    rig.ask(bytes({2, 3, 31, 1, 0x89}));  // the servo module does not hear it
    EXPECT_FALSE(rig.robot.servo(1).on);
    EXPECT_EQ(rig.robot.camera().lines().size(), 0u);  // no CR came after the packet
}

TEST(ChannelSwitch, ABackslashWithAnotherByteIsPassedOnWithIt) {
    Rig rig;
    EXPECT_EQ(rig.askText("\\A\r"), "NCK\r:");
    ASSERT_EQ(rig.robot.camera().lines().size(), 1u);
    EXPECT_EQ(rig.robot.camera().lines()[0], "\\A");
    // Two backslashes are passed on together, and a '2' after them is plain data.
    rig.askText("\\\\2\r");
    EXPECT_EQ(rig.robot.camera().lines().back(), "\\\\2");
    EXPECT_EQ(rig.robot.channel(), sim::Channel::Camera);
    // On the controller channel the backslash is skipped and the byte after it starts a packet.
    rig.controller();
    EXPECT_EQ(rig.ask(bytes({0x5C, 2, 2, 31, 1})), bytes({2, 3, 31, 1, 0}));
}

TEST(ChannelSwitch, WhatADeviceSendsWhileTheOtherChannelIsSelectedIsLost) {
    Rig rig;
    rig.controller();
    rig.send(bytes({2, 2, 31, 1}));
    rig.camera();  // before the module's reply is due
    EXPECT_TRUE(rig.wait(10).empty());
    EXPECT_EQ(rig.robot.counts().lostToChannel, 5u);

    // A tracking stream goes on in the camera while the controller is selected; none of it
    // comes back until the camera is selected again.
    rig.askText("tc\r", 10);
    rig.controller();
    EXPECT_TRUE(rig.wait(200).empty());
    rig.camera();
    const std::vector<uint8_t> back = rig.wait(200);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back[0], 0xFF);
}

TEST(ChannelSwitch, TraceRecordsEveryByteWithItsTimeDirectionAndChannel) {
    Rig rig;
    rig.t = 1000;
    rig.controller();
    rig.ask(bytes({2, 2, 31, 1}), 5);
    const std::vector<sim::TraceEntry>& trace = rig.robot.trace();
    std::vector<std::string> lines;
    for (const sim::TraceEntry& e : trace)
        if (e.kind != sim::TraceEntry::Kind::Event) lines.push_back(sim::formatTrace(e));
    const std::vector<std::string> expected = {
        "1000 in switch 5c",      "1000 in switch 32",      "1000 in controller 02",  "1000 in controller 02",
        "1000 in controller 1f",  "1000 in controller 01",  "2500 out controller 02", "2500 out controller 03",
        "2500 out controller 1f", "2500 out controller 01", "2500 out controller 00"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(rig.robot.bytesToHost(), bytes({2, 3, 31, 1, 0}));
    EXPECT_NE(rig.robot.traceText().find("event switch channel controller"), std::string::npos);
    EXPECT_NE(rig.robot.traceText().find("event controller servo 1 status query: off"), std::string::npos);
}

TEST(ChannelSwitch, WithPacingBytesAreOneByteTimeApart) {
    sim::Config config;
    config.pacing = true;
    Rig rig(config);
    rig.controller();
    rig.send(bytes({2, 2, 31, 1}));
    rig.wait(10);
    std::vector<uint64_t> times;
    for (const sim::TraceEntry& e : rig.robot.trace())
        if (e.kind == sim::TraceEntry::Kind::Out) times.push_back(e.tUs);
    ASSERT_EQ(times.size(), 5u);
    EXPECT_EQ(times[0], 1500u + 87u);  // the first byte is complete one byte time after the delay
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 86u);
        EXPECT_LE(times[i] - times[i - 1], 88u);
    }
}

}  // namespace
