#include "tests/support/virtual_system.h"

#include <gtest/gtest.h>

#include "app/control_state.h"
#include "app/program_objects.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "protocol/framing.h"
#include "tests/support/test_support.h"

namespace testing_support {

VirtualSystem::VirtualSystem(vt::FarEnd* com1, int minute, int second) {
    vt::reset(minute, second);
    resetControlState();
    vt::attach("COM1:", com1);
    if (!openSerialPort()) ADD_FAILURE() << "COM1: did not open";
}

VirtualSystem::~VirtualSystem() {
    releaseProgramObjects();
    resetControlState();
}

void VirtualSystem::connectClients() {
    ASSERT_TRUE(makeEndpoints());
    commandClient = vt::connectClient(5000);
    imageClient = vt::connectClient(5001);
    trackingClient = vt::connectClient(5002);
    ASSERT_TRUE(waitUntil([] {
        return control.commandEndpoint->connected.load() && control.imageEndpoint->connected.load() &&
               control.trackingEndpoint->connected.load();
    }));
}

std::vector<std::vector<uint8_t>> decodeReplies(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> payloads;
    Deframer deframer;
    for (uint8_t b : stream) {
        DeframeEvent event = deframeByte(deframer, b);
        EXPECT_NE(event, DeframeEvent::Quit);
        if (event == DeframeEvent::Packet) {
            int n = deframer.count;
            EXPECT_EQ(packetChecksum(deframer.packetBuffer, n - 1), deframer.packetBuffer[n - 1])
                << "reply with a bad checksum: " << hex({deframer.packetBuffer, deframer.packetBuffer + n});
            payloads.emplace_back(deframer.packetBuffer, deframer.packetBuffer + n - 1);
            deframer.count = 0;
        }
    }
    EXPECT_EQ(deframer.count, 0) << "unfinished frame at the end of the stream";
    return payloads;
}

std::vector<std::vector<uint8_t>> VirtualSystem::commandReplies() const {
    return decodeReplies(vt::clientReceived(commandClient));
}

std::vector<std::vector<uint8_t>> VirtualSystem::trackingReplies() const {
    return decodeReplies(vt::clientReceived(trackingClient));
}

}  // namespace testing_support
