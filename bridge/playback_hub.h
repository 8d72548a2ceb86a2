// The clients' side of a recording played back: each connection is told the recording's channels
// and the playback's settings, gets the messages of the channels it subscribed, and may pause,
// seek and change the rate through the protocol's parameters. Nothing can be published: a
// recording drives no robot. Safe to call from any thread; the hub never calls the player with
// its own lock held (the player calls the hub with the player's held).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/hub.h"
#include "bridge/messages.h"
#include "bridge/player.h"

namespace bridge {

class PlaybackHub : public ClientHandler, public PlaybackSink {
public:
    // Status id of a refused publication.
    static constexpr const char* REFUSED = "halvoran.bad-message.playback";

    PlaybackHub(ClientSink& clients, Player& player, std::string serverName, std::string fileName,
                std::function<Clock::time_point()> clock = Clock::now,
                std::function<void(const std::string&)> logLine = nullptr);

    void open(ClientId client, const std::string& name, Role role) override;
    void close(ClientId client) override;
    void handleText(ClientId client, std::string_view text) override;
    void handleBinary(ClientId client, std::string_view data) override;

    void message(uint16_t channel, uint64_t logTime, const std::string& data) override;
    void time(uint64_t logTime) override;
    void parametersChanged(const std::vector<PlaybackParameter>& changed) override;
    void seeked() override;

    // Binary Time: opcode 2, u64 LE nanoseconds.
    static std::string timeFrame(uint64_t timeNs);

private:
    struct Client {
        std::map<uint32_t, uint32_t> subscriptions;  // subscription id -> channel
        std::set<std::string> parameters;            // parameter names it follows
    };
    void error(ClientId client, const std::string& what, const std::string& message);
    void refusePublishing(ClientId client, const std::string& what);
    void subscribe(ClientId client, const nlohmann::json& msg);
    void unsubscribe(ClientId client, const nlohmann::json& msg);
    void getParameters(ClientId client, const nlohmann::json& msg);
    void setParameters(ClientId client, const nlohmann::json& msg);
    void followParameters(ClientId client, const nlohmann::json& msg, bool follow);
    // The names a request lists (all when it lists none); false when the list is malformed.
    bool names(ClientId client, const nlohmann::json& msg, const char* op, std::vector<std::string>& out);
    static nlohmann::json parametersJson(const std::vector<PlaybackParameter>& parameters);

    ClientSink& clients_;
    Player& player_;
    std::string serverInfo_;
    std::string advertise_;
    std::set<uint32_t> channels_;
    RateLimitedLog log_;

    std::mutex mutex_;
    std::map<ClientId, Client> state_;
    std::map<uint32_t, std::pair<uint64_t, std::string>> latest_;  // channel -> time, payload
};

}  // namespace bridge
