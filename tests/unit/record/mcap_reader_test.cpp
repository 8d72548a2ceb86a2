// The MCAP reader against files of the writer: what goes in comes back in log-time order, and
// damaged files (cut short, a flipped byte, lengths that point past the end) are refused with a
// reason, never read outside their bytes, and keep the messages of the chunks before the fault.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "record/mcap_reader.h"
#include "record/mcap_writer.h"

namespace {

// Writes a file with two channels and messages out of log-time order across channels, in
// chunks of a few messages, and returns its bytes.
std::vector<uint8_t> sampleFile(bool compress, size_t chunkBytes = 200) {
    char path[] = "/tmp/mcap_reader_testXXXXXX";
    int fd = mkstemp(path);
    close(fd);
    unlink(path);
    mcap::WriterOptions options;
    options.compress = compress;
    options.chunkBytes = chunkBytes;
    options.syncChunks = false;
    mcap::Writer w(options);
    EXPECT_TRUE(w.open(path, "", "test"));
    uint16_t s = w.addSchema("S", "jsonschema", "{}");
    uint16_t a = w.addChannel(s, "/a", "json");
    uint16_t b = w.addChannel(s, "/b", "json");
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(w.write(a, 1000 + 10 * i, "a" + std::to_string(i)));
        EXPECT_TRUE(w.write(b, 995 + 10 * i, "b" + std::to_string(i)));
    }
    EXPECT_TRUE(w.close());
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return bytes;
}

mcap::ReadResult read(const std::vector<uint8_t>& bytes, std::vector<std::string> topics = {}) {
    mcap::ReadOptions o;
    o.topics = std::move(topics);
    // A copy of exactly the file's size, so that a read past its end is a heap overflow that
    // the sanitizers see.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    return mcap::readBuffer(exact.data(), exact.size(), o);
}

TEST(McapReader, WhatTheWriterWroteComesBackInLogTimeOrder) {
    for (bool compress : {true, false}) {
        SCOPED_TRACE(compress ? "zstd" : "uncompressed");
        mcap::ReadResult r = read(sampleFile(compress));
        ASSERT_TRUE(r.ok()) << r.error;
        ASSERT_EQ(r.messages.size(), 40u);
        for (size_t i = 0; i < r.messages.size(); ++i) {
            const bool isB = i % 2 == 0;  // b's messages are 5 ns earlier than a's
            EXPECT_EQ(r.channelOf(r.messages[i])->topic, isB ? "/b" : "/a");
            EXPECT_EQ(r.messages[i].data, (isB ? "b" : "a") + std::to_string(i / 2));
            EXPECT_EQ(r.messages[i].logTime, (isB ? 995u : 1000u) + 10 * (i / 2));
        }
        ASSERT_EQ(r.schemas.size(), 1u);
        EXPECT_EQ(r.schemas[0].name, "S");
        EXPECT_EQ(r.channels.size(), 2u);
    }
}

TEST(McapReader, OnlyTheWantedTopicsAreKept) {
    mcap::ReadResult r = read(sampleFile(true), {"/a"});
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.messages.size(), 20u);
    for (const auto& m : r.messages) EXPECT_EQ(r.channelOf(m)->topic, "/a");
}

// Little-endian patching of the sample's bytes.
void put(std::vector<uint8_t>& b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// The offset of the first record with `op` in the data section (records walked from the header).
size_t firstRecord(const std::vector<uint8_t>& b, uint8_t op) {
    size_t at = 8;
    while (at + 9 <= b.size()) {
        if (b[at] == op) return at;
        uint64_t len = 0;
        for (int i = 0; i < 8; ++i) len |= uint64_t{b[at + 1 + i]} << (8 * i);
        at += 9 + len;
    }
    ADD_FAILURE() << "no record " << int(op);
    return 0;
}

TEST(McapReader, DamagedFilesAreRefusedWithAReason) {
    const std::vector<uint8_t> good = sampleFile(true);
    const std::vector<uint8_t> plain = sampleFile(false);
    const size_t chunk = firstRecord(good, 0x06);
    const size_t plainChunk = firstRecord(plain, 0x06);
    // In a chunk: 8 start, 8 end, 8 size, 4 crc, 4 + n compression, 8 records length.
    const size_t compressionLength = chunk + 9 + 28;
    const size_t recordsLength = compressionLength + 4 + 4;  // "zstd"
    const size_t plainRecords = plainChunk + 9 + 28 + 4 + 8;  // the first inner record
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;  // a part of the reason
        bool someMessages;  // the chunks before the fault still read
    };
    std::vector<Case> cases;
    auto with = [&](const std::vector<uint8_t>& base, auto change) {
        std::vector<uint8_t> b = base;
        change(b);
        return b;
    };
    cases.push_back({"empty", {}, "magic", false});
    cases.push_back({"magic only", std::vector<uint8_t>(good.begin(), good.begin() + 8), "header", false});
    cases.push_back({"cut in the first chunk", std::vector<uint8_t>(good.begin(), good.begin() + chunk + 20),
                     "cut short", false});
    cases.push_back({"cut before the footer", std::vector<uint8_t>(good.begin(), good.end() - 30), "", true});
    cases.push_back({"last magic wrong", with(good, [](auto& b) { b.back() ^= 1; }), "magic", true});
    cases.push_back({"record length past the end", with(good, [&](auto& b) { put(b, chunk + 1, ~0ull, 8); }),
                     "cut short", false});
    cases.push_back({"compression name past the chunk",
                     with(good, [&](auto& b) { put(b, compressionLength, 0xFFFFFFF0u, 4); }), "too short", false});
    cases.push_back({"records past the chunk", with(good, [&](auto& b) { put(b, recordsLength, 1ull << 40, 8); }),
                     "too short", false});
    cases.push_back({"uncompressed size too large", with(good, [&](auto& b) { put(b, chunk + 9 + 16, 1ull << 40, 8); }),
                     "too large", false});
    cases.push_back({"uncompressed size wrong", with(good, [&](auto& b) { b[chunk + 9 + 16] += 1; }),
                     "decompress", false});
    cases.push_back({"compressed bytes flipped", with(good, [&](auto& b) { b[recordsLength + 8 + 10] ^= 0x55; }), "",
                     false});
    // Each CRC alone: the data section's is zeroed (not checked) where the chunk's is wrong, and
    // the chunk's where a byte of the data section changes.
    const size_t dataEnd = firstRecord(good, 0x0F) + 9;
    const size_t plainDataEnd = firstRecord(plain, 0x0F) + 9;
    cases.push_back({"chunk CRC wrong", with(good, [&](auto& b) {
                         b[chunk + 9 + 24] ^= 1;
                         put(b, dataEnd, 0, 4);
                     }),
                     "chunk CRC", false});
    // The summary's schema name, just after the data end record.
    cases.push_back({"summary byte flipped", with(good, [&](auto& b) { b[dataEnd + 4 + 9 + 2 + 4] ^= 1; }),
                     "summary CRC", true});
    cases.push_back({"inner record past its chunk", with(plain, [&](auto& b) { put(b, plainRecords + 1, 1ull << 33, 8); }),
                     "", false});
    cases.push_back({"inner string past its record", with(plain, [&](auto& b) { put(b, plainRecords + 9 + 2, 1u << 30, 4); }),
                     "", false});
    cases.push_back({"message byte flipped (data CRC)", with(plain, [&](auto& b) {
                         b[plainRecords + 60] ^= 1;
                         put(b, plainChunk + 9 + 24, 0, 4);
                     }),
                     "data section CRC", true});
    cases.push_back({"message byte flipped (chunk CRC)", with(plain, [&](auto& b) {
                         b[plainRecords + 60] ^= 1;
                         put(b, plainDataEnd, 0, 4);
                     }),
                     "chunk CRC", false});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mcap::ReadResult r = read(c.bytes);
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(r.error.empty());
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
        if (c.someMessages) {
            EXPECT_FALSE(r.messages.empty());
        }
    }
}

TEST(McapReader, AFileCutAnywhereKeepsTheMessagesOfItsWholeChunks) {
    const std::vector<uint8_t> good = sampleFile(true, 100);
    size_t last = 0;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        mcap::ReadResult r = read(std::vector<uint8_t>(good.begin(), good.begin() + cut));
        ASSERT_FALSE(r.ok()) << cut;
        ASSERT_GE(r.messages.size(), last) << "a longer piece read fewer messages at " << cut;
        last = r.messages.size();
    }
    EXPECT_GT(last, 30u);
}

}  // namespace
