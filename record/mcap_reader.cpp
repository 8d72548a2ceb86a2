#include "record/mcap_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include <zstd.h>

#include "record/mcap_records.h"

namespace mcap {

namespace {

// A cursor over bytes that refuses to go past their end: every read says whether it fit.
struct Cursor {
    const uint8_t* p;
    size_t left;

    bool take(size_t n, const uint8_t*& at) {
        if (n > left) return false;
        at = p;
        p += n;
        left -= n;
        return true;
    }
    template <typename T>
    bool uint(T& v) {
        const uint8_t* at = nullptr;
        if (!take(sizeof(T), at)) return false;
        uint64_t x = 0;
        for (size_t i = 0; i < sizeof(T); ++i) x |= uint64_t{at[i]} << (8 * i);
        v = static_cast<T>(x);
        return true;
    }
    bool bytes32(std::string& s) {
        uint32_t n = 0;
        const uint8_t* at = nullptr;
        if (!uint(n) || !take(n, at)) return false;
        s.assign(reinterpret_cast<const char*>(at), n);
        return true;
    }
    bool skip32() {
        uint32_t n = 0;
        const uint8_t* at = nullptr;
        return uint(n) && take(n, at);
    }
};

struct Reader {
    const ReadOptions& options;
    ReadResult& result;
    std::vector<uint8_t> chunkBuffer;

    bool fail(const std::string& what, uint64_t offset) {
        if (result.error.empty()) result.error = what + " at byte " + std::to_string(offset);
        return false;
    }

    bool wanted(uint16_t channelId) const {
        if (options.topics.empty()) return true;
        const ReadChannel* c = result.channel(channelId);
        return c != nullptr && std::find(options.topics.begin(), options.topics.end(), c->topic) != options.topics.end();
    }

    // One record's content; `inChunk`: inside a chunk, where only schemas, channels and
    // messages may stand.
    bool record(uint8_t op, Cursor c, uint64_t offset, bool inChunk) {
        switch (op) {
            case OP_SCHEMA: {
                ReadSchema s;
                if (!c.uint(s.id) || !c.bytes32(s.name) || !c.bytes32(s.encoding) || !c.bytes32(s.data))
                    return fail("schema record too short", offset);
                for (const ReadSchema& k : result.schemas)
                    if (k.id == s.id) return true;  // repeated in the summary
                result.schemas.push_back(std::move(s));
                return true;
            }
            case OP_CHANNEL: {
                ReadChannel ch;
                if (!c.uint(ch.id) || !c.uint(ch.schemaId) || !c.bytes32(ch.topic) || !c.bytes32(ch.messageEncoding) ||
                    !c.skip32())
                    return fail("channel record too short", offset);
                if (result.channel(ch.id) != nullptr) return true;
                result.channels.push_back(std::move(ch));
                return true;
            }
            case OP_MESSAGE: {
                ReadMessage m;
                if (!c.uint(m.channelId) || !c.uint(m.sequence) || !c.uint(m.logTime) || !c.uint(m.publishTime))
                    return fail("message record too short", offset);
                if (result.channel(m.channelId) == nullptr) return fail("message on an unknown channel", offset);
                if (!wanted(m.channelId)) return true;
                m.data.assign(reinterpret_cast<const char*>(c.p), c.left);
                result.messages.push_back(std::move(m));
                return true;
            }
            default:
                break;
        }
        if (inChunk) return fail("record " + std::to_string(op) + " inside a chunk", offset);
        if (op == OP_CHUNK) return chunk(c, offset);
        return true;  // indexes, statistics and the rest are not needed to read the messages
    }

    bool chunk(Cursor c, uint64_t offset) {
        uint64_t start = 0, end = 0, size = 0, recordsSize = 0;
        uint32_t crc = 0;
        std::string compression;
        const uint8_t* records = nullptr;
        if (!c.uint(start) || !c.uint(end) || !c.uint(size) || !c.uint(crc) || !c.bytes32(compression) ||
            !c.uint(recordsSize) || !c.take(recordsSize, records))
            return fail("chunk record too short", offset);
        if (size > options.maxChunkBytes) return fail("chunk too large", offset);
        const uint8_t* plain = records;
        if (compression == "zstd") {
            chunkBuffer.resize(size);
            size_t n = ZSTD_decompress(chunkBuffer.data(), chunkBuffer.size(), records, recordsSize);
            if (ZSTD_isError(n) || n != size) return fail("chunk does not decompress to its size", offset);
            plain = chunkBuffer.data();
        } else if (!compression.empty()) {
            return fail("unknown compression " + compression, offset);
        } else if (recordsSize != size) {
            return fail("chunk size does not match its records", offset);
        }
        if (crc != 0 && crc32(plain, size) != crc) return fail("chunk CRC mismatch", offset);
        return records_(Cursor{plain, size}, offset, true);
    }

    // Reads records until the cursor is empty; outside a chunk stops after the footer.
    bool records_(Cursor c, uint64_t base, bool inChunk, const uint8_t* file = nullptr) {
        while (c.left > 0) {
            const uint64_t offset = inChunk ? base : base + static_cast<uint64_t>(c.p - file);
            const uint8_t* recordStart = c.p;
            uint8_t op = 0;
            uint64_t length = 0;
            const uint8_t* content = nullptr;
            if (!c.uint(op) || !c.uint(length)) return fail(inChunk ? "chunk record cut short" : "file cut short", offset);
            if (!c.take(length, content))
                return fail(inChunk ? "chunk record longer than its chunk" : "file cut short", offset);
            if (!inChunk && op == OP_DATA_END) {
                Cursor d{content, length};
                uint32_t crc = 0;
                if (!d.uint(crc)) return fail("data end too short", offset);
                if (crc != 0 && crc32(file, static_cast<size_t>(recordStart - file)) != crc)
                    return fail("data section CRC mismatch", offset);
                continue;
            }
            if (!inChunk && op == OP_FOOTER) return footer(Cursor{content, length}, c, offset, file);
            if (!record(op, Cursor{content, length}, offset, inChunk)) return false;
        }
        if (!inChunk) return fail("file cut short (no footer)", base + static_cast<uint64_t>(c.p - file));
        return true;
    }

    bool footer(Cursor f, Cursor after, uint64_t offset, const uint8_t* file) {
        uint64_t summaryStart = 0, summaryOffsetStart = 0;
        uint32_t crc = 0;
        if (!f.uint(summaryStart) || !f.uint(summaryOffsetStart) || !f.uint(crc)) return fail("footer too short", offset);
        const uint8_t* magic = nullptr;
        if (!after.take(sizeof(MAGIC), magic) || std::memcmp(magic, MAGIC, sizeof(MAGIC)) != 0)
            return fail("no magic after the footer", offset);
        if (after.left != 0) return fail("bytes after the closing magic", offset);
        if (crc != 0 && summaryStart != 0) {
            // From the summary's start through the footer's two offsets.
            const uint64_t end = offset + 1 + 8 + 16;
            if (summaryStart > offset) return fail("summary start past the footer", offset);
            if (crc32(file + summaryStart, static_cast<size_t>(end - summaryStart)) != crc)
                return fail("summary CRC mismatch", offset);
        }
        result.complete = true;
        return true;
    }
};

}  // namespace

const ReadChannel* ReadResult::channel(uint16_t id) const {
    for (const ReadChannel& c : channels)
        if (c.id == id) return &c;
    return nullptr;
}

ReadResult readBuffer(const uint8_t* data, size_t size, const ReadOptions& options) {
    ReadResult result;
    Reader reader{options, result, {}};
    Cursor c{data, size};
    const uint8_t* magic = nullptr;
    if (!c.take(sizeof(MAGIC), magic) || std::memcmp(magic, MAGIC, sizeof(MAGIC)) != 0) {
        result.error = "not an MCAP file (no magic)";
        return result;
    }
    uint8_t op = 0;
    Cursor peek = c;
    if (!peek.uint(op) || op != OP_HEADER) {
        result.error = "no header after the magic";
        return result;
    }
    reader.records_(c, 0, false, data);
    std::stable_sort(result.messages.begin(), result.messages.end(),
                     [](const ReadMessage& a, const ReadMessage& b) { return a.logTime < b.logTime; });
    return result;
}

ReadResult readFile(const std::string& path, const ReadOptions& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ReadResult result;
        result.error = "cannot open " + path;
        return result;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        ReadResult result;
        result.error = "cannot read " + path;
        return result;
    }
    return readBuffer(bytes.data(), bytes.size(), options);
}

}  // namespace mcap
