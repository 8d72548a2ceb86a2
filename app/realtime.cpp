#include "app/realtime.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// 1 to 99 in decimal digits only, else 0.
int parsePriority(const char* setting) {
    int value = 0;
    int digits = 0;
    for (const char* c = setting; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || ++digits > 2) return 0;
        value = value * 10 + (*c - '0');
    }
    return value;
}

void say(const char* format, int priority, const char* detail) {
    char line[256];
    std::snprintf(line, sizeof line, format, priority, detail);
    platform::logLine(line);
}

}  // namespace

bool startRealtime(const char* setting) {
    if (setting == nullptr || setting[0] == '\0') return false;
    const int priority = parsePriority(setting);
    if (priority < 1 || priority > 99) {
        char line[160];
        std::snprintf(
            line, sizeof line,
            "halvoran: HALVORAN_REALTIME=\"%.40s\" is not a priority from 1 to 99: running at normal priority",
            setting);
        platform::logLine(line);
        return false;
    }
    const int readerPriority = priority < 99 ? priority + 1 : 99;

    int error = 0;
    // The guard comes first: no thread runs real-time without it.
    if (!platform::limitRealtimeCpu(REALTIME_CPU_SOFT_US, REALTIME_CPU_HARD_US, &error)) {
        say("halvoran: real-time priority %d not taken: no CPU-time guard (%s): running at normal priority", priority,
            std::strerror(error));
        return false;
    }
    // The reader's priority is tried first, on this thread: when the machine grants the main
    // thread its priority but not the one above, the reader would sit below the loop it feeds.
    // Going down from there to the main thread's priority is always allowed.
    if (!platform::setThreadPriority(readerPriority, &error) || !platform::setThreadPriority(priority, &error)) {
        platform::setThreadPriority(0, nullptr);
        char line[200];
        std::snprintf(
            line, sizeof line,
            "halvoran: real-time priority %d (%d for the serial reader) refused (%s): running at normal priority",
            priority, readerPriority, std::strerror(error));
        platform::logLine(line);
        return false;
    }
    if (!platform::lockMemory(&error)) {
        say("halvoran: real-time priority %d, but memory not locked (%s): a page fault may still delay the loop",
            priority, std::strerror(error));
    }
    platform::prefaultStack(REALTIME_MAIN_STACK_BYTES);
    platform::setReaderPriority(readerPriority);
    return true;
}
