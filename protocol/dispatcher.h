// Every command packet from the client comes here: its checksum is checked, a bad packet or an
// unknown letter is answered with a one-byte error reply, a tracking letter sets its mode, and
// the command's handler runs to completion and sends its own reply.
#pragma once

#include <cstdint>

// Result codes, the first byte of every reply on the command port.
constexpr uint8_t RESULT_DONE = 0;
constexpr uint8_t RESULT_BAD_CHECKSUM = 1;
constexpr uint8_t RESULT_UNKNOWN_COMMAND = 2;
constexpr uint8_t RESULT_NO_CAMERA_ANSWER = 10;
constexpr uint8_t RESULT_NO_DRIVE_STATUS = 20;

// packet: the letter, the parameters and the checksum; count: their number (at least 1).
int dispatchCommand(const uint8_t* packet, int32_t count);
