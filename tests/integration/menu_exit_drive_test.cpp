// The menu mode on the simulated robot (halvoran-sim: its camera on "COM1:", its drive device
// on "COM2:"): however the mode ends, the last drive value its drive device was given is 0,
// never the follow drive of 100. And while it follows, the follow drive holds for at most a
// second without a tracking packet that sees the target: a silent camera or a target out of
// sight stops the drive device, and the target back in sight drives it again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "menu/menu_mode.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using nlohmann::json;
using testing_support::waitUntil;

namespace {

enum class When {
    DuringSetUp,     // the follow drive has gone out, the camera set-up still runs
    WhileFollowing,  // the camera streams and the loop steers
};

struct Row {
    const char* name;
    When when;
    bool stopFirst;  // STOP is pressed before Exit
};

const Row kRows[] = {
    {"ExitDuringSetUp", When::DuringSetUp, false},
    {"ExitWhileFollowing", When::WhileFollowing, false},
    {"StopDuringSetUpThenExit", When::DuringSetUp, true},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class MenuOnRobot : public ::testing::Test {
protected:
    void TearDown() override {
        stopMenuMode();
        unsetenv("HALVORAN_COM1");
        unsetenv("HALVORAN_COM2");
    }
    json com2() {
        json s = robot.state();
        return s.is_null() || s.is_discarded() ? json() : s["com2"];
    }
    testing_support::SimulatedRobot robot;
};

class MenuModeEnd : public MenuOnRobot, public ::testing::WithParamInterface<Row> {};

TEST_P(MenuModeEnd, LeavesTheSecondPortsDriveStopped) {
    const Row& row = GetParam();
    std::string error, taken;
    ASSERT_TRUE(testing_support::portsFree({4999, 5000, 5001, 5002, 5003}, taken)) << taken;
    ASSERT_TRUE(robot.startSimulator({}, error, /*withCom2=*/true)) << error;
    setenv("HALVORAN_COM1", robot.link().c_str(), 1);
    setenv("HALVORAN_COM2", robot.com2Link().c_str(), 1);
    startMenuMode();
    ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; }, 10000));

    startFollowLine();
    // The follow drive (100 on value 1) is the first thing the drive device gets.
    ASSERT_TRUE(waitUntil([&] { return com2()["packets"].get<int>() >= 1; }, 10000)) << com2().dump();
    ASSERT_EQ(com2()["last"]["values"][0], 100) << com2().dump();
    if (row.when == When::WhileFollowing) {
        ASSERT_TRUE(robot.waitForState([](const json& s) {
            return s["camera"]["tracking"] == true && s["com2"]["packets"].get<int>() >= 4;
        })) << robot.state().dump();
    } else {
        // The camera has not been told to track yet: the set-up is still running.
        ASSERT_EQ(robot.state()["camera"]["tracking"], false);
    }
    if (row.stopFirst) stopFollowLine();
    stopMenuMode();

    // The drive value last given (value 1 of the last packet with its flag set) is 0.
    EXPECT_EQ(com2()["drive"], 0) << com2().dump();
    EXPECT_EQ(com2()["bad"], 0);
}

struct WatchRow {
    const char* name;
    std::vector<std::string> simCommands;  // before Follow
    bool targetComesBack;                  // the target is put back once the drive stopped
};

const WatchRow kWatchRows[] = {
    {"CameraSilent", {"fault camera silent on"}, false},
    {"TargetOutOfSight", {"world present off"}, true},
};

void PrintTo(const WatchRow& row, std::ostream* out) { *out << row.name; }

class MenuFollowWatch : public MenuOnRobot, public ::testing::WithParamInterface<WatchRow> {
protected:
    // The simulator's time at which the drive device's drive value (value 1 of the last packet
    // that flags it) is first seen to be `value`; 0 when it is not within timeoutMs.
    uint64_t driveBecomes(int value, int timeoutMs) {
        uint64_t atUs = 0;
        robot.waitForState(
            [&](const json& s) {
                if (s["com2"]["drive"] != value) return false;
                atUs = s["time_us"].get<uint64_t>();
                return true;
            },
            timeoutMs);
        return atUs;
    }
};

TEST_P(MenuFollowWatch, TheFollowDriveHoldsASecondWithoutTheTarget) {
    const WatchRow& row = GetParam();
    std::string error, taken;
    ASSERT_TRUE(testing_support::portsFree({4999, 5000, 5001, 5002, 5003}, taken)) << taken;
    ASSERT_TRUE(robot.startSimulator({}, error, /*withCom2=*/true)) << error;
    for (const std::string& command : row.simCommands) ASSERT_EQ(robot.command(command), "ok") << command;
    setenv("HALVORAN_COM1", robot.link().c_str(), 1);
    setenv("HALVORAN_COM2", robot.com2Link().c_str(), 1);
    startMenuMode();
    ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; }, 10000));

    startFollowLine();
    const uint64_t drivingUs = driveBecomes(100, 10000);
    ASSERT_NE(drivingUs, 0u) << com2().dump();
    // Nobody presses STOP: the watch alone stops the drive device.
    const uint64_t stoppedUs = driveBecomes(0, 6000);
    ASSERT_NE(stoppedUs, 0u) << "the follow drive runs on: " << com2().dump();
    EXPECT_LE(stoppedUs - drivingUs, 1300000u) << "stopped late";
    EXPECT_EQ(com2()["bad"], 0);

    if (row.targetComesBack) {
        ASSERT_EQ(robot.command("world present on"), "ok");
        EXPECT_NE(driveBecomes(100, 10000), 0u) << "the target is back but the drive is not: " << com2().dump();
    }
    stopFollowLine();
    stopMenuMode();
    EXPECT_EQ(com2()["drive"], 0) << com2().dump();
}

INSTANTIATE_TEST_SUITE_P(Follow, MenuFollowWatch, ::testing::ValuesIn(kWatchRows),
                         [](const ::testing::TestParamInfo<WatchRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Ends, MenuModeEnd, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
