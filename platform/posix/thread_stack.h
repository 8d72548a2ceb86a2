// What the posix platform's threads and its real-time set-up share (inside platform/posix only).
#pragma once

#include <cstddef>

namespace platform::posix {

// The stack size of the threads that startThread starts; 0: the system's default (the stack
// limit, usually 8 MiB of address space, filled as used). Once memory is locked every page of a
// stack is resident as the thread starts, so threads get a modest stack of their own size
// instead (far more than any of the program's threads uses).
constexpr size_t kLockedThreadStackBytes = 512 * 1024;
void useLockedThreadStacks();
size_t threadStackBytes();

// Whether the calling thread runs at a real-time priority (set with setThreadPriority), and
// whether the thread that started it did (told by startThread as the thread begins).
bool threadIsRealtime();
void setStartedByRealtime(bool yes);

}  // namespace platform::posix
