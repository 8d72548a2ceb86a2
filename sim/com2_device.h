// The device on the menu mode's second serial port ("COM2:"): it receives 9-byte packets
//   0xFF, value 1 .. value 5, flags, checksum (sum of bytes 1..6 modulo 256), 0xFF
// and records what it was told. It sends nothing.
//
// Framing: the device looks at the last nine bytes received. When they start and end with
// 0xFF and the checksum matches, they are a packet (recorded, window emptied). When they start
// and end with 0xFF but the checksum does not match, they count as a bad packet (window
// emptied). Otherwise the oldest byte is thrown away as junk and the device goes on looking.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/types.h"

namespace sim {

struct Com2Packet {
    uint64_t tUs = 0;
    std::array<uint8_t, 5> values{};
    uint8_t flags = 0;
    // Value 1 is the drive and value 2 the steering of the menu mode.
    uint8_t drive() const { return values[0]; }
    uint8_t steer() const { return values[1]; }
};

class Com2Device {
public:
    void fromHost(uint8_t byte, uint64_t tUs);
    bool toHost(uint64_t /*nowUs*/, uint8_t& /*byte*/) { return false; }

    const std::vector<Com2Packet>& packets() const { return packets_; }
    uint32_t badPackets() const { return bad_; }
    uint32_t junkBytes() const { return junk_; }
    uint64_t bytesReceived() const { return bytes_; }
    // Checksum of a packet's bytes 1..6.
    static uint8_t checksum(const uint8_t* valuesAndFlags);

private:
    std::deque<uint8_t> window_;
    std::vector<Com2Packet> packets_;
    uint32_t bad_ = 0, junk_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace sim
