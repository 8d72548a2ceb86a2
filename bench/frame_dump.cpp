// The frame dump through the whole system: the client sends 'D' and reads the image port until
// the last byte of the frame has come, halvoran on halvoran-sim paced at 115200 baud. The
// simulated camera's output ("ACK\r", the frame, ':') is 34474 bytes, close to the largest the
// system accepts (34645).
//
// The floor: the pauses the dump must take (10 ms after the switch to the controller, 10 ms after
// the drive stop, 2 x 10 ms after the switches to the camera and 100 ms after its CR; then 250 ms
// after each of the 17 full 2000-byte chunks: 4390 ms) plus the line time of the camera's output
// (34474 bytes at 86.8 us: 2993 ms). The camera's own 2 ms before it answers and the bytes
// halvoran writes (which go out during its pauses) are left out, so the floor is a little low.
//
//   build-camera/bench/bench_frame_dump --benchmark_counters_tabular=true
//
// It needs the ports 5000 to 5002 free.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "client/lib/session.h"
#include "sim/frame_format.h"
#include "tests/support/robot_processes.h"

using bench::percentile;

namespace {

using halvoran_client::ReadStatus;

constexpr double kByteUs = 1e6 * 10 / 115200;
constexpr size_t kOutput = 4 + sim::frame::kFrameBytes;
constexpr double kPausesUs = (10 + 10 + 2 * 10 + 100) * 1000.0 + (kOutput / 2000) * 250000.0;
constexpr double kFloorUs = kPausesUs + kOutput * kByteUs;

// 'D' and the whole frame; false when either did not come.
bool dump(halvoran_client::Session& session) {
    std::vector<uint8_t> reply, image;
    if (!session.sendCommand({'D'}) || session.readReply(reply, 5000) != ReadStatus::Ok ||
        reply != std::vector<uint8_t>{0}) {
        return false;
    }
    return session.readImage(image, kOutput, 6000) == kOutput && image.back() == ':';
}

void BM_FrameDump(benchmark::State& state) {
    testing_support::SimulatedRobot robot;
    std::string error;
    halvoran_client::Session session;
    if (!robot.start(error) || !session.connect("127.0.0.1", 10000, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    // The first dump starts on the controller channel; every timed one on the camera channel.
    if (!dump(session)) {
        state.SkipWithError("the first frame did not come whole");
        return;
    }
    std::vector<double> totalUs;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        const bool whole = dump(session);
        auto t1 = std::chrono::steady_clock::now();
        if (!whole) {
            state.SkipWithError("a frame did not come whole");
            break;
        }
        const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        state.SetIterationTime(us / 1e6);
        totalUs.push_back(us);
    }
    session.sendQuit();
    robot.waitHalvoranExit(5000);
    if (totalUs.empty()) return;
    const double median = percentile(totalUs, 0.5);
    state.counters["bytes"] = static_cast<double>(kOutput);
    state.counters["median_ms"] = median / 1000;
    state.counters["max_ms"] = *std::max_element(totalUs.begin(), totalUs.end()) / 1000;
    state.counters["floor_ms"] = kFloorUs / 1000;
    state.counters["over_floor_ms"] = (median - kFloorUs) / 1000;
}

BENCHMARK(BM_FrameDump)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
