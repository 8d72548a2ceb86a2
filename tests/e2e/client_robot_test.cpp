// halvoran-client against Halvoran on the simulated robot: each command end to end, checked in
// what the client printed and in what the simulated robot did.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/frame_format.h"
#include "tests/e2e/client_run.h"
#include "tests/e2e/client_tmux.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

#if defined(HALVORAN_CLIENT_BIN) && defined(HALVORAN_SIM_BIN)

using client_tests::ClientProcess;
using client_tests::ClientRun;
using client_tests::linesOf;
using nlohmann::json;
using testing_support::readFile;
using testing_support::waitUntil;

namespace {

class ClientOnRobot : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testing_support::makeTempDir("halvoran-client-robot");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }

    void startRobot(const std::vector<std::string>& simulatorOptions = {}) {
        std::string error;
        ASSERT_TRUE(robot.start(error, simulatorOptions)) << error;
    }

    ClientRun run(const std::vector<std::string>& args) {
        std::vector<std::string> all{"--connect-timeout", "15000"};
        all.insert(all.end(), args.begin(), args.end());
        ClientRun r = client_tests::runClient(HALVORAN_CLIENT_BIN, dir, all);
        EXPECT_NE(r.exitCode, -1) << "halvoran-client did not end";
        return r;
    }

    // The client's session is Halvoran's only one: when the client leaves, Halvoran ends.
    void expectHalvoranEnded() { EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors(); }

    std::string dir;
    testing_support::SimulatedRobot robot;
};

TEST_F(ClientOnRobot, DriveRunsTheRobotUntilStopAndMovesTheServos) {
    ASSERT_NO_FATAL_FAILURE(startRobot());
    ClientProcess client;
    ASSERT_TRUE(client.start(HALVORAN_CLIENT_BIN, dir,
                             {"--connect-timeout", "15000", "-c",
                              "drive --speed 40 --steer 100 --pan 90 --tilt 160; sleep 2000; stop; status"}));
    EXPECT_TRUE(robot.waitForState([](const json& s) {
        return s["drive"]["running"] == true && s["servos"][0]["position"] == 100 && s["servos"][1]["position"] == 90 &&
               s["servos"][2]["position"] == 160;
    })) << robot.state().dump();
    ClientRun r = client.finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("done: servo module ", 0), 0u) << line;
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["drive"]["running"] == false; }));
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, CameraAndModulesPassThrough) {
    ASSERT_NO_FATAL_FAILURE(startRobot());
    ClientRun r = run({"-c", "camera gv; camera xyzzy; modules 02 02 1E 80"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "ACK");
    EXPECT_NE(lines[1].find("camera"), std::string::npos);
    EXPECT_EQ(lines[2], "NCK");  // the camera refuses a word it does not know
    // The servo module answers its read with five bytes.
    EXPECT_EQ(lines[3].rfind("received 5 bytes: 02 ", 0), 0u) << lines[3];
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, UnknownLetterIsResultTwo) {
    ASSERT_NO_FATAL_FAILURE(startRobot());
    ClientRun r = run({"-c", "raw t"});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "reply: 02\n");
    EXPECT_EQ(r.err, "halvoran-client: raw: Halvoran does not know this command (result 2)\n");
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, BadChecksumIsResultOne) {
    ASSERT_NO_FATAL_FAILURE(startRobot());
    ClientRun r = run({"-c", "raw P 00 00 00 00 00 00 --checksum 01"});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.err, "halvoran-client: raw: Halvoran found the packet's checksum wrong (result 1)\n");
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, SilentCameraIsResultTen) {
    ASSERT_NO_FATAL_FAILURE(startRobot({"--fault", "camera silent"}));
    ClientRun r = run({"-c", "camera gv"});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.err, "halvoran-client: camera: no answer from the camera in time (result 10)\n");
    EXPECT_EQ(r.out, "");
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, TrackingReportsFollowTheTargetAsJsonLines) {
    // The target stands right of and above the middle; following turns the head towards it.
    ASSERT_NO_FATAL_FAILURE(startRobot({"--world", "static 10 6"}));
    ClientRun r = run({"-c", "track colour 30 90 170 230 50 110 --mode both --count 6 --json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    json first, last;
    for (const std::string& line : lines) {
        json report = json::parse(line, nullptr, false);
        ASSERT_FALSE(report.is_discarded()) << line;
        for (const char* key : {"servo1", "servo2", "x", "y", "width", "height", "pixels", "confidence"}) {
            ASSERT_TRUE(report.contains(key)) << line;
        }
        EXPECT_GT(report["confidence"].get<int>(), 0) << line;
        if (first.is_null()) first = report;
        last = report;
    }
    EXPECT_TRUE(last["servo1"] != 127 || last["servo2"] != 127) << lines.back();
    // 'N' went out after the last report: the camera no longer tracks.
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["camera"]["tracking"] == false; }))
        << robot.state()["camera"].dump();
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, DumpSavesThePictureTheCameraSaw) {
    ASSERT_NO_FATAL_FAILURE(startRobot());
    std::string png = dir + "/frame.png", raw = dir + "/frame.bin";
    ClientRun r = run({"-c", "dump -o " + png + " --raw " + raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("frame: 34470 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("saved " + png + " (160 x 143)"), std::string::npos) << r.out;

    client_tests::Picture picture = client_tests::readPicture(png);
    ASSERT_EQ(picture.width, 160u);
    ASSERT_EQ(picture.height, 143u);
    std::string bytes = readFile(raw);
    EXPECT_EQ(bytes.size(), 34470u);
    sim::frame::Image frame;
    ASSERT_TRUE(sim::frame::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), frame));
    // The target stands in the middle of the picture, in its colour (green above all).
    const uint8_t* middle = picture.at(81, 72);
    EXPECT_EQ(std::vector<uint8_t>(middle, middle + 3), std::vector<uint8_t>(frame.at(40, 72), frame.at(40, 72) + 3));
    EXPECT_GT(middle[1], middle[0] + 60);
    EXPECT_GT(middle[1], middle[2] + 60);
    expectHalvoranEnded();
}

TEST_F(ClientOnRobot, TeleopDrivesAndStopsFromTheKeyboard) {
    if (!client_tests::TmuxTerminal::available()) GTEST_SKIP() << "tmux is not installed";
    ASSERT_NO_FATAL_FAILURE(startRobot());
    client_tests::TmuxTerminal terminal;
    ASSERT_TRUE(terminal.start(std::string(HALVORAN_CLIENT_BIN) + " --connect-timeout 15000 teleop"));
    ASSERT_TRUE(waitUntil([&] { return terminal.screen().find("status: done") != std::string::npos; }, 15000))
        << terminal.screen();

    ASSERT_TRUE(terminal.sendKeys("Up Up"));
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["drive"]["running"] == true; }))
        << robot.state()["drive"].dump();
    EXPECT_TRUE(waitUntil([&] { return terminal.screen().find("speed 20 ") != std::string::npos; }))
        << terminal.screen();
    // Longer than the drive timeout (5 s): the steady drive commands keep it running.
    const long before = robot.state()["drive"]["speed_commands"].get<long>();
    EXPECT_TRUE(robot.waitForState(
        [before](const json& s) { return s["drive"]["speed_commands"].get<long>() >= before + 30; }, 20000));
    EXPECT_EQ(robot.state()["drive"]["running"], true);

    ASSERT_TRUE(terminal.sendKeys("Space"));
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["drive"]["running"] == false; }));
    ASSERT_TRUE(terminal.sendKeys("q"));
    EXPECT_TRUE(waitUntil([&] { return !terminal.running(); }, 10000));
    expectHalvoranEnded();
}

}  // namespace

#endif
