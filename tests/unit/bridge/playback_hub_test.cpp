// What the clients of a recording played back are told and may do, without sockets: no one is
// offered publishing and what is published is refused; the settings go through parameters, each
// change reaches exactly the clients that follow it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bridge/playback_hub.h"
#include "record/mcap_writer.h"

using namespace bridge;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t T0 = 1'700'000'000'000'000'000ull;
constexpr uint64_t MS = 1'000'000;

struct Sink : ClientSink {
    std::map<ClientId, std::vector<json>> texts;
    std::map<ClientId, std::vector<std::string>> binaries;
    void sendText(ClientId c, std::string t) override { texts[c].push_back(json::parse(t)); }
    void sendBinary(ClientId c, std::string f) override { binaries[c].push_back(std::move(f)); }
    std::vector<json> ops(ClientId c, const std::string& op) {
        std::vector<json> out;
        for (const json& j : texts[c])
            if (j["op"] == op) out.push_back(j);
        return out;
    }
};

uint64_t readLe(const std::string& s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

class PlaybackHubTest : public ::testing::Test {
protected:
    PlaybackHubTest() : player([this] { return now; }) {
        path = (std::filesystem::temp_directory_path() / ("playback_hub_test_" + std::to_string(::getpid()) + ".mcap"))
                   .string();
        mcap::WriterOptions options;
        options.syncChunks = false;
        mcap::Writer w(options);
        EXPECT_TRUE(w.open(path, "", "test"));
        uint16_t s = w.addSchema("halvoran.DriveStatus", "jsonschema", R"({"type":"object"})");
        drive = w.addChannel(s, "/halvoran/drive_status", "json");
        serial = w.addChannel(0, "/halvoran/serial", "json");
        EXPECT_TRUE(w.write(drive, T0, R"({"speed":1})"));
        EXPECT_TRUE(w.write(serial, T0 + 500 * MS, R"({"bytes":"AA=="})"));
        EXPECT_TRUE(w.write(drive, T0 + 2000 * MS, R"({"speed":2})"));
        EXPECT_TRUE(w.close());
        std::string error;
        EXPECT_TRUE(player.open(path, 1.0, false, error)) << error;
        hub = std::make_unique<PlaybackHub>(
            sink, player, "halvoran-bridge test", "session.mcap", [this] { return now; }, [](const std::string&) {});
        player.attach(*hub);
    }
    ~PlaybackHubTest() override { std::filesystem::remove(path); }

    void set(ClientId c, const json& parameters, const char* id = nullptr) {
        json msg = {{"op", "setParameters"}, {"parameters", parameters}};
        if (id != nullptr) msg["id"] = id;
        hub->handleText(c, msg.dump());
    }

    Player::Clock::time_point now{std::chrono::seconds(500)};
    std::string path;
    uint16_t drive = 0, serial = 0;
    Sink sink;
    Player player;
    std::unique_ptr<PlaybackHub> hub;
};

TEST_F(PlaybackHubTest, EveryClientIsToldThePlaybackAndTheRecordingsChannelsAndNoPublishing) {
    for (Role role : {Role::Driver, Role::Viewer}) {
        ClientId c = role == Role::Driver ? 1 : 2;
        hub->open(c, "tool", role);
        json info = sink.ops(c, "serverInfo").at(0);
        EXPECT_EQ(info["capabilities"], json::array({"time", "parameters", "parametersSubscribe"}));
        EXPECT_EQ(info["metadata"]["halvoran.mode"], "playback");
        EXPECT_EQ(info["metadata"]["halvoran.file"], "session.mcap");
        EXPECT_EQ(info["metadata"]["halvoran.start"], std::to_string(T0));
        EXPECT_EQ(info["metadata"]["halvoran.end"], std::to_string(T0 + 2000 * MS));
        json channels = sink.ops(c, "advertise").at(0)["channels"];
        ASSERT_EQ(channels.size(), 2u);
        EXPECT_EQ(channels[0]["id"], drive);
        EXPECT_EQ(channels[0]["topic"], "/halvoran/drive_status");
        EXPECT_EQ(channels[0]["encoding"], "json");
        EXPECT_EQ(channels[0]["schemaName"], "halvoran.DriveStatus");
        EXPECT_EQ(channels[0]["schema"], R"({"type":"object"})");
        EXPECT_EQ(channels[0]["schemaEncoding"], "jsonschema");
        EXPECT_EQ(channels[1]["topic"], "/halvoran/serial");
        // The position at once, as binary Time.
        ASSERT_FALSE(sink.binaries[c].empty());
        EXPECT_EQ(sink.binaries[c][0], PlaybackHub::timeFrame(T0));
    }
}

TEST_F(PlaybackHubTest, WhatIsPublishedIsRefused) {
    hub->open(1, "driver", Role::Driver);
    const std::vector<std::pair<bool, std::string>> attempts = {
        {false, R"({"op":"advertise","channels":[{"id":1,"topic":"/halvoran/drive","encoding":"json","schemaName":"x"}]})"},
        {false, R"({"op":"unadvertise","channelIds":[1]})"},
        {true, std::string("\x01\x01\x00\x00\x00{\"speed\":5}", 16)},
    };
    for (const auto& [binary, message] : attempts) {
        SCOPED_TRACE(message);
        sink.texts[1].clear();
        if (binary) hub->handleBinary(1, message);
        else hub->handleText(1, message);
        std::vector<json> statuses = sink.ops(1, "status");
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0]["level"], 2);
        EXPECT_EQ(statuses[0]["id"], PlaybackHub::REFUSED);
    }
}

TEST_F(PlaybackHubTest, MessagesReachTheirSubscribersWithTheirRecordedTime) {
    hub->open(1, "a", Role::Viewer);
    hub->open(2, "b", Role::Viewer);
    hub->open(3, "c", Role::Viewer);
    hub->handleText(1, json{{"op", "subscribe"}, {"subscriptions", {{{"id", 7}, {"channelId", drive}}}}}.dump());
    hub->handleText(2, json{{"op", "subscribe"}, {"subscriptions", {{{"id", 9}, {"channelId", serial}}}}}.dump());
    sink.binaries.clear();
    player.poll();
    now += 600ms;
    player.poll();
    auto data = [&](ClientId c) {
        std::vector<std::string> out;
        for (const std::string& f : sink.binaries[c])
            if (f[0] == 1) out.push_back(f);
        return out;
    };
    ASSERT_EQ(data(1).size(), 1u);
    EXPECT_EQ(readLe(data(1)[0], 1, 4), 7u);
    EXPECT_EQ(readLe(data(1)[0], 5, 8), T0);
    EXPECT_EQ(data(1)[0].substr(13), R"({"speed":1})");
    ASSERT_EQ(data(2).size(), 1u);
    EXPECT_EQ(readLe(data(2)[0], 1, 4), 9u);
    EXPECT_EQ(readLe(data(2)[0], 5, 8), T0 + 500 * MS);
    EXPECT_TRUE(data(3).empty());
    // Time goes to everyone.
    EXPECT_EQ(sink.binaries[3].front(), PlaybackHub::timeFrame(T0));
}

TEST_F(PlaybackHubTest, SettingsGoToTheirFollowersAndAnswerTheAsker) {
    hub->open(1, "setter", Role::Viewer);
    hub->open(2, "follows pause", Role::Viewer);
    hub->open(3, "follows all", Role::Viewer);
    hub->handleText(2, R"({"op":"subscribeParameterUpdates","parameterNames":["playback.paused"]})");
    hub->handleText(3, R"({"op":"subscribeParameterUpdates","parameterNames":[]})");
    struct Case {
        json parameters;
        std::vector<std::string> toFollowerOfPause;  // names client 2 is told
        std::vector<std::string> toFollowerOfAll;
        size_t errors;  // statuses to the setter
    };
    const std::vector<Case> cases = {
        {{{{"name", "playback.paused"}, {"value", true}}}, {"playback.paused"}, {"playback.paused", "playback.position"}, 0},
        {{{{"name", "playback.rate"}, {"value", 4}}}, {}, {"playback.rate"}, 0},
        {{{{"name", "playback.rate"}, {"value", 20}}}, {}, {}, 1},
        {{{{"name", "playback.rate"}, {"value", "fast"}}}, {}, {}, 1},
        {{{{"name", "playback.position"}, {"value", 1.5}}}, {}, {"playback.position"}, 0},
        {{{{"name", "playback.position"}, {"value", 2.5}}}, {}, {}, 1},
        {{{{"name", "playback.volume"}, {"value", 1}}}, {}, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parameters.dump());
        sink.texts.clear();
        set(1, c.parameters, "req");
        auto told = [&](ClientId id) {
            std::vector<std::string> names;
            for (const json& v : sink.ops(id, "parameterValues"))
                for (const json& p : v["parameters"]) names.push_back(p["name"]);
            return names;
        };
        EXPECT_EQ(told(2), c.toFollowerOfPause);
        EXPECT_EQ(told(3), c.toFollowerOfAll);
        EXPECT_EQ(sink.ops(1, "status").size(), c.errors);
        std::vector<json> answers = sink.ops(1, "parameterValues");
        std::string name = c.parameters[0]["name"];
        if (name == "playback.volume") continue;
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0]["id"], "req");
        ASSERT_EQ(answers[0]["parameters"].size(), 1u);
        EXPECT_EQ(answers[0]["parameters"][0]["name"], name);
    }
    // The refused rate left the accepted one.
    sink.texts.clear();
    hub->handleText(1, R"({"op":"getParameters","parameterNames":["playback.rate"],"id":"g"})");
    json answer = sink.ops(1, "parameterValues").at(0);
    EXPECT_EQ(answer["id"], "g");
    EXPECT_EQ(answer["parameters"][0]["value"], 4.0);
    EXPECT_EQ(answer["parameters"][0]["type"], "float64");
}

}  // namespace
