#include "motion/target_following.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "motion/controller_packets.h"

namespace {

constexpr int kServo1Min = 10;
constexpr int kServo1Max = 245;
constexpr int kServo2Min = 15;
constexpr int kServo2Max = 240;

uint8_t clamp(int value, int low, int high) {
    if (value < low) value = low;
    if (value > high) value = high;
    return static_cast<uint8_t>(value);
}

// Twice, 20 ms apart; the servo counts as on whatever the module answered.
void switchOn(int channel) {
    servoEnable(channel);
    platform::sleepMs(20);
    servoEnable(channel);
    control.servoEnabled[channel] = true;
}

}  // namespace

int followStepX(uint8_t x) {
    if (x == 0) return 0;
    if (x >= 61) return -8;
    if (x >= 48) return -4;
    if (x <= 19) return 8;
    if (x <= 32) return 4;
    return 0;
}

int followStepY(uint8_t y) {
    if (y == 0) return 0;
    if (y >= 93) return 6;
    if (y >= 86) return 4;
    if (y <= 51) return -6;
    if (y <= 58) return -4;
    return 0;
}

uint8_t followedServo1Position(uint8_t position, uint8_t x) {
    return clamp(position + followStepX(x), kServo1Min, kServo1Max);
}

uint8_t followedServo2Position(uint8_t position, uint8_t y) {
    return clamp(position + followStepY(y), kServo2Min, kServo2Max);
}

void followTarget(uint8_t x, uint8_t y) {
    controllerEntryForced();
    const bool servo1Follows = control.trackModeBoth || control.trackModeServo1;
    const bool servo2Follows = control.trackModeBoth || control.trackModeServo2;
    if (servo1Follows) {
        control.trackServo1Position = followedServo1Position(control.trackServo1Position, x);
    }
    if (servo2Follows) {
        control.trackServo2Position = followedServo2Position(control.trackServo2Position, y);
    }
    if (!control.servoEnabled[2]) switchOn(2);
    if (!control.servoEnabled[1]) switchOn(1);
    if (servo1Follows) servoMove(1, control.trackServo1Position);
    const int32_t stamp = takeTimeStamp();
    control.servoMoveTime[1] = stamp;
    control.servoMoveTime[2] = stamp;
    platform::sleepMs(10);
    if (servo2Follows) servoMove(2, control.trackServo2Position);
}
