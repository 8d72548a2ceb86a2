// What the client puts into Halvoran's command packets and how it reads the answers: the drive
// command with its flag byte and status reply, the camera and module pass-through, tracking
// start and stop with the reports, and the end of a frame dump on the image port. Everything
// here is plain data in and out, so that it can be checked without a robot.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/wire.h"

namespace halvoran_client {

// Result codes, the first byte of every reply on the command port: Halvoran's own.
using ::RESULT_BAD_CHECKSUM;
using ::RESULT_DONE;
using ::RESULT_NO_CAMERA_ANSWER;
using ::RESULT_NO_DRIVE_STATUS;
using ::RESULT_UNKNOWN_COMMAND;

// A result code in words, e.g. "Halvoran does not know this command (result 2)".
std::string resultText(uint8_t code);

// Flag bits of the drive command: Halvoran's own.
using ::MOVE_SERVO0;
using ::MOVE_SERVO1;
using ::MOVE_SERVO2;
using ::REINIT_CONTROLLER;
using ::SET_DRIVE_TIMEOUT;
using ::SET_SPEED;
using ::STOP_DRIVE;

// One drive command; a field that is not set leaves its flag bit clear. Speed -128..127,
// servo positions 0..255, timeout in seconds -128..127 (0 switches the drive timeout off).
struct DriveRequest {
    std::optional<int> timeout;
    std::optional<int> speed;
    std::optional<int> servo0;
    std::optional<int> servo1;
    std::optional<int> servo2;
    bool stop = false;
    bool reinit = false;
};

// The packet 'P', timeout, speed, servo 0, servo 1, servo 2, flags (without the checksum).
// Values out of range give false and a reason.
bool drivePacket(const DriveRequest& request, std::vector<uint8_t>& packet, std::string& error);

// The 12-byte answer to every drive command.
struct DriveStatus {
    uint8_t result = 0;
    uint8_t servoModule = 0;
    std::array<uint8_t, 4> drive{};
};
// False with a reason when the payload is not a drive status reply.
bool decodeDriveStatus(const std::vector<uint8_t>& payload, DriveStatus& status, std::string& error);
// "servo module 58 (0x3A), drive status 01 00 00 00"
std::string describeDriveStatus(const DriveStatus& status);

// Pass-through: 'C' or 'B', the count, the bytes. At most 127 bytes fit the count byte.
constexpr size_t PASS_THROUGH_LIMIT = 127;
bool cameraPacket(const std::string& line, std::vector<uint8_t>& packet, std::string& error);
bool modulesPacket(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& packet, std::string& error);

// What a pass-through reply carried.
struct PassThroughAnswer {
    uint8_t result = 0;
    std::vector<uint8_t> bytes;  // the answer without the camera's prompt or the closing '*'
};
// The camera's answer: result 0 with the text before the prompt ':', or result 10 with nothing.
bool decodeCameraReply(const std::vector<uint8_t>& payload, PassThroughAnswer& answer, std::string& error);
// The modules' answer: result 0 and the bytes that came back before the closing '*'.
bool decodeModulesReply(const std::vector<uint8_t>& payload, PassThroughAnswer& answer, std::string& error);
// Answer text for a person: carriage returns become line ends, other control bytes \xNN, and
// trailing line ends go.
std::string printableText(const std::vector<uint8_t>& bytes);

// Tracking. The mode says which servos follow the target: both, pan (servo 1, follows x),
// tilt (servo 2, follows y) or none (reports only).
enum class TrackMode { Both, Pan, Tilt, Report };
bool parseTrackMode(const std::string& name, TrackMode& mode);
char colourTrackLetter(TrackMode mode);  // 'T', 'U', 'V', 'A'
char windowTrackLetter(TrackMode mode);  // 'W', 'X', 'Y', 'Z'
std::vector<uint8_t> colourTrackPacket(TrackMode mode, const std::array<uint8_t, 6>& bounds);
std::vector<uint8_t> windowTrackPacket(TrackMode mode);
std::vector<uint8_t> stopTrackPacket();

struct TrackReport {
    uint8_t servo1 = 0;
    uint8_t servo2 = 0;
    uint8_t middleX = 0;
    uint8_t middleY = 0;
    uint8_t width = 0;
    uint8_t height = 0;
    uint8_t pixels = 0;
    uint8_t confidence = 0;
};
TrackReport trackReportOf(const std::array<uint8_t, TRACK_REPORT_SIZE>& bytes);
// "servo1 127 servo2 130 x 40 y 72 width 12 height 10 pixels 64 confidence 50"
std::string formatTrackReport(const TrackReport& report);
// {"servo1":127,"servo2":130,"x":40,"y":72,"width":12,"height":10,"pixels":64,"confidence":50}
std::string trackReportJson(const TrackReport& report);

// Bytes written as hexadecimal words: "02", "0x1f", "A" or runs of pairs such as "02021E80".
bool parseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>& bytes, std::string& error);
// "02 1F 80"
std::string hexText(const std::vector<uint8_t>& bytes);

// Finds the end of a frame dump in the image-port stream: the first ':' after an earlier byte
// of value 3, the same rule Halvoran applies to the camera's output.
class FrameEnd {
public:
    // Looks at the next bytes of the stream; true once the end has been seen. endOffset is
    // then the stream length up to and including the closing ':'.
    bool feed(const uint8_t* bytes, size_t count);
    bool complete() const { return complete_; }
    size_t endOffset() const { return end_; }

private:
    bool sawFrameEnd_ = false;
    bool complete_ = false;
    size_t seen_ = 0;
    size_t end_ = 0;
};

}  // namespace halvoran_client
