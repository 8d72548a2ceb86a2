#include "motion/idle_timeouts.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "motion/controller_packets.h"
#include "record/hooks.h"

namespace {

bool servoIdle(int channel, int32_t now) {
    return control.servoEnabled[channel] &&
           elapsedSeconds(now, control.servoMoveTime[channel]) > control.servoIdleTimeout[channel];
}

void switchServoOff(int channel) {
    record::event(record::Event::TimeoutFired, record::TIMEOUT_SERVO + channel);
    controllerEntryDouble();
    servoOff(channel);
    // The packet has no answer: the flag goes whether or not the module heard it.
    control.servoEnabled[channel] = false;
}

// The drive check: a drive that may be running (its start confirmed, or only a speed sent after a
// start whose read-back was lost) stops when no speed came within the drive timeout. A negative
// timeout stops it at the first check after its speed (0 > -1).
void checkDrive(int32_t now) {
    const bool mayRun = !control.driveStopped || control.driveSpeedSent;
    if (control.driveTimeout != 0 && mayRun && elapsedSeconds(now, control.driveStartTime) > control.driveTimeout) {
        record::event(record::Event::TimeoutFired, record::TIMEOUT_DRIVE);
        controllerEntryDouble();
        driveStopConfirmed();
        control.driveStopped = true;
    }
}

// A stop that was not confirmed goes out again (with its read-back) at most every 100 ms.
void retryUnconfirmedStop() {
    // While the serial line is down nothing can be confirmed; the line's recovery stops the drive.
    if (control.serialLineDown || !driveStopRetryDue()) return;
    controllerEntryDouble();
    driveStopConfirmed();
    control.driveStopped = true;
}

// The drive check, then the retry of an unconfirmed stop. Never both stop: a stop the check just
// sent is not due again for 100 ms, so a call holds at most one stop and one read-back.
void watchDrive(int32_t now) {
    checkDrive(now);
    retryUnconfirmedStop();
}

}  // namespace

void idleTimeouts() {
    const int32_t now = takeTimeStamp();

    if (servoIdle(1, now)) switchServoOff(1);
    if (servoIdle(2, now)) switchServoOff(2);
    // Servo 0 steers while the drive runs: it is never switched off by time then.
    if (servoIdle(0, now) && control.driveStopped) switchServoOff(0);

    watchDrive(now);
}

void followingTimeouts() {
    const int32_t now = takeTimeStamp();
    // Following steers servos 1 and 2 only; servo 0 keeps its check.
    if (servoIdle(0, now) && control.driveStopped) switchServoOff(0);
    watchDrive(now);
}

void driveTimeoutCheck() { watchDrive(takeTimeStamp()); }

bool idleTimeoutArmed() {
    return control.servoEnabled[0] || control.servoEnabled[1] || control.servoEnabled[2] ||
           (control.driveTimeout != 0 && (!control.driveStopped || control.driveSpeedSent)) ||
           control.driveStopUnconfirmed;
}
