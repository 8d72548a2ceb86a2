// Any byte stream, at any pace, with any faults: the models neither crash nor hang, never
// send a tracking packet with a 0xFF inside it, and come back to normal afterwards.
#include <gtest/gtest.h>

#include <random>

#include "sim/com2_device.h"
#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

// Bytes biased towards the ones that mean something to the devices.
uint8_t interestingByte(std::mt19937& rng) {
    static const uint8_t special[] = {0x5C, '1', '2', 0x0D, 2,   4,   31,  33,  61,  62, 63,
                                      0xFF, 't', 'c', 'w',  'd', 'f', ' ', '0', '9', 0,  0x80};
    std::uniform_int_distribution<int> pick(0, 3);
    if (pick(rng) == 0) return uint8_t(std::uniform_int_distribution<int>(0, 255)(rng));
    return special[std::uniform_int_distribution<size_t>(0, sizeof special - 1)(rng)];
}

TEST(Fuzz, RandomStreamsWithRandomFaultsAndPacing) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        sim::Config config;
        config.seed = seed;
        config.pacing = seed % 2 == 0;
        config.traceLimit = 2000;
        config.cameraLineMax = 1 + seed % 80;
        Rig rig(config);
        sim::Com2Device com2;
        std::uniform_int_distribution<int> percent(0, 30);
        const int length = std::uniform_int_distribution<int>(100, 4000)(rng);
        size_t received = 0;
        for (int i = 0; i < length; ++i) {
            if (i % 500 == 0) {
                sim::Faults f;
                f.silent = percent(rng) < 3;
                f.slowMs = uint32_t(percent(rng) < 5 ? percent(rng) : 0);
                f.garblePercent = uint32_t(percent(rng) < 10 ? percent(rng) : 0);
                f.dropPercent = uint32_t(percent(rng) < 10 ? percent(rng) : 0);
                f.unplugged = percent(rng) < 2;
                const auto device = static_cast<sim::Device>(percent(rng) % sim::kDeviceCount);
                if (device != sim::Device::Link) f.unplugged = false;
                rig.robot.setFaults(device, f);
            }
            const uint8_t b = interestingByte(rng);
            rig.send(std::vector<uint8_t>{b});
            com2.fromHost(b, rig.t);
            received += rig.wait(std::uniform_int_distribution<int>(0, 30)(rng) / 10.0).size();
        }
        received += rig.wait(5000).size();
        EXPECT_EQ(rig.robot.counts().toHost, received) << seed;

        // Back to normal: no faults, a pause that ends any partial packet, a CR that ends any
        // stream on the camera, and both devices answer again.
        rig.robot.clearFaults();
        rig.wait(100);
        rig.send(bytes({0}));  // completes a switch command that may be pending
        rig.camera();
        rig.sendText("\r");  // ends a partial line (which may start a stream or a dump)
        rig.wait(4000);      // a frame dump in progress is allowed to finish
        rig.sendText("\r");  // ends a stream, if one started
        rig.wait(10);
        rig.sendText("\r");
        EXPECT_EQ(rig.waitText(10), ":") << seed;
        rig.controller();
        EXPECT_EQ(rig.ask(bytes({2, 2, 31, 3})).size(), 5u) << seed;
        EXPECT_EQ(rig.ask(bytes({4, 2, 61, 1})).size(), 10u) << seed;
    }
}

TEST(Fuzz, TrackingPacketsNeverCarry0xFFAfterTheirStart) {
    // Every target position and confidence setting, including targets at the picture's edges.
    for (int conf : {1, 6, 100, 200, 254}) {
        sim::Config config;
        config.confidence = uint8_t(conf);
        config.world.radiusDeg = conf == 254 ? 60 : 4;  // a target larger than the picture
        Rig rig(config);
        rig.askText("tw\r", 3);
        for (int az = -40; az <= 40; az += 3) {
            rig.robot.setPath(*sim::parsePath("static " + std::to_string(az) + " " + std::to_string(-az / 2)));
            const std::vector<uint8_t> out = rig.wait(120);
            ASSERT_FALSE(out.empty());
            size_t since = 0;
            for (uint8_t b : out) {
                if (b == 0xFF) {
                    since = 0;
                    continue;
                }
                ++since;
                ASSERT_LE(since, 9u);
            }
        }
    }
}

}  // namespace
