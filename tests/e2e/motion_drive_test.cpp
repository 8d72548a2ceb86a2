// Driving the simulated robot through halvoran, as processes: 'P' moves the drive and the
// servos and is answered with the status; however the run ends, the robot is left with the
// drive stopped and every servo off; and the drive stops by itself when the client falls silent.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/lib/session.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using halvoran_client::ReadStatus;
using nlohmann::json;

namespace {

constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02, MOVE_SERVO0 = 0x04, MOVE_SERVO1 = 0x08,
                  MOVE_SERVO2 = 0x10;

class MotionEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(robot.start(error)) << error;
        ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error;
    }
    std::vector<uint8_t> drive(const std::vector<uint8_t>& parameters) {
        std::vector<uint8_t> packet(parameters.size() + 1, 'P');
        std::copy(parameters.begin(), parameters.end(), packet.begin() + 1);
        std::vector<uint8_t> reply;
        EXPECT_TRUE(session.sendCommand(packet));
        EXPECT_EQ(session.readReply(reply, 10000), ReadStatus::Ok);
        return reply;
    }
    // Drives at speed 40 with no drive timeout and moves servos 0, 1 and 2 to 60, 70 and 80.
    void driveAndMoveAll() {
        std::vector<uint8_t> reply =
            drive({0, 40, 60, 70, 80, SET_DRIVE_TIMEOUT | SET_SPEED | MOVE_SERVO0 | MOVE_SERVO1 | MOVE_SERVO2});
        // 0; servos 0, 1 and 2 on; running forward at -500 + trunc(2.34375 x 40) = -407 (FE 69).
        EXPECT_EQ(testing_support::hex(reply), "00 07 01 01 FE 69 00 00 00 00 00 00");
        json state = robot.state();
        ASSERT_FALSE(state.is_null());
        EXPECT_EQ(state["drive"]["running"], true);
        EXPECT_EQ(state["drive"]["value"], -407);
        const int positions[3] = {60, 70, 80};
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(state["servos"][ch]["on"], true) << ch;
            EXPECT_EQ(state["servos"][ch]["position"], positions[ch]) << ch;
        }
    }
    // After halvoran has ended: the drive stopped, servos 0 to 3 off, and the trace ends with
    // the stop and the four switch-offs in that order.
    void expectRobotStopped() {
        // Halvoran's last bytes may still be on their way through the pseudo-terminal when it
        // has ended: the simulator is given the time to read them.
        EXPECT_TRUE(robot.waitForState([](const json& s) {
            if (s["drive"]["running"] != false) return false;
            for (int ch = 0; ch < 4; ++ch) {
                if (s["servos"][ch]["on"] != false) return false;
            }
            return true;
        })) << robot.state().dump();
        std::string trace = robot.trace();
        size_t at = trace.rfind("drive write parameter 0: 0 0");
        ASSERT_NE(at, std::string::npos);
        for (const char* off : {"servo 0 off", "servo 1 off", "servo 2 off", "servo 3 off"}) {
            at = trace.find(off, at);
            ASSERT_NE(at, std::string::npos) << off << " missing after the last drive stop";
        }
    }

    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
};

TEST_F(MotionEndToEnd, TheQuitEscapeLeavesTheRobotStopped) {
    driveAndMoveAll();
    ASSERT_TRUE(session.sendQuit());
    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    expectRobotStopped();
}

TEST_F(MotionEndToEnd, SigtermLeavesTheRobotStopped) {
    driveAndMoveAll();
    robot.halvoran().signal(SIGTERM);
    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    expectRobotStopped();
}

TEST_F(MotionEndToEnd, ALostConnectionLeavesTheRobotStopped) {
    driveAndMoveAll();
    session.closePort(0, /*reset=*/true);
    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    expectRobotStopped();
}

TEST_F(MotionEndToEnd, TheDriveAndTheServosStopByThemselvesWhenTheClientFallsSilent) {
    // Drive timeout 1 second; servo 1 switches off after 2 seconds, servo 0 after 6 once the
    // drive has stopped.
    std::vector<uint8_t> reply = drive({1, 20, 90, 100, 0, SET_DRIVE_TIMEOUT | SET_SPEED | MOVE_SERVO0 | MOVE_SERVO1});
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_TRUE(robot.waitForState([](const json& s) {
        return s["drive"]["running"] == false && s["servos"][1]["on"] == false;
    })) << robot.state().dump();
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["servos"][0]["on"] == false; }, 15000))
        << robot.state().dump();
    // The robot was stopped by the time-outs while halvoran still serves.
    EXPECT_EQ(drive({0, 0, 0, 0, 0, 0}).at(2), 0);  // the drive status says stopped
    ASSERT_TRUE(session.sendQuit());
    EXPECT_EQ(robot.waitHalvoranExit(), 0);
}

}  // namespace
