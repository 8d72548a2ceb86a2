#include "record/mcap_records.h"

#include <array>

namespace mcap {

namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

void u8(Bytes& out, uint8_t v) { out.push_back(v); }
void u16(Bytes& out, uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void u32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void u64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void raw(Bytes& out, const uint8_t* data, size_t size) {
    if (size > 0) out.insert(out.end(), data, data + size);
}
void str(Bytes& out, std::string_view s) {
    u32(out, static_cast<uint32_t>(s.size()));
    raw(out, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Opens a record: the opcode and a length to be filled in by close().
size_t open(Bytes& out, uint8_t opcode) {
    u8(out, opcode);
    size_t at = out.size();
    u64(out, 0);
    return at;
}
void close(Bytes& out, size_t at) {
    uint64_t length = out.size() - at - 8;
    for (int i = 0; i < 8; ++i) out[at + i] = static_cast<uint8_t>(length >> (8 * i));
}
// A uint32 byte length written before what follows, filled in by closeLength.
size_t openLength(Bytes& out) {
    size_t at = out.size();
    u32(out, 0);
    return at;
}
void closeLength(Bytes& out, size_t at) {
    uint32_t length = static_cast<uint32_t>(out.size() - at - 4);
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(length >> (8 * i));
}

void countMap(Bytes& out, const std::vector<std::pair<uint16_t, uint64_t>>& map) {
    size_t at = openLength(out);
    for (const auto& [key, value] : map) {
        u16(out, key);
        u64(out, value);
    }
    closeLength(out, at);
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

void appendHeader(Bytes& out, std::string_view profile, std::string_view library) {
    size_t at = open(out, OP_HEADER);
    str(out, profile);
    str(out, library);
    close(out, at);
}

void appendFooter(Bytes& out, uint64_t summaryStart, uint64_t summaryOffsetStart, uint32_t summaryCrc) {
    size_t at = open(out, OP_FOOTER);
    u64(out, summaryStart);
    u64(out, summaryOffsetStart);
    u32(out, summaryCrc);
    close(out, at);
}

void appendSchema(Bytes& out, uint16_t id, std::string_view name, std::string_view encoding, std::string_view data) {
    size_t at = open(out, OP_SCHEMA);
    u16(out, id);
    str(out, name);
    str(out, encoding);
    str(out, data);
    close(out, at);
}

void appendChannel(Bytes& out, uint16_t id, uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                   const StringMap& metadata) {
    size_t at = open(out, OP_CHANNEL);
    u16(out, id);
    u16(out, schemaId);
    str(out, topic);
    str(out, messageEncoding);
    size_t map = openLength(out);
    for (const auto& [key, value] : metadata) {
        str(out, key);
        str(out, value);
    }
    closeLength(out, map);
    close(out, at);
}

void appendMessage(Bytes& out, uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime,
                   const uint8_t* data, size_t size) {
    size_t at = open(out, OP_MESSAGE);
    u16(out, channelId);
    u32(out, sequence);
    u64(out, logTime);
    u64(out, publishTime);
    raw(out, data, size);
    close(out, at);
}

void appendChunk(Bytes& out, const ChunkInfo& info, const uint8_t* records, size_t size) {
    size_t at = open(out, OP_CHUNK);
    u64(out, info.messageStartTime);
    u64(out, info.messageEndTime);
    u64(out, info.uncompressedSize);
    u32(out, info.uncompressedCrc);
    str(out, info.compression);
    u64(out, size);
    raw(out, records, size);
    close(out, at);
}

void appendMessageIndex(Bytes& out, uint16_t channelId, const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
    size_t at = open(out, OP_MESSAGE_INDEX);
    u16(out, channelId);
    size_t array = openLength(out);
    for (const auto& [time, offset] : entries) {
        u64(out, time);
        u64(out, offset);
    }
    closeLength(out, array);
    close(out, at);
}

void appendChunkIndex(Bytes& out, const ChunkIndexInfo& info) {
    size_t at = open(out, OP_CHUNK_INDEX);
    u64(out, info.messageStartTime);
    u64(out, info.messageEndTime);
    u64(out, info.chunkStartOffset);
    u64(out, info.chunkLength);
    countMap(out, info.messageIndexOffsets);
    u64(out, info.messageIndexLength);
    str(out, info.compression);
    u64(out, info.compressedSize);
    u64(out, info.uncompressedSize);
    close(out, at);
}

void appendStatistics(Bytes& out, const StatisticsInfo& info) {
    size_t at = open(out, OP_STATISTICS);
    u64(out, info.messageCount);
    u16(out, info.schemaCount);
    u32(out, info.channelCount);
    u32(out, info.attachmentCount);
    u32(out, info.metadataCount);
    u32(out, info.chunkCount);
    u64(out, info.messageStartTime);
    u64(out, info.messageEndTime);
    countMap(out, info.channelMessageCounts);
    close(out, at);
}

void appendSummaryOffset(Bytes& out, uint8_t groupOpcode, uint64_t groupStart, uint64_t groupLength) {
    size_t at = open(out, OP_SUMMARY_OFFSET);
    u8(out, groupOpcode);
    u64(out, groupStart);
    u64(out, groupLength);
    close(out, at);
}

void appendDataEnd(Bytes& out, uint32_t dataSectionCrc) {
    size_t at = open(out, OP_DATA_END);
    u32(out, dataSectionCrc);
    close(out, at);
}

}  // namespace mcap
