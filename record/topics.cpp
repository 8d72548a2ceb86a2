#include "record/topics.h"

namespace topics {

#define HALVORAN_TIME_SCHEMA \
    R"({"type":"object","properties":{"sec":{"type":"integer","minimum":0},"nsec":{"type":"integer","minimum":0,"maximum":999999999}}})"
#define HALVORAN_COLOR_SCHEMA \
    R"({"type":"object","properties":{"r":{"type":"number"},"g":{"type":"number"},"b":{"type":"number"},"a":{"type":"number"}}})"

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

const Topic CAMERA_IMAGE = {
    "/halvoran/camera/image", "foxglove.RawImage",
    R"({"title":"foxglove.RawImage","type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"frame_id":{"type":"string"},"width":{"type":"integer","minimum":0},"height":{"type":"integer","minimum":0},)"
    R"("encoding":{"type":"string"},"step":{"type":"integer","minimum":0},"data":{"type":"string","contentEncoding":"base64"}}})"};

const Topic CAMERA_ANNOTATIONS = {
    "/halvoran/camera/annotations", "foxglove.ImageAnnotations",
    R"({"title":"foxglove.ImageAnnotations","type":"object","properties":{"circles":{"type":"array","items":{"type":"object"}},)"
    R"("points":{"type":"array","items":{"title":"foxglove.PointsAnnotation","type":"object","properties":{"timestamp":)" HALVORAN_TIME_SCHEMA
    R"(,"type":{"type":"integer","enum":[0,1,2,3,4]},)"
    R"("points":{"type":"array","items":{"type":"object","properties":{"x":{"type":"number"},"y":{"type":"number"}}}},)"
    R"("outline_color":)" HALVORAN_COLOR_SCHEMA R"(,"outline_colors":{"type":"array","items":)" HALVORAN_COLOR_SCHEMA
    R"(},"fill_color":)" HALVORAN_COLOR_SCHEMA R"(,"thickness":{"type":"number"}}}},)"
    R"("texts":{"type":"array","items":{"type":"object"}}}})"};

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
#undef HALVORAN_COLOR_SCHEMA

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

bool unbase64(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return false;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            int d = k >= 4 - pad ? 0 : value(text[i + k]);
            if (d < 0) return false;
            v = (v << 6) | static_cast<uint32_t>(d);
        }
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(v));
    }
    return true;
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

json annotationsJson(const halvoran_client::TrackReport& r, uint64_t timeNs) {
    json points = json::array();
    if (r.confidence != 0 && r.pixels != 0) {
        // Camera column c (1..80) covers picture x 2c-2 .. 2c; row r (1..143) covers y r-1 .. r.
        const double cx = 2.0 * r.middleX - 1.0;
        const double cy = r.middleY - 0.5;
        const double halfW = r.width;  // the width doubles with the picture
        const double halfH = r.height / 2.0;
        const json corners =
            json::array({json{{"x", cx - halfW}, {"y", cy - halfH}}, json{{"x", cx + halfW}, {"y", cy - halfH}},
                         json{{"x", cx + halfW}, {"y", cy + halfH}}, json{{"x", cx - halfW}, {"y", cy + halfH}}});
        auto colour = [](double red, double green, double blue, double alpha) {
            return json{{"r", red}, {"g", green}, {"b", blue}, {"a", alpha}};
        };
        points.push_back({{"timestamp", timeJson(timeNs)},
                          {"type", 2},
                          {"points", corners},
                          {"outline_color", colour(1, 0.2, 0.2, 1)},
                          {"outline_colors", json::array()},
                          {"fill_color", colour(0, 0, 0, 0)},
                          {"thickness", 2}});
    }
    return json{{"circles", json::array()}, {"points", points}, {"texts", json::array()}};
}

json rawImageJson(const std::vector<uint8_t>& rgb, uint64_t timeNs) {
    constexpr int inWidth = 80, height = 143, outWidth = 160;
    std::vector<uint8_t> doubled(size_t(outWidth) * height * 3, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < inWidth; ++x) {
            const size_t from = (size_t(y) * inWidth + x) * 3;
            if (from + 3 > rgb.size()) continue;
            for (int copy = 0; copy < 2; ++copy) {
                const size_t to = (size_t(y) * outWidth + 2 * x + copy) * 3;
                for (int c = 0; c < 3; ++c) doubled[to + c] = rgb[from + c];
            }
        }
    }
    return json{{"timestamp", timeJson(timeNs)},
                {"frame_id", "camera"},
                {"width", outWidth},
                {"height", height},
                {"encoding", "rgb8"},
                {"step", outWidth * 3},
                {"data", base64(doubled.data(), doubled.size())}};
}

}  // namespace topics
