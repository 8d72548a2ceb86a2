// The bridge's meeting point: the WebSocket clients with their subscriptions and advertised
// topics, the handling of everything they send, the fan-out of Halvoran's messages to the
// subscribers, and who holds the drive. The network side calls open/close/handleText/
// handleBinary; the Halvoran side calls publish, setConnected and driveDue. All of it is safe to
// call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "bridge/messages.h"

namespace bridge {

using ClientId = uint32_t;
using Clock = std::chrono::steady_clock;

// What a connection may do, decided by the token it presented: a driver may publish (drive,
// track, capture, camera lines); a viewer may only watch.
enum class Role { Driver, Viewer };

// Where the hub's frames for a client go (the WebSocket connection, or a test's record).
// Implementations queue and return at once, and never call back into the hub.
class ClientSink {
public:
    virtual ~ClientSink() = default;
    virtual void sendText(ClientId client, std::string text) = 0;
    // Message data, which a connection that falls far behind may drop.
    virtual void sendBinary(ClientId client, std::string frame) = 0;
};

// What the network side tells about each connection: the live hub, or the playback's.
class ClientHandler {
public:
    virtual ~ClientHandler() = default;
    virtual void open(ClientId client, const std::string& name, Role role) = 0;
    virtual void close(ClientId client) = 0;
    virtual void handleText(ClientId client, std::string_view text) = 0;
    virtual void handleBinary(ClientId client, std::string_view data) = 0;
};

// Where checked commands go (the Halvoran session). urgent: before everything queued.
class CommandSink {
public:
    virtual ~CommandSink() = default;
    virtual void submit(Command command, bool urgent) = 0;
    // As submit, but false when the client has too many commands waiting already: nothing was
    // queued, and the caller says "busy". A sink without a limit takes everything.
    virtual bool trySubmit(Command command, bool urgent) {
        submit(std::move(command), urgent);
        return true;
    }
};

// One driver at a time. The first client that gives a speed holds the drive until it stops, goes
// away, or gives no speed or stop for HOLD_TIME. A stop is taken from anyone. While the holder's
// last speed is younger than REPEAT_WHILE, it is sent again every REPEAT_EVERY; once it is older,
// the drive is stopped (a tool that died must not leave the robot running, even in a mode where
// Halvoran's own drive timeout does not run). Servo-only messages move the servos but renew
// neither the hold nor the repeats: a tool that only pans the camera does not keep the robot
// driving on a speed it gave once.
class DriveArbiter {
public:
    static constexpr auto HOLD_TIME = std::chrono::seconds(2);
    static constexpr auto REPEAT_WHILE = std::chrono::seconds(1);
    static constexpr auto REPEAT_EVERY = std::chrono::milliseconds(300);

    // True when the client may drive now (the command is then sent by the caller). A stop from
    // another client than the holder is taken (and ends the hold); its servo moves are not.
    bool onDrive(ClientId client, const Command& command, Clock::time_point now);
    // True when the client held the drive: the caller stops it at once.
    bool onDisconnect(ClientId client);
    // The bridge's own drive command that is due: the speed again, or the stop after silence.
    std::optional<Command> due(Clock::time_point now);
    std::optional<ClientId> holder(Clock::time_point now);
    // Who drives now: the holder, while its speed is still repeated.
    std::optional<ClientId> driving(Clock::time_point now);

private:
    void expire(Clock::time_point now);
    std::optional<ClientId> holder_;
    Clock::time_point lastMessage_{};
    Clock::time_point lastSent_{};
    std::optional<int> speed_;  // set while the holder's drive should run
};

class Hub : public ClientHandler {
public:
    // Status ids: one per kind of problem, so that a tool shows each of them, not only the last.
    static constexpr const char* DRIVE_HELD = "halvoran.drive-held";
    static constexpr const char* BAD_MESSAGE = "halvoran.bad-message";  // + "." + what was wrong

    Hub(ClientSink& clients, CommandSink& commands, std::string serverName, std::string halvoranHost,
        std::function<Clock::time_point()> clock = Clock::now,
        std::function<void(const std::string&)> logLine = nullptr);

    // A new connection: serverInfo, its client id, the advertisement. A viewer is not offered
    // publishing, and what it publishes anyway is refused.
    void open(ClientId client, const std::string& name, Role role = Role::Driver) override;
    // A connection went; if it held the drive the drive stops at once.
    void close(ClientId client) override;
    void handleText(ClientId client, std::string_view text) override;
    void handleBinary(ClientId client, std::string_view data) override;

    // A message on a server channel to every subscriber of it.
    void publish(uint32_t channel, const json& message, uint64_t timeNs);
    void setConnected(bool connected);
    // Called often by the Halvoran side: a repeat or stop of the drive that is due, if any.
    std::optional<Command> driveDue();
    // Who holds the drive now, if anyone. Captures and tracking starts of anyone else are
    // refused while someone drives (a capture holds Halvoran for seconds).
    std::optional<ClientId> driveHolder();
    // Whose drive runs now (the holder while its last speed is younger than REPEAT_WHILE); the
    // other clients' commands wait meanwhile.
    std::optional<ClientId> driving();
    // Refusal of a command that may not run while someone else drives (empty: it may run).
    std::string refusalWhileDriving(const Command& command);
    // The bridge's refusal of a command (busy, dropped, overtaken, ...): a reply with ok false on
    // the reply channel, to the sender only.
    void refuse(const Command& command, const std::string& why);

    static uint64_t nowNs();

private:
    struct Client {
        std::string name;
        Role role = Role::Driver;
        std::map<uint32_t, uint32_t> subscriptions;  // subscription id -> channel
        std::map<uint32_t, std::string> advertised;  // client channel id -> topic
    };
    // All below with mutex_ held.
    void error(ClientId client, const char* what, const std::string& message);
    std::string refusalLocked(const Command& command, Clock::time_point now);
    void subscribe(ClientId client, Client& state, const json& msg);
    // unsubscribe and unadvertise: the ids listed under key leave ids; each unknown one is an error.
    template <typename Ids>
    void removeListed(ClientId client, const json& msg, const char* op, const char* key, const char* idName, Ids& ids);
    void advertise(ClientId client, Client& state, const json& msg);
    json connectionJson();
    void publishLocked(uint32_t channel, const std::string& payload, uint64_t timeNs);
    void publishConnection();
    void replyLocked(ClientId client, const Command& command, const std::string& error);
    // The drive-held warnings shown are withdrawn once they no longer apply.
    void withdrawDriveHeld();

    ClientSink& clients_;
    CommandSink& commands_;
    std::string serverName_;
    std::string halvoranHost_;
    std::string sessionId_;
    std::function<Clock::time_point()> clock_;

    std::mutex mutex_;
    std::map<ClientId, Client> state_;
    DriveArbiter arbiter_;
    std::optional<ClientId> shownDriver_;
    std::map<uint32_t, std::pair<uint64_t, std::string>> latest_;  // channel -> time, payload
    bool connected_ = false;
    std::set<ClientId> warnedDriveHeld_;  // clients showing the drive-held warning
    RateLimitedLog log_;
};

}  // namespace bridge
