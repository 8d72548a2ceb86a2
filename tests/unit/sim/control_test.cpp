// The run-time commands of halvoran-sim's control channel.
#include <gtest/gtest.h>

#include "sim/control.h"
#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

class ControlCommands : public ::testing::Test {
protected:
    Rig rig;
    sim::Com2Device com2;
    sim::Control control{rig.robot, &com2};
    std::string run(const std::string& line) { return control.execute(line).text; }
};

TEST_F(ControlCommands, FaultsAreSetAndCleared) {
    EXPECT_EQ(run("fault camera silent on"), "ok");
    EXPECT_TRUE(rig.robot.faults(sim::Device::Camera).silent);
    EXPECT_EQ(run("fault drive slow 300"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Drive).slowMs, 300u);
    EXPECT_EQ(run("fault drive slow"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Drive).slowMs, 200u);
    EXPECT_EQ(run("fault link garble 5"), "ok");
    EXPECT_EQ(run("fault servo drop on"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Servo).dropPercent, 10u);
    EXPECT_EQ(run("fault link unplugged on"), "ok");
    EXPECT_FALSE(rig.robot.plugged());
    EXPECT_EQ(run("fault link unplugged off"), "ok");
    EXPECT_TRUE(rig.robot.plugged());
    EXPECT_EQ(run("fault camera clear"), "ok");
    EXPECT_FALSE(rig.robot.faults(sim::Device::Camera).any());
    EXPECT_TRUE(rig.robot.faults(sim::Device::Link).any());
    EXPECT_EQ(run("fault clear"), "ok");
    for (int i = 0; i < sim::kDeviceCount; ++i) EXPECT_FALSE(rig.robot.faults(static_cast<sim::Device>(i)).any());
}

TEST_F(ControlCommands, BadCommandsAreRefusedAndChangeNothing) {
    for (const char* line :
         {"fault camera unplugged on", "fault motor silent", "fault link garble 101", "fault drive slow -3",
          "fault camera silent maybe", "world target 1", "world path spiral 1 2", "world colour 1 2 300",
          "world size -1", "world present perhaps", "frobnicate", ""}) {
        EXPECT_EQ(run(line).rfind("error: ", 0), 0u) << line;
    }
    for (int i = 0; i < sim::kDeviceCount; ++i) EXPECT_FALSE(rig.robot.faults(static_cast<sim::Device>(i)).any());
    EXPECT_EQ(sim::describePath(rig.robot.world().path()), "static 0 0");
}

TEST_F(ControlCommands, WorldCommandsMoveAndChangeTheTarget) {
    EXPECT_EQ(run("world target 12.5 -3"), "ok");
    EXPECT_DOUBLE_EQ(rig.robot.world().targetAt(0).az, 12.5);
    EXPECT_EQ(run("world path circle 0 0 10 6"), "ok");
    EXPECT_EQ(rig.robot.world().path().kind, sim::Path::Kind::Circle);
    EXPECT_EQ(run("world colour 200 30 40"), "ok");
    EXPECT_EQ(rig.robot.world().config().colour, (sim::Rgb{200, 30, 40}));
    EXPECT_EQ(run("world size 6"), "ok");
    EXPECT_DOUBLE_EQ(rig.robot.world().config().radiusDeg, 6);
    EXPECT_EQ(run("world present off"), "ok");
    EXPECT_FALSE(rig.robot.world().config().present);
    EXPECT_NE(rig.robot.traceText().find("event world path circle 0 0 10 6"), std::string::npos);
}

TEST_F(ControlCommands, StateShowsServosDriveCameraAndCounts) {
    rig.controller();
    rig.ask(bytes({2, 3, 31, 1, 0x89}));
    rig.ask(bytes({2, 3, 33, 1, 119}));
    rig.ask(bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C}));
    rig.ask(bytes({4, 4, 62, 1, 0xFE, 0x23}));
    for (uint8_t b : bytes({0xFF, 0, 0xC8, 0, 0, 0, 2, 0xCA, 0xFF})) com2.fromHost(b, 0);
    const std::string s = run("state");
    ASSERT_EQ(s.front(), '{');
    ASSERT_EQ(s.back(), '}');
    EXPECT_EQ(s.find('\n'), std::string::npos);
    for (const char* part : {"\"channel\":\"controller\"", "{\"on\":true,\"position\":119,\"head\":119",
                             "\"drive\":{\"running\":true,\"value\":-477", "[6,1,254,12]", "\"mode\":\"idle\"",
                             "\"switches\":1", "\"com2\":{\"packets\":1,\"drive\":null", "\"values\":[0,200,0,0,0]",
                             "\"plugged\":true", "\"path\":\"static 0 0\""})
        EXPECT_NE(s.find(part), std::string::npos) << part << " in " << s;
}

TEST_F(ControlCommands, NoteGoesIntoTheTraceAndQuitAsksToEnd) {
    EXPECT_EQ(run("note hello there"), "ok");
    EXPECT_NE(rig.robot.traceText().find("event control hello there"), std::string::npos);
    const sim::ControlReply r = control.execute("quit");
    EXPECT_EQ(r.text, "ok");
    EXPECT_TRUE(r.quit);
    EXPECT_FALSE(control.execute("state").quit);
}

TEST_F(ControlCommands, DroppedRepliesAreSetOnTheModulesOnlyAndShownInTheState) {
    EXPECT_EQ(run("fault drive dropreplies 3"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Drive).dropReplies, 3u);
    EXPECT_EQ(run("fault servo dropreplies 1"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Servo).dropReplies, 1u);
    for (const char* line : {"fault camera dropreplies 2", "fault link dropreplies 2", "fault drive dropreplies",
                             "fault drive dropreplies on", "fault drive dropreplies -1", "fault drive dropreplies x"})
        EXPECT_EQ(run(line).rfind("error: ", 0), 0u) << line;
    EXPECT_EQ(rig.robot.faults(sim::Device::Drive).dropReplies, 3u);
    EXPECT_NE(run("state").find("\"drive\":{\"silent\":false,\"slow_ms\":0,\"garble_percent\":0,"
                                "\"drop_percent\":0,\"unplugged\":false,\"drop_replies\":3}"),
              std::string::npos);
    EXPECT_EQ(run("fault drive dropreplies off"), "ok");
    EXPECT_EQ(rig.robot.faults(sim::Device::Drive).dropReplies, 0u);
}

// The state says whether the drive moves and at which of the client's speeds.
TEST_F(ControlCommands, StateShowsWhetherTheDriveMovesAndItsSpeed) {
    struct Row {
        std::vector<std::vector<uint8_t>> packets;
        const char* expected;
    };
    const std::vector<uint8_t> start = bytes({4, 7, 63, 1, 0, 6, 1, 0xFE, 0x0C});
    const std::vector<uint8_t> stop = bytes({4, 5, 63, 1, 0, 0, 0});
    const Row rows[] = {
        {{}, "\"running\":false,\"value\":-500,\"effective\":-500,\"moving\":false,\"speed\":0"},
        {{start}, "\"running\":true,\"value\":-500,\"effective\":-500,\"moving\":false,\"speed\":0"},
        {{start, bytes({4, 4, 62, 1, 0xFE, 0x23})}, "\"effective\":-477,\"moving\":true,\"speed\":10"},
        {{start, bytes({4, 4, 62, 1, 0xFC, 0xE0})}, "\"effective\":-800,\"moving\":true,\"speed\":-128"},
        {{start, bytes({4, 4, 62, 1, 0xFF, 0x35})}, "\"effective\":-203,\"moving\":true,\"speed\":127"},
        {{start, bytes({4, 4, 62, 1, 0xFE, 0x0A})}, "\"effective\":-502,\"moving\":true,\"speed\":-1"},
        // a value no speed byte gives
        {{start, bytes({4, 4, 62, 1, 0xFE, 0x0D})}, "\"effective\":-499,\"moving\":true,\"speed\":null"},
        // a speed sent to a stopped drive does not move it
        {{bytes({4, 4, 62, 1, 0xFE, 0x23})}, "\"running\":false,\"value\":-477,\"effective\":-500,\"moving\":false"},
        {{start, bytes({4, 4, 62, 1, 0xFE, 0x23}), stop},
         "\"running\":false,\"value\":-477,\"effective\":-500,\"moving\":false,\"speed\":0"},
    };
    for (const Row& row : rows) {
        Rig r;
        sim::Control c{r.robot, nullptr};
        r.controller();
        for (const auto& p : row.packets) r.ask(p);
        const std::string s = c.execute("state").text;
        EXPECT_NE(s.find(row.expected), std::string::npos) << row.expected << " in " << s;
    }
}

// The COM2 device's drive value is that of the last packet with flag bit 0 set.
TEST_F(ControlCommands, StateShowsTheLastDriveValueGivenOnCom2) {
    struct Row {
        std::vector<std::vector<uint8_t>> packets;  // values 1..5 and flags
        const char* expected;
    };
    const Row rows[] = {
        {{}, "\"drive\":null"},
        {{{100, 0, 0, 150, 90, 0x19}}, "\"drive\":100"},
        // steering alone leaves the drive as it was
        {{{100, 0, 0, 150, 90, 0x19}, {0, 12, 0, 150, 120, 0x1A}}, "\"drive\":100"},
        // the flagged stop
        {{{100, 0, 0, 150, 90, 0x19}, {0, 0, 0, 0, 0, 0x01}}, "\"drive\":0"},
        {{{100, 0, 0, 150, 90, 0x19}, {0, 0, 0, 0, 0, 0x01}, {0, 0, 0, 150, 120, 0x18}}, "\"drive\":0"},
    };
    for (const Row& row : rows) {
        sim::Com2Device device;
        for (const auto& p : row.packets) {
            uint8_t packet[9] = {0xFF, p[0], p[1], p[2], p[3], p[4], p[5], 0, 0xFF};
            packet[7] = sim::Com2Device::checksum(packet + 1);
            for (uint8_t b : packet) device.fromHost(b, 0);
        }
        sim::Control c{rig.robot, &device};
        const std::string s = c.execute("state").text;
        EXPECT_NE(s.find(row.expected), std::string::npos) << row.expected << " in " << s;
    }
}

}  // namespace
