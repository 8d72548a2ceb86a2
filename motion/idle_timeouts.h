// The safety time-outs of the idle passes: servos that were not moved for their idle time are
// switched off, and the drive stops when no speed came within the drive timeout.
#pragma once

// Reads the clock once and checks, in this order and each at most once: servo 1, servo 2,
// servo 0 (only while the drive is stopped), the drive (not when the drive timeout is 0; a drive
// counts as possibly running once a speed went out, also when its start was not confirmed). A
// check fires when the time since its stamp is strictly greater than its time-out; the time
// counts on across the change of the hour. The controller channel is taken before each action.
// The drive's stop is confirmed by a read-back; when no drive check stopped the drive in this
// call, an unconfirmed earlier stop is sent again once its last attempt is 100 ms old.
void idleTimeouts();
// The checks of the idle passes on which a following mode steers servos 1 and 2: servo 0 (which
// following never moves) and the drive, as idleTimeouts checks them.
void followingTimeouts();
// The drive check of idleTimeouts alone (with the retry of an unconfirmed stop), with its own
// clock reading: the main loop runs it after every packet it carried out, so that no stream of
// commands, garbage included, holds the drive timeout off.
void driveTimeoutCheck();

// Whether a check of idleTimeouts can still act when the clock moves on: a servo is on, the
// drive may be running (a speed went out) with a drive timeout, or a stop waits for its
// confirmation. While none is armed, only a command can arm one.
bool idleTimeoutArmed();
