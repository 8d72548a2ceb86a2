// The camera commands on the simulated robot, as processes: a camera line round trip, tracking
// that centres a target off to one side while reports arrive on the tracking port, and a frame
// dump that arrives whole on the image port, byte for byte as the camera sent it.
#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/session.h"
#include "sim/frame_format.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using halvoran_client::ReadStatus;
using nlohmann::json;

namespace {

class CameraEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(robot.start(error)) << error;
        ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error;
    }
    void TearDown() override {
        if (!session.connected()) return;
        session.sendQuit();
        EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    }
    std::vector<uint8_t> command(const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(session.sendCommand(packet));
        EXPECT_EQ(session.readReply(reply, 15000), ReadStatus::Ok);
        return reply;
    }

    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
};

bool inDeadZone(const json& packet) {
    int x = packet["x"], y = packet["y"];
    return x >= 33 && x <= 47 && y >= 59 && y <= 85;
}

TEST_F(CameraEndToEnd, ACameraLineRoundTrip) {
    const std::string answer = "ACK\rHalvoran-sim camera 1.0\r:";
    std::vector<uint8_t> expected{0, static_cast<uint8_t>(answer.size())};
    expected.insert(expected.end(), answer.begin(), answer.end());
    EXPECT_EQ(command({'C', 2, 'g', 'v'}), expected);
    // An unknown line is refused by the camera, and the answer still ends at its prompt.
    const std::string refused = "NCK\r:";
    std::vector<uint8_t> expectedRefusal{0, static_cast<uint8_t>(refused.size())};
    expectedRefusal.insert(expectedRefusal.end(), refused.begin(), refused.end());
    EXPECT_EQ(command({'C', 2, 'z', 'z'}), expectedRefusal);
    json state = robot.state();
    ASSERT_FALSE(state.is_null());
    EXPECT_EQ(state["channel"], "camera");
}

TEST_F(CameraEndToEnd, TrackingCentresTheTargetAndReportsArriveOnTheTrackingPort) {
    ASSERT_EQ(robot.command("world target 14 -9").rfind("ok", 0), 0u);
    EXPECT_EQ(command({'T', 0, 255, 150, 255, 0, 255}), std::vector<uint8_t>{0});

    // Reports decode (framing and checksum) and carry the follow positions.
    std::array<uint8_t, 8> report{};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(session.readTrackReport(report, 5000), ReadStatus::Ok) << i;
    EXPECT_LT(report[0], 127) << "servo 1 turns right towards the target";
    EXPECT_GT(report[1], 127) << "servo 2 turns down";

    EXPECT_TRUE(robot.waitForState([](const json& s) { return inDeadZone(s["camera"]["last_packet"]); }, 5000))
        << robot.state().dump();
    // It stays there.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(session.readTrackReport(report, 5000), ReadStatus::Ok);
    json state = robot.state();
    EXPECT_TRUE(inDeadZone(state["camera"]["last_packet"])) << state.dump();
    EXPECT_GE(report[2], 33);
    EXPECT_LE(report[2], 47);
    EXPECT_GE(report[3], 59);
    EXPECT_LE(report[3], 85);

    EXPECT_EQ(command({'N'}), std::vector<uint8_t>{0});
    // After a step of following, the link may be left on the modules' channel, where the CR of
    // 'N' does not reach the camera: as every client does, empty camera lines follow until the
    // camera answers with nothing.
    for (int i = 0; i < 3 && command({'C', 0}) != std::vector<uint8_t>{0, 0}; ++i) {
    }
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["camera"]["tracking"] == false; }))
        << robot.state()["camera"].dump();
}

TEST_F(CameraEndToEnd, AFrameDumpArrivesWholeAndAsTheCameraSentIt) {
    EXPECT_EQ(command({'D'}), std::vector<uint8_t>{0});
    const size_t size = 4 + sim::frame::kFrameBytes;  // "ACK\r" and the frame
    std::vector<uint8_t> image;
    // The camera needs about 3 s for the frame at 115200 baud before the first chunk comes.
    EXPECT_EQ(session.readImage(image, size, 10000), size);
    std::vector<uint8_t> more;
    EXPECT_EQ(session.readImage(more, 1, 500), 0u) << "nothing after the frame";

    // The bytes the camera put on the line after the dump began, from the simulator's trace.
    std::vector<uint8_t> sent;
    ASSERT_TRUE(testing_support::waitUntil([&] {
        sent.clear();
        std::istringstream lines(robot.trace());
        std::string line;
        bool dumping = false;
        while (std::getline(lines, line)) {
            if (line.find("event camera frame dump of") != std::string::npos) dumping = true;
            size_t at = line.find(" out camera ");
            if (dumping && at != std::string::npos) {
                sent.push_back(static_cast<uint8_t>(std::stoul(line.substr(at + 12), nullptr, 16)));
            }
        }
        return sent.size() >= size;
    })) << sent.size();
    sent.resize(size);
    EXPECT_TRUE(image == sent);
    sim::frame::Image picture;
    std::string error;
    EXPECT_TRUE(sim::frame::decode(image, picture, &error)) << error;
}

}  // namespace
