// The records that the hooks queue for the recorder's writer thread, and the queues themselves.
// A record is 64 bytes; bytes of a port that do not fit one record continue in the next slots
// of the same queue, published together.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "record/hooks.h"
#include "record/spsc_queue.h"

namespace record {

enum class Kind : uint8_t { SerialWritten = 1, SerialRead, PortReceived, PortSent, Event };

constexpr uint8_t PART_FIRST = 1;
constexpr uint8_t PART_LAST = 2;
constexpr size_t RECORD_DATA = 44;

struct Record {
    uint64_t monoNs;  // CLOCK_MONOTONIC (steady_clock) when the hook ran
    Kind kind;
    uint8_t part;     // PART_FIRST and/or PART_LAST: where this slot sits in a port's bytes
    uint16_t size;    // bytes of data in this slot
    uint16_t source;  // the port number, or the serial line's digit ('1' for COM1:)
    uint16_t reserved;
    int32_t value;  // the event's value; port bytes: the whole count
    uint8_t data[RECORD_DATA];
};
static_assert(sizeof(Record) == 64);

// The main thread's queue takes every record the main thread makes, the reader queue the bytes
// of the first line's reader thread. Records of any other thread (the menu mode's) share a third
// queue behind a flag that is only ever tried: a busy flag drops the record.
constexpr size_t MAIN_QUEUE = 1 << 16;
constexpr size_t READER_QUEUE = 1 << 16;
constexpr size_t OTHER_QUEUE = 1 << 12;

struct Queues {
    SpscQueue<Record, MAIN_QUEUE> main;
    SpscQueue<Record, READER_QUEUE> reader;
    SpscQueue<Record, OTHER_QUEUE> other;
    std::atomic_flag otherBusy = ATOMIC_FLAG_INIT;
    std::atomic<uint64_t> otherDropped{0};
    std::thread::id mainThread;
};

// Recording on: the calling thread becomes the main thread and the hooks fill `queues`.
// Off: the hooks do nothing from their next call on (the queues stay valid for the program's life).
void activate(Queues* queues);
void deactivate();
uint64_t monotonicNs();
// The serial line digit of a port name ("COM2:" -> '2'; anything else '1').
uint16_t lineDigit(const char* portName);

}  // namespace record
