// What the flight recorder costs, recording off and on side by side on the simulated robot
// (halvoran-sim paced at 115200 baud, halvoran as processes; on: HALVORAN_RECORD_DIR set):
//   tracking CPU     the share of one core that the halvoran process (all its threads, the
//                    recorder's writer included) used over 10 s of tracking ('T', following on)
//                    at the simulated camera's full packet rate, a target going round a circle
//   bytes per hour   the recording's size after that run, scaled to an hour
//   command to line  a client's send of a 'P' (drive status read, 20 a second for 10 s) to the
//                    first byte halvoran puts on the serial line (its time in the simulator's
//                    trace, the clocks tied by the sample with the shortest round trip)
//   P round trip     the send of that 'P' to the arrival of its reply
//
//   unshare -n sh -c 'ip link set lo up && nice build/bench/bench_recorder_overhead'
//
// It needs the ports 5000 to 5002 free (hence the private network namespace) and runs about a
// minute. A plain program: it prints one table.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
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
using bench::writtenTimes;

using testing_support::monotonicUs;

namespace {

using halvoran_client::ReadStatus;

constexpr int kMeasureSeconds = 10;
const std::vector<uint8_t> kTrackBoth = {'T', 0, 255, 150, 255, 0, 255};
const std::vector<uint8_t> kDriveStatus = {'P', 0, 0, 0, 0, 0, 0};

uint64_t folderBytes(const std::string& dir) {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) total += e.file_size(ec);
    return total;
}

struct Figures {
    double trackingCpu = NAN;
    double bytesPerHour = NAN;
    std::vector<double> commandToLine, roundTrip;
    std::string error;
};

struct Robot {
    bool start(bool record, const std::vector<std::string>& simOptions, std::string& error) {
        std::vector<std::string> env;
        if (record) env.push_back("HALVORAN_RECORD_DIR=" + robot.directory() + "/recordings");
        return robot.startSimulator(simOptions, error) && robot.startHalvoran(error, env) &&
               session.connect("127.0.0.1", 10000, error);
    }
    void stop() {
        session.sendQuit();
        robot.waitHalvoranExit(10000);
    }
    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
};

void measureTracking(bool record, Figures& f) {
    Robot r;
    std::vector<uint8_t> reply;
    if (!r.start(record, {"--world", "circle 0 0 6 2"}, f.error)) return;
    if (!r.session.sendCommand(kTrackBoth) || r.session.readReply(reply, 5000) != ReadStatus::Ok) {
        f.error = "tracking did not start";
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const pid_t pid = r.robot.halvoran().pid();
    const int64_t cpu0 = cpuUs(pid), t0 = monotonicUs();
    std::array<uint8_t, 8> report{};
    while (monotonicUs() < t0 + kMeasureSeconds * 1000000LL) r.session.readTrackReport(report, 200);
    const int64_t cpu1 = cpuUs(pid), t1 = monotonicUs();
    f.trackingCpu = 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0);
    r.session.sendCommand({'N'});
    r.session.readReply(reply, 5000);
    r.stop();
    if (record) {
        // The whole session was about a second longer than the measured part.
        const double seconds = static_cast<double>(t1 - t0) / 1e6 + 1.0;
        f.bytesPerHour = static_cast<double>(folderBytes(r.robot.directory() + "/recordings")) * 3600.0 / seconds;
    }
}

void measureDriveCommands(bool record, Figures& f) {
    Robot r;
    if (!r.start(record, {}, f.error)) return;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<int64_t> sends;
    std::vector<uint8_t> reply;
    const int64_t end = monotonicUs() + kMeasureSeconds * 1000000LL;
    for (int64_t next = monotonicUs(); next < end; next += 50000) {
        const int64_t now = monotonicUs();
        if (next > now) std::this_thread::sleep_for(std::chrono::microseconds(next - now));
        const int64_t sent = monotonicUs();
        if (!r.session.sendCommand(kDriveStatus) || r.session.readReply(reply, 5000) != ReadStatus::Ok) break;
        sends.push_back(sent);
        f.roundTrip.push_back(static_cast<double>(monotonicUs() - sent));
    }
    int64_t offsetUs = 0, errorUs = 0;
    const bool tied = r.robot.clockOffset(100, offsetUs, errorUs);
    r.stop();
    if (!tied) return;
    const std::vector<int64_t> written = writtenTimes(r.robot.trace());
    for (int64_t sent : sends) {
        auto first = std::lower_bound(written.begin(), written.end(), sent - offsetUs);
        if (first != written.end()) f.commandToLine.push_back(static_cast<double>(*first - (sent - offsetUs)));
    }
}

std::string latency(const std::vector<double>& v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f / %.0f us (%zu)", percentile(v, 0.5), percentile(v, 0.99), v.size());
    return v.empty() ? "-" : text;
}

}  // namespace

int main() {
    Figures off, on;
    measureTracking(false, off);
    measureTracking(true, on);
    measureDriveCommands(false, off);
    measureDriveCommands(true, on);
    std::printf("| halvoran | recording off | recording on |\n|---|---|---|\n");
    std::printf("| CPU of one core, tracking at the camera's rate, %d s | %.1f %% | %.1f %% |\n", kMeasureSeconds,
                off.trackingCpu, on.trackingCpu);
    std::printf("| recording, bytes per hour of tracking | - | %.1f MB |\n", on.bytesPerHour / 1e6);
    std::printf("| 'P' sent to its first byte on the line, median / p99 | %s | %s |\n",
                latency(off.commandToLine).c_str(), latency(on.commandToLine).c_str());
    std::printf("| 'P' round trip, median / p99 | %s | %s |\n", latency(off.roundTrip).c_str(),
                latency(on.roundTrip).c_str());
    for (const Figures* f : {&off, &on})
        if (!f->error.empty()) std::printf("error (%s): %s\n", f == &off ? "off" : "on", f->error.c_str());
    return off.error.empty() && on.error.empty() ? 0 : 1;
}
