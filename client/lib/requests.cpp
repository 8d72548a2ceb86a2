#include "client/lib/requests.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace halvoran_client {

std::string resultText(uint8_t code) {
    switch (code) {
        case RESULT_DONE: return "done (result 0)";
        case RESULT_BAD_CHECKSUM: return "Halvoran found the packet's checksum wrong (result 1)";
        case RESULT_UNKNOWN_COMMAND: return "Halvoran does not know this command (result 2)";
        case RESULT_NO_CAMERA_ANSWER: return "no answer from the camera in time (result 10)";
        case RESULT_NO_DRIVE_STATUS: return "the drive status could not be read (result 20)";
        default: return "unknown result " + std::to_string(code);
    }
}

namespace {

bool inRange(const std::optional<int>& value, int low, int high, const char* name, std::string& error) {
    if (!value || (*value >= low && *value <= high)) return true;
    error = std::string(name) + " " + std::to_string(*value) + " is outside " + std::to_string(low) + ".." +
            std::to_string(high);
    return false;
}

uint8_t low8(const std::optional<int>& value) { return value ? static_cast<uint8_t>(*value & 0xFF) : 0; }

// A pass-through reply: result, count of the bytes that follow, the bytes, and a closing byte.
// The count must agree with the length, since a reply that disagrees with itself cannot be read.
bool decodePassThrough(const std::vector<uint8_t>& payload, uint8_t closing, PassThroughAnswer& answer,
                       std::string& error) {
    if (payload.size() < 2) {
        error = "reply too short (" + std::to_string(payload.size()) + " bytes)";
        return false;
    }
    if (payload[1] != payload.size() - 2) {
        error = "reply says " + std::to_string(payload[1]) + " bytes follow but " + std::to_string(payload.size() - 2) +
                " came";
        return false;
    }
    if (payload.size() == 2) {
        answer.result = payload[0];
        answer.bytes.clear();
        if (payload[0] == RESULT_DONE) {
            error = "reply without its closing byte";
            return false;
        }
        return true;
    }
    if (payload.back() != closing) {
        error = "reply does not end with '" + std::string(1, static_cast<char>(closing)) + "'";
        return false;
    }
    answer.result = payload[0];
    answer.bytes.assign(payload.begin() + 2, payload.end() - 1);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool drivePacket(const DriveRequest& r, std::vector<uint8_t>& packet, std::string& error) {
    if (!inRange(r.timeout, -128, 127, "drive timeout", error) || !inRange(r.speed, -128, 127, "speed", error) ||
        !inRange(r.servo0, 0, 255, "servo 0 position", error) ||
        !inRange(r.servo1, 0, 255, "servo 1 position", error) ||
        !inRange(r.servo2, 0, 255, "servo 2 position", error)) {
        return false;
    }
    uint8_t flags = 0;
    if (r.timeout) flags |= SET_DRIVE_TIMEOUT;
    if (r.speed) flags |= SET_SPEED;
    if (r.servo0) flags |= MOVE_SERVO0;
    if (r.servo1) flags |= MOVE_SERVO1;
    if (r.servo2) flags |= MOVE_SERVO2;
    if (r.stop) flags |= STOP_DRIVE;
    if (r.reinit) flags |= REINIT_CONTROLLER;
    packet = {COMMAND_DRIVE, low8(r.timeout), low8(r.speed), low8(r.servo0), low8(r.servo1), low8(r.servo2), flags};
    return true;
}

bool decodeDriveStatus(const std::vector<uint8_t>& payload, DriveStatus& status, std::string& error) {
    if (payload.size() != DRIVE_STATUS_REPLY_SIZE) {
        if (payload.size() == 1 && payload[0] != RESULT_DONE) {
            // Halvoran answers a packet it could not take with the one-byte error reply.
            status = DriveStatus{};
            status.result = payload[0];
            return true;
        }
        error = "drive status reply of " + std::to_string(payload.size()) + " bytes, not 12";
        return false;
    }
    status.result = payload[0];
    status.servoModule = payload[1];
    for (size_t i = 0; i < 4; ++i) status.drive[i] = payload[2 + i];
    return true;
}

std::string describeDriveStatus(const DriveStatus& s) {
    char text[96];
    std::snprintf(text, sizeof text, "servo module %u (0x%02X), drive status %02X %02X %02X %02X", s.servoModule,
                  s.servoModule, s.drive[0], s.drive[1], s.drive[2], s.drive[3]);
    return text;
}

bool cameraPacket(const std::string& line, std::vector<uint8_t>& packet, std::string& error) {
    if (line.size() > PASS_THROUGH_LIMIT) {
        error = "camera line of " + std::to_string(line.size()) + " characters; at most " +
                std::to_string(PASS_THROUGH_LIMIT) + " fit";
        return false;
    }
    for (char c : line) {
        if (c == '\r' || c == '\n') {
            error = "a camera line ends by itself; it cannot hold a line end";
            return false;
        }
    }
    packet = {COMMAND_CAMERA_PASS_THROUGH, static_cast<uint8_t>(line.size())};
    packet.insert(packet.end(), line.begin(), line.end());
    return true;
}

bool modulesPacket(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& packet, std::string& error) {
    if (bytes.size() > PASS_THROUGH_LIMIT) {
        error = std::to_string(bytes.size()) + " bytes for the modules; at most " + std::to_string(PASS_THROUGH_LIMIT) +
                " fit";
        return false;
    }
    packet = {COMMAND_MODULES_PASS_THROUGH, static_cast<uint8_t>(bytes.size())};
    packet.insert(packet.end(), bytes.begin(), bytes.end());
    return true;
}

bool decodeCameraReply(const std::vector<uint8_t>& payload, PassThroughAnswer& answer, std::string& error) {
    if (payload.size() == 1 && payload[0] != RESULT_DONE) {
        answer.result = payload[0];
        answer.bytes.clear();
        return true;
    }
    return decodePassThrough(payload, ':', answer, error);
}

bool decodeModulesReply(const std::vector<uint8_t>& payload, PassThroughAnswer& answer, std::string& error) {
    if (payload.size() == 1 && payload[0] != RESULT_DONE) {
        answer.result = payload[0];
        answer.bytes.clear();
        return true;
    }
    return decodePassThrough(payload, '*', answer, error);
}

std::string printableText(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t b = bytes[i];
        if (b == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            text += '\n';
        } else if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7F)) {
            text += static_cast<char>(b);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            text += escaped;
        }
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool parseTrackMode(const std::string& name, TrackMode& mode) {
    if (name == "both") mode = TrackMode::Both;
    else if (name == "pan") mode = TrackMode::Pan;
    else if (name == "tilt") mode = TrackMode::Tilt;
    else if (name == "report") mode = TrackMode::Report;
    else return false;
    return true;
}

char colourTrackLetter(TrackMode mode) {
    switch (mode) {
        case TrackMode::Both: return COMMAND_TRACK_COLOUR_BOTH;
        case TrackMode::Pan: return COMMAND_TRACK_COLOUR_SERVO1;
        case TrackMode::Tilt: return COMMAND_TRACK_COLOUR_SERVO2;
        case TrackMode::Report: return COMMAND_TRACK_COLOUR_REPORT;
    }
    return COMMAND_TRACK_COLOUR_BOTH;
}

char windowTrackLetter(TrackMode mode) {
    switch (mode) {
        case TrackMode::Both: return COMMAND_TRACK_WINDOW_BOTH;
        case TrackMode::Pan: return COMMAND_TRACK_WINDOW_SERVO1;
        case TrackMode::Tilt: return COMMAND_TRACK_WINDOW_SERVO2;
        case TrackMode::Report: return COMMAND_TRACK_WINDOW_REPORT;
    }
    return COMMAND_TRACK_WINDOW_BOTH;
}

std::vector<uint8_t> colourTrackPacket(TrackMode mode, const std::array<uint8_t, 6>& bounds) {
    std::vector<uint8_t> packet(1 + bounds.size());
    packet[0] = static_cast<uint8_t>(colourTrackLetter(mode));
    std::copy(bounds.begin(), bounds.end(), packet.begin() + 1);
    return packet;
}

std::vector<uint8_t> windowTrackPacket(TrackMode mode) { return {static_cast<uint8_t>(windowTrackLetter(mode))}; }

std::vector<uint8_t> stopTrackPacket() { return {COMMAND_STOP_TRACKING}; }

TrackReport trackReportOf(const std::array<uint8_t, TRACK_REPORT_SIZE>& b) {
    return TrackReport{b[TRACK_REPORT_SERVO1],   b[TRACK_REPORT_SERVO2],    b[TRACK_REPORT_MIDDLE_X],
                       b[TRACK_REPORT_MIDDLE_Y], b[TRACK_REPORT_WIDTH],     b[TRACK_REPORT_HEIGHT],
                       b[TRACK_REPORT_PIXELS],   b[TRACK_REPORT_CONFIDENCE]};
}

std::string formatTrackReport(const TrackReport& r) {
    char text[128];
    std::snprintf(text, sizeof text, "servo1 %u servo2 %u x %u y %u width %u height %u pixels %u confidence %u",
                  r.servo1, r.servo2, r.middleX, r.middleY, r.width, r.height, r.pixels, r.confidence);
    return text;
}

std::string trackReportJson(const TrackReport& r) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"servo1\":%u,\"servo2\":%u,\"x\":%u,\"y\":%u,\"width\":%u,\"height\":%u,\"pixels\":%u,"
                  "\"confidence\":%u}",
                  r.servo1, r.servo2, r.middleX, r.middleY, r.width, r.height, r.pixels, r.confidence);
    return text;
}

bool parseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    for (const std::string& word : words) {
        std::string digits = word;
        bool prefixed = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
        if (prefixed) digits = digits.substr(2);
        bool valid = !digits.empty();
        for (char c : digits) valid = valid && hexDigit(c) >= 0;
        // One byte per word ("A", "0a", "0x0A"), or a run of pairs ("02021E80").
        if (!valid || (digits.size() > 2 && (prefixed || digits.size() % 2 != 0))) {
            error = "\"" + word + "\" is not a hexadecimal byte";
            return false;
        }
        if (digits.size() == 1) {
            bytes.push_back(static_cast<uint8_t>(hexDigit(digits[0])));
            continue;
        }
        for (size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(hexDigit(digits[i]) * 16 + hexDigit(digits[i + 1])));
        }
    }
    return true;
}

std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

bool FrameEnd::feed(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count && !complete_; ++i) {
        ++seen_;
        if (sawFrameEnd_ && bytes[i] == ':') {
            complete_ = true;
            end_ = seen_;
        } else if (bytes[i] == 3) {
            sawFrameEnd_ = true;
        }
    }
    return complete_;
}

}  // namespace halvoran_client
