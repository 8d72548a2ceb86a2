// The tracking pipeline, as processes.
//
// BM_TrackingReportLatency: halvoran on halvoran-sim (paced at 115200 baud, 25 packets a
// second, the target going round a small circle so that consecutive packets differ), tracking
// started with 'A' (reports only). For each TrackReport the client reads, the latency is the
// time from the last byte of the tracking packet it describes leaving the simulator (the time of
// that byte in the simulator's trace) to the report's arrival at the client. The simulator's
// clock is tied to ours by sampling its `state` time with the shortest round trip; the packet is
// found by its values (middle, size, pixels, confidence) as the latest one sent before the
// report arrived. Argument: the confidence of a fully visible target. With 100, target following
// runs for every packet (in report-only mode it moves no servo but still switches the link to
// the controller and back and pauses 10 ms), so the report of a packet waits for that; with 5
// following never runs and the figure is the parser and transport alone.
//
// BM_TrackingParserRate: how many packets a second halvoran's tracking step takes. The simulator
// sends at most 1000 packets a second, below the line's own limit (10 bytes at 86.8 us: about
// 1152 a second), so a fast far end in this process stands in for the camera: a
// pseudo-terminal whose master side writes 10-byte packets (confidences 1 to 5, so that
// following never runs, and a sequence number in the values) at the offered rate, or as fast as
// the line takes them (argument 0). halvoran runs as a process on the slave side, in report-only
// mode. Kept up means every report came (one per three packets) and each carries the packet it
// must (the third of its group); the delivered rate is packets over the time from the first
// byte written to the last report read.
//
//   build-camera/bench/bench_tracking_pipeline --benchmark_counters_tabular=true
//
// It needs the ports 5000 to 5002 free.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "client/lib/session.h"
#include "tests/support/process.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using bench::percentile;

using testing_support::monotonicUs;

namespace {

using halvoran_client::ReadStatus;
using Report = std::array<uint8_t, 8>;

const std::vector<uint8_t> kReportOnly = {'A', 0, 255, 150, 255, 0, 255};

// A tracking packet as it left the simulator: the values a report carries and the time (on the
// simulator's clock) of its last byte.
struct SentPacket {
    int64_t lastByteUs;
    std::array<uint8_t, 6> values;  // middle x, middle y, width, height, pixels, confidence
};

std::vector<SentPacket> packetsInTrace(const std::string& trace) {
    std::vector<SentPacket> packets;
    std::istringstream lines(trace);
    std::string line;
    std::vector<uint8_t> bytes;
    while (std::getline(lines, line)) {
        size_t at = line.find(" out camera ");
        if (at == std::string::npos) continue;
        const int64_t t = std::stoll(line.substr(0, line.find(' ')));
        const uint8_t b = static_cast<uint8_t>(std::stoul(line.substr(at + 12), nullptr, 16));
        if (b == 0xFF) bytes.clear();
        bytes.push_back(b);
        if (bytes.size() == 10 && bytes[0] == 0xFF && bytes[1] == 'M') {
            packets.push_back({t,
                               {bytes[2], bytes[3], static_cast<uint8_t>(bytes[6] - bytes[4]),
                                static_cast<uint8_t>(bytes[7] - bytes[5]), bytes[8], bytes[9]}});
            bytes.clear();
        }
    }
    return packets;
}

void BM_TrackingReportLatency(benchmark::State& state) {
    const std::string confidence = std::to_string(state.range(0));
    constexpr int kReports = 150, kWarmUp = 3;
    std::vector<double> latencyUs;
    int unmatched = 0;
    int64_t offsetErrorUs = 0;
    for (auto _ : state) {
        testing_support::SimulatedRobot robot;
        std::string error;
        if (!robot.start(error, {"--world", "circle 0 0 6 2", "--confidence", confidence})) {
            state.SkipWithError(error.c_str());
            return;
        }
        halvoran_client::Session session;
        std::vector<uint8_t> reply;
        if (!session.connect("127.0.0.1", 10000, error) || !session.sendCommand(kReportOnly) ||
            session.readReply(reply, 5000) != ReadStatus::Ok || reply != std::vector<uint8_t>{0}) {
            state.SkipWithError(("tracking did not start: " + error).c_str());
            return;
        }
        std::vector<std::pair<Report, int64_t>> arrivals;
        Report report{};
        while (arrivals.size() < kWarmUp + kReports && session.readTrackReport(report, 5000) == ReadStatus::Ok) {
            arrivals.emplace_back(report, monotonicUs());
        }
        int64_t offsetUs = 0;
        const bool tied = robot.clockOffset(30, offsetUs, offsetErrorUs);
        session.sendCommand({'N'});
        session.readReply(reply, 5000);
        session.sendQuit();
        robot.waitHalvoranExit(5000);
        if (!tied || arrivals.size() < kWarmUp + kReports) {
            state.SkipWithError("too few reports, or the simulator's clock could not be read");
            return;
        }
        const std::vector<SentPacket> packets = packetsInTrace(robot.trace());
        for (size_t i = kWarmUp; i < arrivals.size(); ++i) {
            const Report& r = arrivals[i].first;
            const int64_t arrivalSimUs = arrivals[i].second - offsetUs;
            const SentPacket* match = nullptr;
            for (const SentPacket& p : packets) {
                if (p.lastByteUs > arrivalSimUs) break;
                if (std::equal(p.values.begin(), p.values.end(), r.begin() + 2)) match = &p;
            }
            if (match == nullptr) {
                ++unmatched;
                continue;
            }
            latencyUs.push_back(static_cast<double>(arrivalSimUs - match->lastByteUs));
        }
    }
    if (latencyUs.empty()) {
        state.SkipWithError("no report could be tied to its packet");
        return;
    }
    state.counters["reports"] = static_cast<double>(latencyUs.size());
    state.counters["unmatched"] = unmatched;
    state.counters["median_ms"] = percentile(latencyUs, 0.5) / 1000;
    state.counters["p99_ms"] = percentile(latencyUs, 0.99) / 1000;
    state.counters["clock_tie_error_ms"] = static_cast<double>(offsetErrorUs) / 1000;
}

BENCHMARK(BM_TrackingReportLatency)->Arg(100)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- the parser's rate with a fast far end --------------------------------------------------

// The far end of the link: a pseudo-terminal whose master this process holds. Everything
// halvoran writes is read and thrown away; `sawTrackingLine` tells when the "tc" line is out.
class FastCamera {
public:
    bool open(std::string& error) {
        int slave = -1;
        char name[128] = {};
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            error = "openpty failed";
            return false;
        }
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        slave_ = slave;
        slavePath_ = name;
        reader_ = std::thread([this] { readLoop(); });
        return true;
    }
    ~FastCamera() {
        stop_.store(true);
        if (reader_.joinable()) reader_.join();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    const std::string& slavePath() const { return slavePath_; }
    bool sawTrackingLine() const { return sawLine_.load(); }
    // Writes all bytes, waiting while the line is full.
    bool write(const uint8_t* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::write(master_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    void readLoop() {
        std::string seen;
        uint8_t buffer[4096];
        while (!stop_.load()) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 50) <= 0) continue;
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;
            seen.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
            if (seen.size() > 4096) seen.erase(0, seen.size() - 64);
            if (seen.find("tc 0 255 150 255 0 255\r") != std::string::npos) sawLine_.store(true);
        }
    }

    int master_ = -1, slave_ = -1;
    std::string slavePath_;
    std::thread reader_;
    std::atomic<bool> stop_{false}, sawLine_{false};
};

// Packet number n: a sequence number in middle x (high part) and pixels (low part), a box of
// 4 x 4, and confidences 1 to 5 in turn. No byte after the 0xFF is 0xFF.
std::array<uint8_t, 10> numberedPacket(uint32_t n) {
    const uint8_t high = static_cast<uint8_t>((n / 250) % 250), low = static_cast<uint8_t>(n % 250);
    return {0xFF, 'M', high, 70, 10, 20, 14, 24, low, static_cast<uint8_t>(1 + n % 5)};
}

void BM_TrackingParserRate(benchmark::State& state) {
    const double offered = static_cast<double>(state.range(0));  // packets a second; 0: as fast as possible
    // About three seconds' worth at the offered rate, at most 30000 packets.
    const uint32_t kPackets = offered > 0 ? std::min<uint32_t>(30000, static_cast<uint32_t>(offered) * 3) : 30000;
    double deliveredRate = 0;
    int received = 0, correct = 0;
    for (auto _ : state) {
        std::string error, taken;
        if (!testing_support::portsFree({5000, 5001, 5002}, taken)) {
            state.SkipWithError(("port " + taken + " is taken").c_str());
            return;
        }
        FastCamera camera;
        if (!camera.open(error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const std::string dir = testing_support::makeTempDir("halvoran-bench-tracking");
        testing_support::ChildProcess halvoran;
        if (!halvoran.start({HALVORAN_BIN},
                            {"HALVORAN_COM1=" + camera.slavePath(), "HALVORAN_HEADLESS=1", "XDG_RUNTIME_DIR=" + dir},
                            dir + "/halvoran.err")) {
            state.SkipWithError("halvoran did not start");
            return;
        }
        halvoran_client::Session session;
        std::vector<uint8_t> reply;
        if (!session.connect("127.0.0.1", 10000, error) || !session.sendCommand(kReportOnly) ||
            session.readReply(reply, 5000) != ReadStatus::Ok ||
            !testing_support::waitUntil([&] { return camera.sawTrackingLine(); }, 5000)) {
            state.SkipWithError(("tracking did not start: " + error).c_str());
            halvoran.signal(SIGKILL);
            return;
        }

        std::thread writer([&] {
            const int64_t start = monotonicUs();
            uint32_t n = 0;
            std::vector<uint8_t> batch;
            while (n < kPackets) {
                // Everything due by now (offered rate), or a batch of 100 (as fast as possible).
                uint32_t due =
                    offered > 0 ? static_cast<uint32_t>((monotonicUs() - start) * offered / 1e6) + 1 : n + 100;
                due = std::min(due, kPackets);
                batch.clear();
                for (; n < due; ++n) {
                    const std::array<uint8_t, 10> p = numberedPacket(n);
                    batch.insert(batch.end(), p.begin(), p.end());
                }
                if (!batch.empty() && !camera.write(batch.data(), batch.size())) return;
                if (offered > 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        const int64_t t0 = monotonicUs();
        int64_t lastReport = t0;
        Report report{};
        received = correct = 0;
        while (received < static_cast<int>(kPackets / 3) && session.readTrackReport(report, 2000) == ReadStatus::Ok) {
            lastReport = monotonicUs();
            // Report g carries packet 3g + 2, the newest of its group.
            const std::array<uint8_t, 10> p = numberedPacket(static_cast<uint32_t>(3 * received + 2));
            if (report[2] == p[2] && report[6] == p[8] && report[7] == p[9]) ++correct;
            ++received;
        }
        writer.join();
        deliveredRate = 3.0 * received / (static_cast<double>(lastReport - t0) / 1e6);
        session.sendQuit();
        int code = 0;
        if (!halvoran.waitExit(5000, code)) halvoran.signal(SIGKILL);
    }
    state.counters["offered_pps"] = offered;
    state.counters["delivered_pps"] = deliveredRate;
    state.counters["line_limit_pps"] = 115200.0 / 10 / 10;
    state.counters["reports_expected"] = static_cast<double>(kPackets / 3);
    state.counters["reports"] = received;
    state.counters["reports_right"] = correct;
}

BENCHMARK(BM_TrackingParserRate)
    ->Arg(1152)
    ->Arg(5000)
    ->Arg(20000)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
