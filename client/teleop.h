// Driving from the keyboard: arrow keys for speed and steering, keys for the camera servos,
// space to stop, q to quit. A drive command goes out at a steady rate, so that the drive
// timeout never stops a robot that is meant to be driving.
#pragma once

#include <string>

#include "client/commands.h"
#include "client/lib/requests.h"
#include "client/lib/session.h"

namespace halvoran_client {

struct TeleopSettings {
    int periodMs = 200;  // between two drive commands
    int speedStep = 10;
    int servoStep = 8;
    int replyTimeoutMs = 5000;
};

enum class TeleopKey {
    Faster,
    Slower,
    SteerLeft,
    SteerRight,
    PanLeft,
    PanRight,
    TiltUp,
    TiltDown,
    Centre,
    Stop,
    ToggleTracking,
    Quit
};

// What the keys have asked for, and the drive command that carries it to the robot.
class TeleopState {
public:
    explicit TeleopState(const TeleopSettings& settings) : settings_(settings) {}

    void press(TeleopKey key);
    // The drive command of this moment: the speed again while driving (which keeps the drive
    // timeout from stopping the robot), a stop when one was asked for, and the servos that
    // moved since the last command.
    DriveRequest nextRequest();

    int speed() const { return speed_; }
    int steer() const { return steer_; }
    int pan() const { return pan_; }
    int tilt() const { return tilt_; }
    bool quitRequested() const { return quit_; }
    // True when a key asked to start or stop tracking; taken once.
    bool takeTrackingToggle();

private:
    static int clampTo(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

    TeleopSettings settings_;
    int speed_ = 0;
    int steer_ = 127;
    int pan_ = 127;
    int tilt_ = 127;
    bool stopPending_ = false;
    bool steerMoved_ = false;
    bool panMoved_ = false;
    bool tiltMoved_ = false;
    bool trackingToggle_ = false;
    bool quit_ = false;
};

// Runs the keyboard session on the terminal until q (or Ctrl-C); stops the drive and leaves.
Outcome runTeleop(Session& session, const TeleopSettings& settings);

}  // namespace halvoran_client
