// An MCAP file read front to back: the magic, the header, then every record; chunks are
// decompressed (zstd or none) and their records read the same way. Each record's length, each
// string's and each byte array's is checked against what is left of its record before it is
// read, so a file that is cut short or damaged is never read outside its bytes: reading stops at
// the first fault and says what it was, keeping every message of the chunks before it. The CRCs
// of the chunks, of the data section and of the summary are checked where the file has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mcap {

struct ReadSchema {
    uint16_t id = 0;
    std::string name, encoding, data;
};

struct ReadChannel {
    uint16_t id = 0, schemaId = 0;
    std::string topic, messageEncoding;
};

struct ReadMessage {
    uint16_t channelId = 0;
    uint32_t sequence = 0;
    uint64_t logTime = 0, publishTime = 0;
    std::string data;
};

struct ReadResult {
    std::vector<ReadSchema> schemas;
    std::vector<ReadChannel> channels;
    // The messages of the wanted topics, in log-time order (equal times in file order).
    std::vector<ReadMessage> messages;
    bool complete = false;  // the file ends with its footer and the magic
    std::string error;      // empty: read whole; else the first fault, where reading stopped
    bool ok() const { return error.empty() && complete; }
    const ReadChannel* channel(uint16_t id) const;
    const ReadChannel* channelOf(const ReadMessage& m) const { return channel(m.channelId); }
};

struct ReadOptions {
    std::vector<std::string> topics;            // only these topics' messages; empty: all
    uint64_t maxChunkBytes = uint64_t{64} << 20;  // a chunk that claims more is refused
};

ReadResult readBuffer(const uint8_t* data, size_t size, const ReadOptions& options = {});
ReadResult readFile(const std::string& path, const ReadOptions& options = {});

// A file read one record at a time from disk, for a reader that keeps only where its chunks are
// (a player of a large file): the schemas and channels, and each complete chunk's place and
// times, in file order. Every chunk is decompressed and checked once; reading stops at the first
// fault, keeping the chunks before it (a file cut short keeps its complete chunks).
struct ChunkPlace {
    uint64_t offset = 0;  // of the chunk record's content
    uint64_t length = 0;  // of that content
    uint64_t startTime = 0, endTime = 0;  // log times of its first and last message
    uint64_t messages = 0;  // how many it holds (0: only schemas and channels)
};

struct FileIndex {
    std::vector<ReadSchema> schemas;
    std::vector<ReadChannel> channels;
    std::vector<ChunkPlace> chunks;
    bool complete = false;  // the file ends with its footer and the magic
    std::string error;      // as in ReadResult
    const ReadSchema* schema(uint16_t id) const;
    const ReadChannel* channel(uint16_t id) const;
};

FileIndex indexFile(const std::string& path, const ReadOptions& options = {});

// The messages of one indexed chunk, in log-time order (equal times in file order), read from
// the open file again; false with the reason when the chunk cannot be read now.
bool readChunk(std::FILE* file, const FileIndex& index, const ChunkPlace& place, std::vector<ReadMessage>& out,
               std::string& error, const ReadOptions& options = {});

}  // namespace mcap
