// Small helpers the benchmarks share: percentiles, CPU time of a process, the simulator's trace
// of bytes written on the line, and sleeping until a moment on the monotonic clock.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/robot_processes.h"

namespace bench {

// The nearest-rank percentile (p in 0..1) of values already sorted ascending; NaN when empty.
inline double percentileOfSorted(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// The nearest-rank percentile (p in 0..1) of values in any order; NaN when empty.
inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return percentileOfSorted(values, p);
}

// utime + stime of the process, in microseconds; -1 when it cannot be read.
inline int64_t cpuUs(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold spaces; the fields after it are plain numbers.
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return (utime + stime) * 1000000 / sysconf(_SC_CLK_TCK);
}

// This program's own CPU seconds, user and system.
inline double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The times (simulator's clock) of the bytes Halvoran wrote on the line, in order: the "in" lines
// of the simulator's trace.
inline std::vector<int64_t> writtenTimes(const std::string& trace) {
    std::vector<int64_t> times;
    std::istringstream lines(trace);
    std::string line, kind;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        long long t = 0;
        if (words >> t >> kind && kind == "in") times.push_back(t);
    }
    return times;
}

// Sleeps until the monotonic clock reads tUs (microseconds); returns at once if that has passed.
inline void sleepUntil(int64_t tUs) {
    const int64_t now = testing_support::monotonicUs();
    if (tUs > now) std::this_thread::sleep_for(std::chrono::microseconds(tUs - now));
}

}  // namespace bench
