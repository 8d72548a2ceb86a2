// The file that the preloaded write_times library fills: a count, then the times.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace latency {

struct WriteLog {
    static constexpr size_t kCapacity = 1 << 18;
    std::atomic<uint64_t> count;
    int64_t timesUs[kCapacity];  // CLOCK_MONOTONIC, in the order of the writes
};

}  // namespace latency
