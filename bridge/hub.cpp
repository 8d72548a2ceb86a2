#include "bridge/hub.h"

#include <limits>

namespace bridge {

// ---- DriveArbiter ----

void DriveArbiter::expire(Clock::time_point now) {
    if (holder_ && now - lastMessage_ >= HOLD_TIME) {
        holder_.reset();
        speed_.reset();
    }
}

std::optional<ClientId> DriveArbiter::holder(Clock::time_point now) {
    expire(now);
    return holder_;
}

std::optional<ClientId> DriveArbiter::driving(Clock::time_point now) {
    expire(now);
    if (holder_ && speed_ && now - lastMessage_ < REPEAT_WHILE) return holder_;
    return std::nullopt;
}

bool DriveArbiter::onDrive(ClientId client, const Command& command, Clock::time_point now) {
    expire(now);
    // A stop is everyone's: whoever sees the robot in trouble may stop it.
    if (holder_ && *holder_ != client && !command.stop) return false;
    if (command.speed) {
        holder_ = client;
        lastMessage_ = now;
        lastSent_ = now;  // this command itself carries the speed
        speed_ = command.speed;
    } else if (command.stop) {
        holder_.reset();
        speed_.reset();
    }
    // Servos only: they move, but neither the hold nor the speed's repeats are renewed by them.
    return true;
}

bool DriveArbiter::onDisconnect(ClientId client) {
    if (!holder_ || *holder_ != client) return false;
    holder_.reset();
    speed_.reset();
    return true;
}

std::optional<Command> DriveArbiter::due(Clock::time_point now) {
    if (holder_ && speed_) {
        Command command;
        command.kind = Command::Kind::Drive;
        if (now - lastMessage_ >= REPEAT_WHILE) {
            speed_.reset();
            command.stop = true;
            expire(now);
            return command;
        }
        if (now - lastSent_ >= REPEAT_EVERY) {
            lastSent_ = now;
            command.speed = speed_;
            return command;
        }
    }
    expire(now);
    return std::nullopt;
}

// ---- Hub ----

namespace {

// The last part of a status id for a message on a publish topic that was refused.
const char* whatOf(const std::string& topic) {
    if (topic == DRIVE_TOPIC) return "drive";
    if (topic == TRACK_TOPIC) return "track";
    if (topic == CAPTURE_TOPIC) return "capture";
    return "camera-line";
}

}  // namespace

Hub::Hub(ClientSink& clients, CommandSink& commands, std::string serverName, std::string halvoranHost,
         std::function<Clock::time_point()> clock, std::function<void(const std::string&)> logLine)
    : clients_(clients),
      commands_(commands),
      serverName_(std::move(serverName)),
      halvoranHost_(std::move(halvoranHost)),
      sessionId_(std::to_string(nowNs())),
      clock_(std::move(clock)),
      log_(std::move(logLine), clock_) {}

uint64_t Hub::nowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

void Hub::open(ClientId client, const std::string& name, Role role) {
    std::lock_guard lock(mutex_);
    state_[client].name = name;
    state_[client].role = role;
    clients_.sendText(client, serverInfoJson(serverName_, halvoranHost_, sessionId_, role == Role::Driver));
    clients_.sendText(client, statusJson(STATUS_INFO, "client " + std::to_string(client), "halvoran.client-id"));
    clients_.sendText(client, advertiseJson());
    publishConnection();
}

void Hub::close(ClientId client) {
    std::lock_guard lock(mutex_);
    if (state_.erase(client) == 0) return;
    warnedDriveHeld_.erase(client);
    if (arbiter_.onDisconnect(client) && connected_) {
        Command stop;
        stop.kind = Command::Kind::Drive;
        stop.stop = true;
        commands_.submit(stop, true);
    }
    publishConnection();
}

void Hub::error(ClientId client, const char* what, const std::string& message) {
    clients_.sendText(client, statusJson(STATUS_ERROR, message, std::string(BAD_MESSAGE) + "." + what));
    log_(std::string("bad-message.") + what, "client " + std::to_string(client) + ": refused: " + message);
}

void Hub::handleText(ClientId client, std::string_view text) {
    std::lock_guard lock(mutex_);
    auto it = state_.find(client);
    if (it == state_.end()) return;
    json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded()) return error(client, "json", "the message is not valid JSON");
    if (!msg.is_object()) return error(client, "json", "a text message must be a JSON object");
    auto op = msg.find("op");
    if (op == msg.end() || !op->is_string()) return error(client, "op", "the message has no \"op\"");
    const std::string& name = op->get_ref<const std::string&>();
    if (name == "subscribe") return subscribe(client, it->second, msg);
    if (name == "unsubscribe")
        return removeListed(client, msg, "unsubscribe", "subscriptionIds", "subscription id", it->second.subscriptions);
    if (name == "advertise") return advertise(client, it->second, msg);
    if (name == "unadvertise")
        return removeListed(client, msg, "unadvertise", "channelIds", "client channel id", it->second.advertised);
    error(client, "op", "the operation \"" + name + "\" is not supported");
}

void Hub::subscribe(ClientId client, Client& state, const json& msg) {
    auto list = msg.find("subscriptions");
    if (list == msg.end() || !list->is_array())
        return error(client, "subscribe", "subscribe needs a \"subscriptions\" array");
    for (const json& entry : *list) {
        uint32_t id = 0, channel = 0;
        std::string why;
        auto exists = [](uint32_t c) { return channelInfo(c) != nullptr; };
        if (!checkSubscription(entry, exists, state.subscriptions, id, channel, why)) {
            error(client, "subscribe", why);
            continue;
        }
        state.subscriptions[id] = channel;
        // A new subscriber sees the present state at once, not only after the next change.
        if (channel == CONNECTION_CHANNEL) {
            clients_.sendBinary(client, messageDataFrame(id, nowNs(), connectionJson().dump()));
        } else if (auto latest = latest_.find(channel); latest != latest_.end()) {
            clients_.sendBinary(client, messageDataFrame(id, latest->second.first, latest->second.second));
        }
    }
}

template <typename Ids>
void Hub::removeListed(ClientId client, const json& msg, const char* op, const char* key, const char* idName, Ids& ids) {
    auto list = msg.find(key);
    if (list == msg.end() || !list->is_array())
        return error(client, op, std::string(op) + " needs a \"" + key + "\" array");
    for (const json& entry : *list) {
        uint32_t id = 0;
        if (!u32Of(entry, id) || ids.erase(id) == 0) {
            error(client, op,
                  std::string("unknown ") + idName + " " + entry.dump(-1, ' ', false, json::error_handler_t::replace));
        }
    }
}

void Hub::advertise(ClientId client, Client& state, const json& msg) {
    // Publishing is the driver's; a viewer was not offered it (serverInfo) and may not start.
    if (state.role != Role::Driver) {
        return error(client, "not-permitted", "a viewer may not publish: advertise refused");
    }
    auto list = msg.find("channels");
    if (list == msg.end() || !list->is_array())
        return error(client, "advertise", "advertise needs a \"channels\" array");
    for (const json& entry : *list) {
        uint32_t id = 0;
        if (!entry.is_object() || !entry.contains("id") || !u32Of(entry["id"], id)) {
            error(client, "advertise", "an advertised channel needs an \"id\", a whole number");
            continue;
        }
        auto topic = entry.find("topic");
        auto encoding = entry.find("encoding");
        if (topic == entry.end() || !topic->is_string() || !isPublishTopic(topic->get_ref<const std::string&>())) {
            error(client, "advertise",
                  "channel " + std::to_string(id) +
                      ": the topic must be one of /halvoran/drive, /halvoran/track, /halvoran/capture, "
                      "/halvoran/camera_line");
            continue;
        }
        if (encoding == entry.end() || *encoding != "json") {
            error(client, "advertise", "channel " + std::to_string(id) + ": the encoding must be \"json\"");
            continue;
        }
        if (state.advertised.count(id)) {
            error(client, "advertise", "client channel id " + std::to_string(id) + " is already advertised");
            continue;
        }
        state.advertised[id] = topic->get<std::string>();
    }
}

void Hub::handleBinary(ClientId client, std::string_view data) {
    std::lock_guard lock(mutex_);
    auto it = state_.find(client);
    if (it == state_.end()) return;
    if (data.empty()) return error(client, "binary", "empty binary message");
    uint8_t opcode = static_cast<uint8_t>(data[0]);
    if (opcode != 1) return error(client, "binary", "binary operation " + std::to_string(opcode) + " is not supported");
    if (it->second.role != Role::Driver) return error(client, "not-permitted", "a viewer may not publish");
    if (data.size() < 5) return error(client, "binary", "the message data is shorter than its header");
    uint32_t channel = 0;
    for (int i = 0; i < 4; ++i) channel |= uint32_t(static_cast<uint8_t>(data[1 + i])) << (8 * i);
    auto topic = it->second.advertised.find(channel);
    if (topic == it->second.advertised.end()) {
        return error(client, "channel", "client channel id " + std::to_string(channel) + " was not advertised");
    }
    Command command;
    std::string why;
    if (!parseCommand(topic->second, data.substr(5), command, why)) return error(client, whatOf(topic->second), why);
    command.client = client;
    Clock::time_point now = clock_();
    command.received = now;
    if (!connected_) return replyLocked(client, command, "Halvoran is not connected");
    if (std::string refusal = refusalLocked(command, now); !refusal.empty()) {
        return replyLocked(client, command, refusal);
    }
    if (command.kind == Command::Kind::Drive) {
        auto before = arbiter_.holder(now);
        if (!arbiter_.onDrive(client, command, now)) {
            clients_.sendText(
                client, statusJson(STATUS_WARNING, "the drive is held by client " + std::to_string(before.value_or(0)),
                                   DRIVE_HELD));
            warnedDriveHeld_.insert(client);
            return;
        }
        if (command.stop && before && *before != client) {
            command.servo0.reset();
            command.servo1.reset();
            command.servo2.reset();
        }
        if (arbiter_.holder(now) != shownDriver_) publishConnection();
    }
    bool urgent = command.kind == Command::Kind::Drive && command.stop;  // a stop goes before everything queued
    Command copy = command;
    if (!commands_.trySubmit(std::move(command), urgent)) {
        log_("busy", "client " + std::to_string(client) + ": busy, " + std::to_string(CommandQueue::PER_CLIENT) +
                         " of its commands are waiting");
        replyLocked(client, copy,
                    "busy: " + std::to_string(CommandQueue::PER_CLIENT) + " commands of this client are waiting");
    }
}

std::string Hub::refusalLocked(const Command& command, Clock::time_point now) {
    bool blocking =
        command.kind == Command::Kind::Capture || (command.kind == Command::Kind::Track && command.trackStart);
    if (!blocking) return {};
    auto holder = arbiter_.holder(now);
    if (!holder || *holder == command.client) return {};
    return "the drive is held by client " + std::to_string(*holder) + ": " +
           (command.kind == Command::Kind::Capture ? "a capture" : "tracking") + " must wait until it stops";
}

std::string Hub::refusalWhileDriving(const Command& command) {
    std::lock_guard lock(mutex_);
    return refusalLocked(command, clock_());
}

std::optional<ClientId> Hub::driving() {
    std::lock_guard lock(mutex_);
    return arbiter_.driving(clock_());
}

std::optional<ClientId> Hub::driveHolder() {
    std::lock_guard lock(mutex_);
    return arbiter_.holder(clock_());
}

void Hub::withdrawDriveHeld() {
    for (ClientId client : warnedDriveHeld_) clients_.sendText(client, removeStatusJson({DRIVE_HELD}));
    warnedDriveHeld_.clear();
}

void Hub::replyLocked(ClientId client, const Command& command, const std::string& why) {
    // Only the sender hears the bridge's refusals: a client that floods must not make every other
    // connection carry an answer for each of its commands.
    auto it = state_.find(client);
    if (it == state_.end()) return;
    uint64_t t = nowNs();
    std::string payload = replyJson(client, topicOf(command.kind), false, std::nullopt, std::nullopt, why, t)
                              .dump(-1, ' ', false, json::error_handler_t::replace);
    for (auto& [sub, ch] : it->second.subscriptions) {
        if (ch == REPLY_CHANNEL) clients_.sendBinary(client, messageDataFrame(sub, t, payload));
    }
}

void Hub::refuse(const Command& command, const std::string& why) {
    std::lock_guard lock(mutex_);
    replyLocked(command.client, command, why);
}

void Hub::publish(uint32_t channel, const json& message, uint64_t timeNs) {
    std::string payload = message.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard lock(mutex_);
    publishLocked(channel, payload, timeNs);
    if (channel == DRIVE_STATUS_CHANNEL || channel == IMAGE_CHANNEL) latest_[channel] = {timeNs, std::move(payload)};
}

void Hub::publishLocked(uint32_t channel, const std::string& payload, uint64_t timeNs) {
    for (auto& [id, client] : state_) {
        for (auto& [sub, ch] : client.subscriptions) {
            if (ch == channel) clients_.sendBinary(id, messageDataFrame(sub, timeNs, payload));
        }
    }
}

json Hub::connectionJson() {
    json driver = nullptr;
    if (shownDriver_) {
        auto it = state_.find(*shownDriver_);
        driver = json{{"id", *shownDriver_}, {"name", it != state_.end() ? it->second.name : std::string()}};
    }
    return json{{"connected", connected_}, {"host", halvoranHost_}, {"driver", driver}, {"viewers", state_.size()}};
}

void Hub::publishConnection() {
    auto holder = arbiter_.holder(clock_());
    if (holder != shownDriver_) withdrawDriveHeld();
    shownDriver_ = holder;
    publishLocked(CONNECTION_CHANNEL, connectionJson().dump(-1, ' ', false, json::error_handler_t::replace), nowNs());
}

void Hub::setConnected(bool connected) {
    std::lock_guard lock(mutex_);
    if (connected_ == connected) return;
    connected_ = connected;
    if (!connected) latest_.erase(DRIVE_STATUS_CHANNEL);  // a new session starts afresh
    publishConnection();
}

std::optional<Command> Hub::driveDue() {
    std::lock_guard lock(mutex_);
    auto command = arbiter_.due(clock_());
    if (arbiter_.holder(clock_()) != shownDriver_) publishConnection();
    if (!connected_) return std::nullopt;
    return command;
}

}  // namespace bridge
