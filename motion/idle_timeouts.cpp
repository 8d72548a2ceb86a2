#include "motion/idle_timeouts.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "motion/controller_packets.h"

namespace {

bool servoIdle(int channel, int32_t now) {
    return control.servoEnabled[channel] &&
           elapsedSeconds(now, control.servoMoveTime[channel]) > control.servoIdleTimeout[channel];
}

void switchServoOff(int channel) {
    controllerEntryDouble();
    servoOff(channel);
    // The packet has no answer: the flag goes whether or not the module heard it.
    control.servoEnabled[channel] = false;
}

}  // namespace

void idleTimeouts() {
    const int32_t now = takeTimeStamp();

    if (servoIdle(1, now)) switchServoOff(1);
    if (servoIdle(2, now)) switchServoOff(2);
    // Servo 0 steers while the drive runs: it is never switched off by time then.
    if (servoIdle(0, now) && control.driveStopped) switchServoOff(0);

    // A negative timeout stops the drive at the first check after its start (0 > -1).
    if (control.driveTimeout != 0 && !control.driveStopped &&
        elapsedSeconds(now, control.driveStartTime) > control.driveTimeout) {
        controllerEntryDouble();
        driveStop();
        control.driveStopped = true;
    }
}

bool idleTimeoutArmed() {
    return control.servoEnabled[0] || control.servoEnabled[1] || control.servoEnabled[2] ||
           (!control.driveStopped && control.driveTimeout != 0);
}
