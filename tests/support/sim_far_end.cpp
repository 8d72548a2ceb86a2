#include "tests/support/sim_far_end.h"

void SimFarEnd::fromHost(uint8_t byte, uint64_t tUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    robot_.fromHost(byte, tUs);
}

bool SimFarEnd::toHost(uint64_t nowUs, uint8_t& byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    return robot_.toHost(nowUs, byte);
}

void SimCom2FarEnd::fromHost(uint8_t byte, uint64_t tUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_.fromHost(byte, tUs);
}

bool SimCom2FarEnd::toHost(uint64_t nowUs, uint8_t& byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_.toHost(nowUs, byte);
}
