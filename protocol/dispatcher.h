// Every command packet from the client comes here: its checksum is checked, a bad packet or an
// unknown letter is answered with a one-byte error reply, a tracking letter sets its mode, and
// the command's handler runs to completion and sends its own reply.
#pragma once

#include <cstdint>

// The letters it knows and the result codes of its replies.
#include "protocol/wire.h"

// packet: the letter, the parameters and the checksum; count: their number (at least 1).
int dispatchCommand(const uint8_t* packet, int32_t count);
