// Tools for the golden recordings of tests/replay:
//   golden_tool trim IN OUT         keeps what a replay reads (the ports, the events and the
//                                   bytes written to the serial line), so that a golden file
//                                   stays small: the bytes read from the line (a frame dump's,
//                                   each with its own time) are left out
//   golden_tool speed IN OUT SPEED  the same recording with every drive command's speed set to
//                                   SPEED: a session that must no longer replay as recorded
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/session.h"
#include "protocol/framing.h"
#include "protocol/wire.h"
#include "record/mcap_reader.h"
#include "record/mcap_writer.h"
#include "record/topics.h"

namespace {

const std::vector<std::string> kReplayTopics = {"/halvoran/port/5000", "/halvoran/port/5001", "/halvoran/port/5002",
                                                "/halvoran/events", "/halvoran/serial"};

// The bytes of one received message with each whole drive packet's speed changed; false when
// the message does not hold whole packets.
bool changeSpeed(std::vector<uint8_t>& bytes, int speed) {
    Deframer d;
    std::vector<uint8_t> out;
    size_t consumed = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (deframeByte(d, bytes[i]) != DeframeEvent::Packet) continue;
        std::vector<uint8_t> packet(d.packetBuffer, d.packetBuffer + (d.count > 0 ? d.count - 1 : 0));
        d.count = 0;
        consumed = i + 1;
        if (packet.size() == 7 && packet[0] == ::COMMAND_DRIVE &&
            (packet[6] & ::SET_SPEED) != 0)
            packet[2] = static_cast<uint8_t>(speed);
        std::vector<uint8_t> framed = halvoran_client::frameCommand(packet);
        out.insert(out.end(), framed.begin(), framed.end());
    }
    if (consumed != bytes.size()) return false;
    bytes = out;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 4 ? argv[1] : "";
    if (!((mode == "trim" && argc == 4) || (mode == "speed" && argc == 5))) {
        std::fprintf(stderr, "usage: golden_tool trim IN OUT | speed IN OUT SPEED\n");
        return 2;
    }
    mcap::ReadOptions options;
    options.topics = kReplayTopics;
    mcap::ReadResult in = mcap::readFile(argv[2], options);
    if (!in.ok()) {
        std::fprintf(stderr, "golden_tool: %s: %s\n", argv[2], in.error.c_str());
        return 1;
    }
    mcap::Writer writer;
    if (!writer.open(argv[3], "", "halvoran golden_tool")) {
        std::fprintf(stderr, "golden_tool: %s: %s\n", argv[3], writer.error().c_str());
        return 1;
    }
    std::map<uint16_t, uint16_t> schemas, channels;  // read id -> written id
    for (const mcap::ReadChannel& c : in.channels) {
        bool wanted = false;
        for (const std::string& t : kReplayTopics) wanted = wanted || t == c.topic;
        if (!wanted) continue;
        if (!schemas.count(c.schemaId)) {
            for (const mcap::ReadSchema& s : in.schemas)
                if (s.id == c.schemaId) schemas[c.schemaId] = writer.addSchema(s.name, s.encoding, s.data);
        }
        channels[c.id] = writer.addChannel(schemas[c.schemaId], c.topic, c.messageEncoding);
    }
    int changed = 0;
    for (const mcap::ReadMessage& m : in.messages) {
        std::string data = m.data;
        if (mode == "trim" && in.channelOf(m)->topic == "/halvoran/serial") {
            nlohmann::json j = nlohmann::json::parse(data, nullptr, false);
            if (!j.is_discarded() && j.value("direction", "") == "rx") continue;
        }
        if (mode == "speed" && in.channelOf(m)->topic == "/halvoran/port/5000") {
            nlohmann::json j = nlohmann::json::parse(data, nullptr, false);
            std::vector<uint8_t> bytes;
            if (!j.is_discarded() && j.value("direction", "") == "rx" &&
                topics::unbase64(j.value("data", ""), bytes)) {
                std::vector<uint8_t> before = bytes;
                if (changeSpeed(bytes, std::atoi(argv[4])) && bytes != before) {
                    j["data"] = topics::base64(bytes.data(), bytes.size());
                    data = j.dump();
                    ++changed;
                }
            }
        }
        writer.write(channels[m.channelId], m.logTime, data);
    }
    if (!writer.close()) {
        std::fprintf(stderr, "golden_tool: %s: %s\n", argv[3], writer.error().c_str());
        return 1;
    }
    if (mode == "speed" && changed == 0) {
        std::fprintf(stderr, "golden_tool: no drive command with a speed in %s\n", argv[2]);
        return 1;
    }
    return 0;
}
