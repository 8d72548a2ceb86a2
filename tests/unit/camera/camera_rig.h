// What the camera tests share: the system in virtual time on a scripted far end with the three
// clients connected, and a way to hand it a command packet as the deframer would.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/control_state.h"
#include "protocol/dispatcher.h"
#include "protocol/framing.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

namespace camera_test {

using testing_support::bytesOf;
using testing_support::hex;
using testing_support::text;

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override { system.connectClients(); }

    // Dispatches letter and parameters with their checksum, in a packet buffer of the
    // deframer's size whose unused part holds 0xEE, so that a handler reading past the packet
    // would show it.
    void dispatch(const std::vector<uint8_t>& packet) {
        uint8_t buffer[PACKET_BUFFER_SIZE];
        std::fill(buffer, buffer + PACKET_BUFFER_SIZE, 0xEE);
        std::copy(packet.begin(), packet.end(), buffer);
        buffer[packet.size()] = packetChecksum(packet.data(), static_cast<int>(packet.size()));
        dispatchCommand(buffer, static_cast<int32_t>(packet.size() + 1));
    }

    // Puts bytes in the receive ring now.
    void arrive(const std::vector<uint8_t>& bytes) {
        device.sendAt(vt::nowUs(), bytes);
        vt::deliverDue();
    }

    std::vector<std::vector<uint8_t>> replies() const { return system.commandReplies(); }
    std::vector<std::vector<uint8_t>> reports() const { return system.trackingReplies(); }
    std::string trace() const { return vt::traceText(); }

    testing_support::ScriptedDevice device;
    testing_support::VirtualSystem system{&device};
};

// n copies of a pause in trace notation, e.g. pauses(50, 3) == "(50) (50) (50)".
inline std::string pauses(int ms, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " (" : "(") + std::to_string(ms) + ")";
    return out;
}

// An answer rule: once the device has received `after` (anywhere at the end of what it got),
// it sends `answer`.
inline testing_support::ScriptedDevice::Rule answerAfter(std::vector<uint8_t> after, std::vector<uint8_t> answer) {
    return [after, answer](const std::vector<uint8_t>& received) {
        if (received.size() >= after.size() && std::equal(after.begin(), after.end(), received.end() - after.size())) {
            return answer;
        }
        return std::vector<uint8_t>{};
    };
}

}  // namespace camera_test
