// How long the drive waits for Halvoran when the computer is busy: at rest and under load
// (stress-ng: one CPU hog per core and a memory hog), each with Halvoran at normal priority and
// with HALVORAN_REALTIME, on the simulated robot (halvoran-sim paced at 115200 baud):
//   'P' to the line     the client's send of a 'P' (the drive status read) to the first byte
//                       Halvoran puts on the serial line
//   timeout to stop     a drive timeout's due moment (the drive runs with a 1 s timeout; it is
//                       due when the clock's seconds pass the speed's stamp by more than 1) to
//                       the first byte of its stop on the serial line
// each twice: when Halvoran hands the byte to the line (a preloaded library, bench/write_times/,
// notes the time of every write to a terminal), which is when a real serial port sends it; and
// when the simulator reads it from its pseudo-terminal (its trace), which adds the kernel's
// pseudo-terminal worker, a thread at normal priority that a busy computer delays by as much as
// it delays any other.
// and cyclictest under the same load, the floor of this machine: how late a real-time thread at
// the serial reader's priority wakes from a timer.
//
// The simulator and the benchmark's client stand in for the devices and a remote client: both
// run first-in first-out above Halvoran, so that a time they take is when the byte or the packet
// moved, not when a busy computer let them look. The 'P's come one after the other, each after a
// random pause of up to 4 ms once the last one was answered; the drive is started again 0.3 s
// after each stop, and no 'P' runs near a due moment, so that the loop is idle when it comes.
//
//   bench/latency_under_load.sh [SECONDS_PER_CELL [CYCLICTEST_SECONDS]]
//
// which installs stress-ng and cyclictest (rt-tests) when they are missing and runs this program
// in a network namespace of its own; it needs root (or the right to real-time priorities).
// Prints one table: median, 99th and 99.9th percentile and maximum of every cell. While working
// on it: LATENCY_REST_ONLY=1 leaves out the loaded half (no stress-ng), and LATENCY_DUMP=1 lists
// every 'P' slower than 2 ms with where it fell.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/write_times/write_times.h"
#include "client/lib/session.h"
#include "tests/support/process.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using bench::percentileOfSorted;
using bench::sleepUntil;
using bench::writtenTimes;
using testing_support::monotonicUs;

namespace {

using halvoran_client::ReadStatus;

constexpr int kHalvoranPriority = 10;                       // as the package sets it
constexpr int kReaderPriority = kHalvoranPriority + 1;      // cyclictest runs here
constexpr int kInstrumentPriority = kHalvoranPriority + 2;  // the simulator and the client
constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02;
const std::vector<uint8_t> kDriveStatus = {'P', 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kDriveWithTimeout = {'P', 1, 20, 0, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED};
// No 'P' runs from this long before a due moment to this long after it (the stop and its
// read-back take about 40 ms).
constexpr int64_t kQuietBeforeUs = 80000, kQuietAfterUs = 250000;

struct Stats {
    size_t samples = 0;
    double medianUs = NAN, p99Us = NAN, p999Us = NAN, maxUs = NAN;
};

Stats stats(std::vector<double> values) {
    Stats s;
    s.samples = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.medianUs = percentileOfSorted(values, 0.5);
    s.p99Us = percentileOfSorted(values, 0.99);
    s.p999Us = percentileOfSorted(values, 0.999);
    s.maxUs = values.back();
    return s;
}

int64_t realtimeUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The wall clock minus the monotonic one, from the closest of a few readings.
int64_t wallOffsetUs() {
    int64_t best = 0, spread = INT64_MAX;
    for (int i = 0; i < 20; ++i) {
        const int64_t m0 = monotonicUs(), r = realtimeUs(), m1 = monotonicUs();
        if (m1 - m0 < spread) {
            spread = m1 - m0;
            best = r - (m0 + m1) / 2;
        }
    }
    return best;
}

// First-in first-out at the priority; what the thread starts afterwards (Halvoran, stress-ng,
// cyclictest) begins at normal priority.
bool setPriority(pid_t tid, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

// Every thread of the process at the priority.
bool setProcessPriority(pid_t pid, int priority) {
    bool all = true;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        all = setPriority(std::stoi(entry.path().filename().string()), priority) && all;
    }
    return all && !error;
}

struct Cell {
    // Written: when Halvoran handed the byte to the serial line; read: when the simulator read it
    // from the pseudo-terminal.
    Stats commandWritten, commandRead, timeoutWritten, timeoutRead;
    int64_t tieErrorUs = 0;
    std::string error;
};

Cell measureCell(bool realtime, int seconds) {
    Cell cell;
    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
    if (!robot.startSimulator({}, cell.error)) return cell;
    // The file that the preloaded library fills with the times of Halvoran's writes to the line.
    const std::string logPath = robot.directory() + "/writes";
    latency::WriteLog* writes = nullptr;
    {
        const int fd = open(logPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(latency::WriteLog)) != 0) {
            cell.error = "no write log";
            return cell;
        }
        void* map = mmap(nullptr, sizeof(latency::WriteLog), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (map == MAP_FAILED) {
            cell.error = "no write log";
            return cell;
        }
        writes = static_cast<latency::WriteLog*>(map);
    }
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + LATENCY_WRITE_TIMES_LIB,
                                    "LATENCY_WRITE_LOG=" + logPath};
    if (realtime) env.push_back("HALVORAN_REALTIME=" + std::to_string(kHalvoranPriority));
    if (!setProcessPriority(robot.simulator().pid(), kInstrumentPriority)) {
        cell.error = "the simulator may not run at a real-time priority (run as root)";
        return cell;
    }
    if (!robot.startHalvoran(cell.error, env) || !session.connect("127.0.0.1", 10000, cell.error)) return cell;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (realtime && robot.halvoranErrors().find("real-time") != std::string::npos) {
        cell.error = "Halvoran did not get its priority: " + robot.halvoranErrors();
        return cell;
    }

    const int64_t wall = wallOffsetUs();
    std::mt19937 random(12345);
    std::uniform_int_distribution<int64_t> pause(0, 4000);
    std::vector<int64_t> statusSends, dueMoments;
    std::vector<uint8_t> reply;
    // The next start of the drive: 0.3 s into a second of the clock.
    auto startAfter = [&](int64_t monoUs) {
        const int64_t wallUs = monoUs + wall;
        int64_t next = (wallUs / 1000000) * 1000000 + 300000;
        if (next < wallUs) next += 1000000;
        return next - wall;
    };
    int64_t nextStart = startAfter(monotonicUs() + 100000), due = INT64_MAX;
    const int64_t end = monotonicUs() + int64_t(seconds) * 1000000;
    while (monotonicUs() < end) {
        const int64_t now = monotonicUs();
        if (now >= nextStart) {
            const int64_t sent = monotonicUs();
            if (!session.sendCommand(kDriveWithTimeout) || session.readReply(reply, 5000) != ReadStatus::Ok) {
                cell.error = "the drive start was not answered";
                break;
            }
            // Stamped with the second it was handled in (0.3 s into it); due when the seconds
            // are past that by more than the 1 s timeout: at the start of the second after next.
            const int64_t stampSecond = (sent + wall) / 1000000;
            due = (stampSecond + 2) * 1000000 - wall;
            dueMoments.push_back(due);
            nextStart = startAfter(due + 200000);
            continue;
        }
        // A 'P' takes about 25 ms: none that could still run near the due moment.
        const int64_t at = now + pause(random);
        if (at + 40000 > due - kQuietBeforeUs && at < due + kQuietAfterUs) {
            sleepUntil(std::min(nextStart, due + kQuietAfterUs));
            continue;
        }
        sleepUntil(at);
        const int64_t sent = monotonicUs();
        if (!session.sendCommand(kDriveStatus) || session.readReply(reply, 5000) != ReadStatus::Ok) {
            cell.error = "a 'P' was not answered";
            break;
        }
        statusSends.push_back(sent);
    }
    int64_t offsetUs = 0;
    const bool tied = robot.clockOffset(100, offsetUs, cell.tieErrorUs);
    session.sendQuit();
    robot.waitHalvoranExit(5000);
    if (!tied) {
        cell.error = "the simulator's clock could not be read";
        return cell;
    }
    const std::vector<int64_t> read = writtenTimes(robot.trace());
    auto firstReadAfter = [&](int64_t monoUs) -> int64_t {
        auto it = std::lower_bound(read.begin(), read.end(), monoUs - offsetUs);
        return it == read.end() ? -1 : *it + offsetUs;
    };
    const size_t count = std::min<size_t>(writes->count.load(), latency::WriteLog::kCapacity);
    const std::vector<int64_t> written(writes->timesUs, writes->timesUs + count);
    munmap(writes, sizeof(latency::WriteLog));
    auto firstWrittenAfter = [&](int64_t monoUs) -> int64_t {
        auto it = std::lower_bound(written.begin(), written.end(), monoUs);
        return it == written.end() ? -1 : *it;
    };
    std::vector<double> commandWritten, commandRead, timeoutWritten, timeoutRead;
    const bool dump = std::getenv("LATENCY_DUMP") != nullptr;
    for (int64_t sent : statusSends) {
        const int64_t wrote = firstWrittenAfter(sent);
        if (wrote >= 0) commandWritten.push_back(static_cast<double>(wrote - sent));
        const int64_t first = firstReadAfter(sent);
        if (first >= 0) commandRead.push_back(static_cast<double>(first - sent));
        if (dump && first - sent > 2000) {
            int64_t nearest = INT64_MAX;
            for (int64_t d : dueMoments) nearest = std::abs(sent - d) < std::abs(nearest) ? sent - d : nearest;
            std::fprintf(stderr,
                         "slow P: read %lld us, written %lld us, %lld us after a due moment, %lld us into the cell\n",
                         (long long)(first - sent), (long long)(wrote - sent), (long long)nearest,
                         (long long)(sent - statusSends[0]));
        }
    }
    for (int64_t d : dueMoments) {
        // The stop cannot come before its due moment; the clock tie's error may place it there.
        const int64_t wrote = firstWrittenAfter(d - 1000);
        if (wrote >= 0 && wrote < d + kQuietAfterUs) timeoutWritten.push_back(static_cast<double>(wrote - d));
        const int64_t first = firstReadAfter(d - 2 * cell.tieErrorUs - 1000);
        if (first >= 0 && first < d + kQuietAfterUs) timeoutRead.push_back(static_cast<double>(first - d));
    }
    cell.commandWritten = stats(commandWritten);
    cell.commandRead = stats(commandRead);
    cell.timeoutWritten = stats(timeoutWritten);
    cell.timeoutRead = stats(timeoutRead);
    return cell;
}

// cyclictest on every core at the serial reader's priority, its latencies from its histogram.
Stats cyclictest(int seconds, std::string& error) {
    const std::string dir = testing_support::makeTempDir("halvoran-cyclictest");
    testing_support::ChildProcess run;
    const std::vector<std::string> argv = {"cyclictest", "-m",  "-q", "-S",    "-p", std::to_string(kReaderPriority),
                                           "-i",         "500", "-h", "20000", "-D", std::to_string(seconds)};
    int code = -1;
    if (!run.start(argv, {}, dir + "/err.txt", dir + "/out.txt") || !run.waitExit((seconds + 30) * 1000, code) ||
        code != 0) {
        error = "cyclictest failed (exit code " + std::to_string(code) +
                "): " + testing_support::readFile(dir + "/err.txt");
        return {};
    }
    // Lines "LATENCY COUNT COUNT..." (one count per thread), then "# Max Latencies: M M...".
    std::istringstream lines(testing_support::readFile(dir + "/out.txt"));
    std::string line;
    std::vector<std::pair<long, long>> histogram;
    long maxUs = 0, overflows = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        if (line.rfind("# Max Latencies:", 0) == 0) {
            words.ignore(16);
            for (long m; words >> m;) maxUs = std::max(maxUs, m);
        } else if (line.rfind("# Histogram Overflows:", 0) == 0) {
            words.ignore(22);
            for (long n; words >> n;) overflows += n;
        } else if (!line.empty() && line[0] != '#') {
            long latency = 0, total = 0;
            words >> latency;
            for (long n; words >> n;) total += n;
            if (total > 0) histogram.emplace_back(latency, total);
        }
    }
    std::vector<double> values;
    for (const auto& [latency, count] : histogram) values.insert(values.end(), size_t(count), double(latency));
    values.insert(values.end(), size_t(overflows), double(maxUs));
    std::filesystem::remove_all(dir);
    Stats s = stats(values);
    s.maxUs = double(maxUs);
    return s;
}

std::string ms(double us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", us / 1000);
    return std::isnan(us) ? "-" : text;
}

void row(const char* figure, const char* load, const char* realtime, const Stats& s) {
    std::printf("| %s | %s | %s | %zu | %s | %s | %s | %s |\n", figure, load, realtime, s.samples,
                ms(s.medianUs).c_str(), ms(s.p99Us).c_str(), ms(s.p999Us).c_str(), ms(s.maxUs).c_str());
    std::fflush(stdout);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one;
}

}  // namespace

int main(int argc, char** argv) {
    const int cellSeconds = argc > 1 ? std::atoi(argv[1]) : 120;
    const int cyclictestSeconds = argc > 2 ? std::atoi(argv[2]) : 20;
    if (cellSeconds < 5 || cyclictestSeconds < 1) {
        std::fprintf(stderr, "usage: %s [SECONDS_PER_CELL (>= 5) [CYCLICTEST_SECONDS]]\n", argv[0]);
        return 2;
    }
    // The client stands in for a remote one: its send times are when the packet left.
    if (!setPriority(0, kInstrumentPriority)) {
        std::fprintf(stderr, "the benchmark may not run at a real-time priority (run it as root)\n");
        return 1;
    }
    const std::string rtText = std::to_string(kHalvoranPriority);
    std::printf(
        "Halvoran at priority %d (reader %d) or normal; the simulator and the client at %d; "
        "cyclictest at %d on every core. Times in ms.\n\n",
        kHalvoranPriority, kReaderPriority, kInstrumentPriority, kReaderPriority);
    std::printf("| figure | load | HALVORAN_REALTIME | samples | median | p99 | p99.9 | max |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    int failures = 0;
    std::vector<std::string> notes;
    for (bool loaded : {false, true}) {
        if (loaded && std::getenv("LATENCY_REST_ONLY") != nullptr) break;
        testing_support::ChildProcess stress;
        const char* load = loaded ? "stress-ng" : "rest";
        std::string loadBefore = loadAverage();
        if (loaded) {
            const std::string cpus = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
            // It ends by itself shortly after the cells should have, whatever becomes of us.
            const std::string limit = std::to_string(2 * cellSeconds + cyclictestSeconds + 60);
            if (!stress.start(
                    {"stress-ng", "--cpu", cpus, "--vm", "1", "--vm-bytes", "256M", "--timeout", limit, "--quiet"}, {},
                    "/dev/null", "/dev/null")) {
                std::fprintf(stderr, "stress-ng did not start\n");
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::seconds(3));
        }
        for (bool realtime : {false, true}) {
            const Cell cell = measureCell(realtime, cellSeconds);
            const char* rt = realtime ? rtText.c_str() : "unset";
            row("'P' sent to its first byte written to the line", load, rt, cell.commandWritten);
            row("... read from the pseudo-terminal", load, rt, cell.commandRead);
            row("drive timeout due to its stop's first byte written", load, rt, cell.timeoutWritten);
            row("... read from the pseudo-terminal", load, rt, cell.timeoutRead);
            notes.push_back(std::string(load) + ", HALVORAN_REALTIME " + rt + ": clock tie to the simulator within " +
                            std::to_string(cell.tieErrorUs) + " us" + (cell.error.empty() ? "" : "; " + cell.error));
            if (!cell.error.empty()) ++failures;
        }
        std::string error;
        row(("cyclictest, priority " + std::to_string(kReaderPriority)).c_str(), load, "-",
            cyclictest(cyclictestSeconds, error));
        if (!error.empty()) {
            notes.push_back(error);
            ++failures;
        }
        notes.push_back(std::string(load) + ": load average " + loadBefore + " before, " + loadAverage() + " after");
        if (loaded) stress.stop();
    }
    std::printf("\n");
    for (const std::string& note : notes) std::printf("%s\n", note.c_str());
    return failures == 0 ? 0 : 1;
}
