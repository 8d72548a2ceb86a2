// The two pass-through commands: 'C' sends a line of text to the camera and answers with the
// camera's reply up to its prompt ':'; 'B' sends raw bytes to the controller modules and answers
// with whatever came back before the link fell quiet.
//
// Both take the command packet as the dispatcher hands it over: byte 0 the letter, byte 1 the
// number of bytes to send (signed: 0x80 and above send nothing), the bytes to send, and the
// checksum as the last of `count` bytes. A number larger than the bytes the packet carries is cut
// down to those bytes, so nothing past the packet is ever sent.
#pragma once

#include <cstdint>

// Size of the answer buffer of both commands: a reply payload is never longer.
constexpr int PASS_THROUGH_BUFFER_SIZE = 100;

// 'C': [0, k+1, the k answer bytes, ':'], or [10, 0] when the camera gave no prompt within ten
// 50 ms pauses (or the answer would not fit the buffer).
void cameraPassThrough(const uint8_t* packet, int32_t count);

// 'B': [0, k+1, the k bytes received, '*']; the collection ends at the fourth empty poll of the
// exchange. Bytes beyond the 97 that fit are read and dropped (at most a second of line time of
// them), so no rest of the answer is left in the ring for the next module reply.
void controllerPassThrough(const uint8_t* packet, int32_t count);
