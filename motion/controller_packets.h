// The packets of the two motion-controller modules: the servo module (address 2, servo
// channels 0 to 3) and the drive module (address 4), the routines that send them and read their
// replies, and the start-up and shutdown sequences.
//
// Every routine here assumes the controller channel is already selected and never switches:
// the callers take the channel first. Each byte goes out with its own writeByte; the fixed
// waits follow a packet's last byte. A module's reply is taken from the receive ring by
// position, with an empty-poll limit over the whole reply. Every routine that reads a reply
// empties the ring right before it writes the request, so a reply is never taken from bytes that
// were there before.
#pragma once

#include <cstdint>

// The modules' addresses and commands.
#include "protocol/wire.h"

// Reads `length` reply bytes (at most 10), storing them in reply[0..length); gives up at the
// limit-th empty poll, with a 10 ms wait after each empty poll before it. The count of empty
// polls runs over the whole reply and is not reset by an arriving byte.
bool readModuleReply(uint8_t* reply, int length, int emptyPollLimit);

// Switches the servo channel on and asks whether it is on: true when the module says so.
bool servoEnable(int channel);
void servoConfigure(int channel);
void servoOff(int channel);
// Records the position of channel 1 or 2 in lastServo1Position/lastServo2Position, then moves.
void servoMove(int channel, uint8_t position);
// The servo module's read value.
bool servoModuleRead(uint8_t& value);

// Sets drive parameter 0 to 6, 1, 0xFE, 0x0C and reads it back: true when it reads 6, 1.
bool driveStart();
// Speed -128..127 as the drive value -500 + trunc(2.34375 x speed). Sets driveSpeedSent: the
// drive may run from now on, whatever its start's read-back said.
void driveSetSpeed(int8_t speed);
// The drive module's status: its reply bytes 5, 6, 9 and 10.
bool driveReadStatus(uint8_t status[4]);
void driveConfigure();
// Drive parameter 0 set to 0, 0; clears driveSpeedSent.
void driveStop();
// Reads drive parameter 0 back with the packet that driveStart uses: true when the drive
// module answers that it is 0, 0 (stopped).
bool driveStopReadBack();
// A stop that Halvoran decides on: driveStop, then its read-back. An unconfirmed stop (the
// answer lost, garbled, or still showing the start) leaves driveStopUnconfirmed set, so that
// the drive watch sends it again (driveStopRetryDue); driveStopAttemptUs is stamped at the end
// of the read-back.
void driveStopConfirmed();
// An unconfirmed stop whose last attempt ended at least 100 ms ago.
bool driveStopRetryDue();
// Microseconds until an unconfirmed stop is due again (0: now); -1 when none waits.
int64_t usUntilStopRetry();
// The drive may run from `now` (seconds of the hour) on, as after a speed: the drive timeout
// watches it, and a stop that waited for its confirmation is given up.
void armDriveWatch(int32_t now);

// Every servo channel enabled, configured and switched off; the drive configured and stopped.
void controllerInit();
// The drive stopped, its stop confirmed or given up after a second, and servo channels 0 to 3
// off.
void controllerShutdown();

// The drive value that a speed byte gives, as sent after 4, 4, 62, 1.
int16_t driveValueForSpeed(int8_t speed);
