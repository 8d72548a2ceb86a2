#include "bridge/messages.h"

#include <limits>

#include <cmath>
#include <cstdio>
#include <iterator>

namespace bridge {

namespace {

#define HALVORAN_TIME_SCHEMA \
    R"({"type":"object","properties":{"sec":{"type":"integer","minimum":0},"nsec":{"type":"integer","minimum":0,"maximum":999999999}}})"

// The channels the bridge shares with the flight recorder take their topic and schema from
// record/topics; the others are the bridge's own. Made on first use: the shared topics are
// defined in another file.
const std::array<ChannelInfo, LAST_CHANNEL>& channelTable() {
    auto shared = [](uint32_t id, const topics::Topic& t) { return ChannelInfo{id, t.topic, t.schemaName, t.schema}; };
    static const std::array<ChannelInfo, LAST_CHANNEL> table = {{
        {CONNECTION_CHANNEL, "/halvoran/connection", "halvoran.Connection",
         R"({"type":"object","properties":{"connected":{"type":"boolean"},"host":{"type":"string"},)"
         R"("driver":{"type":["object","null"],"properties":{"id":{"type":"integer"},"name":{"type":"string"}}},)"
         R"("viewers":{"type":"integer"}}})"},
        shared(TRACKING_CHANNEL, topics::TRACKING),
        shared(DRIVE_STATUS_CHANNEL, topics::DRIVE_STATUS),
        shared(IMAGE_CHANNEL, topics::CAMERA_IMAGE),
        shared(ANNOTATIONS_CHANNEL, topics::CAMERA_ANNOTATIONS),
        {FRAME_PROGRESS_CHANNEL, "/halvoran/frame_progress", "halvoran.FrameProgress",
         R"({"type":"object","properties":{"received":{"type":"integer"},"expected":{"type":"integer"},)"
         R"("done":{"type":"boolean"},"error":{"type":["string","null"]}}})"},
        {REPLY_CHANNEL, "/halvoran/reply", "halvoran.Reply",
         R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
         R"(,"clientId":{"type":"integer"},"topic":{"type":"string"},"ok":{"type":"boolean"},)"
         R"("result":{"type":["integer","null"]},"resultText":{"type":"string"},"answer":{"type":["string","null"]},)"
         R"("error":{"type":["string","null"]}}})"},
    }};
    return table;
}

#undef HALVORAN_TIME_SCHEMA

// An integer field within [low, high]; absent is fine when optional.
bool intField(const json& object, const char* name, int low, int high, std::optional<int>& out, std::string& error) {
    auto it = object.find(name);
    if (it == object.end()) return true;
    if (!it->is_number_integer()) {
        error = std::string("\"") + name + "\" must be an integer";
        return false;
    }
    long long value = it->is_number_unsigned()
                          ? static_cast<long long>(std::min<uint64_t>(it->get<uint64_t>(), INT64_MAX))
                          : it->get<long long>();
    if (value < low || value > high) {
        error = std::string("\"") + name + "\" must be within " + std::to_string(low) + ".." + std::to_string(high) +
                ", not " + std::to_string(value);
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool onlyFields(const json& object, std::initializer_list<const char*> known, std::string& error) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char* k : known) found = found || it.key() == k;
        if (!found) {
            error = "unknown field \"" + it.key() + "\"";
            return false;
        }
    }
    return true;
}

// An array of exactly `count` integers, each within [low, high].
bool intArray(const json& value, const char* name, size_t count, int low, int high, std::vector<int>& out,
              std::string& error) {
    if (!value.is_array() || value.size() != count) {
        error = std::string("\"") + name + "\" must be an array of " + std::to_string(count) + " integers";
        return false;
    }
    out.clear();
    for (const json& item : value) {
        if (!item.is_number_integer()) {
            error = std::string("\"") + name + "\" must hold integers only";
            return false;
        }
        long long v = item.is_number_unsigned()
                          ? static_cast<long long>(std::min<uint64_t>(item.get<uint64_t>(), INT64_MAX))
                          : item.get<long long>();
        if (v < low || v > high) {
            error = std::string("\"") + name + "\" values must be within " + std::to_string(low) + ".." +
                    std::to_string(high);
            return false;
        }
        out.push_back(static_cast<int>(v));
    }
    return true;
}

bool parseDrive(const json& msg, Command& command, std::string& error) {
    if (!onlyFields(msg, {"speed", "servo0", "servo1", "servo2", "stop"}, error)) return false;
    if (!intField(msg, "speed", -128, 127, command.speed, error)) return false;
    if (!intField(msg, "servo0", 0, 255, command.servo0, error)) return false;
    if (!intField(msg, "servo1", 0, 255, command.servo1, error)) return false;
    if (!intField(msg, "servo2", 0, 255, command.servo2, error)) return false;
    if (auto it = msg.find("stop"); it != msg.end()) {
        if (!it->is_boolean()) {
            error = "\"stop\" must be true or false";
            return false;
        }
        command.stop = it->get<bool>();
    }
    if (command.stop && command.speed) {
        error = "a drive message either stops or gives a speed, not both";
        return false;
    }
    return true;
}

bool parseTrack(const json& msg, Command& command, std::string& error) {
    auto action = msg.find("action");
    if (action == msg.end() || !action->is_string()) {
        error = "\"action\" must be \"start\" or \"stop\"";
        return false;
    }
    if (*action == "stop") {
        if (!onlyFields(msg, {"action"}, error)) return false;
        command.trackStart = false;
        return true;
    }
    if (*action != "start") {
        error = "\"action\" must be \"start\" or \"stop\"";
        return false;
    }
    command.trackStart = true;
    auto kind = msg.find("kind");
    if (kind == msg.end() || !kind->is_string() || (*kind != "colour" && *kind != "window")) {
        error = "\"kind\" must be \"colour\" or \"window\"";
        return false;
    }
    command.window = *kind == "window";
    if (auto mode = msg.find("mode"); mode != msg.end()) {
        if (!mode->is_string() || !halvoran_client::parseTrackMode(mode->get<std::string>(), command.mode)) {
            error = "\"mode\" must be \"both\", \"pan\", \"tilt\" or \"report\"";
            return false;
        }
    }
    std::vector<int> values;
    if (!command.window) {
        if (!onlyFields(msg, {"action", "kind", "mode", "bounds"}, error)) return false;
        auto bounds = msg.find("bounds");
        if (bounds == msg.end()) {
            error = "colour tracking needs \"bounds\": [rmin,rmax,gmin,gmax,bmin,bmax]";
            return false;
        }
        if (!intArray(*bounds, "bounds", 6, 0, 255, values, error)) return false;
        for (size_t i = 0; i < 6; ++i) command.bounds[i] = static_cast<uint8_t>(values[i]);
        return true;
    }
    if (!onlyFields(msg, {"action", "kind", "mode", "window"}, error)) return false;
    if (auto box = msg.find("window"); box != msg.end()) {
        if (!intArray(*box, "window", 4, 1, 143, values, error)) return false;
        if (values[0] > 80 || values[2] > 80) {
            error = "\"window\" x values must be within 1..80";
            return false;
        }
        if (values[0] > values[2] || values[1] > values[3]) {
            error = "\"window\" must be [x1,y1,x2,y2] with x1 <= x2 and y1 <= y2";
            return false;
        }
        command.windowBox = std::array<int, 4>{values[0], values[1], values[2], values[3]};
    }
    return true;
}

bool parseCameraLine(const json& msg, Command& command, std::string& error) {
    if (!onlyFields(msg, {"line"}, error)) return false;
    auto line = msg.find("line");
    if (line == msg.end() || !line->is_string()) {
        error = "\"line\" must be a string";
        return false;
    }
    command.line = line->get<std::string>();
    if (command.line.size() > halvoran_client::PASS_THROUGH_LIMIT) {
        error = "\"line\" is longer than " + std::to_string(halvoran_client::PASS_THROUGH_LIMIT) + " characters";
        return false;
    }
    for (unsigned char c : command.line) {
        // A carriage return would end the camera's line early and start another one.
        if (c < 0x20 || c > 0x7E) {
            error = "\"line\" may hold printable ASCII characters only";
            return false;
        }
    }
    return true;
}

}  // namespace

const ChannelInfo* channelInfo(uint32_t id) {
    for (const ChannelInfo& c : channelTable()) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

bool isPublishTopic(std::string_view topic) {
    return topic == DRIVE_TOPIC || topic == TRACK_TOPIC || topic == CAPTURE_TOPIC || topic == CAMERA_LINE_TOPIC;
}

std::string serverInfoJson(const std::string& name, const std::string& halvoranHost, const std::string& sessionId,
                           bool clientPublish) {
    json info = {{"op", "serverInfo"},
                 {"name", name},
                 {"capabilities", clientPublish ? json::array({"clientPublish"}) : json::array()},
                 {"supportedEncodings", json::array({"json"})},
                 {"metadata", {{"halvoranHost", halvoranHost}}},
                 {"sessionId", sessionId}};
    return info.dump();
}

std::string advertiseJson() {
    // The same for the bridge's whole life: made once, not for every connection.
    static const std::string text = [] {
        json channels = json::array();
        for (const ChannelInfo& c : channelTable()) {
            channels.push_back({{"id", c.id},
                                {"topic", c.topic},
                                {"encoding", "json"},
                                {"schemaName", c.schemaName},
                                {"schema", c.schema},
                                {"schemaEncoding", "jsonschema"}});
        }
        return json{{"op", "advertise"}, {"channels", channels}}.dump();
    }();
    return text;
}

std::string statusJson(int level, const std::string& message, const std::string& id) {
    json status = {{"op", "status"}, {"level", level}, {"message", message}};
    if (!id.empty()) status["id"] = id;
    // Replace, not throw, on text that is not UTF-8 (a client's own bytes may be echoed).
    return status.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string removeStatusJson(const std::vector<std::string>& ids) {
    return json{{"op", "removeStatus"}, {"statusIds", ids}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string messageDataFrame(uint32_t subscriptionId, uint64_t timeNs, std::string_view payload) {
    std::string frame(13 + payload.size(), '\0');
    frame[0] = 1;
    for (int i = 0; i < 4; ++i) frame[1 + i] = static_cast<char>((subscriptionId >> (8 * i)) & 0xFF);
    for (int i = 0; i < 8; ++i) frame[5 + i] = static_cast<char>((timeNs >> (8 * i)) & 0xFF);
    std::copy(payload.begin(), payload.end(), frame.begin() + 13);
    return frame;
}

const char* topicOf(Command::Kind kind) {
    switch (kind) {
        case Command::Kind::Drive: return DRIVE_TOPIC.data();
        case Command::Kind::Track: return TRACK_TOPIC.data();
        case Command::Kind::Capture: return CAPTURE_TOPIC.data();
        case Command::Kind::CameraLine: return CAMERA_LINE_TOPIC.data();
    }
    return "";
}

bool parseCommand(std::string_view topic, std::string_view payload, Command& command, std::string& error) {
    json msg = json::parse(payload, nullptr, false);
    if (msg.is_discarded()) {
        error = "the message on " + std::string(topic) + " is not valid JSON";
        return false;
    }
    if (!msg.is_object()) {
        error = "the message on " + std::string(topic) + " must be a JSON object";
        return false;
    }
    command = Command{};
    bool ok = false;
    if (topic == DRIVE_TOPIC) {
        command.kind = Command::Kind::Drive;
        ok = parseDrive(msg, command, error);
    } else if (topic == TRACK_TOPIC) {
        command.kind = Command::Kind::Track;
        ok = parseTrack(msg, command, error);
    } else if (topic == CAPTURE_TOPIC) {
        command.kind = Command::Kind::Capture;
        ok = onlyFields(msg, {}, error);
    } else if (topic == CAMERA_LINE_TOPIC) {
        command.kind = Command::Kind::CameraLine;
        ok = parseCameraLine(msg, command, error);
    } else {
        error = "nothing can be published on " + std::string(topic);
        return false;
    }
    if (!ok) error = std::string(topic) + ": " + error;
    return ok;
}

}  // namespace bridge

namespace bridge {

json replyJson(uint32_t clientId, const std::string& topic, bool ok, std::optional<int> result,
               const std::optional<std::string>& answer, const std::optional<std::string>& error, uint64_t timeNs) {
    std::string text;
    if (result) text = halvoran_client::resultText(static_cast<uint8_t>(*result));
    else if (error) text = *error;
    return json{{"timestamp", timeJson(timeNs)},
                {"clientId", clientId},
                {"topic", topic},
                {"ok", ok},
                {"result", result ? json(*result) : json(nullptr)},
                {"resultText", text},
                {"answer", answer ? json(*answer) : json(nullptr)},
                {"error", error ? json(*error) : json(nullptr)}};
}

json frameProgressJson(size_t received, size_t expected, bool done, const std::optional<std::string>& error) {
    return json{{"received", received},
                {"expected", expected},
                {"done", done},
                {"error", error ? json(*error) : json(nullptr)}};
}

namespace {
// A drive command that moves something: a speed or servo positions, and no stop.
bool movesTheRobot(const Command& c) {
    return c.kind == Command::Kind::Drive && !c.stop && (c.speed || c.servo0 || c.servo1 || c.servo2);
}
}  // namespace

CommandQueue::Push CommandQueue::push(Command command, bool urgent, std::vector<Command>& overtaken) {
    bool stop = command.kind == Command::Kind::Drive && command.stop;
    if (!stop && waiting(command.client) >= PER_CLIENT) return Push::Busy;
    if (command.kind != Command::Kind::Drive) {
        others_[command.client].push_back(std::move(command));
        return Push::Queued;
    }
    if (!urgent) {
        // A newer speed or servo move of the same client takes the place of the one still
        // waiting (what the older one set and the newer does not, it carries on): after a hold-up
        // the driver's latest wish goes out at once, not its past ones in a row.
        if (movesTheRobot(command)) {
            for (auto it = drive_.begin(); it != drive_.end(); ++it) {
                if (it->client != command.client || !movesTheRobot(*it)) continue;
                if (!command.speed) command.speed = it->speed;
                if (!command.servo0) command.servo0 = it->servo0;
                if (!command.servo1) command.servo1 = it->servo1;
                if (!command.servo2) command.servo2 = it->servo2;
                overtaken.push_back(std::move(*it));
                drive_.erase(it);
                break;
            }
        }
        drive_.push_back(std::move(command));
        return Push::Queued;
    }
    std::deque<Command> kept;
    for (Command& waitingCommand : drive_) {
        if (waitingCommand.speed && !waitingCommand.stop) overtaken.push_back(std::move(waitingCommand));
        else kept.push_back(std::move(waitingCommand));
    }
    kept.push_front(std::move(command));
    drive_.swap(kept);
    return Push::Queued;
}

std::optional<Command> CommandQueue::next(TimePoint now, std::vector<Command>& stale, std::optional<uint32_t> driving) {
    while (!drive_.empty()) {
        Command command = std::move(drive_.front());
        drive_.pop_front();
        if (movesTheRobot(command) && now - command.received > DRIVE_MAX_AGE) {
            stale.push_back(std::move(command));
            continue;
        }
        return command;
    }
    if (others_.empty()) return std::nullopt;
    std::map<uint32_t, std::deque<Command>>::iterator it;
    if (driving) {
        // Only the driver's own commands go while it drives.
        it = others_.find(*driving);
        if (it == others_.end()) return std::nullopt;
    } else {
        // The first client after the one served last, in the order of their ids, round the circle.
        it = others_.upper_bound(lastServed_);
        if (it == others_.end()) it = others_.begin();
    }
    Command command = std::move(it->second.front());
    it->second.pop_front();
    lastServed_ = it->first;
    if (it->second.empty()) others_.erase(it);
    return command;
}

std::vector<Command> CommandQueue::takeAll() {
    std::vector<Command> all(std::make_move_iterator(drive_.begin()), std::make_move_iterator(drive_.end()));
    drive_.clear();
    std::vector<Command> ignored;
    // The others in the order they would have been served.
    while (!others_.empty()) {
        if (auto c = next(TimePoint::max(), ignored)) all.push_back(std::move(*c));
    }
    return all;
}

size_t CommandQueue::waiting(uint32_t client) const {
    size_t n = 0;
    for (const Command& c : drive_) n += c.client == client && !c.stop ? 1 : 0;
    auto it = others_.find(client);
    return n + (it == others_.end() ? 0 : it->second.size());
}

bool CommandQueue::empty() const { return drive_.empty() && others_.empty(); }

bool CommandQueue::ready(std::optional<uint32_t> driving) const {
    return !drive_.empty() || (driving ? others_.count(*driving) > 0 : !others_.empty());
}

RateLimitedLog::RateLimitedLog(std::function<void(const std::string&)> write, std::function<TimePoint()> clock)
    : write_(std::move(write)), clock_(std::move(clock)) {
    if (!write_) write_ = [](const std::string& line) { std::fprintf(stderr, "halvoran-bridge: %s\n", line.c_str()); };
}

std::string printableLogLine(const std::string& line) {
    // A line may carry a client's own bytes: no control characters (a line break would forge a
    // log line of its own), and not without end.
    constexpr size_t LONGEST = 300;
    std::string out;
    for (size_t i = 0; i < line.size() && i < LONGEST; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        out += c < 0x20 || c == 0x7F ? '?' : line[i];
    }
    if (line.size() > LONGEST) out += "...";
    return out;
}

void RateLimitedLog::operator()(const std::string& key, const std::string& line) {
    std::string out;
    {
        std::lock_guard lock(mutex_);
        TimePoint now = clock_();
        // The keys are kinds of trouble, a few dozen at most; should they ever grow, start afresh.
        if (entries_.size() > 256 && !entries_.count(key)) entries_.clear();
        Entry& entry = entries_[key];
        if (entry.written && now - entry.last < EVERY) {
            ++entry.suppressed;
            return;
        }
        out = printableLogLine(line);
        if (entry.suppressed > 0) out += " (and " + std::to_string(entry.suppressed) + " more like it)";
        entry.written = true;
        entry.last = now;
        entry.suppressed = 0;
    }
    write_(out);
}

bool u32Of(const json& value, uint32_t& out) {
    if (!value.is_number_integer()) return false;
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        if (v > std::numeric_limits<uint32_t>::max()) return false;
        out = static_cast<uint32_t>(v);
        return true;
    }
    int64_t v = value.get<int64_t>();
    if (v < 0 || v > int64_t(std::numeric_limits<uint32_t>::max())) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool checkSubscription(const json& entry, const std::function<bool(uint32_t)>& channelExists,
                       const std::map<uint32_t, uint32_t>& subscriptions, uint32_t& id, uint32_t& channel,
                       std::string& why) {
    if (!entry.is_object() || !entry.contains("id") || !entry.contains("channelId") || !u32Of(entry["id"], id) ||
        !u32Of(entry["channelId"], channel)) {
        why = "a subscription needs an \"id\" and a \"channelId\", whole numbers";
        return false;
    }
    if (!channelExists(channel)) {
        why = "unknown channel id " + std::to_string(channel);
        return false;
    }
    if (subscriptions.count(id)) {
        why = "subscription id " + std::to_string(id) + " is already in use";
        return false;
    }
    for (const auto& [sub, ch] : subscriptions) {
        if (ch == channel) {
            why = "channel " + std::to_string(channel) + " is already subscribed";
            return false;
        }
    }
    return true;
}

}  // namespace bridge
