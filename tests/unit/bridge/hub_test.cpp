// What the bridge does with what its clients send, without sockets: bad messages get an error
// status and change nothing, good ones become Halvoran commands, message data reaches exactly
// the subscribers, and one client at a time drives, on a clock the test moves.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "bridge/hub.h"

using namespace bridge;
using namespace std::chrono_literals;

namespace {

struct Sink : ClientSink {
    std::map<ClientId, std::vector<std::string>> texts, binaries;
    void sendText(ClientId c, std::string t) override { texts[c].push_back(std::move(t)); }
    void sendBinary(ClientId c, std::string f) override { binaries[c].push_back(std::move(f)); }
    std::vector<json> statuses(ClientId c, int level) {
        std::vector<json> out;
        for (auto& t : texts[c]) {
            json j = json::parse(t);
            if (j["op"] == "status" && j["level"] == level) out.push_back(j);
        }
        return out;
    }
};

// The Halvoran side: what was submitted, and the queue the commands wait in as in the bridge.
struct Commands : CommandSink {
    std::vector<std::pair<Command, bool>> submitted;
    CommandQueue queue;
    void submit(Command c, bool urgent) override { trySubmit(std::move(c), urgent); }
    bool trySubmit(Command c, bool urgent) override {
        std::vector<Command> overtaken;
        if (queue.push(c, urgent, overtaken) == CommandQueue::Push::Busy) return false;
        submitted.emplace_back(std::move(c), urgent);
        return true;
    }
};

std::string clientData(uint32_t channel, const std::string& payload) {
    std::string frame(1, '\x01');
    for (int i = 0; i < 4; ++i) frame += static_cast<char>((channel >> (8 * i)) & 0xFF);
    return frame + payload;
}

uint64_t readLe(const std::string& s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

class HubTest : public ::testing::Test {
protected:
    HubTest()
        : hub(
              sink, commands, "halvoran-bridge test", "127.0.0.1", [this] { return now; }, [](const std::string&) {}) {
        hub.setConnected(true);
        hub.open(1, "first");
        hub.open(2, "second");
        // Client channels 10..13 of each client publish on the four topics.
        for (ClientId c : {1u, 2u}) {
            hub.handleText(c, R"({"op":"advertise","channels":[
                {"id":10,"topic":"/halvoran/drive","encoding":"json","schemaName":"x"},
                {"id":11,"topic":"/halvoran/track","encoding":"json","schemaName":"x"},
                {"id":12,"topic":"/halvoran/capture","encoding":"json","schemaName":"x"},
                {"id":13,"topic":"/halvoran/camera_line","encoding":"json","schemaName":"x"}]})");
        }
        sink.texts.clear();
        sink.binaries.clear();
    }
    void drive(ClientId c, const std::string& payload) { hub.handleBinary(c, clientData(10, payload)); }

    Sink sink;
    Commands commands;
    Clock::time_point now = Clock::time_point{} + 1000s;
    Hub hub;
};

TEST_F(HubTest, NewConnectionHearsServerInfoItsIdAndTheChannels) {
    hub.open(3, "third");
    ASSERT_GE(sink.texts[3].size(), 3u);
    json info = json::parse(sink.texts[3][0]);
    EXPECT_EQ(info["op"], "serverInfo");
    EXPECT_EQ(info["capabilities"], json::array({"clientPublish"}));
    json id = json::parse(sink.texts[3][1]);
    EXPECT_EQ(id["id"], "halvoran.client-id");
    EXPECT_EQ(id["message"], "client 3");
    json advertise = json::parse(sink.texts[3][2]);
    ASSERT_EQ(advertise["channels"].size(), 7u);
    for (const json& c : advertise["channels"]) {
        EXPECT_EQ(c["encoding"], "json");
        EXPECT_EQ(c["schemaEncoding"], "jsonschema");
        EXPECT_TRUE(json::parse(c["schema"].get<std::string>()).is_object()) << c["topic"];
    }
}

// Each text message is wrong in its own way: exactly one error status, nothing else changes, and
// the connection still works afterwards.
TEST_F(HubTest, BadTextMessagesGetAnErrorAndTheConnectionGoesOn) {
    hub.handleText(1, R"({"op":"subscribe","subscriptions":[{"id":5,"channelId":2}]})");
    const char* rows[] = {
        "not json {",
        "[1,2,3]",
        "{}",
        R"({"op":5})",
        R"({"op":"getParameters","parameterNames":[]})",
        R"({"op":"subscribe"})",
        R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":99}]})",
        R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":0}]})",
        R"({"op":"subscribe","subscriptions":[{"id":-1,"channelId":3}]})",
        R"({"op":"subscribe","subscriptions":[{"id":4294967296,"channelId":3}]})",
        R"({"op":"subscribe","subscriptions":[{"id":1.5,"channelId":3}]})",
        R"({"op":"subscribe","subscriptions":[{"id":5,"channelId":3}]})",  // id in use
        R"({"op":"subscribe","subscriptions":[{"id":6,"channelId":2}]})",  // channel subscribed
        R"({"op":"unsubscribe","subscriptionIds":[77]})",
        R"({"op":"unsubscribe","subscriptionIds":"5"})",
        R"({"op":"advertise","channels":[{"id":20,"topic":"/elsewhere","encoding":"json"}]})",
        R"({"op":"advertise","channels":[{"id":20,"topic":"/halvoran/drive","encoding":"protobuf"}]})",
        R"({"op":"advertise","channels":[{"id":10,"topic":"/halvoran/drive","encoding":"json"}]})",
        R"({"op":"unadvertise","channelIds":[99]})",
        "{\"op\":\"\xff\xfe\"}",
    };
    for (const char* row : rows) {
        sink.texts[1].clear();
        hub.handleText(1, row);
        EXPECT_EQ(sink.statuses(1, STATUS_ERROR).size(), 1u) << row;
        EXPECT_EQ(sink.texts[1].size(), 1u) << row;
    }
    EXPECT_TRUE(commands.submitted.empty());
    // Subscription 5 survived all of it and still delivers.
    hub.publish(TRACKING_CHANNEL, json{{"x", 1}}, 42);
    ASSERT_EQ(sink.binaries[1].size(), 1u);
    EXPECT_EQ(readLe(sink.binaries[1][0], 1, 4), 5u);
}

// Each published message is refused before anything reaches Halvoran.
TEST_F(HubTest, BadPublishedMessagesNeverBecomeCommands) {
    struct Row {
        uint32_t channel;
        std::string payload;
    };
    const std::vector<Row> rows = {
        {10, "{\"speed\":"},
        {10, "[40]"},
        {10, R"({"speed":128})"},
        {10, R"({"speed":-129})"},
        {10, R"({"speed":"40"})"},
        {10, R"({"speed":40.5})"},
        {10, R"({"speed":true})"},
        {10, R"({"servo1":256})"},
        {10, R"({"servo0":-1})"},
        {10, R"({"speed":18446744073709551615})"},
        {10, R"({"speed":10,"stop":true})"},
        {10, R"({"stop":"yes"})"},
        {10, R"({"timeout":0})"},  // the drive timeout is the bridge's own
        {11, R"({"action":"start","kind":"colour","mode":"both"})"},
        {11, R"({"action":"start","kind":"colour","bounds":[0,255,0,255,0]})"},
        {11, R"({"action":"start","kind":"colour","bounds":[0,255,0,255,0,256]})"},
        {11, R"({"action":"start","kind":"colour","mode":"left","bounds":[0,255,0,255,0,255]})"},
        {11, R"({"action":"start","kind":"window","window":[0,1,10,10]})"},
        {11, R"({"action":"start","kind":"window","window":[1,1,81,10]})"},
        {11, R"({"action":"start","kind":"window","window":[1,1,10,144]})"},
        {11, R"({"action":"start","kind":"window","window":[20,1,10,10]})"},
        {11, R"({"action":"start","kind":"infrared"})"},
        {11, R"({"action":"pause"})"},
        {12, R"({"now":true})"},
        {13, R"({"line":"gv\rdf"})"},
        {13, R"({"line":5})"},
        {13, "{\"line\":\"" + std::string(128, 'a') + "\"}"},
        {99, R"({"speed":1})"},  // channel never advertised
    };
    for (const Row& row : rows) {
        sink.texts[1].clear();
        hub.handleBinary(1, clientData(row.channel, row.payload));
        EXPECT_EQ(sink.statuses(1, STATUS_ERROR).size(), 1u) << row.channel << " " << row.payload;
    }
    const std::vector<std::string> frames = {"", std::string("\x02\x0a\0\0\0{}", 7), std::string("\x01\x0a\0", 3)};
    for (const std::string& frame : frames) {
        sink.texts[1].clear();
        hub.handleBinary(1, frame);
        EXPECT_EQ(sink.statuses(1, STATUS_ERROR).size(), 1u) << frame.size();
    }
    EXPECT_TRUE(commands.submitted.empty());
}

TEST_F(HubTest, GoodPublishedMessagesBecomeTheCommandsTheyName) {
    drive(1, R"({"speed":-128,"servo0":0,"servo2":255})");
    hub.handleBinary(1, clientData(11, R"({"action":"start","kind":"window","mode":"tilt","window":[1,1,80,143]})"));
    hub.handleBinary(1, clientData(11, R"({"action":"start","kind":"colour","bounds":[1,2,3,4,5,6]})"));
    hub.handleBinary(1, clientData(13, R"({"line":"gv"})"));
    ASSERT_EQ(commands.submitted.size(), 4u);
    const Command& d = commands.submitted[0].first;
    EXPECT_EQ(d.kind, Command::Kind::Drive);
    EXPECT_EQ(d.client, 1u);
    EXPECT_EQ(d.speed, -128);
    EXPECT_EQ(d.servo0, 0);
    EXPECT_FALSE(d.servo1.has_value());
    EXPECT_EQ(d.servo2, 255);
    const Command& w = commands.submitted[1].first;
    EXPECT_TRUE(w.trackStart && w.window);
    EXPECT_EQ(w.mode, halvoran_client::TrackMode::Tilt);
    ASSERT_TRUE(w.windowBox.has_value());
    EXPECT_EQ((*w.windowBox)[2], 80);
    const Command& c = commands.submitted[2].first;
    EXPECT_FALSE(c.window);
    EXPECT_EQ(c.mode, halvoran_client::TrackMode::Both);
    EXPECT_EQ(c.bounds, (std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(commands.submitted[3].first.line, "gv");
}

TEST_F(HubTest, MessageDataReachesOnlyTheSubscribersWithTheirOwnIds) {
    hub.handleText(1, R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":2}]})");
    hub.handleText(2, R"({"op":"subscribe","subscriptions":[{"id":3000000000,"channelId":2},{"id":1,"channelId":3}]})");
    const uint64_t t = 0x0102030405060708ULL;
    hub.publish(TRACKING_CHANNEL, json{{"x", 40}}, t);
    ASSERT_EQ(sink.binaries[1].size(), 1u);
    ASSERT_EQ(sink.binaries[2].size(), 1u);
    const std::string& f = sink.binaries[1][0];
    EXPECT_EQ(f[0], 1);
    EXPECT_EQ(readLe(f, 1, 4), 7u);
    EXPECT_EQ(readLe(f, 5, 8), t);
    EXPECT_EQ(f.substr(13), R"({"x":40})");
    EXPECT_EQ(readLe(sink.binaries[2][0], 1, 4), 3000000000u);

    hub.handleText(1, R"({"op":"unsubscribe","subscriptionIds":[7]})");
    hub.publish(TRACKING_CHANNEL, json{{"x", 41}}, t);
    hub.publish(IMAGE_CHANNEL, json{{"x", 41}}, t);
    EXPECT_EQ(sink.binaries[1].size(), 1u);
    EXPECT_EQ(sink.binaries[2].size(), 2u);
}

TEST_F(HubTest, ConnectionStateGoesToANewSubscriberAtOnceAndOnEveryChange) {
    hub.handleText(1, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1}]})");
    ASSERT_EQ(sink.binaries[1].size(), 1u);
    json state = json::parse(sink.binaries[1][0].substr(13));
    EXPECT_EQ(state["connected"], true);
    EXPECT_EQ(state["viewers"], 2);
    EXPECT_TRUE(state["driver"].is_null());

    drive(2, R"({"speed":20})");
    state = json::parse(sink.binaries[1].back().substr(13));
    EXPECT_EQ(state["driver"]["id"], 2);
    EXPECT_EQ(state["driver"]["name"], "second");

    hub.setConnected(false);
    state = json::parse(sink.binaries[1].back().substr(13));
    EXPECT_EQ(state["connected"], false);
}

TEST_F(HubTest, CommandsWhileHalvoranIsAwayAreAnsweredAndNotSent) {
    hub.handleText(1, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":7}]})");
    hub.setConnected(false);
    hub.handleBinary(1, clientData(13, R"({"line":"gv"})"));
    EXPECT_TRUE(commands.submitted.empty());
    ASSERT_EQ(sink.binaries[1].size(), 1u);
    json reply = json::parse(sink.binaries[1][0].substr(13));
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["error"], "Halvoran is not connected");
    EXPECT_EQ(reply["topic"], "/halvoran/camera_line");
    EXPECT_EQ(reply["clientId"], 1);
}

TEST_F(HubTest, OneDriverAtATime) {
    drive(1, R"({"speed":40})");
    ASSERT_EQ(commands.submitted.size(), 1u);
    // Another client's speed or servos: told who holds the drive, nothing sent.
    for (const char* payload : {R"({"speed":-40})", R"({"servo0":10})", R"({"servo1":10,"servo2":20})"}) {
        sink.texts[2].clear();
        drive(2, payload);
        auto warnings = sink.statuses(2, STATUS_WARNING);
        ASSERT_EQ(warnings.size(), 1u) << payload;
        EXPECT_EQ(warnings[0]["message"], "the drive is held by client 1");
    }
    EXPECT_EQ(commands.submitted.size(), 1u);
    // Servo-only messages are the holder's too.
    drive(1, R"({"servo0":100})");
    EXPECT_EQ(commands.submitted.size(), 2u);
    // The holder's stop frees the drive.
    drive(1, R"({"stop":true})");
    drive(2, R"({"speed":-40})");
    ASSERT_EQ(commands.submitted.size(), 4u);
    EXPECT_EQ(commands.submitted[3].first.client, 2u);
}

// Whoever sees the robot in trouble may stop it: the stop goes first, and the hold ends; servo
// moves that came with it stay the holder's.
TEST_F(HubTest, AStopFromAnyoneStopsTheDriveAndEndsTheHold) {
    drive(1, R"({"speed":40})");
    hub.handleBinary(1, clientData(13, R"({"line":"gv"})"));
    drive(2, R"({"stop":true,"servo0":10})");
    ASSERT_EQ(commands.submitted.size(), 3u);
    const auto& [stop, urgent] = commands.submitted[2];
    EXPECT_TRUE(stop.stop);
    EXPECT_TRUE(urgent);
    EXPECT_FALSE(stop.servo0.has_value());
    EXPECT_FALSE(hub.driveDue().has_value()) << "no repeat of the stopped speed";
    now += 300ms;
    EXPECT_FALSE(hub.driveDue().has_value());
    drive(2, R"({"speed":-10})");
    EXPECT_EQ(commands.submitted.size(), 4u);
}

TEST_F(HubTest, ANewSubscriberGetsTheLatestDriveStatusAndPicture) {
    hub.publish(DRIVE_STATUS_CHANNEL, json{{"result", 0}, {"n", 1}}, 5);
    hub.publish(DRIVE_STATUS_CHANNEL, json{{"result", 0}, {"n", 2}}, 6);
    hub.publish(IMAGE_CHANNEL, json{{"width", 160}}, 7);
    hub.publish(TRACKING_CHANNEL, json{{"x", 1}}, 8);  // reports are not kept
    hub.handleText(
        1,
        R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":3},{"id":2,"channelId":4},{"id":3,"channelId":2}]})");
    ASSERT_EQ(sink.binaries[1].size(), 2u);
    EXPECT_EQ(json::parse(sink.binaries[1][0].substr(13))["n"], 2);
    EXPECT_EQ(readLe(sink.binaries[1][0], 5, 8), 6u);
    EXPECT_EQ(readLe(sink.binaries[1][1], 1, 4), 2u);
    // A new session of Halvoran has no drive status yet.
    hub.setConnected(false);
    hub.setConnected(true);
    hub.handleText(2, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":3}]})");
    EXPECT_TRUE(sink.binaries[2].empty());
}

TEST_F(HubTest, TheDriveIsFreeTwoSecondsAfterTheHoldersLastSpeed) {
    drive(1, R"({"speed":40})");
    now += 1900ms;
    drive(1, R"({"speed":40})");  // still there
    now += 1900ms;
    drive(2, R"({"speed":10})");
    EXPECT_EQ(commands.submitted.size(), 2u);
    now += 100ms;
    drive(2, R"({"speed":10})");
    ASSERT_EQ(commands.submitted.size(), 3u);
    EXPECT_EQ(commands.submitted[2].first.client, 2u);
}

TEST_F(HubTest, TheHoldersLeavingStopsTheDriveFirstOfAll) {
    drive(1, R"({"speed":40})");
    hub.close(2);  // a viewer leaving changes nothing
    EXPECT_EQ(commands.submitted.size(), 1u);
    hub.close(1);
    ASSERT_EQ(commands.submitted.size(), 2u);
    EXPECT_TRUE(commands.submitted[1].first.stop);
    EXPECT_FALSE(commands.submitted[1].first.speed.has_value());
    EXPECT_TRUE(commands.submitted[1].second) << "urgent";
}

// The speed goes again every 300 ms while the holder's last message is younger than 1 s; then
// the bridge stops the drive once, and sends nothing more.
TEST_F(HubTest, TheSpeedIsRepeatedWhileTheDriverIsThereAndStoppedWhenItFallsSilent) {
    drive(1, R"({"speed":-25})");
    struct Step {
        std::chrono::milliseconds after;  // since the drive message
        const char* expect;               // "", "speed" or "stop"
    };
    const Step steps[] = {{100ms, ""},      {299ms, ""}, {300ms, "speed"}, {450ms, ""},  {600ms, "speed"},
                          {900ms, "speed"}, {999ms, ""}, {1000ms, "stop"}, {1300ms, ""}, {2500ms, ""}};
    const auto start = now;
    for (const Step& step : steps) {
        now = start + step.after;
        auto due = hub.driveDue();
        std::string got = !due ? "" : due->stop ? "stop" : "speed";
        EXPECT_EQ(got, step.expect) << step.after.count() << " ms";
        if (due && due->speed) {
            EXPECT_EQ(*due->speed, -25);
        }
        if (due) {
            EXPECT_EQ(due->client, 0u);
        }
    }
}

// A hub of its own for each row of a table: clients 1 and 2 drivers with the four topics
// advertised and the reply channel subscribed (id 70), client 3 a viewer.
struct Rig {
    Sink sink;
    Commands commands;
    Clock::time_point now = Clock::time_point{} + 1000s;
    Hub hub{sink, commands, "halvoran-bridge test", "127.0.0.1", [this] { return now; }, [](const std::string&) {}};
    Rig() {
        hub.setConnected(true);
        hub.open(1, "first");
        hub.open(2, "second");
        hub.open(3, "viewer", Role::Viewer);
        for (ClientId c : {1u, 2u}) {
            hub.handleText(c, R"({"op":"advertise","channels":[
                {"id":10,"topic":"/halvoran/drive","encoding":"json"},
                {"id":11,"topic":"/halvoran/track","encoding":"json"},
                {"id":12,"topic":"/halvoran/capture","encoding":"json"},
                {"id":13,"topic":"/halvoran/camera_line","encoding":"json"}]})");
            hub.handleText(c, R"({"op":"subscribe","subscriptions":[{"id":70,"channelId":7}]})");
        }
        sink.texts.clear();
        sink.binaries.clear();
    }
    void send(ClientId c, uint32_t channel, const std::string& payload) {
        hub.handleBinary(c, clientData(channel, payload));
    }
    // The replies the client saw addressed to it.
    std::vector<json> replies(ClientId c) {
        std::vector<json> out;
        for (const std::string& f : sink.binaries[c]) {
            if (readLe(f, 1, 4) != 70) continue;
            json r = json::parse(f.substr(13));
            if (r["clientId"] == c) out.push_back(r);
        }
        return out;
    }
    std::vector<std::string> statusIds(ClientId c) {
        std::vector<std::string> out;
        for (auto& t : sink.texts[c]) {
            json j = json::parse(t);
            if (j["op"] == "status") out.push_back(j["id"]);
        }
        return out;
    }
    size_t removeStatuses(ClientId c, const std::string& id) {
        size_t n = 0;
        for (auto& t : sink.texts[c]) {
            json j = json::parse(t);
            if (j["op"] == "removeStatus" && j["statusIds"] == json::array({id})) ++n;
        }
        return n;
    }
};

// Only a speed or a stop renews the hold and the speed's repeats: one speed followed by servo
// moves must not keep the robot driving.
TEST(HubDrive, ServoOnlyMessagesRenewNeitherTheHoldNorTheRepeats) {
    struct Row {
        const char* at500ms;      // what the holder sends 500 ms after its speed
        const char* dueAt1000ms;  // "", "speed" or "stop"
        bool drivingAt1000ms;     // the others' commands wait
        bool otherMayDriveAt2000ms;
    };
    const Row rows[] = {
        {R"({"servo0":90})", "stop", false, true},
        {R"({"servo1":10,"servo2":200})", "stop", false, true},
        {R"({"speed":-25})", "speed", true, false},
        {R"({"stop":true})", "", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.at500ms);
        Rig rig;
        const auto start = rig.now;
        rig.send(1, 10, R"({"speed":-25})");
        rig.now = start + 500ms;
        EXPECT_EQ(rig.hub.driving(), std::optional<ClientId>(1));
        rig.send(1, 10, row.at500ms);
        ASSERT_EQ(rig.commands.submitted.size(), 2u) << "the holder's servos still move";
        rig.now = start + 1000ms;
        auto due = rig.hub.driveDue();
        std::string got = !due ? "" : due->stop ? "stop" : "speed";
        EXPECT_EQ(got, row.dueAt1000ms);
        EXPECT_EQ(rig.hub.driving().has_value(), row.drivingAt1000ms);
        rig.now = start + 2000ms;
        rig.hub.driveDue();
        rig.send(2, 10, R"({"speed":5})");
        EXPECT_EQ(rig.commands.submitted.size() == 3, row.otherMayDriveAt2000ms);
    }
}

// A capture holds Halvoran for seconds and tracking takes the servos: while someone drives,
// nobody else may start either; the rest goes on as before.
TEST(HubDrive, CaptureAndTrackingStartOfOthersAreRefusedWhileSomeoneDrives) {
    struct Row {
        ClientId from;
        uint32_t channel;
        const char* payload;
        bool driving;  // client 1 holds the drive
        bool taken;
    };
    const char* colour = R"({"action":"start","kind":"colour","bounds":[1,2,3,4,5,6]})";
    const char* window = R"({"action":"start","kind":"window","window":[1,1,80,143]})";
    const Row rows[] = {
        {2, 12, "{}", true, false},
        {2, 11, colour, true, false},
        {2, 11, window, true, false},
        {2, 11, R"({"action":"stop"})", true, true},
        {2, 13, R"({"line":"gv"})", true, true},
        {1, 12, "{}", true, true},
        {1, 11, colour, true, true},
        {2, 12, "{}", false, true},
        {2, 11, colour, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.from) + " " + row.payload + (row.driving ? " driving" : ""));
        Rig rig;
        if (row.driving) rig.send(1, 10, R"({"speed":30})");
        size_t before = rig.commands.submitted.size();
        rig.send(row.from, row.channel, row.payload);
        EXPECT_EQ(rig.commands.submitted.size() - before, row.taken ? 1u : 0u);
        auto replies = rig.replies(row.from);
        if (row.taken) {
            EXPECT_TRUE(replies.empty());
        } else {
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_EQ(replies[0]["ok"], false);
            EXPECT_NE(replies[0]["error"].get<std::string>().find("held by client 1"), std::string::npos);
        }
    }
}

// What waited since before the drive began is judged again when it is about to be sent.
TEST(HubDrive, AWaitingCaptureIsRefusedOnceSomeoneElseDrives) {
    Rig rig;
    rig.send(2, 12, "{}");
    ASSERT_EQ(rig.commands.submitted.size(), 1u);
    const Command capture = rig.commands.submitted[0].first;
    EXPECT_EQ(rig.hub.refusalWhileDriving(capture), "");
    rig.send(1, 10, R"({"speed":30})");
    EXPECT_NE(rig.hub.refusalWhileDriving(capture), "");
    rig.send(1, 10, R"({"stop":true})");
    EXPECT_EQ(rig.hub.refusalWhileDriving(capture), "");
}

// Another client's camera lines, however many, do not delay the next drive command; beyond
// eight waiting, the client hears "busy" at once and nothing more is queued.
TEST(HubDrive, AFloodOfCameraLinesGetsBusyAndTheDriveGoesFirst) {
    Rig rig;
    for (int i = 0; i < 300; ++i) rig.send(2, 13, R"({"line":"gv"})");
    rig.send(1, 10, R"({"speed":30})");
    auto replies = rig.replies(2);
    ASSERT_EQ(replies.size(), 292u);
    for (const json& r : replies) {
        EXPECT_EQ(r["ok"], false);
        EXPECT_EQ(r["topic"], "/halvoran/camera_line");
        EXPECT_EQ(r["error"].get<std::string>().rfind("busy", 0), 0u) << r["error"];
    }
    // Nobody else hears of another client's refusals.
    for (const std::string& f : rig.sink.binaries[1]) {
        EXPECT_NE(json::parse(f.substr(13)).value("clientId", 0), 2);
    }
    std::vector<Command> stale;
    auto first = rig.commands.queue.next(rig.now, stale);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->client, 1u);
    EXPECT_EQ(first->speed, 30);
    EXPECT_EQ(first->received, rig.now) << "stamped when taken from the client";
    EXPECT_EQ(rig.commands.queue.waiting(2), CommandQueue::PER_CLIENT);
}

// A viewer watches: it is not offered publishing, and what it publishes anyway never reaches
// Halvoran.
TEST(HubRoles, AViewerMayOnlyWatch) {
    Rig rig;
    rig.hub.open(4, "viewer", Role::Viewer);
    rig.hub.open(5, "driver", Role::Driver);
    EXPECT_EQ(json::parse(rig.sink.texts[4][0])["capabilities"], json::array());
    EXPECT_EQ(json::parse(rig.sink.texts[5][0])["capabilities"], json::array({"clientPublish"}));
    const std::vector<std::string> texts = {
        R"({"op":"advertise","channels":[{"id":10,"topic":"/halvoran/drive","encoding":"json"}]})",
    };
    const std::vector<std::string> frames = {clientData(10, R"({"speed":30})"), clientData(10, R"({"stop":true})"),
                                             clientData(12, "{}"), clientData(13, R"({"line":"gv"})")};
    for (const auto& t : texts) {
        rig.sink.texts[4].clear();
        rig.hub.handleText(4, t);
        EXPECT_EQ(rig.statusIds(4), std::vector<std::string>{"halvoran.bad-message.not-permitted"}) << t;
    }
    for (const auto& f : frames) {
        rig.sink.texts[4].clear();
        rig.hub.handleBinary(4, f);
        EXPECT_EQ(rig.statusIds(4), std::vector<std::string>{"halvoran.bad-message.not-permitted"}) << f;
    }
    EXPECT_TRUE(rig.commands.submitted.empty());
    // Watching works.
    rig.hub.handleText(4, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1}]})");
    EXPECT_EQ(rig.sink.binaries[4].size(), 1u);
}

// Each kind of problem has a status id of its own, so that a tool shows them side by side.
TEST(HubStatus, EachProblemHasItsOwnStatusId) {
    struct Row {
        bool binary;
        std::string data;
        const char* id;
    };
    const std::vector<Row> rows = {
        {false, "not json", "halvoran.bad-message.json"},
        {false, "[1]", "halvoran.bad-message.json"},
        {false, "{}", "halvoran.bad-message.op"},
        {false, R"({"op":"getParameters"})", "halvoran.bad-message.op"},
        {false, R"({"op":"subscribe"})", "halvoran.bad-message.subscribe"},
        {false, R"({"op":"unsubscribe","subscriptionIds":[5]})", "halvoran.bad-message.unsubscribe"},
        {false, R"({"op":"advertise","channels":[{"id":30,"topic":"/x","encoding":"json"}]})",
         "halvoran.bad-message.advertise"},
        {false, R"({"op":"unadvertise","channelIds":[30]})", "halvoran.bad-message.unadvertise"},
        {true, "", "halvoran.bad-message.binary"},
        {true, std::string("\x01\x0a", 2), "halvoran.bad-message.binary"},
        {true, clientData(99, "{}"), "halvoran.bad-message.channel"},
        {true, clientData(10, R"({"speed":300})"), "halvoran.bad-message.drive"},
        {true, clientData(11, R"({"action":"pause"})"), "halvoran.bad-message.track"},
        {true, clientData(12, R"({"x":1})"), "halvoran.bad-message.capture"},
        {true, clientData(13, R"({"line":7})"), "halvoran.bad-message.camera-line"},
    };
    Rig rig;
    for (const Row& row : rows) {
        rig.sink.texts[1].clear();
        if (row.binary) rig.hub.handleBinary(1, row.data);
        else rig.hub.handleText(1, row.data);
        EXPECT_EQ(rig.statusIds(1), std::vector<std::string>{row.id}) << row.data;
    }
}

// The drive-held warning is taken back (removeStatus) once it no longer applies, and not while
// it does.
TEST(HubStatus, TheDriveHeldWarningIsWithdrawnWhenTheHoldEnds) {
    struct Row {
        const char* name;
        std::function<void(Rig&)> then;
        size_t removed;  // removeStatus messages client 2 got
    };
    const std::vector<Row> rows = {
        {"the holder drives on",
         [](Rig& r) {
             r.now += 500ms;
             r.send(1, 10, R"({"speed":30})");
             r.hub.driveDue();
         },
         0},
        {"the holder stops", [](Rig& r) { r.send(1, 10, R"({"stop":true})"); }, 1},
        {"the warned client stops it", [](Rig& r) { r.send(2, 10, R"({"stop":true})"); }, 1},
        {"the holder leaves", [](Rig& r) { r.hub.close(1); }, 1},
        {"the hold runs out",
         [](Rig& r) {
             r.now += 2s;
             r.hub.driveDue();
         },
         1},
        {"the warned client takes the drive after the hold ran out",
         [](Rig& r) {
             r.now += 2s;
             r.send(2, 10, R"({"speed":5})");
         },
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.send(1, 10, R"({"speed":30})");
        rig.send(2, 10, R"({"speed":-30})");
        ASSERT_EQ(rig.statusIds(2), std::vector<std::string>{Hub::DRIVE_HELD});
        row.then(rig);
        EXPECT_EQ(rig.removeStatuses(2, Hub::DRIVE_HELD), row.removed);
        EXPECT_EQ(rig.removeStatuses(1, Hub::DRIVE_HELD), 0u) << "the holder was never warned";
    }
}

}  // namespace
