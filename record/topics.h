// The topics that Halvoran's tools show, each once: its name, its schema's name and its JSON
// schema, and the JSON of its messages. The flight recorder writes them into its files; the
// bridge advertises the live ones among its channels and sends their messages made here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/requests.h"

namespace topics {

using json = nlohmann::json;

constexpr const char* SCHEMA_ENCODING = "jsonschema";
constexpr const char* MESSAGE_ENCODING = "json";

struct Topic {
    const char* topic;
    const char* schemaName;
    const char* schema;  // JSON schema text
};

// The bridge's live topics.
extern const Topic TRACKING;            // /halvoran/tracking, halvoran.TrackingReport
extern const Topic DRIVE_STATUS;        // /halvoran/drive_status, halvoran.DriveStatus
extern const Topic CAMERA_IMAGE;        // /halvoran/camera/image, foxglove.RawImage
extern const Topic CAMERA_ANNOTATIONS;  // /halvoran/camera/annotations, foxglove.ImageAnnotations
// The recorder's own.
extern const Topic SERIAL;         // /halvoran/serial: bytes on a serial line
extern const Topic PORT_BYTES;     // /halvoran/port/<n>: bytes on a port (the topic adds the port)
extern const Topic EVENTS;         // /halvoran/events: session start and end, losses, time-outs, stops
extern const Topic COMMAND;        // /halvoran/command: the packets clients sent on the command port
extern const Topic COMMAND_REPLY;  // /halvoran/command_reply: Halvoran's replies on the command port

// Standard base64 with padding.
std::string base64(const uint8_t* data, size_t size);
// Its inverse; false for text that is not standard padded base64 (out then holds no meaning).
bool unbase64(std::string_view text, std::vector<uint8_t>& out);
// {"sec":..,"nsec":..} of a time in nanoseconds since the epoch.
json timeJson(uint64_t timeNs);

// Tracking: kind "colour" or "window", mode "both", "pan", "tilt" or "report".
json trackingJson(const halvoran_client::TrackReport& report, bool window, halvoran_client::TrackMode mode,
                  uint64_t timeNs);
json driveStatusJson(const halvoran_client::DriveStatus& status, std::optional<int> speed, std::optional<bool> running,
                     uint64_t timeNs);
const char* modeName(halvoran_client::TrackMode mode);
// The tracking box in the 160 x 143 picture (camera x doubled); no points when nothing is seen.
json annotationsJson(const halvoran_client::TrackReport& report, uint64_t timeNs);
// An 80 x 143 RGB picture as a foxglove.RawImage of 160 x 143, each pixel doubled in width.
json rawImageJson(const std::vector<uint8_t>& rgb80x143, uint64_t timeNs);

}  // namespace topics
