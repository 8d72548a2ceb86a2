// The client's side of the wire: the frames it sends and how it reads the frames that come back.
#include <gtest/gtest.h>

#include "client/lib/session.h"
#include "tests/support/test_support.h"

using namespace halvoran_client;
using testing_support::bytesOf;
using testing_support::hex;

namespace {

// Feeds the chunks and collects every packet: its payload, or "BAD" for a bad checksum.
std::vector<std::string> readAll(const std::vector<std::string>& chunks) {
    ReplyReader reader;
    std::vector<std::string> packets;
    for (const std::string& chunk : chunks) {
        std::vector<uint8_t> bytes = bytesOf(chunk);
        reader.feed(bytes.data(), bytes.size());
        std::vector<uint8_t> payload;
        ReadStatus status;
        while (reader.next(payload, status)) packets.push_back(status == ReadStatus::Ok ? hex(payload) : "BAD");
    }
    return packets;
}

TEST(ClientFrames, CommandsGoOutWithChecksumAndEscaping) {
    EXPECT_EQ(hex(frameCommand({'N'})), "FF 38 4E 4E FF 37");
    EXPECT_EQ(hex(frameCommand({'P', 0x05, 0x80, 0x7F, 0x7F, 0x7F, 0x03})), "FF 38 50 05 80 7F 7F 7F 03 55 FF 37");
    // A data byte 0xFF, and a checksum of 0xFF, are both doubled.
    EXPECT_EQ(hex(frameCommand({'B', 0x01, 0xFF, 0xBD})), "FF 38 42 01 FF FF BD FF FF FF 37");
    EXPECT_EQ(hex(frameWithChecksum({'Q', 0x01}, 0x00)), "FF 38 51 01 00 FF 37");
    EXPECT_EQ(hex(quitEscape()), "FF 36");
}

TEST(ClientFrames, RepliesAreReadAsHalvoranFramesThem) {
    EXPECT_EQ(readAll({"FF 38 00 00 FF 37"}), std::vector<std::string>{"00"});
    EXPECT_EQ(readAll({"FF 38 01 01 FF 37", "FF 38 02 02 FF 37"}), (std::vector<std::string>{"01", "02"}));
    EXPECT_EQ(readAll({"FF 38 00 FF FF FF FF FF 37"}), std::vector<std::string>{"00 FF"});
    EXPECT_EQ(hex(frameReply({0x00, 0xFF})), "FF 38 00 FF FF FF FF FF 37");
}

TEST(ClientFrames, ReplySplitAnywhereIsReadOnceAfterItsEnd) {
    // Split between a lone 0xFF and its second byte, and between the end marker's two bytes.
    EXPECT_EQ(readAll({"FF 38 00 FF", "FF FF", "FF FF", "37"}), std::vector<std::string>{"00 FF"});
    EXPECT_EQ(readAll({"FF", "38 00", " 00 FF", "37 FF 38 02 02 FF 37"}), (std::vector<std::string>{"00", "02"}));
}

TEST(ClientFrames, GarbledRepliesAreNotTakenForGoodOnes) {
    EXPECT_EQ(readAll({"FF 38 00 01 FF 37"}), std::vector<std::string>{"BAD"});
    // A start marker inside a reply drops what came before it.
    EXPECT_EQ(readAll({"FF 38 05 06 FF 38 00 00 FF 37"}), std::vector<std::string>{"00"});
    // An unknown escape drops the reply being collected.
    EXPECT_EQ(readAll({"FF 38 00 FF 41 FF 37"}), std::vector<std::string>{});
    // An end marker with nothing before it is no reply.
    EXPECT_EQ(readAll({"FF 38 FF 37"}), std::vector<std::string>{});
    // A reply longer than any Halvoran sends is dropped whole, with nothing read past a buffer.
    std::string longReply = "FF 38";
    for (int i = 0; i < 300; ++i) longReply += " 01";
    EXPECT_EQ(readAll({longReply + " 2C FF 37", "FF 38 00 00 FF 37"}), std::vector<std::string>{"00"});
}

}  // namespace
