// A small driver for the device models in tests: bytes in at the current time, everything the
// robot has put on the line collected up to a later time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/robot.h"

namespace simtest {

class Rig {
public:
    explicit Rig(const sim::Config& config = sim::Config()) : robot(config) {}

    // Bytes the host writes now.
    void send(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) robot.fromHost(b, t);
    }
    void sendText(const std::string& text) {
        for (char c : text) robot.fromHost(uint8_t(c), t);
    }
    void controller() { send({0x5C, '2'}); }
    void camera() { send({0x5C, '1'}); }

    // Lets ms milliseconds pass and returns what arrived meanwhile.
    std::vector<uint8_t> wait(double ms) {
        t += uint64_t(ms * 1000);
        std::vector<uint8_t> out;
        uint8_t b;
        while (robot.toHost(t, b)) out.push_back(b);
        return out;
    }
    std::string waitText(double ms) {
        const std::vector<uint8_t> b = wait(ms);
        return std::string(b.begin(), b.end());
    }
    // Sends a request and returns what came back within ms milliseconds.
    std::vector<uint8_t> ask(const std::vector<uint8_t>& bytes, double ms = 10) {
        send(bytes);
        return wait(ms);
    }
    std::string askText(const std::string& line, double ms = 10) {
        sendText(line);
        return waitText(ms);
    }

    sim::Robot robot;
    uint64_t t = 0;
};

inline std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int x : list) v.push_back(uint8_t(x));
    return v;
}

}  // namespace simtest
