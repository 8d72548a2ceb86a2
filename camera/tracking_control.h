// Starting and stopping the camera's tracking.
//
// The dispatcher sets the tracking-mode flag of the letter first ('T'/'W' both servos follow,
// 'U'/'X' servo 1, 'V'/'Y' servo 2, 'A'/'Z' reports only) and then calls one of these. The modes
// add up; only stopTracking clears them, all four together.
#pragma once

#include <cstdint>

// 'T', 'U', 'V', 'A': answers [0], takes the camera channel and writes "tc" with the six
// parameter bytes of the packet in decimal, then CR. A packet with fewer than six parameter
// bytes (between the letter and the checksum) gives 0 for each missing value.
void startColourTracking(const uint8_t* packet, int32_t count);

// 'W', 'X', 'Y', 'Z': answers [0], takes the camera channel and writes "tw" and CR.
void startWindowTracking();

// 'N': clears the four modes, writes CR to whichever channel is selected, waits 50 ms, drains,
// and answers [0].
void stopTracking();
