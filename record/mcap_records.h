// The records of an MCAP file as bytes: each function appends one whole record (opcode, content
// length, content) to a buffer, with little-endian integers, strings and byte arrays carrying a
// uint32 length, and maps a uint32 byte length. Nothing here touches a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mcap {

using Bytes = std::vector<uint8_t>;

// 0x89 'M' 'C' 'A' 'P' '0' CR LF: the first and the last eight bytes of a file.
constexpr uint8_t MAGIC[8] = {0x89, 'M', 'C', 'A', 'P', 0x30, '\r', '\n'};

enum Opcode : uint8_t {
    OP_HEADER = 0x01,
    OP_FOOTER = 0x02,
    OP_SCHEMA = 0x03,
    OP_CHANNEL = 0x04,
    OP_MESSAGE = 0x05,
    OP_CHUNK = 0x06,
    OP_MESSAGE_INDEX = 0x07,
    OP_CHUNK_INDEX = 0x08,
    OP_STATISTICS = 0x0B,
    OP_SUMMARY_OFFSET = 0x0E,
    OP_DATA_END = 0x0F,
};

// The CRC-32 of zip and PNG (reflected polynomial 0xEDB88320); crc32Update continues a running
// one (start with 0).
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size);
inline uint32_t crc32(const uint8_t* data, size_t size) { return crc32Update(0, data, size); }

using StringMap = std::vector<std::pair<std::string, std::string>>;

struct ChunkInfo {
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    uint64_t uncompressedSize = 0;
    uint32_t uncompressedCrc = 0;
    std::string compression;  // "zstd" or "" (none)
};

struct ChunkIndexInfo {
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    uint64_t chunkStartOffset = 0;
    uint64_t chunkLength = 0;
    std::vector<std::pair<uint16_t, uint64_t>> messageIndexOffsets;  // channel id -> file offset
    uint64_t messageIndexLength = 0;
    std::string compression;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

struct StatisticsInfo {
    uint64_t messageCount = 0;
    uint16_t schemaCount = 0;
    uint32_t channelCount = 0;
    uint32_t attachmentCount = 0;
    uint32_t metadataCount = 0;
    uint32_t chunkCount = 0;
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    std::vector<std::pair<uint16_t, uint64_t>> channelMessageCounts;
};

void appendHeader(Bytes& out, std::string_view profile, std::string_view library);
void appendFooter(Bytes& out, uint64_t summaryStart, uint64_t summaryOffsetStart, uint32_t summaryCrc);
void appendSchema(Bytes& out, uint16_t id, std::string_view name, std::string_view encoding, std::string_view data);
void appendChannel(Bytes& out, uint16_t id, uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                   const StringMap& metadata);
void appendMessage(Bytes& out, uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime,
                   const uint8_t* data, size_t size);
// The chunk's records field is `records` as stored (compressed or not).
void appendChunk(Bytes& out, const ChunkInfo& info, const uint8_t* records, size_t size);
// (log time, offset of the message in the uncompressed chunk records) per message of the channel.
void appendMessageIndex(Bytes& out, uint16_t channelId, const std::vector<std::pair<uint64_t, uint64_t>>& entries);
void appendChunkIndex(Bytes& out, const ChunkIndexInfo& info);
void appendStatistics(Bytes& out, const StatisticsInfo& info);
void appendSummaryOffset(Bytes& out, uint8_t groupOpcode, uint64_t groupStart, uint64_t groupLength);
void appendDataEnd(Bytes& out, uint32_t dataSectionCrc);

}  // namespace mcap
