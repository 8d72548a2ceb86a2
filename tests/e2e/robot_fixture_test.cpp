// Halvoran on the simulated robot, as processes: the start-up reaches the simulator's controller
// channel, and a client session ends the program cleanly.
#include <gtest/gtest.h>

#include "client/lib/session.h"
#include "tests/support/robot_processes.h"

namespace {

TEST(SimulatedRobotProcesses, StartUpSelectsTheControllerAndAClientSessionEndsCleanly) {
    testing_support::SimulatedRobot robot;
    std::string error;
    ASSERT_TRUE(robot.start(error)) << error;
    ASSERT_TRUE(robot.waitForState([](const nlohmann::json& s) { return s["channel"] == "controller"; }))
        << robot.trace();

    halvoran_client::Session session;
    ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error;
    ASSERT_TRUE(session.sendCommand({0x74}));  // an unknown letter
    std::vector<uint8_t> reply;
    ASSERT_EQ(session.readReply(reply, 10000), halvoran_client::ReadStatus::Ok);
    EXPECT_EQ(reply, std::vector<uint8_t>{2});
    ASSERT_TRUE(session.sendQuit());
    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    // The trace shows the start-up switch as the first bytes Halvoran wrote.
    std::string trace = robot.trace();
    size_t first = trace.find(" in switch 5c");
    ASSERT_NE(first, std::string::npos) << trace.substr(0, 2000);
    EXPECT_NE(trace.find(" in switch 32", first), std::string::npos);
}

}  // namespace
