// The bytes that Halvoran, its client and the simulated robot agree on: the command letters and
// result codes of the command port, the drive command's flag bits, the tracking report's
// layout, and on the serial line the channel switch and the two controller modules' packets.
// The framing of the TCP ports is in protocol/framing.h. Plain constants only: no platform and
// no program state, so that every program can take them.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- the command port: letters --------------------------------------------------------------
constexpr uint8_t COMMAND_MODULES_PASS_THROUGH = 'B';
constexpr uint8_t COMMAND_CAMERA_PASS_THROUGH = 'C';
constexpr uint8_t COMMAND_FRAME_DUMP = 'D';
constexpr uint8_t COMMAND_STOP_TRACKING = 'N';
constexpr uint8_t COMMAND_DRIVE = 'P';
// Colour tracking ("tc" with six bounds): both servos follow, servo 1, servo 2, reports only.
constexpr uint8_t COMMAND_TRACK_COLOUR_BOTH = 'T';
constexpr uint8_t COMMAND_TRACK_COLOUR_SERVO1 = 'U';
constexpr uint8_t COMMAND_TRACK_COLOUR_SERVO2 = 'V';
constexpr uint8_t COMMAND_TRACK_COLOUR_REPORT = 'A';
// Window tracking ("tw"), in the same four modes.
constexpr uint8_t COMMAND_TRACK_WINDOW_BOTH = 'W';
constexpr uint8_t COMMAND_TRACK_WINDOW_SERVO1 = 'X';
constexpr uint8_t COMMAND_TRACK_WINDOW_SERVO2 = 'Y';
constexpr uint8_t COMMAND_TRACK_WINDOW_REPORT = 'Z';

// ---- the command port: result codes, the first byte of every reply --------------------------
constexpr uint8_t RESULT_DONE = 0;
constexpr uint8_t RESULT_BAD_CHECKSUM = 1;
constexpr uint8_t RESULT_UNKNOWN_COMMAND = 2;
constexpr uint8_t RESULT_NO_CAMERA_ANSWER = 10;
constexpr uint8_t RESULT_NO_DRIVE_STATUS = 20;

// ---- the drive command 'P' --------------------------------------------------------------------
// Flag bits of its sixth parameter byte.
constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01;
constexpr uint8_t SET_SPEED = 0x02;
constexpr uint8_t MOVE_SERVO0 = 0x04;
constexpr uint8_t MOVE_SERVO1 = 0x08;  // ignored while servo 1 follows a target
constexpr uint8_t MOVE_SERVO2 = 0x10;  // ignored while servo 2 follows a target
constexpr uint8_t STOP_DRIVE = 0x20;
constexpr uint8_t REINIT_CONTROLLER = 0x40;
// Its answer: result, the servo module's read value, four drive status bytes, six zeros.
constexpr int DRIVE_STATUS_REPLY_SIZE = 12;

// ---- the tracking port ------------------------------------------------------------------------
// One tracking report: 8 bytes, sent as the payload of a reply; the position of each value.
constexpr size_t TRACK_REPORT_SIZE = 8;
constexpr size_t TRACK_REPORT_SERVO1 = 0;
constexpr size_t TRACK_REPORT_SERVO2 = 1;
constexpr size_t TRACK_REPORT_MIDDLE_X = 2;
constexpr size_t TRACK_REPORT_MIDDLE_Y = 3;
constexpr size_t TRACK_REPORT_WIDTH = 4;
constexpr size_t TRACK_REPORT_HEIGHT = 5;
constexpr size_t TRACK_REPORT_PIXELS = 6;
constexpr size_t TRACK_REPORT_CONFIDENCE = 7;

// ---- the serial line: the channel switch ------------------------------------------------------
// 0x5C then '1' selects the camera, 0x5C then '2' the controller modules; nothing answers.
constexpr uint8_t CHANNEL_SWITCH = 0x5C;
constexpr uint8_t CHANNEL_CAMERA = '1';
constexpr uint8_t CHANNEL_CONTROLLER = '2';

// ---- the serial line: the controller modules --------------------------------------------------
// A packet: address, count of the bytes that follow, command, arguments.
constexpr uint8_t SERVO_MODULE = 2;
constexpr uint8_t DRIVE_MODULE = 4;
// Servo module commands.
constexpr uint8_t SERVO_MODULE_READ = 30;
constexpr uint8_t SERVO_STATE = 31;
constexpr uint8_t SERVO_CONFIGURE = 32;
constexpr uint8_t SERVO_POSITION = 33;
// Drive module commands; the first argument of each is the drive unit.
constexpr uint8_t DRIVE_STATUS = 61;
constexpr uint8_t DRIVE_SPEED = 62;
constexpr uint8_t DRIVE_PARAMETER = 63;
constexpr uint8_t DRIVE_UNIT = 1;
