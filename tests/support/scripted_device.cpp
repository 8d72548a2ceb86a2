#include "tests/support/scripted_device.h"

#include <algorithm>
#include <iterator>

namespace testing_support {

void ScriptedDevice::sendAt(uint64_t atUs, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    for (uint8_t b : bytes) pending_.emplace_back(atUs, b);
    std::stable_sort(pending_.begin(), pending_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

void ScriptedDevice::answer(Rule rule, uint64_t delayUs) {
    std::lock_guard<std::mutex> hold(lock_);
    rule_ = std::move(rule);
    delayUs_ = delayUs;
}

std::vector<uint8_t> ScriptedDevice::received() const {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

void ScriptedDevice::fromHost(uint8_t byte, uint64_t tUs) {
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        received_.push_back(byte);
        if (rule_) reply = rule_(received_);
    }
    if (!reply.empty()) sendAt(tUs + delayUs_, reply);
}

bool ScriptedDevice::toHost(uint64_t nowUs, uint8_t& byte) {
    std::lock_guard<std::mutex> hold(lock_);
    if (pending_.empty() || pending_.front().first > nowUs) return false;
    byte = pending_.front().second;
    pending_.pop_front();
    return true;
}

ScriptedDevice::Rule driveReadsStopped() {
    return [](const std::vector<uint8_t>& got) {
        const uint8_t readBack[] = {0x04, 0x03, 0x3F, 0x01, 0x00};
        if (got.size() >= 5 && std::equal(std::begin(readBack), std::end(readBack), got.end() - 5))
            return std::vector<uint8_t>{0x04, 0x05, 0x3F, 0x01, 0x00, 0x00, 0x00};
        return std::vector<uint8_t>{};
    };
}

}  // namespace testing_support
