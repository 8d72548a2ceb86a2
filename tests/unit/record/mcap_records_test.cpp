// Each MCAP record as bytes, against its layout written out by hand: opcode, uint64 content
// length, then the fields little-endian, strings and arrays with a uint32 length.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "record/mcap_records.h"

namespace {

using mcap::Bytes;

// The expected bytes, put together field by field.
struct Expect {
    Bytes b;
    Expect& u8(uint8_t v) { return b.push_back(v), *this; }
    Expect& le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Expect& u16(uint16_t v) { return le(v, 2); }
    Expect& u32(uint32_t v) { return le(v, 4); }
    Expect& u64(uint64_t v) { return le(v, 8); }
    Expect& raw(const std::string& s) { return b.insert(b.end(), s.begin(), s.end()), *this; }
    Expect& str(const std::string& s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }
    // The record: opcode, the length of the content, the content.
    Bytes record(uint8_t opcode) const {
        Expect r;
        r.u8(opcode).u64(b.size());
        r.b.insert(r.b.end(), b.begin(), b.end());
        return r.b;
    }
};

struct Case {
    const char* name;
    Bytes actual;
    Bytes expected;
};

Bytes made(void (*append)(Bytes&)) {
    Bytes out;
    append(out);
    return out;
}

TEST(McapRecords, EachRecordHasTheLayoutOfTheFormat) {
    const uint8_t payload[] = {0xAA, 0x00, 0xFF};
    const Case cases[] = {
        {"header", made([](Bytes& o) { mcap::appendHeader(o, "x-p", "lib"); }),
         Expect().str("x-p").str("lib").record(0x01)},
        {"footer", made([](Bytes& o) { mcap::appendFooter(o, 0x0102030405060708ULL, 0x1122, 0xDEADBEEF); }),
         Expect().u64(0x0102030405060708ULL).u64(0x1122).u32(0xDEADBEEF).record(0x02)},
        {"schema", made([](Bytes& o) { mcap::appendSchema(o, 0x0203, "n", "jsonschema", "{}"); }),
         Expect().u16(0x0203).str("n").str("jsonschema").str("{}").record(0x03)},
        {"channel with metadata", made([](Bytes& o) {
             mcap::appendChannel(o, 7, 2, "/t", "json", {{"k", "vv"}, {"a", ""}});
         }),
         Expect()
             .u16(7)
             .u16(2)
             .str("/t")
             .str("json")
             .u32(4 + 1 + 4 + 2 + 4 + 1 + 4)
             .str("k")
             .str("vv")
             .str("a")
             .str("")
             .record(0x04)},
        {"channel without metadata", made([](Bytes& o) { mcap::appendChannel(o, 1, 0, "", "", {}); }),
         Expect().u16(1).u16(0).str("").str("").u32(0).record(0x04)},
        {"message", made([](Bytes& o) {
             const uint8_t d[] = {0xAA, 0x00, 0xFF};
             mcap::appendMessage(o, 3, 0x01020304, 10, 11, d, 3);
         }),
         Expect()
             .u16(3)
             .u32(0x01020304)
             .u64(10)
             .u64(11)
             .raw(std::string(reinterpret_cast<const char*>(payload), 3))
             .record(0x05)},
        {"chunk", made([](Bytes& o) {
             mcap::ChunkInfo info{5, 9, 300, 0xCAFEBABE, "zstd"};
             const uint8_t r[] = {1, 2};
             mcap::appendChunk(o, info, r, 2);
         }),
         Expect().u64(5).u64(9).u64(300).u32(0xCAFEBABE).str("zstd").u64(2).u8(1).u8(2).record(0x06)},
        {"message index", made([](Bytes& o) {
             mcap::appendMessageIndex(o, 4, {{100, 0}, {200, 31}});
         }),
         Expect().u16(4).u32(32).u64(100).u64(0).u64(200).u64(31).record(0x07)},
        {"chunk index", made([](Bytes& o) {
             mcap::ChunkIndexInfo info;
             info.messageStartTime = 1;
             info.messageEndTime = 2;
             info.chunkStartOffset = 3;
             info.chunkLength = 4;
             info.messageIndexOffsets = {{1, 50}, {2, 60}};
             info.messageIndexLength = 5;
             info.compression = "";
             info.compressedSize = 6;
             info.uncompressedSize = 7;
             mcap::appendChunkIndex(o, info);
         }),
         Expect().u64(1).u64(2).u64(3).u64(4).u32(20).u16(1).u64(50).u16(2).u64(60).u64(5).str("").u64(6).u64(7).record(
             0x08)},
        {"statistics", made([](Bytes& o) {
             mcap::StatisticsInfo s;
             s.messageCount = 9;
             s.schemaCount = 2;
             s.channelCount = 3;
             s.chunkCount = 4;
             s.messageStartTime = 5;
             s.messageEndTime = 6;
             s.channelMessageCounts = {{1, 8}};
             mcap::appendStatistics(o, s);
         }),
         Expect().u64(9).u16(2).u32(3).u32(0).u32(0).u32(4).u64(5).u64(6).u32(10).u16(1).u64(8).record(0x0B)},
        {"summary offset", made([](Bytes& o) { mcap::appendSummaryOffset(o, 0x08, 1000, 64); }),
         Expect().u8(0x08).u64(1000).u64(64).record(0x0E)},
        {"data end", made([](Bytes& o) { mcap::appendDataEnd(o, 0x01020304); }), Expect().u32(0x01020304).record(0x0F)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
}

TEST(McapRecords, Crc32IsTheZipOneAndContinues) {
    const std::string check = "123456789";
    const auto* d = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(mcap::crc32(d, check.size()), 0xCBF43926u);
    EXPECT_EQ(mcap::crc32Update(mcap::crc32(d, 4), d + 4, 5), 0xCBF43926u);
    EXPECT_EQ(mcap::crc32(d, 0), 0u);
}

}  // namespace
