#include "sim/types.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const char* deviceName(Device device) {
    switch (device) {
        case Device::Camera: return "camera";
        case Device::Servo: return "servo";
        case Device::Drive: return "drive";
        case Device::Link: return "link";
    }
    return "?";
}

bool parseDevice(const std::string& name, Device& out) {
    for (int i = 0; i < kDeviceCount; ++i) {
        const Device d = static_cast<Device>(i);
        if (name == deviceName(d)) {
            out = d;
            return true;
        }
    }
    return false;
}

void TimedQueue::send(uint64_t atUs, const uint8_t* data, size_t count) {
    uint64_t startNs = std::max(atUs * 1000, nextFreeNs_);
    for (size_t i = 0; i < count; ++i) {
        uint64_t doneNs = startNs;
        if (pacing_) doneNs += kByteTimeNs;
        queue_.push_back(TimedByte{(doneNs + 999) / 1000, data[i]});
        startNs = doneNs;
    }
    nextFreeNs_ = startNs;
}

std::string formatTrace(const TraceEntry& entry) {
    char head[64];
    std::snprintf(head, sizeof head, "%llu ", static_cast<unsigned long long>(entry.tUs));
    std::string line = head;
    switch (entry.kind) {
        case TraceEntry::Kind::In:
        case TraceEntry::Kind::Out: {
            char hex[8];
            std::snprintf(hex, sizeof hex, " %02x", entry.byte);
            line += entry.kind == TraceEntry::Kind::In ? "in " : "out ";
            line += entry.where;
            line += hex;
            break;
        }
        case TraceEntry::Kind::Event:
            line += "event ";
            line += entry.where;
            line += ' ';
            line += entry.text;
            break;
    }
    return line;
}

}  // namespace sim
