// The serial line's hang-ups: a USB adapter that is pulled out and plugged in again, a
// pseudo-terminal whose far end closed. The main loop looks at the line at the start of every
// pass; while it is down, commands go on and get their failure replies, and the same device is
// opened again every 250 ms. Once it is back, the robot is put into a known state before anything
// else: the controller channel selected afresh (both selections, whatever the belief), the drive
// stopped (and its stop confirmed), servo channels 0 to 3 off. Both moments are told on standard
// error.
#pragma once

#include <cstdint>

// Runs at the start of a main-loop pass. True when the line is up (and was recovered, if it had
// hung up); false while it is down.
bool serialLineWatch();

// The program's end: a line that is down is opened again (at once, then up to three more times
// 250 ms apart), so that the stop reaches the robot; the channel is then unknown. False when
// the line stays down.
bool serialLineReopenForShutdown();

// Microseconds until the next reopen attempt is due while the line is down (0: now, also for a
// hang-up that no pass has taken yet); -1 when it is up.
int64_t usUntilSerialReopen();
