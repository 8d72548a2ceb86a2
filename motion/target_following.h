// Target following: one fixed step of servo 1 (from middle x) and servo 2 (from middle y) per
// confident tracking packet, towards the dead zone x 33..47, y 59..85, in the axes the tracking
// modes ask for. Servo 1 stays within 10..245 and servo 2 within 15..240.
//
//   x: 0 none, 61+ -8, 48..60 -4, 1..19 +8, 20..32 +4, 33..47 none
//   y: 0 none, 93+ +6, 86..92 +4, 1..51 -6, 52..58 -4, 59..85 none
//
// It always takes the controller channel (twice, whatever the belief) and leaves the link there;
// it switches both servos on when they are off and renews both servos' idle stamps, in every
// tracking mode, report-only included.
#pragma once

#include <cstdint>

void followTarget(uint8_t x, uint8_t y);

// The step of servo 1 for a middle x, and of servo 2 for a middle y.
int followStepX(uint8_t x);
int followStepY(uint8_t y);

// Where one step for a middle x takes servo 1 from `position`, and one step for a middle y takes
// servo 2, within their ranges (a position outside the range comes back into it even without a
// step).
uint8_t followedServo1Position(uint8_t position, uint8_t x);
uint8_t followedServo2Position(uint8_t position, uint8_t y);
