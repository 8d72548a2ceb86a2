#include "bridge/playback_hub.h"

#include <limits>

namespace bridge {

namespace {

// Text that may hold a recording's or a client's own bytes: not UTF-8 is replaced, not thrown.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }


bool knownParameter(const std::string& name) {
    return name == Player::PAUSED || name == Player::RATE || name == Player::POSITION;
}

}  // namespace

PlaybackHub::PlaybackHub(ClientSink& clients, Player& player, std::string serverName, std::string fileName,
                         std::function<Clock::time_point()> clock, std::function<void(const std::string&)> logLine)
    : clients_(clients), player_(player), log_(std::move(logLine), std::move(clock)) {
    const mcap::FileIndex& index = player.index();
    serverInfo_ = dump({{"op", "serverInfo"},
                        {"name", serverName},
                        {"capabilities", json::array({"time", "parameters", "parametersSubscribe"})},
                        {"supportedEncodings", json::array()},
                        {"metadata",
                         {{"halvoran.mode", "playback"},
                          {"halvoran.file", fileName},
                          {"halvoran.start", std::to_string(player.startTime())},
                          {"halvoran.end", std::to_string(player.endTime())}}},
                        {"sessionId", std::to_string(Hub::nowNs())}});
    json channels = json::array();
    for (const mcap::ReadChannel& c : index.channels) {
        const mcap::ReadSchema* schema = index.schema(c.schemaId);
        json channel = {{"id", c.id},
                        {"topic", c.topic},
                        {"encoding", c.messageEncoding},
                        {"schemaName", schema != nullptr ? schema->name : std::string()},
                        {"schema", schema != nullptr ? schema->data : std::string()}};
        if (schema != nullptr && !schema->encoding.empty()) channel["schemaEncoding"] = schema->encoding;
        channels.push_back(std::move(channel));
        channels_.insert(c.id);
    }
    advertise_ = dump({{"op", "advertise"}, {"channels", channels}});
}

std::string PlaybackHub::timeFrame(uint64_t timeNs) {
    std::string frame(9, '\0');
    frame[0] = 2;
    for (int i = 0; i < 8; ++i) frame[1 + i] = static_cast<char>((timeNs >> (8 * i)) & 0xFF);
    return frame;
}

void PlaybackHub::open(ClientId client, const std::string&, Role) {
    uint64_t now = player_.position();  // the player first: its lock is never taken under ours
    std::lock_guard lock(mutex_);
    state_[client];
    clients_.sendText(client, serverInfo_);
    clients_.sendText(client, advertise_);
    clients_.sendBinary(client, timeFrame(now));
}

void PlaybackHub::close(ClientId client) {
    std::lock_guard lock(mutex_);
    state_.erase(client);
}

void PlaybackHub::error(ClientId client, const std::string& what, const std::string& message) {
    clients_.sendText(client, statusJson(STATUS_ERROR, message, std::string(Hub::BAD_MESSAGE) + "." + what));
    log_("bad-message." + what, "client " + std::to_string(client) + ": refused: " + message);
}

void PlaybackHub::refusePublishing(ClientId client, const std::string& what) {
    error(client, "playback", "a recording is playing back: nothing can be published (" + what + " refused)");
}

void PlaybackHub::handleText(ClientId client, std::string_view text) {
    json msg = json::parse(text, nullptr, false);
    {
        std::lock_guard lock(mutex_);
        if (!state_.count(client)) return;
        if (msg.is_discarded()) return error(client, "json", "the message is not valid JSON");
        if (!msg.is_object()) return error(client, "json", "a text message must be a JSON object");
        auto op = msg.find("op");
        if (op == msg.end() || !op->is_string()) return error(client, "op", "the message has no \"op\"");
        const std::string& name = op->get_ref<const std::string&>();
        if (name == "subscribe") return subscribe(client, msg);
        if (name == "unsubscribe") return unsubscribe(client, msg);
        if (name == "advertise" || name == "unadvertise") return refusePublishing(client, name);
        if (name == "subscribeParameterUpdates") return followParameters(client, msg, true);
        if (name == "unsubscribeParameterUpdates") return followParameters(client, msg, false);
        if (name != "getParameters" && name != "setParameters") {
            return error(client, "op", "the operation \"" + name + "\" is not supported");
        }
    }
    // These reach the player, whose lock is never taken under ours.
    if (msg["op"] == "getParameters") return getParameters(client, msg);
    setParameters(client, msg);
}

void PlaybackHub::handleBinary(ClientId client, std::string_view data) {
    std::lock_guard lock(mutex_);
    if (!state_.count(client)) return;
    if (data.empty()) return error(client, "binary", "empty binary message");
    uint8_t opcode = static_cast<uint8_t>(data[0]);
    if (opcode == 1) return refusePublishing(client, "message data");
    error(client, "binary", "binary operation " + std::to_string(opcode) + " is not supported");
}

void PlaybackHub::subscribe(ClientId client, const json& msg) {
    Client& state = state_[client];
    auto list = msg.find("subscriptions");
    if (list == msg.end() || !list->is_array())
        return error(client, "subscribe", "subscribe needs a \"subscriptions\" array");
    for (const json& entry : *list) {
        uint32_t id = 0, channel = 0;
        std::string why;
        auto exists = [this](uint32_t c) { return channels_.count(c) > 0; };
        if (!checkSubscription(entry, exists, state.subscriptions, id, channel, why)) {
            error(client, "subscribe", why);
            continue;
        }
        state.subscriptions[id] = channel;
        // A new subscriber sees the moment shown now, not only the next message.
        if (auto latest = latest_.find(channel); latest != latest_.end()) {
            clients_.sendBinary(client, messageDataFrame(id, latest->second.first, latest->second.second));
        }
    }
}

void PlaybackHub::unsubscribe(ClientId client, const json& msg) {
    Client& state = state_[client];
    auto list = msg.find("subscriptionIds");
    if (list == msg.end() || !list->is_array())
        return error(client, "unsubscribe", "unsubscribe needs a \"subscriptionIds\" array");
    for (const json& entry : *list) {
        uint32_t id = 0;
        if (!u32Of(entry, id) || state.subscriptions.erase(id) == 0) {
            error(client, "unsubscribe", "unknown subscription id " + dump(entry));
        }
    }
}

bool PlaybackHub::names(ClientId client, const json& msg, const char* op, std::vector<std::string>& out) {
    auto list = msg.find("parameterNames");
    if (list == msg.end() || !list->is_array()) {
        error(client, "parameters", std::string(op) + " needs a \"parameterNames\" array");
        return false;
    }
    for (const json& entry : *list) {
        if (!entry.is_string() || !knownParameter(entry.get<std::string>())) {
            error(client, "parameters", "unknown parameter " + dump(entry));
            continue;
        }
        out.push_back(entry.get<std::string>());
    }
    if (list->empty()) out = {Player::PAUSED, Player::RATE, Player::POSITION};
    return true;
}

void PlaybackHub::followParameters(ClientId client, const json& msg, bool follow) {
    std::vector<std::string> listed;
    if (!names(client, msg, follow ? "subscribeParameterUpdates" : "unsubscribeParameterUpdates", listed)) return;
    Client& state = state_[client];
    for (const std::string& name : listed) {
        if (follow) state.parameters.insert(name);
        else state.parameters.erase(name);
    }
}

json PlaybackHub::parametersJson(const std::vector<PlaybackParameter>& parameters) {
    json list = json::array();
    for (const PlaybackParameter& p : parameters) {
        json entry = {{"name", p.name}, {"value", p.value}};
        if (p.value.is_number()) entry["type"] = "float64";
        list.push_back(std::move(entry));
    }
    return list;
}

void PlaybackHub::getParameters(ClientId client, const json& msg) {
    std::vector<PlaybackParameter> all = player_.parameters();
    std::lock_guard lock(mutex_);
    if (!state_.count(client)) return;
    std::vector<std::string> listed;
    if (!names(client, msg, "getParameters", listed)) return;
    std::vector<PlaybackParameter> asked;
    for (const PlaybackParameter& p : all) {
        if (std::find(listed.begin(), listed.end(), p.name) != listed.end()) asked.push_back(p);
    }
    json values = {{"op", "parameterValues"}, {"parameters", parametersJson(asked)}};
    if (auto id = msg.find("id"); id != msg.end() && id->is_string()) values["id"] = *id;
    clients_.sendText(client, dump(values));
}

void PlaybackHub::setParameters(ClientId client, const json& msg) {
    auto list = msg.find("parameters");
    if (list == msg.end() || !list->is_array()) {
        std::lock_guard lock(mutex_);
        return error(client, "parameters", "setParameters needs a \"parameters\" array");
    }
    std::vector<std::string> problems;
    std::vector<std::string> named;
    for (const json& entry : *list) {
        auto name = entry.is_object() ? entry.find("name") : entry.end();
        auto value = entry.is_object() ? entry.find("value") : entry.end();
        if (!entry.is_object() || name == entry.end() || !name->is_string()) {
            problems.push_back("a parameter needs a \"name\"");
            continue;
        }
        const std::string& which = name->get_ref<const std::string&>();
        std::string problem;
        if (which == Player::PAUSED) {
            if (value == entry.end() || !value->is_boolean()) problem = "playback.paused must be true or false";
            else problem = player_.setPaused(value->get<bool>());
        } else if (which == Player::RATE) {
            if (value == entry.end() || !value->is_number()) problem = "playback.rate must be a number";
            else problem = player_.setRate(value->get<double>());
        } else if (which == Player::POSITION) {
            if (value == entry.end() || !value->is_number()) problem = "playback.position must be a number";
            else problem = player_.seek(value->get<double>());
        } else {
            problem = "unknown parameter " + dump(*name) + " (playback.paused, playback.rate, playback.position)";
        }
        if (!problem.empty()) problems.push_back(problem);
        if (knownParameter(which)) named.push_back(which);
    }
    std::vector<PlaybackParameter> all = player_.parameters();
    std::lock_guard lock(mutex_);
    if (!state_.count(client)) return;
    for (const std::string& problem : problems) error(client, "parameters", problem);
    auto id = msg.find("id");
    if (id == msg.end() || !id->is_string()) return;
    std::vector<PlaybackParameter> asked;
    for (const PlaybackParameter& p : all) {
        if (std::find(named.begin(), named.end(), p.name) != named.end()) asked.push_back(p);
    }
    clients_.sendText(client, dump({{"op", "parameterValues"}, {"parameters", parametersJson(asked)}, {"id", *id}}));
}

void PlaybackHub::message(uint16_t channel, uint64_t logTime, const std::string& data) {
    std::lock_guard lock(mutex_);
    for (auto& [id, client] : state_) {
        for (auto& [sub, ch] : client.subscriptions) {
            if (ch == channel) clients_.sendBinary(id, messageDataFrame(sub, logTime, data));
        }
    }
    latest_[channel] = {logTime, data};
}

void PlaybackHub::time(uint64_t logTime) {
    std::string frame = timeFrame(logTime);
    std::lock_guard lock(mutex_);
    for (auto& [id, client] : state_) clients_.sendBinary(id, frame);
}

void PlaybackHub::parametersChanged(const std::vector<PlaybackParameter>& changed) {
    std::lock_guard lock(mutex_);
    for (auto& [id, client] : state_) {
        std::vector<PlaybackParameter> followed;
        for (const PlaybackParameter& p : changed) {
            if (client.parameters.count(p.name)) followed.push_back(p);
        }
        if (!followed.empty()) {
            clients_.sendText(id, dump({{"op", "parameterValues"}, {"parameters", parametersJson(followed)}}));
        }
    }
}

void PlaybackHub::seeked() {
    std::lock_guard lock(mutex_);
    latest_.clear();
}

}  // namespace bridge
