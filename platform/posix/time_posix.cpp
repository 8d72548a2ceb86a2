// Pauses and the clock on the real machine.
#include "platform/platform.h"

#include <ctime>
#include <sched.h>
#include <sys/time.h>

namespace platform {

void sleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal may end the pause early; finish the rest of it.
    while (nanosleep(&request, &request) != 0) {
    }
}

void getLocalTime(SystemTime& out) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    out.wHour = static_cast<uint16_t>(local.tm_hour);
    out.wMinute = static_cast<uint16_t>(local.tm_min);
    out.wSecond = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    out.wMilliseconds = static_cast<uint16_t>(now.tv_usec / 1000);
}

uint32_t usToNextSecond() {
    // The local time differs from the real-time clock by whole minutes, so its seconds change
    // when the real-time clock's do.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint32_t>((1000000000L - now.tv_nsec + 999) / 1000);
}

uint64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
}

}  // namespace platform
