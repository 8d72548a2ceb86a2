#include "sim/com2_device.h"

namespace sim {

namespace {
constexpr size_t kPacketsKept = 100000;
}

uint8_t Com2Device::checksum(const uint8_t* v) {
    unsigned sum = 0;
    for (int i = 0; i < 6; ++i) sum += v[i];
    return uint8_t(sum & 0xFF);
}

void Com2Device::fromHost(uint8_t byte, uint64_t tUs) {
    ++bytes_;
    window_.push_back(byte);
    if (window_.size() < 9) return;
    if (window_[0] == 0xFF && window_[8] == 0xFF) {
        uint8_t v[6];
        for (int i = 0; i < 6; ++i) v[i] = window_[size_t(i) + 1];
        if (checksum(v) == window_[7]) {
            Com2Packet p;
            p.tUs = tUs;
            for (int i = 0; i < 5; ++i) p.values[size_t(i)] = v[i];
            p.flags = v[5];
            if (packets_.size() >= kPacketsKept) packets_.erase(packets_.begin());
            packets_.push_back(p);
        } else {
            ++bad_;
        }
        window_.clear();
        return;
    }
    window_.pop_front();
    ++junk_;
}

}  // namespace sim
