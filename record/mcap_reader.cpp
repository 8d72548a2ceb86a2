#include "record/mcap_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
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
    // Indexing: the messages are counted and their times kept, not their contents.
    bool keepMessages = true;
    uint64_t counted = 0, firstTime = 0, lastTime = 0;

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
                if (!keepMessages) {
                    if (counted == 0 || m.logTime < firstTime) firstTime = m.logTime;
                    if (counted == 0 || m.logTime > lastTime) lastTime = m.logTime;
                    ++counted;
                    return true;
                }
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

const ReadSchema* FileIndex::schema(uint16_t id) const {
    for (const ReadSchema& s : schemas)
        if (s.id == id) return &s;
    return nullptr;
}

const ReadChannel* FileIndex::channel(uint16_t id) const {
    for (const ReadChannel& c : channels)
        if (c.id == id) return &c;
    return nullptr;
}

namespace {

bool readAt(std::FILE* file, uint64_t offset, uint64_t size, std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(size));
    if (::fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    return size == 0 || std::fread(out.data(), 1, out.size(), file) == out.size();
}

// The most bytes a record holding one chunk of at most maxChunkBytes may take on disk: zstd's
// worst case adds a little to data that does not compress, and the chunk's own fields.
uint64_t recordLimit(const ReadOptions& options) { return options.maxChunkBytes + options.maxChunkBytes / 64 + 65536; }

}  // namespace

FileIndex indexFile(const std::string& path, const ReadOptions& options) {
    FileIndex index;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        index.error = "cannot open " + path;
        return index;
    }
    uint64_t size = 0;
    if (::fseeko(file.get(), 0, SEEK_END) == 0) {
        off_t end = ::ftello(file.get());
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    ReadResult result;
    Reader reader{options, result, {}};
    reader.keepMessages = false;
    std::vector<uint8_t> head, content;
    if (size < sizeof(MAGIC) || !readAt(file.get(), 0, sizeof(MAGIC), head) ||
        std::memcmp(head.data(), MAGIC, sizeof(MAGIC)) != 0) {
        index.error = "not an MCAP file (no magic)";
        return index;
    }
    uint64_t at = sizeof(MAGIC);
    bool first = true;
    while (true) {
        if (size - at < 9 || !readAt(file.get(), at, 9, head)) {
            reader.fail(at == size ? "file cut short (no footer)" : "file cut short", at);
            break;
        }
        uint8_t op = head[0];
        uint64_t length = 0;
        for (int i = 0; i < 8; ++i) length |= uint64_t{head[1 + i]} << (8 * i);
        if (first && op != OP_HEADER) {
            reader.fail("no header after the magic", at);
            break;
        }
        first = false;
        const uint64_t contentAt = at + 9;
        if (length > size - contentAt) {
            reader.fail("file cut short", at);
            break;
        }
        if (op == OP_FOOTER) {
            std::vector<uint8_t> magic;
            if (size - contentAt - length != sizeof(MAGIC) || !readAt(file.get(), contentAt + length, sizeof(MAGIC), magic) ||
                std::memcmp(magic.data(), MAGIC, sizeof(MAGIC)) != 0) {
                reader.fail("no magic after the footer", at);
                break;
            }
            result.complete = true;
            break;
        }
        if (op == OP_MESSAGE) {
            reader.fail("a message outside a chunk (only chunked files are indexed)", at);
            break;
        }
        if (op == OP_CHUNK || op == OP_SCHEMA || op == OP_CHANNEL) {
            if (length > recordLimit(options)) {
                reader.fail("record too large", at);
                break;
            }
            if (!readAt(file.get(), contentAt, length, content)) {
                reader.fail("file cannot be read", at);
                break;
            }
            reader.counted = 0;
            if (!reader.record(op, Cursor{content.data(), content.size()}, at, false)) break;
            if (op == OP_CHUNK) {
                index.chunks.push_back({contentAt, length, reader.counted ? reader.firstTime : 0,
                                        reader.counted ? reader.lastTime : 0, reader.counted});
            }
        }
        at = contentAt + length;
    }
    index.schemas = std::move(result.schemas);
    index.channels = std::move(result.channels);
    index.complete = result.complete;
    index.error = std::move(result.error);
    return index;
}

bool readChunk(std::FILE* file, const FileIndex& index, const ChunkPlace& place, std::vector<ReadMessage>& out,
               std::string& error, const ReadOptions& options) {
    out.clear();
    std::vector<uint8_t> content;
    if (place.length > recordLimit(options) || !readAt(file, place.offset, place.length, content)) {
        error = "cannot read the chunk at byte " + std::to_string(place.offset);
        return false;
    }
    ReadResult result;
    result.channels = index.channels;
    Reader reader{options, result, {}};
    if (!reader.chunk(Cursor{content.data(), content.size()}, place.offset)) {
        error = result.error;
        return false;
    }
    std::stable_sort(result.messages.begin(), result.messages.end(),
                     [](const ReadMessage& a, const ReadMessage& b) { return a.logTime < b.logTime; });
    out = std::move(result.messages);
    return true;
}

}  // namespace mcap
