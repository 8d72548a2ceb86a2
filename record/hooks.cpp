#include <time.h>

#include <cstring>

#include "record/records.h"

namespace record {

namespace {

std::atomic<Queues*> active{nullptr};

template <typename Queue>
void putBytes(Queue& queue, Kind kind, uint16_t source, const uint8_t* bytes, int count, uint64_t now) {
    const size_t total = static_cast<size_t>(count);
    const size_t slots = (total + RECORD_DATA - 1) / RECORD_DATA;
    queue.pushMany(slots, [&](Record& r, size_t i) {
        const size_t from = i * RECORD_DATA;
        const size_t n = total - from < RECORD_DATA ? total - from : RECORD_DATA;
        r.monoNs = now;
        r.kind = kind;
        r.part = static_cast<uint8_t>((i == 0 ? PART_FIRST : 0) | (i + 1 == slots ? PART_LAST : 0));
        r.size = static_cast<uint16_t>(n);
        r.source = source;
        r.reserved = 0;
        r.value = count;
        std::memcpy(r.data, bytes + from, n);
    });
}

// Hands the bytes to the calling thread's queue.
void put(Queues& q, Kind kind, uint16_t source, const uint8_t* bytes, int count, int32_t value) {
    const uint64_t now = monotonicNs();
    auto single = [&](Record& r, size_t) {
        r.monoNs = now;
        r.kind = kind;
        r.part = PART_FIRST | PART_LAST;
        r.size = static_cast<uint16_t>(count);
        r.source = source;
        r.reserved = 0;
        r.value = value;
        if (count > 0) std::memcpy(r.data, bytes, static_cast<size_t>(count));
    };
    const bool many = kind == Kind::PortReceived || kind == Kind::PortSent;
    if (std::this_thread::get_id() == q.mainThread) {
        if (many) putBytes(q.main, kind, source, bytes, count, now);
        else q.main.pushMany(1, single);
        return;
    }
    if (q.otherBusy.test_and_set(std::memory_order_acquire)) {
        q.otherDropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (many) putBytes(q.other, kind, source, bytes, count, now);
    else q.other.pushMany(1, single);
    q.otherBusy.clear(std::memory_order_release);
}

}  // namespace

uint64_t monotonicNs() {
    // The vDSO answers CLOCK_MONOTONIC without entering the kernel.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint16_t lineDigit(const char* portName) {
    if (portName != nullptr && std::strncmp(portName, "COM", 3) == 0 && portName[3] >= '1' && portName[3] <= '9')
        return static_cast<uint16_t>(portName[3]);
    return '1';
}

void activate(Queues* queues) {
    queues->mainThread = std::this_thread::get_id();
    active.store(queues, std::memory_order_release);
}

void deactivate() { active.store(nullptr, std::memory_order_release); }

void serialRead(const char* portName, uint8_t byte) {
    Queues* q = active.load(std::memory_order_acquire);
    if (q == nullptr) return;
    const uint16_t line = lineDigit(portName);
    if (line != '1') {
        put(*q, Kind::SerialRead, line, &byte, 1, 0);
        return;
    }
    // The first line's reader thread is the reader queue's only producer.
    const uint64_t now = monotonicNs();
    q->reader.pushMany(1, [&](Record& r, size_t) {
        r.monoNs = now;
        r.kind = Kind::SerialRead;
        r.part = PART_FIRST | PART_LAST;
        r.size = 1;
        r.source = line;
        r.reserved = 0;
        r.value = 0;
        r.data[0] = byte;
    });
}

void serialWritten(const char* portName, uint8_t byte) {
    Queues* q = active.load(std::memory_order_acquire);
    if (q != nullptr) put(*q, Kind::SerialWritten, lineDigit(portName), &byte, 1, 0);
}

void portReceived(int port, const uint8_t* bytes, int count) {
    Queues* q = active.load(std::memory_order_acquire);
    if (q != nullptr && count > 0) put(*q, Kind::PortReceived, static_cast<uint16_t>(port), bytes, count, count);
}

void portSent(int port, const uint8_t* bytes, int count) {
    Queues* q = active.load(std::memory_order_acquire);
    if (q != nullptr && count > 0) put(*q, Kind::PortSent, static_cast<uint16_t>(port), bytes, count, count);
}

void event(Event what, int32_t value) {
    Queues* q = active.load(std::memory_order_acquire);
    if (q != nullptr) put(*q, Kind::Event, static_cast<uint16_t>(what), nullptr, 0, value);
}

}  // namespace record
