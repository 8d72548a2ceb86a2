// The system's objects in virtual time, for unit tests of its handlers: the control state at
// its initial values, the serial port "COM1:" on a far end of the test's choice, and (on request)
// the three endpoints with a virtual client on each.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/virtual/virtual_time.h"

namespace testing_support {

class VirtualSystem {
public:
    // A fresh virtual world at the given clock reading, the control state reset, "COM1:" on
    // com1 (opened, its reader thread running).
    explicit VirtualSystem(vt::FarEnd* com1, int minute = 10, int second = 0);
    ~VirtualSystem();
    VirtualSystem(const VirtualSystem&) = delete;
    VirtualSystem& operator=(const VirtualSystem&) = delete;

    // The three endpoints on 5000, 5001, 5002, each with a connected virtual client.
    void connectClients();

    // Payloads of the replies the command client (or the tracking client) received, decoded;
    // a reply with a bad checksum or a malformed frame fails the test.
    std::vector<std::vector<uint8_t>> commandReplies() const;
    std::vector<std::vector<uint8_t>> trackingReplies() const;

    int commandClient = -1;
    int imageClient = -1;
    int trackingClient = -1;
};

// Decodes a stream of reply frames into their payloads (checksums checked with gtest).
std::vector<std::vector<uint8_t>> decodeReplies(const std::vector<uint8_t>& stream);

}  // namespace testing_support
