// What the main loop costs, waiting in the kernel when a pass finds nothing to do ("event") or
// starting the next pass at once ("spin", HALVORAN_SPIN_LOOP=1), side by side on the simulated
// robot (halvoran-sim paced at 115200 baud, halvoran as processes).
//
// CPU: the share of one core that the halvoran process used (utime + stime of all its threads
// from /proc/PID/stat) over 10 s in four states:
//   idle        a client connected on the three ports, nothing sent
//   silent      tracking ('T', following on) with the camera silent (fault camera silent on)
//   tracking    tracking ('T', following on) at the simulated camera's packet rate (25 a
//               second), a target going round a small circle so that the servos follow
//   P 20 Hz     a client sending a 'P' (no flags: the drive status read) every 50 ms
// Latencies:
//   command to line   the client's send of a 'P' to the first byte halvoran puts on the serial
//                     line (the byte's time in the simulator's trace), in the P 20 Hz run
//   P round trip      the client's send of a 'P' to the arrival of its reply, same run
//   report            a tracking packet's last byte on the line to the arrival of the report
//                     that carries it on port 5002, in the tracking run
// The simulator's clock is tied to ours by the `state` sample with the shortest round trip; its
// error is printed (it shifts the command-to-line and report figures of a run, not the others).
//
//   unshare -n sh -c 'ip link set lo up && nice build/bench/bench_main_loop_cpu'
//
// It needs the ports 5000 to 5002 free (hence the private network namespace) and runs about two
// minutes. A plain program: it prints one table.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "client/lib/session.h"
#include "tests/support/robot_processes.h"

using bench::cpuUs;
using bench::percentile;
using bench::sleepUntil;

using testing_support::monotonicUs;

namespace {

using halvoran_client::ReadStatus;
using Report = std::array<uint8_t, 8>;

constexpr int kMeasureSeconds = 10;
const std::vector<uint8_t> kTrackBoth = {'T', 0, 255, 150, 255, 0, 255};
const std::vector<uint8_t> kDriveStatus = {'P', 0, 0, 0, 0, 0, 0};

struct TraceByte {
    int64_t tUs;
    bool in;  // written by halvoran
    std::string where;
    uint8_t byte;
};

std::vector<TraceByte> traceBytes(const std::string& trace) {
    std::vector<TraceByte> bytes;
    std::istringstream lines(trace);
    std::string line, kind, where, hex;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        long long t = 0;
        if (!(words >> t >> kind >> where >> hex) || (kind != "in" && kind != "out")) continue;
        bytes.push_back({t, kind == "in", where, static_cast<uint8_t>(std::stoul(hex, nullptr, 16))});
    }
    return bytes;
}

struct Stats {
    double medianUs = NAN, p99Us = NAN;
    size_t samples = 0;
};

Stats stats(const std::vector<double>& values) {
    return {percentile(values, 0.5), percentile(values, 0.99), values.size()};
}

struct Figures {
    double idle = NAN, silent = NAN, tracking = NAN, drive20Hz = NAN;  // % of a core
    Stats commandToLine, roundTrip, report;
    int64_t tieErrorUs = 0;
    std::string error;
};

class Robot {
public:
    bool start(bool spin, const std::vector<std::string>& simOptions, std::string& error) {
        std::vector<std::string> env;
        if (spin) env.push_back("HALVORAN_SPIN_LOOP=1");
        return robot.startSimulator(simOptions, error) && robot.startHalvoran(error, env) &&
               session.connect("127.0.0.1", 10000, error);
    }
    bool command(const std::vector<uint8_t>& packet, std::vector<uint8_t>& reply) {
        return session.sendCommand(packet) && session.readReply(reply, 5000) == ReadStatus::Ok;
    }
    // The halvoran process's CPU share over kMeasureSeconds, while `during` runs (it gets the end time).
    template <typename F>
    double cpuShare(F during) {
        const pid_t pid = robot.halvoran().pid();
        const int64_t cpu0 = cpuUs(pid), t0 = monotonicUs();
        during(t0 + kMeasureSeconds * 1000000LL);
        const int64_t cpu1 = cpuUs(pid), t1 = monotonicUs();
        return 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0);
    }
    void stop() {
        session.sendQuit();
        robot.waitHalvoranExit(5000);
    }
    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
};

void measureIdle(bool spin, Figures& f) {
    Robot r;
    if (!r.start(spin, {}, f.error)) return;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    f.idle = r.cpuShare([](int64_t end) { sleepUntil(end); });
    r.stop();
}

void measureSilentCamera(bool spin, Figures& f) {
    Robot r;
    std::vector<uint8_t> reply;
    if (!r.start(spin, {"--fault", "camera silent"}, f.error)) return;
    if (!r.command(kTrackBoth, reply)) {
        f.error = "tracking did not start";
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    f.silent = r.cpuShare([](int64_t end) { sleepUntil(end); });
    r.stop();
}

void measureTracking(bool spin, Figures& f) {
    Robot r;
    std::vector<uint8_t> reply;
    if (!r.start(spin, {"--world", "circle 0 0 6 2"}, f.error)) return;
    if (!r.command(kTrackBoth, reply)) {
        f.error = "tracking did not start";
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    r.session.discardPending();
    std::vector<std::pair<Report, int64_t>> arrivals;
    f.tracking = r.cpuShare([&](int64_t end) {
        Report report{};
        while (monotonicUs() < end) {
            if (r.session.readTrackReport(report, 200) == ReadStatus::Ok) arrivals.emplace_back(report, monotonicUs());
        }
    });
    int64_t offsetUs = 0, errorUs = 0;
    const bool tied = r.robot.clockOffset(100, offsetUs, errorUs);
    r.command({'N'}, reply);
    r.stop();
    if (!tied) return;
    f.tieErrorUs = std::max(f.tieErrorUs, errorUs);
    // Each report carries a packet's values; the packet is the latest one with those values whose
    // last byte left the simulator before the report arrived.
    struct Packet {
        int64_t lastByteUs;
        std::array<uint8_t, 6> values;
    };
    std::vector<Packet> packets;
    std::vector<uint8_t> bytes;
    for (const TraceByte& b : traceBytes(r.robot.trace())) {
        if (b.in || b.where != "camera") continue;
        if (b.byte == 0xFF) bytes.clear();
        bytes.push_back(b.byte);
        if (bytes.size() == 10 && bytes[0] == 0xFF && bytes[1] == 'M') {
            packets.push_back({b.tUs,
                               {bytes[2], bytes[3], static_cast<uint8_t>(bytes[6] - bytes[4]),
                                static_cast<uint8_t>(bytes[7] - bytes[5]), bytes[8], bytes[9]}});
            bytes.clear();
        }
    }
    std::vector<double> latency;
    for (const auto& [report, arrival] : arrivals) {
        const int64_t arrivalSim = arrival - offsetUs;
        const Packet* match = nullptr;
        for (const Packet& p : packets) {
            if (p.lastByteUs > arrivalSim) break;
            if (std::equal(p.values.begin(), p.values.end(), report.begin() + 2)) match = &p;
        }
        if (match != nullptr) latency.push_back(static_cast<double>(arrivalSim - match->lastByteUs));
    }
    f.report = stats(latency);
}

void measureDriveCommands(bool spin, Figures& f) {
    Robot r;
    if (!r.start(spin, {}, f.error)) return;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<int64_t> sends;
    std::vector<double> roundTrips;
    f.drive20Hz = r.cpuShare([&](int64_t end) {
        std::vector<uint8_t> reply;
        for (int64_t next = monotonicUs(); next < end; next += 50000) {
            sleepUntil(next);
            const int64_t sent = monotonicUs();
            if (!r.session.sendCommand(kDriveStatus)) break;
            if (r.session.readReply(reply, 5000) != ReadStatus::Ok) break;
            sends.push_back(sent);
            roundTrips.push_back(static_cast<double>(monotonicUs() - sent));
        }
    });
    int64_t offsetUs = 0, errorUs = 0;
    const bool tied = r.robot.clockOffset(100, offsetUs, errorUs);
    r.stop();
    f.roundTrip = stats(roundTrips);
    if (!tied) return;
    f.tieErrorUs = std::max(f.tieErrorUs, errorUs);
    std::vector<int64_t> written;
    for (const TraceByte& b : traceBytes(r.robot.trace())) {
        if (b.in) written.push_back(b.tUs);
    }
    std::vector<double> latency;
    for (int64_t sent : sends) {
        const int64_t sentSim = sent - offsetUs;
        auto first = std::lower_bound(written.begin(), written.end(), sentSim);
        if (first != written.end()) latency.push_back(static_cast<double>(*first - sentSim));
    }
    f.commandToLine = stats(latency);
}

Figures measure(bool spin) {
    Figures f;
    measureIdle(spin, f);
    measureSilentCamera(spin, f);
    measureTracking(spin, f);
    measureDriveCommands(spin, f);
    return f;
}

std::string percent(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", v);
    return std::isnan(v) ? "-" : text;
}

std::string latency(const Stats& s) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f / %.0f us (%zu)", s.medianUs, s.p99Us, s.samples);
    return s.samples == 0 ? "-" : text;
}

}  // namespace

int main() {
    const Figures event = measure(false);
    const Figures spin = measure(true);
    std::printf("| halvoran, CPU of one core over %d s | event-driven | spinning |\n", kMeasureSeconds);
    std::printf("|---|---|---|\n");
    std::printf("| connected, idle | %s | %s |\n", percent(event.idle).c_str(), percent(spin.idle).c_str());
    std::printf("| tracking, camera silent | %s | %s |\n", percent(event.silent).c_str(), percent(spin.silent).c_str());
    std::printf("| tracking at 25 packets/s, following | %s | %s |\n", percent(event.tracking).c_str(),
                percent(spin.tracking).c_str());
    std::printf("| 'P' at 20 Hz | %s | %s |\n", percent(event.drive20Hz).c_str(), percent(spin.drive20Hz).c_str());
    std::printf("| **latency: median / p99 (samples)** | | |\n");
    std::printf("| 'P' sent to its first byte on the line | %s | %s |\n", latency(event.commandToLine).c_str(),
                latency(spin.commandToLine).c_str());
    std::printf("| 'P' round trip | %s | %s |\n", latency(event.roundTrip).c_str(), latency(spin.roundTrip).c_str());
    std::printf("| packet on the line to its report | %s | %s |\n", latency(event.report).c_str(),
                latency(spin.report).c_str());
    std::printf("| clock tie to the simulator, error | %lld us | %lld us |\n", static_cast<long long>(event.tieErrorUs),
                static_cast<long long>(spin.tieErrorUs));
    for (const Figures* f : {&event, &spin}) {
        if (!f->error.empty()) std::printf("error (%s): %s\n", f == &event ? "event" : "spin", f->error.c_str());
    }
    return event.error.empty() && spin.error.empty() ? 0 : 1;
}
