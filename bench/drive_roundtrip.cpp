// The round trip of one drive command through the whole system: the client sends a 'P' that sets
// the speed and moves servos 0, 1 and 2 (the drive already running, the servos already on),
// halvoran sends the module packets to halvoran-sim (paced at 115200 baud) and reads the two
// status replies, and the client reads the 12-byte answer.
//
// The floor: the pauses the command must take (the four 10 ms waits after the speed and the
// three position packets, and the 10 ms wait that each of the two status reads takes after its
// first poll, since a reply cannot be on the line the moment its request has gone out: 60 ms)
// plus 86.8 us of line time for every byte on the serial line in either direction (44 bytes,
// 3.8 ms). On this path the line time hides behind the waits (a packet goes out while the wait
// after it runs, and each status reply arrives within the poll wait), so a round trip can come
// in below the floor; the overhead is therefore given both above the floor and above the
// pauses alone. The overhead is what halvoran, the pseudo-terminal, TCP and the simulator add.
//
//   build-motion/bench/bench_drive_roundtrip
//
// It needs the ports 5000 to 5002 free.
#include <benchmark/benchmark.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "client/lib/session.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using bench::percentile;

namespace {

using testing_support::ChildProcess;

constexpr double kByteUs = 1e6 * 10 / 115200;  // 10 bits a byte on the line: 86.8 us
// Host to modules: speed 6, three positions 5 each, the two status requests 4 each; modules to
// host: the drive status 10 and the servo-module value 5.
constexpr int kLineBytes = 6 + 3 * 5 + 4 + 4 + 10 + 5;
constexpr double kWaitsUs = 4 * 10000 + 2 * 10000;
constexpr double kFloorUs = kWaitsUs + kLineBytes * kByteUs;

constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02, MOVE_SERVOS = 0x04 | 0x08 | 0x10;

class RobotUnderTest {
public:
    bool start(std::string& error) {
        std::string taken;
        if (!testing_support::portsFree({5000, 5001, 5002}, taken)) {
            error = "port " + taken + " is taken";
            return false;
        }
        dir_ = testing_support::makeTempDir("halvoran-bench-drive");
        const std::string link = dir_ + "/com1", out = dir_ + "/sim.out";
        if (!sim_.start({HALVORAN_SIM_BIN, "--link", link, "--no-com2"}, {}, dir_ + "/sim.err", out) ||
            !testing_support::waitUntil(
                [&] { return testing_support::readFile(out).find("ready\n") != std::string::npos; })) {
            error = "halvoran-sim did not start: " + testing_support::readFile(dir_ + "/sim.err");
            return false;
        }
        if (!halvoran_.start({HALVORAN_BIN}, {"HALVORAN_COM1=" + link, "HALVORAN_HEADLESS=1"},
                             dir_ + "/halvoran.err")) {
            error = "halvoran did not start";
            return false;
        }
        if (!session.connect("127.0.0.1", 5000, error)) return false;
        return true;
    }
    void stop() {
        session.sendQuit();
        int code = 0;
        if (!halvoran_.waitExit(5000, code)) halvoran_.signal(SIGKILL);
        sim_.signal(SIGTERM);
        if (!sim_.waitExit(5000, code)) sim_.signal(SIGKILL);
    }
    halvoran_client::Session session;

private:
    std::string dir_;
    ChildProcess sim_, halvoran_;
};

void BM_DriveCommandRoundTrip(benchmark::State& state) {
    RobotUnderTest robot;
    std::string error;
    if (!robot.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    // Start the drive with no drive timeout and switch the three servos on.
    std::vector<uint8_t> reply;
    robot.session.sendCommand({'P', 0, 20, 127, 127, 127, SET_DRIVE_TIMEOUT | SET_SPEED | MOVE_SERVOS});
    if (robot.session.readReply(reply, 3000) != halvoran_client::ReadStatus::Ok || reply.size() != 12 ||
        reply[0] != 0 || reply[1] != 0x07 || reply[2] != 1) {
        robot.stop();
        std::string got = "the drive did not start or the servos did not come on: " + testing_support::hex(reply);
        state.SkipWithError(got.c_str());
        return;
    }

    std::vector<double> roundTripUs;
    uint8_t position = 100;
    for (auto _ : state) {
        position = position == 100 ? 150 : 100;
        auto t0 = std::chrono::steady_clock::now();
        robot.session.sendCommand({'P', 0, 30, position, position, position, SET_SPEED | MOVE_SERVOS});
        auto status = robot.session.readReply(reply, 3000);
        auto t1 = std::chrono::steady_clock::now();
        if (status != halvoran_client::ReadStatus::Ok || reply.size() != 12 || reply[0] != 0) {
            state.SkipWithError("no status reply, or a failure reply");
            break;
        }
        double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        state.SetIterationTime(us / 1e6);
        roundTripUs.push_back(us);
    }
    robot.stop();
    if (roundTripUs.empty()) return;
    const double median = percentile(roundTripUs, 0.5), p99 = percentile(roundTripUs, 0.99);
    state.counters["rtt_median_ms"] = median / 1000;
    state.counters["rtt_p99_ms"] = p99 / 1000;
    state.counters["floor_ms"] = kFloorUs / 1000;
    state.counters["over_floor_median_ms"] = (median - kFloorUs) / 1000;
    state.counters["over_floor_p99_ms"] = (p99 - kFloorUs) / 1000;
    state.counters["over_pauses_median_ms"] = (median - kWaitsUs) / 1000;
    state.counters["over_pauses_p99_ms"] = (p99 - kWaitsUs) / 1000;
}

BENCHMARK(BM_DriveCommandRoundTrip)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
