#include "app/control_state.h"

ControlState control;

void resetControlState() { control = ControlState{}; }

int32_t secondsOfHour(int minute, int second) { return minute * 60 + second; }

int32_t takeTimeStamp() {
    platform::getLocalTime(control.clockReading);
    return secondsOfHour(control.clockReading.wMinute, control.clockReading.wSecond);
}

int32_t elapsedSeconds(int32_t now, int32_t stamp) { return ((now - stamp) % 3600 + 3600) % 3600; }
