// Real-time scheduling on the real machine: SCHED_FIFO threads, locked memory, RLIMIT_RTTIME.
#include "platform/platform.h"

#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <alloca.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/thread_stack.h"

namespace platform {

namespace {
thread_local bool realtimeThread = false;
thread_local bool startedByRealtime = false;
}  // namespace

namespace posix {

namespace {
std::atomic<size_t> stackBytes{0};
}  // namespace

void useLockedThreadStacks() { stackBytes.store(kLockedThreadStackBytes); }
size_t threadStackBytes() { return stackBytes.load(); }
bool threadIsRealtime() { return realtimeThread; }
void setStartedByRealtime(bool yes) { startedByRealtime = yes; }

}  // namespace posix

namespace {

std::atomic<int> readerPriority{0};

// The reader's stack was locked and filled when the thread started; this much more is touched in
// case memory is not locked (a first touch then still costs a fault once, before the first byte).
constexpr size_t kReaderStackPrefault = 128 * 1024;

bool refused(int* error) {
    if (error != nullptr) *error = errno;
    return false;
}

}  // namespace

bool lockMemory(int* error) {
    // Freed memory stays with the allocator (no trimming, no separate mappings for large blocks,
    // one arena): a later allocation finds locked pages instead of mapping new ones, and no
    // thread reserves an arena of its own that would count against the lock limit.
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_ARENA_MAX, 1);
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        const int saved = errno;
        munlockall();  // nothing half-locked, and no lock of later mappings
        errno = saved;
        return refused(error);
    }
    posix::useLockedThreadStacks();
    return true;
}

__attribute__((noinline)) void prefaultStack(size_t bytes) {
    volatile unsigned char* block = static_cast<volatile unsigned char*>(alloca(bytes));
    for (size_t i = 0; i < bytes; i += 4096) block[i] = 0;
    if (bytes > 0) block[bytes - 1] = 0;
}

bool limitRealtimeCpu(uint64_t softUs, uint64_t hardUs, int* error) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return refused(error);
    limit.rlim_max = std::min<rlim_t>(limit.rlim_max, hardUs);
    limit.rlim_cur = std::min<rlim_t>(std::min<rlim_t>(limit.rlim_cur, softUs), limit.rlim_max);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return refused(error);
    return true;
}

bool setThreadPriority(int priority, int* error) {
    sched_param param{};
    param.sched_priority = priority;
    // Reset on fork: the threads and helper processes this thread starts run at normal priority.
    const int policy = priority > 0 ? SCHED_FIFO | SCHED_RESET_ON_FORK : SCHED_OTHER;
    if (sched_setscheduler(0, policy, &param) != 0) return refused(error);
    realtimeThread = priority > 0;
    return true;
}

void setReaderPriority(int priority) { readerPriority.store(priority); }

void enterReaderPriority() {
    const int priority = readerPriority.load();
    if (priority <= 0 || !startedByRealtime) return;
    int error = 0;
    if (!setThreadPriority(priority, &error)) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "halvoran: the serial reader thread runs at normal priority: priority %d refused (%s)", priority,
                      std::strerror(error));
        logLine(line);
    }
    prefaultStack(kReaderStackPrefault);
}

}  // namespace platform
