// Seeded random command streams through the whole main loop: framed packets with every letter
// and random parameters (too short, too long, with escapes), and plain noise. Under the address
// and undefined-behaviour sanitizers this shows that no input reads or writes outside a buffer.
#include <gtest/gtest.h>

#include <random>

#include "app/control_state.h"
#include "client/lib/session.h"
#include "tests/support/command_stream.h"

namespace {

std::vector<uint8_t> randomPacket(std::mt19937& random) {
    static const char letters[] = "ABCDNPTUVWXYZQt";
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 12);
    std::vector<uint8_t> packet;
    packet.push_back(static_cast<uint8_t>(letters[random() % (sizeof letters - 1)]));
    int n = length(random);
    if (random() % 10 == 0) n = 150 + static_cast<int>(random() % 80);  // longer than any command
    for (int i = 0; i < n; ++i) packet.push_back(static_cast<uint8_t>(byte(random)));
    std::vector<uint8_t> framed = halvoran_client::frameCommand(packet);
    if (random() % 8 == 0) framed[random() % framed.size()] = static_cast<uint8_t>(byte(random));  // damage
    return framed;
}

TEST(CommandStream, RandomPacketsAndNoiseNeitherCrashNorHang) {
    testing_support::CommandStream stream;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> input;
        int pieces = 1 + static_cast<int>(random() % 4);
        for (int p = 0; p < pieces; ++p) {
            if (random() % 5 == 0) {
                for (int i = 0; i < 40; ++i) input.push_back(static_cast<uint8_t>(byte(random)));
            } else {
                std::vector<uint8_t> packet = randomPacket(random);
                input.insert(input.end(), packet.begin(), packet.end());
            }
        }
        stream.run(input.data(), input.size());
    }
    EXPECT_GT(stream.passes(), 60u);
    // Whatever came, the belief about the channel is one of the two channels.
    EXPECT_TRUE(control.cameraSelected == 0 || control.cameraSelected == 1);
}

}  // namespace
