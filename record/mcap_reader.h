// An MCAP file read front to back: the magic, the header, then every record; chunks are
// decompressed (zstd or none) and their records read the same way. Each record's length, each
// string's and each byte array's is checked against what is left of its record before it is
// read, so a file that is cut short or damaged is never read outside its bytes: reading stops at
// the first fault and says what it was, keeping every message of the chunks before it. The CRCs
// of the chunks, of the data section and of the summary are checked where the file has them.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace mcap
