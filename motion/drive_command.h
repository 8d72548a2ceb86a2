// The client's drive command 'P': one packet sets the drive timeout, re-initialises the
// controller modules, stops the drive, sets the speed and moves servos 0 to 2, each by a bit of
// its flag byte, and is always answered with the 12-byte status reply.
//
// The packet: 'P', then the parameter bytes
//   1 drive timeout in seconds (signed)   2 drive speed (signed)   3 servo-0 position
//   4 servo-1 position                    5 servo-2 position       6 flag bits (below)
// and its checksum. A packet that carries fewer than six parameter bytes reads the missing ones
// as 0 (so a short packet has no flags and does nothing but answer); bytes beyond the sixth are
// ignored.
//
// The status reply: 0, the servo module's read value, the drive module's four status bytes and
// six zeros; or, when either read got no complete answer, 20 and eleven zeros.
#pragma once

#include <cstdint>

// The flag bits and the reply's size are the client's too.
#include "protocol/wire.h"

// packet: the letter 'P', the parameters and the checksum; count: their number. Runs the steps
// the flags ask for, in a fixed order (timeout, re-initialisation, stop, speed, servo 0, 1, 2),
// then sends the status reply.
void driveCommand(const uint8_t* packet, int32_t count);

// Reads the drive status and the servo module's value and answers on the command port. When a
// read fails the link is taken to be on the camera channel from now on, so that the next
// controller operation selects the controller channel again.
void sendDriveStatus();
