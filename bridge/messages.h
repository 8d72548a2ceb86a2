// What the bridge says and hears on its Foxglove WebSocket connections, as plain data: the
// channels it advertises with their JSON schemas, the JSON of each channel's messages, the
// binary message-data frame, and the checks of what clients publish. Nothing here knows about
// sockets or threads.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/requests.h"
#include "record/topics.h"

namespace bridge {

using json = nlohmann::json;

// The server's channels; their ids stay the same for the bridge's whole life.
enum Channel : uint32_t {
    CONNECTION_CHANNEL = 1,
    TRACKING_CHANNEL = 2,
    DRIVE_STATUS_CHANNEL = 3,
    IMAGE_CHANNEL = 4,
    ANNOTATIONS_CHANNEL = 5,
    FRAME_PROGRESS_CHANNEL = 6,
    REPLY_CHANNEL = 7,
};
constexpr uint32_t FIRST_CHANNEL = CONNECTION_CHANNEL;
constexpr uint32_t LAST_CHANNEL = REPLY_CHANNEL;

struct ChannelInfo {
    uint32_t id;
    const char* topic;
    const char* schemaName;
    const char* schema;  // JSON schema text
};
const ChannelInfo* channelInfo(uint32_t id);

// The client-publish topics.
constexpr std::string_view DRIVE_TOPIC = "/halvoran/drive";
constexpr std::string_view TRACK_TOPIC = "/halvoran/track";
constexpr std::string_view CAPTURE_TOPIC = "/halvoran/capture";
constexpr std::string_view CAMERA_LINE_TOPIC = "/halvoran/camera_line";
bool isPublishTopic(std::string_view topic);

// Frames larger than this from a client close its connection.
constexpr size_t MAX_CLIENT_MESSAGE = 64 * 1024;

constexpr const char* SUBPROTOCOL = "foxglove.websocket.v1";

// Status levels of the protocol.
constexpr int STATUS_INFO = 0;
constexpr int STATUS_WARNING = 1;
constexpr int STATUS_ERROR = 2;

// clientPublish: the connection may publish (a viewer's may not, and is not told it may).
std::string serverInfoJson(const std::string& name, const std::string& halvoranHost, const std::string& sessionId,
                           bool clientPublish = true);
std::string advertiseJson();
std::string statusJson(int level, const std::string& message, const std::string& id);
// Withdraws the statuses with these ids from the client's view.
std::string removeStatusJson(const std::vector<std::string>& ids);

// Binary message data: opcode 1, subscription id (u32 LE), time in ns (u64 LE), payload.
std::string messageDataFrame(uint32_t subscriptionId, uint64_t timeNs, std::string_view payload);

// The topics the bridge shares with the flight recorder, and their messages, are defined once in
// record/topics.h; the bridge names them here as its own.
using topics::annotationsJson;
using topics::base64;
using topics::driveStatusJson;
using topics::modeName;
using topics::rawImageJson;
using topics::timeJson;

// A command that a client published, checked and ready for Halvoran.
struct Command {
    enum class Kind { Drive, Track, Capture, CameraLine };
    Kind kind = Kind::Drive;
    uint32_t client = 0;  // 0: the bridge's own (drive repeats and stops)
    // When the bridge took it from its client (monotonic): a drive command that waited too long
    // is not carried out any more.
    std::chrono::steady_clock::time_point received{};

    // Drive: what is given is done. The drive timeout is always the bridge's own.
    std::optional<int> speed;
    std::optional<int> servo0, servo1, servo2;
    bool stop = false;

    // Track
    bool trackStart = false;
    bool window = false;  // window tracking instead of colour tracking
    halvoran_client::TrackMode mode = halvoran_client::TrackMode::Both;
    std::array<uint8_t, 6> bounds{};
    std::optional<std::array<int, 4>> windowBox;  // x1 y1 x2 y2 in camera coordinates

    // Camera line
    std::string line;
};
const char* topicOf(Command::Kind kind);

// Checks a message published on a client-publish topic. False with the reason when anything in
// it is wrong; then nothing of it may reach Halvoran.
bool parseCommand(std::string_view topic, std::string_view payload, Command& command, std::string& error);

// The messages of the server channels.
struct TrackingContext {
    bool window = false;
    halvoran_client::TrackMode mode = halvoran_client::TrackMode::Both;
};
inline json trackingJson(const halvoran_client::TrackReport& report, const TrackingContext& context, uint64_t timeNs) {
    return topics::trackingJson(report, context.window, context.mode, timeNs);
}

}  // namespace bridge

namespace bridge {
// The answer to a published command, on the reply channel.
json replyJson(uint32_t clientId, const std::string& topic, bool ok, std::optional<int> result,
               const std::optional<std::string>& answer, const std::optional<std::string>& error, uint64_t timeNs);
// {"received":..,"expected":..,"done":..,"error":..}
json frameProgressJson(size_t received, size_t expected, bool done, const std::optional<std::string>& error);

// The commands waiting for Halvoran. Drive commands wait in a lane of their own that is served
// before everything else (only the drive's holder gets speeds and servo moves this far). The
// other commands wait in one queue per client, and the clients are served in turn, so that one
// client's flood delays the others by at most one command each. While someone drives, the other
// clients' commands wait until the drive stops: a camera line holds Halvoran for a tenth of a
// second or more, and the person driving must never wait behind it. A client may have at most
// PER_CLIENT commands waiting; a stop is always taken.
class CommandQueue {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr size_t PER_CLIENT = 8;
    // A speed or servo move that waited longer than this is dropped: the person driving has long
    // since asked for something else, and a replayed speed would run against it.
    static constexpr auto DRIVE_MAX_AGE = std::chrono::seconds(1);

    enum class Push { Queued, Busy };
    // An urgent command (a stop) goes first, and the speeds still waiting go: carried out after
    // the stop they would start the drive again. A speed or servo move takes the place of the
    // same client's one still waiting (the older one's values that the newer does not set are
    // kept). What is taken out is appended to overtaken, so that its sender can be told.
    Push push(Command command, bool urgent, std::vector<Command>& overtaken);
    // The next command to carry out, judged at `now` (read just before it is sent): the speeds and
    // servo moves that waited longer than DRIVE_MAX_AGE are appended to stale instead. A stop is
    // never stale. driving: the client whose drive runs now, if any; of the others' commands
    // none is handed out meanwhile.
    std::optional<Command> next(TimePoint now, std::vector<Command>& stale,
                                std::optional<uint32_t> driving = std::nullopt);
    // Whether next() would hand out something (or drop something stale).
    bool ready(std::optional<uint32_t> driving) const;
    // Everything waiting, in the order it would have been served.
    std::vector<Command> takeAll();
    // The client's waiting commands that count against its limit (stops do not).
    size_t waiting(uint32_t client) const;
    bool empty() const;

private:
    std::deque<Command> drive_;
    std::map<uint32_t, std::deque<Command>> others_;  // never holds an empty queue
    uint32_t lastServed_ = 0;
};

// A log line as it may be written: control characters as '?', at most 300 characters.
std::string printableLogLine(const std::string& line);

// One line on the log for each kind of trouble, at most once per EVERY for each key; the lines
// left out meanwhile are counted in the next one. Control characters are replaced and long
// lines cut. Safe to call from any thread.

class RateLimitedLog {
public:
    static constexpr auto EVERY = std::chrono::seconds(10);
    using TimePoint = std::chrono::steady_clock::time_point;
    explicit RateLimitedLog(std::function<void(const std::string&)> write = nullptr,
                            std::function<TimePoint()> clock = std::chrono::steady_clock::now);
    void operator()(const std::string& key, const std::string& line);

private:
    struct Entry {
        TimePoint last{};
        bool written = false;
        size_t suppressed = 0;
    };
    std::function<void(const std::string&)> write_;
    std::function<TimePoint()> clock_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// A JSON number that is a whole number within 0..2^32-1 (the protocol's ids).
bool u32Of(const json& value, uint32_t& out);

// One entry of a client's subscribe list, checked against the channels there are and the
// client's subscriptions (subscription id -> channel): its id and channel, or why it is refused.
bool checkSubscription(const json& entry, const std::function<bool(uint32_t)>& channelExists,
                       const std::map<uint32_t, uint32_t>& subscriptions, uint32_t& id, uint32_t& channel,
                       std::string& why);

}  // namespace bridge
