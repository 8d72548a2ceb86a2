#include "tests/support/test_support.h"

#include <cstdio>
#include <sstream>

namespace testing_support {

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char item[4];
    for (uint8_t b : bytes) {
        std::snprintf(item, sizeof item, "%02X", b);
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& hexText) {
    std::vector<uint8_t> out;
    std::istringstream in(hexText);
    std::string item;
    while (in >> item) out.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
    return out;
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> framed(const std::vector<uint8_t>& packetWithChecksum) {
    std::vector<uint8_t> bytes = {0xFF, 0x38};
    for (uint8_t b : packetWithChecksum) {
        bytes.push_back(b);
        if (b == 0xFF) bytes.push_back(0xFF);
    }
    bytes.push_back(0xFF);
    bytes.push_back(0x37);
    return bytes;
}

}  // namespace testing_support
