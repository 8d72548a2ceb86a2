// 'D': the camera dumps one picture and its output goes, byte for byte, to the image port.
//
// The drive is stopped first; the command is acknowledged with [0] on the command port before
// the camera is asked ("df"). The output is complete at the first ':' after an earlier byte 3;
// the dump gives up (nothing on the image port, no further reply) after 500 empty polls in a row
// or past 34645 bytes. A complete output is sent in 2000-byte chunks with 250 ms after each
// full chunk, then the rest in one more send.
#pragma once

#include <cstdint>

constexpr int32_t FRAME_BUFFER_SIZE = 34648;
constexpr int32_t FRAME_BYTES_MAX = 34645;
constexpr int32_t FRAME_CHUNK = 2000;

void frameDump();
