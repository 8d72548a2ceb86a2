#include "record/mcap_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

namespace mcap {

Writer::Writer(WriterOptions options) : options_(options) {}

Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
}

bool Writer::fail(const std::string& what) {
    if (!failed_) {
        errorCode_ = errno;
        error_ = what + ": " + std::strerror(errorCode_);
    }
    failed_ = true;
    return false;
}

bool Writer::writeOut(const Bytes& bytes, bool countInData) {
    if (failed_ || fd_ < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail("write");
        }
        done += static_cast<size_t>(n);
    }
    if (countInData) dataCrc_ = crc32Update(dataCrc_, bytes.data(), bytes.size());
    offset_ += bytes.size();
    return true;
}

bool Writer::sync() {
    if (!options_.syncChunks || failed_) return !failed_;
    if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return fail("fsync");
    return true;
}

bool Writer::open(const std::string& path, std::string_view profile, std::string_view library) {
    if (fd_ >= 0) return false;
    failed_ = false;
    error_.clear();
    errorCode_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd_ < 0) return fail("open " + path);
    Bytes start(MAGIC, MAGIC + sizeof MAGIC);
    appendHeader(start, profile, library);
    return writeOut(start, true);
}

uint16_t Writer::addSchema(std::string_view name, std::string_view encoding, std::string_view data) {
    uint16_t id = static_cast<uint16_t>(schemas_.size() + 1);
    schemas_.push_back({id, std::string(name), std::string(encoding), std::string(data)});
    appendSchema(chunk_, id, name, encoding, data);
    return id;
}

uint16_t Writer::addChannel(uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                            const StringMap& metadata) {
    uint16_t id = static_cast<uint16_t>(channels_.size() + 1);
    channels_.push_back({id, schemaId, std::string(topic), std::string(messageEncoding), metadata, 0, 0, {}});
    appendChannel(chunk_, id, schemaId, topic, messageEncoding, metadata);
    return id;
}

bool Writer::write(uint16_t channelId, uint64_t logTime, const uint8_t* data, size_t size) {
    if (failed_ || channelId == 0 || channelId > channels_.size()) return false;
    Channel& channel = channels_[channelId - 1];
    channel.index.emplace_back(logTime, chunk_.size());
    appendMessage(chunk_, channelId, channel.sequence++, logTime, logTime, data, size);
    ++channel.count;
    if (!chunkHasMessages_ || logTime < chunkStart_) chunkStart_ = logTime;
    if (!chunkHasMessages_ || logTime > chunkEnd_) chunkEnd_ = logTime;
    chunkHasMessages_ = true;
    ++stats_.messageCount;
    if (!anyMessage_ || logTime < stats_.messageStartTime) stats_.messageStartTime = logTime;
    if (!anyMessage_ || logTime > stats_.messageEndTime) stats_.messageEndTime = logTime;
    anyMessage_ = true;
    if (chunk_.size() >= options_.chunkBytes || chunkEnd_ - chunkStart_ >= options_.chunkSpanNs) return flush();
    return true;
}

bool Writer::flush() {
    if (failed_) return false;
    if (chunk_.empty()) return true;
    ChunkInfo info;
    info.messageStartTime = chunkHasMessages_ ? chunkStart_ : 0;
    info.messageEndTime = chunkHasMessages_ ? chunkEnd_ : 0;
    info.uncompressedSize = chunk_.size();
    info.uncompressedCrc = crc32(chunk_.data(), chunk_.size());
    Bytes stored;
    const Bytes* records = &chunk_;
    if (options_.compress) {
        stored.resize(ZSTD_compressBound(chunk_.size()));
        size_t n = ZSTD_compress(stored.data(), stored.size(), chunk_.data(), chunk_.size(), 3);
        if (ZSTD_isError(n)) {
            errno = EIO;
            return fail(std::string("zstd ") + ZSTD_getErrorName(n));
        }
        stored.resize(n);
        info.compression = "zstd";
        records = &stored;
    }
    ChunkIndexInfo index;
    index.messageStartTime = info.messageStartTime;
    index.messageEndTime = info.messageEndTime;
    index.chunkStartOffset = offset_;
    index.compression = info.compression;
    index.compressedSize = records->size();
    index.uncompressedSize = chunk_.size();
    Bytes out;
    out.reserve(records->size() + 256);
    appendChunk(out, info, records->data(), records->size());
    index.chunkLength = out.size();
    for (Channel& channel : channels_) {
        if (channel.index.empty()) continue;
        index.messageIndexOffsets.emplace_back(channel.id, offset_ + out.size());
        size_t before = out.size();
        appendMessageIndex(out, channel.id, channel.index);
        index.messageIndexLength += out.size() - before;
        channel.index.clear();
    }
    if (!writeOut(out, true) || !sync()) return false;
    chunkIndexes_.push_back(std::move(index));
    ++stats_.chunkCount;
    chunk_.clear();
    chunkHasMessages_ = false;
    return true;
}

bool Writer::close() {
    if (fd_ < 0) return false;
    bool ok = flush();
    if (ok) {
        Bytes end;
        appendDataEnd(end, dataCrc_);
        ok = writeOut(end, false);
    }
    if (ok) {
        // The summary, grouped by opcode, and the offset of each group.
        uint64_t summaryStart = offset_;
        Bytes summary;
        std::vector<std::tuple<uint8_t, uint64_t, uint64_t>> groups;
        auto group = [&](uint8_t opcode, size_t before) {
            if (summary.size() > before) groups.emplace_back(opcode, summaryStart + before, summary.size() - before);
        };
        size_t before = summary.size();
        for (const Schema& s : schemas_) appendSchema(summary, s.id, s.name, s.encoding, s.data);
        group(OP_SCHEMA, before);
        before = summary.size();
        for (const Channel& c : channels_) appendChannel(summary, c.id, c.schemaId, c.topic, c.encoding, c.metadata);
        group(OP_CHANNEL, before);
        before = summary.size();
        for (const ChunkIndexInfo& ci : chunkIndexes_) appendChunkIndex(summary, ci);
        group(OP_CHUNK_INDEX, before);
        before = summary.size();
        stats_.schemaCount = static_cast<uint16_t>(schemas_.size());
        stats_.channelCount = static_cast<uint32_t>(channels_.size());
        stats_.channelMessageCounts.clear();
        for (const Channel& c : channels_) stats_.channelMessageCounts.emplace_back(c.id, c.count);
        appendStatistics(summary, stats_);
        group(OP_STATISTICS, before);
        uint64_t summaryOffsetStart = summaryStart + summary.size();
        for (const auto& [opcode, start, length] : groups) appendSummaryOffset(summary, opcode, start, length);
        // The footer's CRC covers the summary and the footer up to the CRC itself.
        Bytes footer;
        appendFooter(footer, summaryStart, summaryOffsetStart, 0);
        uint32_t crc = crc32Update(crc32(summary.data(), summary.size()), footer.data(), footer.size() - 4);
        footer.resize(footer.size() - 4);
        for (int i = 0; i < 4; ++i) footer.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        summary.insert(summary.end(), footer.begin(), footer.end());
        summary.insert(summary.end(), MAGIC, MAGIC + sizeof MAGIC);
        ok = writeOut(summary, false) && sync();
    }
    if (::close(fd_) != 0 && ok) ok = fail("close");
    fd_ = -1;
    return ok;
}

}  // namespace mcap
