// The safety time-outs of the idle passes: servos that were not moved for their idle time are
// switched off, and the drive stops when no speed came within the drive timeout.
#pragma once

// Reads the clock once and checks, in this order and each at most once: servo 1, servo 2,
// servo 0 (only while the drive is stopped), the drive (not when the drive timeout is 0). A
// check fires when the time since its stamp is strictly greater than its time-out; the time
// counts on across the change of the hour. The controller channel is taken before each action.
void idleTimeouts();

// Whether a check of idleTimeouts can still act when the clock moves on: a servo is on, or the
// drive runs with a drive timeout. While none is armed, only a command can arm one.
bool idleTimeoutArmed();
