// libFuzzer target: any byte stream into the simulated robot and the COM2 device.
// The first bytes of the input choose the faults and the time steps; the rest is the stream.
#include <cstddef>
#include <cstdint>

#include "sim/com2_device.h"
#include "sim/robot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    sim::Config config;
    config.pacing = data[0] & 1;
    config.traceLimit = 1000;
    config.faults[size_t(sim::Device::Link)].garblePercent = (data[0] >> 1) & 7;
    config.faults[size_t(sim::Device::Camera)].dropPercent = (data[0] >> 4) & 7;
    sim::Robot robot(config);
    sim::Com2Device com2;
    const uint32_t step = 1 + data[1] * 50u;
    uint64_t t = 0;
    uint8_t out;
    for (size_t i = 2; i < size; ++i) {
        robot.fromHost(data[i], t);
        com2.fromHost(data[i], t);
        t += step;
        while (robot.toHost(t, out)) {
        }
    }
    t += 2000000;
    while (robot.toHost(t, out)) {
    }
    return 0;
}
