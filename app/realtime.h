// The control loop at a real-time priority, when the deployment asks for it.
//
// HALVORAN_REALTIME=PRIORITY (1 to 99) runs the main thread first-in first-out at PRIORITY and the
// serial reader thread one above it (at most 99), so that a byte from the robot is never left
// waiting behind a pass of the loop, with all memory locked and the main thread's stack present.
// The accept, kill and menu threads stay at normal priority. A real-time thread that runs
// without blocking for longer than the CPU-time guard allows is ended, and the program with it,
// so that a fault can never take the computer away from everything else.
#pragma once

#include <cstdint>

// The guard: SIGXCPU (which ends the program) after this much CPU time without blocking, and
// SIGKILL after the hard limit. The loop blocks between passes and in every pause of a command.
constexpr uint64_t REALTIME_CPU_SOFT_US = 500 * 1000;
constexpr uint64_t REALTIME_CPU_HARD_US = 1000 * 1000;
// The main thread's stack made present before the loop starts.
constexpr uint64_t REALTIME_MAIN_STACK_BYTES = 512 * 1024;

// Sets up real-time scheduling on the calling (main) thread, before any other thread starts,
// from the value of HALVORAN_REALTIME (nullptr or empty: nothing is done, as without it). When
// the value is not a priority, or the priority is refused, it says so in one line and leaves the
// program at normal priority. True when the main thread now runs at real-time priority.
bool startRealtime(const char* setting);
