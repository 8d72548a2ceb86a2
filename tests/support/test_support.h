// Helpers shared by the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Waits in real time until done() holds, at most timeoutMs; returns whether it held. For the
// integration tests and for threads of the system under test, never for the virtual clock.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// "5C 32 0D" for the bytes 0x5C 0x32 0x0D.
std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> bytesOf(const std::string& hexText);

// A command packet whose last byte is already its checksum, framed as a client sends it: the
// start escape, the bytes with 0xFF doubled, the end escape.
std::vector<uint8_t> framed(const std::vector<uint8_t>& packetWithChecksum);

// A string's bytes (without a terminator).
std::vector<uint8_t> text(const std::string& s);

}  // namespace testing_support
