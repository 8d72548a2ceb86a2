// Framing, escaping, checksums and the deframer of the command port.
#include <gtest/gtest.h>

#include "app/control_state.h"
#include "net/tcp_endpoint.h"
#include "protocol/framing.h"
#include "protocol/send_reply.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

using testing_support::bytesOf;
using testing_support::hex;

namespace {

// Feeds chunks to a deframer the way the main loop does; returns the packets and whether the
// quit escape came.
struct Deframed {
    std::vector<std::string> packets;
    bool quit = false;
};

Deframed deframeChunks(Deframer& deframer, const std::vector<std::string>& chunks) {
    Deframed result;
    for (const std::string& chunk : chunks) {
        for (uint8_t b : bytesOf(chunk)) {
            DeframeEvent event = deframeByte(deframer, b);
            if (event == DeframeEvent::Packet) {
                result.packets.push_back(hex({deframer.packetBuffer, deframer.packetBuffer + deframer.count}));
                deframer.count = 0;
            } else if (event == DeframeEvent::Quit) {
                result.quit = true;
                return result;
            }
        }
    }
    return result;
}

Deframed deframe(const std::vector<std::string>& chunks) {
    Deframer deframer;
    return deframeChunks(deframer, chunks);
}

TEST(Checksum, IsTheSumModulo256AndZeroForNoBytes) {
    uint8_t p[] = {0x50, 0x05, 0x80, 0x7F, 0x7F, 0x7F, 0x03};
    EXPECT_EQ(packetChecksum(p, 7), 0x55);
    EXPECT_EQ(packetChecksum(p, 0), 0);
    EXPECT_EQ(packetChecksum(p, -3), 0);
    uint8_t wrap[] = {0xFF, 0xFF, 0x03};
    EXPECT_EQ(packetChecksum(wrap, 3), 0x01);
}

TEST(Escape, DoublesEveryFF) {
    uint8_t src[] = {0x00, 0xFF, 0x37, 0xFF, 0xFF};
    uint8_t dest[10];
    ASSERT_EQ(escapeBytes(dest, src, 5), 8);
    EXPECT_EQ(hex({dest, dest + 8}), "00 FF FF 37 FF FF FF FF");
}

class SendReplyTest : public ::testing::Test {
protected:
    void SetUp() override { system.connectClients(); }
    std::string sent() { return hex(vt::clientReceived(system.commandClient)); }
    testing_support::ScriptedDevice device;
    testing_support::VirtualSystem system{&device};
};

TEST_F(SendReplyTest, FramesPayloadAndChecksumWithFFDoubled) {
    uint8_t zero = 0x00, one = 0x01, two = 0x02;
    EXPECT_EQ(sendReply(&zero, 1, control.commandEndpoint), 1);
    EXPECT_EQ(sent(), "FF 38 00 00 FF 37");
    vt::clientSends(system.commandClient);
    sendReply(&one, 1, control.commandEndpoint);
    sendReply(&two, 1, control.commandEndpoint);
    uint8_t withFF[] = {0x00, 0xFF};
    sendReply(withFF, 2, control.commandEndpoint);
    EXPECT_EQ(sent(), "FF 38 00 00 FF 37 FF 38 01 01 FF 37 FF 38 02 02 FF 37 FF 38 00 FF FF FF FF FF 37");
    // Each reply leaves in one send.
    EXPECT_EQ(vt::clientSends(system.commandClient).size(), 4u);
}

TEST_F(SendReplyTest, RefusesAPayloadWhoseEscapedFormDoesNotFit) {
    // 125 bytes of 0xFF and their checksum (0x83) escape to 251 bytes: the largest that fits
    // whatever its content.
    std::vector<uint8_t> fits(125, 0xFF);
    EXPECT_EQ(sendReply(fits.data(), 125, control.commandEndpoint), 1);
    std::vector<uint8_t> tooLong(126, 0xFF);
    EXPECT_EQ(sendReply(tooLong.data(), 126, control.commandEndpoint), 0);
    std::vector<uint8_t> huge(300, 0x01);
    EXPECT_EQ(sendReply(huge.data(), 300, control.commandEndpoint), 0);
    auto replies = system.commandReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], fits);
}

TEST_F(SendReplyTest, SendsNothingWithoutAClient) {
    uint8_t zero = 0;
    control.commandEndpoint->close();
    EXPECT_EQ(sendReply(&zero, 1, control.commandEndpoint), 0);
}

TEST(Deframer, TakesThePacketsOfTheExamples) {
    EXPECT_EQ(deframe({"FF 38 4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
    EXPECT_EQ(deframe({"FF 38 50 05 80 7F 7F 7F 03 55 FF 37"}).packets,
              std::vector<std::string>{"50 05 80 7F 7F 7F 03 55"});
    EXPECT_EQ(deframe({"FF 38 00 FF FF FF FF FF 37"}).packets, std::vector<std::string>{"00 FF FF"});
}

TEST(Deframer, APacketSplitAcrossReceivesIsTakenOnceAfterItsEnd) {
    for (const auto& chunks : std::vector<std::vector<std::string>>{
             {"FF 38 50 05 80", "7F 7F 7F 03 55 FF 37"},
             {"FF", "38 4E 4E FF 37"},
             {"FF 38 4E 4E FF", "37"},
             {"FF 38 00 FF", "FF 01 FF 37"},
         }) {
        Deframer deframer;
        Deframed first = deframeChunks(deframer, {chunks[0]});
        EXPECT_TRUE(first.packets.empty());
        Deframed second = deframeChunks(deframer, {chunks[1]});
        EXPECT_EQ(second.packets.size(), 1u) << chunks[0] << " | " << chunks[1];
    }
    Deframer deframer;
    deframeChunks(deframer, {"FF 38 00 FF"});
    EXPECT_EQ(deframeChunks(deframer, {"FF 01 FF 37"}).packets, std::vector<std::string>{"00 FF 01"});
}

TEST(Deframer, TwoFramesInOneChunkComeInOrder) {
    EXPECT_EQ(deframe({"FF 38 4E 4E FF 37 FF 38 74 74 FF 37"}).packets, (std::vector<std::string>{"4E 4E", "74 74"}));
}

TEST(Deframer, AStartMarkerOrAnUnknownEscapeDropsWhatWasCollected) {
    EXPECT_EQ(deframe({"FF 38 50 05 FF 38 4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
    EXPECT_EQ(deframe({"FF 38 50 05 FF 41 4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
    // Without a start marker the bytes are collected all the same.
    EXPECT_EQ(deframe({"4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
}

TEST(Deframer, TheQuitEscapeStopsEverythingAfterIt) {
    Deframed result = deframe({"FF 38 4E 4E FF 37 FF 36 FF 38 74 74 FF 37"});
    EXPECT_TRUE(result.quit);
    EXPECT_EQ(result.packets, std::vector<std::string>{"4E 4E"});
    EXPECT_TRUE(deframe({"FF 38 50 FF", "36"}).quit);
}

TEST(Deframer, AnEndMarkerWithNothingCollectedIsDropped) {
    EXPECT_TRUE(deframe({"FF 37", "FF 38 FF 37"}).packets.empty());
}

TEST(Deframer, APacketLongerThanTheBufferIsDroppedUpToTheNextMarker) {
    std::string longBody;
    for (int i = 0; i < 250; ++i) longBody += "41 ";
    Deframer deframer;
    EXPECT_TRUE(deframeChunks(deframer, {"FF 38 " + longBody, "42 FF 37"}).packets.empty());
    EXPECT_LE(deframer.count, PACKET_BUFFER_SIZE);
    EXPECT_EQ(deframeChunks(deframer, {"FF 38 4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
    // Exactly 200 bytes still fit.
    std::string body200;
    for (int i = 0; i < 200; ++i) body200 += "01 ";
    EXPECT_EQ(deframe({"FF 38 " + body200 + "FF 37"}).packets.size(), 1u);
    // A long run that ends in a start marker leaves the next packet whole.
    EXPECT_EQ(deframe({"FF 38 " + longBody + "FF 38 4E 4E FF 37"}).packets, std::vector<std::string>{"4E 4E"});
}

}  // namespace
