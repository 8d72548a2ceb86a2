// A preloaded library for bench_latency_under_load: records the monotonic time at which the
// program hands each write to a terminal (the serial line) to the kernel, into a file that the
// benchmark maps too (LATENCY_WRITE_LOG). On a real serial port the byte goes out from there; on
// the simulator's pseudo-terminal it still passes a kernel worker at normal priority before the
// simulator can read it, which a busy computer delays by tens of milliseconds.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "bench/write_times/write_times.h"

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);
WriteFunction realWrite = nullptr;
latency::WriteLog* writeLog = nullptr;

__attribute__((constructor)) void openLog() {
    realWrite = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    const char* path = std::getenv("LATENCY_WRITE_LOG");
    if (path == nullptr) return;
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* map = mmap(nullptr, sizeof(latency::WriteLog), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED) writeLog = static_cast<latency::WriteLog*>(map);
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t count) {
    if (writeLog != nullptr && count > 0 && isatty(fd)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t slot = writeLog->count.fetch_add(1);
        if (slot < latency::WriteLog::kCapacity) {
            writeLog->timesUs[slot] = int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
        }
    }
    return realWrite(fd, data, count);
}
