// The bridge's Halvoran session (RobotLink) against a scripted stand-in for Halvoran on the fixed
// ports: it connects again after Halvoran went away, carries out the queue in its order, turns a
// frame dump into a picture, and stops a drive whose driver fell silent. The hub's clock is the
// test's, so the silence is the test's too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "bridge/robot_link.h"
#include "sim/frame_format.h"
#include "tests/e2e/client_fake_halvoran.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#ifdef HALVORAN_BRIDGE_TESTS

using namespace bridge;
using client_tests::FakeHalvoran;
using testing_support::waitUntil;

namespace {

constexpr int WAIT_MS = 20000;
const std::vector<uint8_t> DRIVE_DONE{0, 0x3A, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> CAMERA_DONE{0, 1, ':'};

// What the hub sends the one test client: each message with its channel (subscription id ==
// channel id).
struct Sink : ClientSink {
    void sendText(ClientId, std::string) override {}
    void sendBinary(ClientId, std::string frame) override {
        if (frame.size() < 13) return;
        std::lock_guard lock(mutex);
        messages.emplace_back(static_cast<uint8_t>(frame[1]), json::parse(frame.substr(13)));
    }
    std::vector<json> on(uint32_t channel) {
        std::lock_guard lock(mutex);
        std::vector<json> out;
        for (auto& [c, m] : messages)
            if (c == channel) out.push_back(m);
        return out;
    }
    std::mutex mutex;
    std::vector<std::pair<uint32_t, json>> messages;
};

// The packet as the stand-in records it: letter, parameters, checksum.
std::vector<uint8_t> withoutChecksum(std::vector<uint8_t> packet) {
    if (!packet.empty()) packet.pop_back();
    return packet;
}

std::vector<uint8_t> cameraLine(const std::string& line) {
    std::vector<uint8_t> packet;
    std::string error;
    EXPECT_TRUE(halvoran_client::cameraPacket(line, packet, error)) << error;
    return packet;
}

std::vector<uint8_t> bridgeDrive(std::optional<int> speed, bool stop) {
    halvoran_client::DriveRequest request;
    request.timeout = 1;
    request.speed = speed;
    request.stop = stop;
    std::vector<uint8_t> packet;
    std::string error;
    EXPECT_TRUE(halvoran_client::drivePacket(request, packet, error)) << error;
    return packet;
}

class RobotLinkTest : public ::testing::Test {
protected:
    RobotLinkTest()
        : link(
              "127.0.0.1", [this] { return time(); }, [](const std::string&) {}),
          hub(
              sink, link, "test", "127.0.0.1", [this] { return time(); }, [](const std::string&) {}) {}
    ~RobotLinkTest() override { link.stop(); }  // before the hub it calls goes

    void SetUp() override {
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << taken;
        hub.open(1, "driver");
        hub.handleText(1, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1},{"id":3,"channelId":3},
            {"id":4,"channelId":4},{"id":6,"channelId":6},{"id":7,"channelId":7}]})");
        hub.handleText(1, R"({"op":"advertise","channels":[
            {"id":10,"topic":"/halvoran/drive","encoding":"json","schemaName":"x"}]})");
    }

    Clock::time_point time() {
        return Clock::time_point{} + std::chrono::hours(1) + std::chrono::milliseconds(ms.load());
    }

    // A fresh stand-in (like Halvoran, it serves one session).
    void serve(FakeHalvoran::Handler handler) {
        fake.reset();
        fake = std::make_unique<FakeHalvoran>();
        std::string error;
        ASSERT_TRUE(fake->start(std::move(handler), error)) << error;
    }
    // Answers a camera line as done with nothing to show, anything else as a drive status.
    static void answerDriveAndCamera(FakeHalvoran& server, const std::vector<uint8_t>& packet) {
        server.reply(0, packet[0] == cameraLine("")[0] ? CAMERA_DONE : DRIVE_DONE);
    }

    bool connectedShown(bool connected) {
        auto shown = sink.on(CONNECTION_CHANNEL);
        return !shown.empty() && shown.back()["connected"] == connected;
    }
    bool sent(const std::vector<uint8_t>& packet) {
        for (auto& p : fake->packets())
            if (withoutChecksum(p) == packet) return true;
        return false;
    }
    Command cameraCommand(uint32_t client, const std::string& line) {
        Command c;
        c.kind = Command::Kind::CameraLine;
        c.client = client;
        c.received = time();
        c.line = line;
        return c;
    }
    void driveMessage(const std::string& payload) {
        std::string frame(1, '\x01');
        frame += std::string("\x0a\0\0\0", 4) + payload;
        hub.handleBinary(1, frame);
    }

    std::atomic<int64_t> ms{0};
    std::unique_ptr<FakeHalvoran> fake;  // outlives the link
    Sink sink;
    RobotLink link;
    Hub hub;
};

TEST_F(RobotLinkTest, ConnectsAgainAfterHalvoranWentAway) {
    link.start(hub);
    serve(answerDriveAndCamera);
    ASSERT_TRUE(waitUntil([&] { return connectedShown(true); }, WAIT_MS));
    fake.reset();  // Halvoran ends the session and its ports close
    ASSERT_TRUE(waitUntil([&] { return connectedShown(false); }, WAIT_MS));
    serve(answerDriveAndCamera);
    ASSERT_TRUE(waitUntil([&] { return connectedShown(true); }, WAIT_MS));
    link.submit(cameraCommand(1, "gv"), false);
    EXPECT_TRUE(waitUntil([&] { return sent(cameraLine("gv")); }, WAIT_MS));
    EXPECT_TRUE(waitUntil([&] { return !sink.on(REPLY_CHANNEL).empty(); }, WAIT_MS));
    EXPECT_EQ(sink.on(REPLY_CHANNEL).back()["ok"], true) << sink.on(REPLY_CHANNEL).back();
}

// While the first line is on its way, a stop goes before everything waiting and takes the place
// of the speed still waiting, and then the clients take turns (client 2 before client 1's second
// and third line), each in its own order.
TEST_F(RobotLinkTest, AStopGoesFirstAndTheClientsTakeTurns) {
    std::atomic<bool> holding{true};
    serve([&](FakeHalvoran& server, const std::vector<uint8_t>& packet) {
        if (withoutChecksum(packet) == cameraLine("a") && holding) return;  // answered by the test
        answerDriveAndCamera(server, packet);
    });
    link.start(hub);
    link.submit(cameraCommand(1, "a"), false);
    ASSERT_TRUE(waitUntil([&] { return sent(cameraLine("a")); }, WAIT_MS));
    link.submit(cameraCommand(1, "b1"), false);
    link.submit(cameraCommand(1, "b2"), false);
    link.submit(cameraCommand(2, "c"), false);
    Command speed;
    speed.client = 1;
    speed.received = time();
    speed.speed = 20;
    link.submit(speed, false);
    Command stop;
    stop.client = 1;
    stop.stop = true;
    link.submit(stop, true);
    holding = false;
    fake->reply(0, CAMERA_DONE);
    ASSERT_TRUE(waitUntil([&] { return fake->packets().size() >= 5; }, WAIT_MS));
    std::vector<std::vector<uint8_t>> order;
    for (auto& p : fake->packets()) order.push_back(withoutChecksum(p));
    std::vector<std::vector<uint8_t>> expected{cameraLine("a"), bridgeDrive(std::nullopt, true), cameraLine("c"),
                                               cameraLine("b1"), cameraLine("b2")};
    EXPECT_EQ(std::vector(order.begin(), order.begin() + 5), expected);
    EXPECT_FALSE(sent(bridgeDrive(20, false)));
}

// A whole dump becomes a picture; one that falls silent half-way ends with an error and none.
TEST_F(RobotLinkTest, AFrameDumpBecomesAPictureAndACutOneAnError) {
    struct Row {
        bool whole;
        const char* error;
    };
    const Row rows[] = {{true, nullptr}, {false, "the frame stopped before its end"}};
    std::atomic<size_t> dumps{0};
    serve([&](FakeHalvoran& server, const std::vector<uint8_t>& packet) {
        if (packet[0] != 'D') return answerDriveAndCamera(server, packet);
        sim::frame::Image image;
        std::vector<uint8_t> dump = sim::frame::encode(image);
        if (!rows[dumps++ % 2].whole) dump.resize(dump.size() / 2);
        server.reply(0, {0});
        server.send(1, dump);
    });
    link.start(hub);
    for (Row row : rows) {
        SCOPED_TRACE(row.whole ? "whole" : "cut");
        {
            std::lock_guard lock(sink.mutex);
            sink.messages.clear();
        }
        Command capture;
        capture.kind = Command::Kind::Capture;
        capture.client = 1;
        link.submit(capture, false);
        auto done = [&] {
            for (const json& p : sink.on(FRAME_PROGRESS_CHANNEL))
                if (p["done"] == true) return true;
            return false;
        };
        ASSERT_TRUE(waitUntil(done, WAIT_MS));
        json last = sink.on(FRAME_PROGRESS_CHANNEL).back();
        if (row.error) {
            EXPECT_EQ(last["error"], row.error);
            EXPECT_TRUE(sink.on(IMAGE_CHANNEL).empty());
        } else {
            EXPECT_TRUE(last["error"].is_null()) << last;
            ASSERT_EQ(sink.on(IMAGE_CHANNEL).size(), 1u);
            EXPECT_EQ(sink.on(IMAGE_CHANNEL)[0]["width"], 160);
        }
    }
}

// A driver that gives no speed for a second has its drive stopped by the bridge.
TEST_F(RobotLinkTest, ASilentDriversDriveIsStopped) {
    serve(answerDriveAndCamera);
    link.start(hub);
    ASSERT_TRUE(waitUntil([&] { return connectedShown(true); }, WAIT_MS));
    driveMessage(R"({"speed":30})");
    ASSERT_TRUE(waitUntil([&] { return sent(bridgeDrive(30, false)); }, WAIT_MS));
    EXPECT_FALSE(sent(bridgeDrive(std::nullopt, true)));
    ms += 1000;
    EXPECT_TRUE(waitUntil([&] { return sent(bridgeDrive(std::nullopt, true)); }, WAIT_MS));
}

}  // namespace

#endif
