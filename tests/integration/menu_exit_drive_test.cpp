// The menu mode on the simulated robot (halvoran-sim: its camera on "COM1:", its drive device
// on "COM2:"): however the mode ends, the last drive value its drive device was given is 0,
// never the follow drive of 100.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

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

class MenuModeEnd : public ::testing::TestWithParam<Row> {
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

INSTANTIATE_TEST_SUITE_P(Ends, MenuModeEnd, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
