// The device on the menu mode's second serial port.
#include <gtest/gtest.h>

#include "sim/com2_device.h"
#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;

namespace {

void feed(sim::Com2Device& d, const std::vector<uint8_t>& b, uint64_t t = 0) {
    for (uint8_t x : b) d.fromHost(x, t);
}

TEST(Com2Device, RecordsTheMenuModesPackets) {
    sim::Com2Device d;
    feed(d, bytes({0xFF, 100, 0, 0, 150, 90, 25, 109, 0xFF}), 10);  // follow start
    feed(d, bytes({0xFF, 0, 0xC8, 0, 0, 0, 2, 0xCA, 0xFF}), 20);    // steer 200
    feed(d, bytes({0xFF, 0, 0xFF, 0, 0, 0, 2, 0x01, 0xFF}), 30);    // steer 255: a value of 0xFF
    feed(d, bytes({0xFF, 0, 0, 0, 0, 0, 1, 1, 0xFF}), 40);          // STOP
    ASSERT_EQ(d.packets().size(), 4u);
    EXPECT_EQ(d.packets()[0].drive(), 100);
    EXPECT_EQ(d.packets()[0].values[3], 150);
    EXPECT_EQ(d.packets()[0].values[4], 90);
    EXPECT_EQ(d.packets()[0].flags, 25);
    EXPECT_EQ(d.packets()[1].steer(), 200);
    EXPECT_EQ(d.packets()[2].steer(), 255);
    EXPECT_EQ(d.packets()[3].drive(), 0);
    EXPECT_EQ(d.packets()[3].flags, 1);
    EXPECT_EQ(d.packets()[3].tUs, 40u);
    EXPECT_EQ(d.badPackets(), 0u);
    EXPECT_EQ(d.junkBytes(), 0u);
    uint8_t b = 0;
    EXPECT_FALSE(d.toHost(1000, b));  // it never sends
}

TEST(Com2Device, CountsBadChecksumsAndFindsPacketsAfterJunk) {
    sim::Com2Device d;
    feed(d, bytes({0xFF, 1, 2, 3, 4, 5, 6, 99, 0xFF}));  // checksum should be 21
    EXPECT_EQ(d.badPackets(), 1u);
    feed(d, bytes({0x0D, 0x41, 7}));
    feed(d, bytes({0xFF, 1, 2, 3, 4, 5, 6, 21, 0xFF}));
    ASSERT_EQ(d.packets().size(), 1u);
    EXPECT_EQ(d.packets()[0].values[4], 5);
    EXPECT_EQ(d.junkBytes(), 3u);
    EXPECT_EQ(d.bytesReceived(), 21u);
}

}  // namespace
