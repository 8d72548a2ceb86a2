// The program-wide variables through which the main loop, the command handlers, the camera and
// tracking code and the motion code share what they know about the robot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "protocol/wire.h"

class SerialPort;
class TcpEndpoint;

// One tracking report, sent as it is in memory as the payload of a reply on the tracking port.
struct TrackReport {
    uint8_t servo1Position = 0;
    uint8_t servo2Position = 0;
    uint8_t middleX = 0;
    uint8_t middleY = 0;
    uint8_t width = 0;
    uint8_t height = 0;
    uint8_t pixels = 0;
    uint8_t confidence = 0;
};
static_assert(sizeof(TrackReport) == TRACK_REPORT_SIZE, "a tracking report is 8 bytes on the wire");
static_assert(offsetof(TrackReport, servo1Position) == TRACK_REPORT_SERVO1 &&
                  offsetof(TrackReport, servo2Position) == TRACK_REPORT_SERVO2 &&
                  offsetof(TrackReport, middleX) == TRACK_REPORT_MIDDLE_X &&
                  offsetof(TrackReport, middleY) == TRACK_REPORT_MIDDLE_Y &&
                  offsetof(TrackReport, width) == TRACK_REPORT_WIDTH &&
                  offsetof(TrackReport, height) == TRACK_REPORT_HEIGHT &&
                  offsetof(TrackReport, pixels) == TRACK_REPORT_PIXELS &&
                  offsetof(TrackReport, confidence) == TRACK_REPORT_CONFIDENCE,
              "each value of a tracking report sits at its byte on the wire");

// A byte flag that another thread may write; copyable so that the state can be reset whole.
struct SharedFlag {
    std::atomic<bool> value{false};
    SharedFlag() = default;
    SharedFlag(const SharedFlag& other) : value(other.value.load()) {}
    SharedFlag& operator=(const SharedFlag& other) {
        value.store(other.value.load());
        return *this;
    }
    bool load() const { return value.load(); }
    void store(bool v) { value.store(v); }
};

struct ControlState {
    // Seconds that servo channels 0, 1 and 2 may stay on after their last move.
    int32_t servoIdleTimeout[3] = {6, 2, 2};
    // Seconds the drive may run after the last speed command; 0 means no limit.
    int32_t driveTimeout = 5;
    // Last positions sent to servo channels 1 and 2 (users take the low 8 bits).
    int32_t lastServo1Position = 127;
    int32_t lastServo2Position = 127;
    // 1: the link is taken to be on the camera channel; 0: on the controller channel; -1: not
    // known (a pass-through carried the switch's escape byte, or the line was reopened), so that
    // the next entry to either channel selects it again.
    int32_t cameraSelected = 1;
    // The drive counts as stopped: set by every stop and while a start is unconfirmed, so the
    // next speed command starts the drive again.
    bool driveStopped = true;
    // A speed packet went to the drive since its last stop packet, whether or not the drive's
    // start was confirmed: the drive may be running, and the drive timeout watches it.
    bool driveSpeedSent = false;
    // The last stop that Halvoran decided on (drive timeout, frame dump, the drive command's stop
    // flag, the program's end) was not confirmed by reading drive parameter 0 back: it is sent
    // again, at most every 100 ms, until it is, or a new speed arrives. driveStopAttemptUs is
    // the monotonic time of its last attempt.
    bool driveStopUnconfirmed = false;
    uint64_t driveStopAttemptUs = 0;
    // The serial line hung up: it is reopened every 250 ms from the main loop; the monotonic
    // time of the last attempt.
    bool serialLineDown = false;
    uint64_t serialReopenAttemptUs = 0;
    bool servoEnabled[3] = {false, false, false};
    // Seconds-of-hour stamps of the last move of servo channels 0..2 and of the last speed.
    int32_t servoMoveTime[3] = {0, 0, 0};
    int32_t driveStartTime = 0;
    platform::SystemTime clockReading{};

    // Tracking modes: they add up; only the stop command clears them, all four together.
    bool trackModeBoth = false;
    bool trackModeServo1 = false;
    bool trackModeServo2 = false;
    bool trackModeReportOnly = false;
    // Follow positions of servos 1 and 2 that target following steps from.
    uint8_t trackServo1Position = 0;
    uint8_t trackServo2Position = 0;
    int32_t trackParserState = 0;
    TrackReport trackHistoryA{};
    TrackReport trackHistoryB{};

    // The tracking parser's working values: those of the last packet, and the count of
    // complete packets modulo 3.
    uint8_t trackMiddleX = 0;
    uint8_t trackMiddleY = 0;
    uint8_t trackWidth = 0;
    uint8_t trackHeight = 0;
    uint8_t trackPixels = 0;
    uint8_t trackConfidence = 0;
    int32_t trackReportCounter = 0;

    // The shared objects, created at start-up and kept for the whole run.
    SerialPort* serialPort = nullptr;
    TcpEndpoint* commandEndpoint = nullptr;
    TcpEndpoint* imageEndpoint = nullptr;
    TcpEndpoint* trackingEndpoint = nullptr;

    // Set once to end the main loop (kill prompt, quit escape, lost client); never cleared.
    SharedFlag quitRequested;
};

extern ControlState control;

// Back to the values of process start (the objects are not released).
void resetControlState();

// minute x 60 + second: the time stamp of every idle time-out, 0..3599.
int32_t secondsOfHour(int minute, int second);

// Reads the clock into control.clockReading and returns its seconds of the hour.
int32_t takeTimeStamp();

// Seconds from a stamp to now, both seconds of the hour. The count goes on across the change of
// the hour (a stamp from minute 59 is 3 seconds old at minute 0, second 1), so that a servo or a
// drive started late in an hour still times out; within an hour it is the plain difference.
int32_t elapsedSeconds(int32_t now, int32_t stamp);
