#include "record/topics.h"

namespace topics {

#define HALVORAN_TIME_SCHEMA \
    R"({"type":"object","properties":{"sec":{"type":"integer","minimum":0},"nsec":{"type":"integer","minimum":0,"maximum":999999999}}})"

const Topic TRACKING = {
    "/halvoran/tracking", "halvoran.TrackingReport",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"kind":{"type":"string","enum":["colour","window"]},"mode":{"type":"string","enum":["both","pan","tilt","report"]},)"
    R"("servo1":{"type":"integer"},"servo2":{"type":"integer"},"x":{"type":"integer"},"y":{"type":"integer"},)"
    R"("width":{"type":"integer"},"height":{"type":"integer"},"pixels":{"type":"integer"},"confidence":{"type":"integer"}}})"};

const Topic DRIVE_STATUS = {
    "/halvoran/drive_status", "halvoran.DriveStatus",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"result":{"type":"integer"},"resultText":{"type":"string"},"servoModule":{"type":"integer"},)"
    R"("drive":{"type":"array","items":{"type":"integer"}},"speed":{"type":["integer","null"]},"running":{"type":["boolean","null"]}}})"};

const Topic SERIAL = {
    "/halvoran/serial", "halvoran.SerialBytes",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"mono_ns":{"type":"integer","description":"CLOCK_MONOTONIC of the first byte"},)"
    R"("line":{"type":"string","enum":["COM1:","COM2:","COM3:","COM4:","COM5:","COM6:","COM7:","COM8:","COM9:"]},)"
    R"("direction":{"type":"string","enum":["tx","rx"]},)"
    R"("channel":{"type":"integer","enum":[0,1,2],"description":"the switch's channel the bytes went to or came from: 1 camera, 2 controller modules, 0 not known yet"},)"
    R"("data":{"type":"string","contentEncoding":"base64"},)"
    R"("offsets_ns":{"type":"array","items":{"type":"integer"},"description":"each byte's time after the first byte's"}}})"};

const Topic PORT_BYTES = {
    "/halvoran/port/", "halvoran.PortBytes",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"mono_ns":{"type":"integer"},"port":{"type":"integer"},)"
    R"("direction":{"type":"string","enum":["rx","tx"]},"data":{"type":"string","contentEncoding":"base64"}}})"};

const Topic EVENTS = {
    "/halvoran/events", "halvoran.Event",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA R"(,"mono_ns":{"type":"integer"},)"
    R"("event":{"type":"string","enum":["recording_start","session_start","session_end","connection_lost","timeout_fired","stop_sent","records_dropped","recording_end"]},)"
    R"("value":{"type":"integer"},"text":{"type":"string"},"dropped":{"type":"integer","description":"records lost so far because the recorder could not keep up"}}})"};

const Topic COMMAND = {
    "/halvoran/command", "halvoran.Command",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"mono_ns":{"type":"integer"},"letter":{"type":"string"},)"
    R"("packet":{"type":"string","contentEncoding":"base64","description":"the letter, its parameters and the checksum"},)"
    R"("checksumOk":{"type":"boolean"}}})"};

const Topic COMMAND_REPLY = {
    "/halvoran/command_reply", "halvoran.CommandReply",
    R"({"type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"mono_ns":{"type":"integer"},"command":{"type":["string","null"],"description":"the letter of the command answered"},)"
    R"("result":{"type":["integer","null"]},"resultText":{"type":"string"},)"
    R"("payload":{"type":"string","contentEncoding":"base64"}}})"};

#undef HALVORAN_TIME_SCHEMA

std::string base64(const uint8_t* data, size_t size) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
    }
    if (size - i == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (size - i == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

json timeJson(uint64_t timeNs) { return json{{"sec", timeNs / 1000000000ULL}, {"nsec", timeNs % 1000000000ULL}}; }

const char* modeName(halvoran_client::TrackMode mode) {
    switch (mode) {
        case halvoran_client::TrackMode::Both: return "both";
        case halvoran_client::TrackMode::Pan: return "pan";
        case halvoran_client::TrackMode::Tilt: return "tilt";
        case halvoran_client::TrackMode::Report: return "report";
    }
    return "both";
}

json trackingJson(const halvoran_client::TrackReport& r, bool window, halvoran_client::TrackMode mode,
                  uint64_t timeNs) {
    return json{{"timestamp", timeJson(timeNs)},
                {"kind", window ? "window" : "colour"},
                {"mode", modeName(mode)},
                {"servo1", r.servo1},
                {"servo2", r.servo2},
                {"x", r.middleX},
                {"y", r.middleY},
                {"width", r.width},
                {"height", r.height},
                {"pixels", r.pixels},
                {"confidence", r.confidence}};
}

json driveStatusJson(const halvoran_client::DriveStatus& s, std::optional<int> speed, std::optional<bool> running,
                     uint64_t timeNs) {
    return json{{"timestamp", timeJson(timeNs)},
                {"result", s.result},
                {"resultText", halvoran_client::resultText(s.result)},
                {"servoModule", s.servoModule},
                {"drive", json::array({s.drive[0], s.drive[1], s.drive[2], s.drive[3]})},
                {"speed", speed ? json(*speed) : json(nullptr)},
                {"running", running ? json(*running) : json(nullptr)}};
}

}  // namespace topics
