// An MCAP file written front to back: the header, then chunks of schema, channel and message
// records (zstd, closed at about 1 MiB or 1 s of messages) each followed by its message indexes,
// and on close the data end, the summary (schemas, channels, chunk indexes, statistics), the
// summary offsets and the footer. Every chunk is written whole and synced to the disk before the
// next one starts, so a file cut short by a crash or a power loss reads up to its last chunk.
//
// One thread uses a writer. A failed write or sync leaves it failed (error() says why): it
// writes nothing more, and close() only releases the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "record/mcap_records.h"

namespace mcap {

struct WriterOptions {
    size_t chunkBytes = 1 << 20;           // a chunk closes when its records reach this size
    uint64_t chunkSpanNs = 1'000'000'000;  // or when its messages span this long
    bool compress = true;                  // zstd; off: the records stored as they are
    bool syncChunks = true;                // fsync after every chunk and at the end
};

class Writer {
public:
    explicit Writer(WriterOptions options = {});
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Creates the file (it must not exist) and writes the magic and the header. A writer whose
    // open failed may try another path.
    bool open(const std::string& path, std::string_view profile, std::string_view library);
    // Ids count from 1. A schema or channel goes into the current chunk, ahead of its messages.
    uint16_t addSchema(std::string_view name, std::string_view encoding, std::string_view data);
    uint16_t addChannel(uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                        const StringMap& metadata = {});
    // Appends a message (publish time = log time) with the channel's next sequence number; the
    // chunk is written out when it is full or spans too long.
    bool write(uint16_t channelId, uint64_t logTime, const uint8_t* data, size_t size);
    bool write(uint16_t channelId, uint64_t logTime, std::string_view data) {
        return write(channelId, logTime, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    // Writes out the current chunk now (nothing when it is empty).
    bool flush();
    // Writes the last chunk, the summary and the footer, syncs and closes; true when the whole
    // file was written.
    bool close();

    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    int errorCode() const { return errorCode_; }  // errno of the failure
    uint64_t fileSize() const { return offset_; }
    uint64_t messageCount() const { return stats_.messageCount; }

private:
    struct Schema {
        uint16_t id;
        std::string name, encoding, data;
    };
    struct Channel {
        uint16_t id, schemaId;
        std::string topic, encoding;
        StringMap metadata;
        uint32_t sequence = 0;
        uint64_t count = 0;
        std::vector<std::pair<uint64_t, uint64_t>> index;  // of the current chunk
    };
    bool writeOut(const Bytes& bytes, bool countInData);
    bool fail(const std::string& what);
    bool sync();

    WriterOptions options_;
    int fd_ = -1;
    bool failed_ = false;
    std::string error_;
    int errorCode_ = 0;
    uint64_t offset_ = 0;
    uint32_t dataCrc_ = 0;
    std::vector<Schema> schemas_;
    std::vector<Channel> channels_;
    Bytes chunk_;
    uint64_t chunkStart_ = 0, chunkEnd_ = 0;
    bool chunkHasMessages_ = false;
    std::vector<ChunkIndexInfo> chunkIndexes_;
    StatisticsInfo stats_;
    bool anyMessage_ = false;
};

}  // namespace mcap
