// A seeded short run of the serial-side fuzz programme: random valid commands while the modules
// and the camera misbehave and stray bytes arrive; after the drive timeout the drive stands.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/support/serial_side_stream.h"

namespace {

TEST(SerialSide, TheDriveStandsAfterItsTimeoutWhateverTheLineBrings) {
    std::mt19937 random(20261207);
    uint32_t commands = 0, injected = 0;
    for (int run = 0; run < 12; ++run) {
        std::vector<uint8_t> input(400);
        for (uint8_t& b : input) b = uint8_t(random());
        const testing_support::SerialSideOutcome outcome = testing_support::runSerialSide(input.data(), input.size());
        EXPECT_TRUE(outcome.driveStopped) << "run " << run << ": " << outcome.detail;
        commands += outcome.commands;
        injected += outcome.injected;
    }
    // The runs did what they are for.
    EXPECT_GT(commands, 100u);
    EXPECT_GT(injected, 500u);
}

}  // namespace
