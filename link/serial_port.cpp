#include "link/serial_port.h"

#include "record/hooks.h"

namespace {

// The reader thread wakes on received bytes and on changes of CTS, DSR, RLSD and RING at its
// first wait, and no longer on RLSD from the second wait on.
constexpr uint32_t kFirstEventMask =
    platform::EV_RXCHAR | platform::EV_CTS | platform::EV_DSR | platform::EV_RLSD | platform::EV_RING;          // 0x139
constexpr uint32_t kEventMask = platform::EV_RXCHAR | platform::EV_CTS | platform::EV_DSR | platform::EV_RING;  // 0x119
static_assert(kFirstEventMask == 0x139 && kEventMask == 0x119);

// A one-byte read gives up after 12 ms (2 x 1 + 10) and a one-byte write after 1010 ms.
constexpr platform::SerialTimeouts kTimeouts{50, 2, 10, 10, 1000};

int32_t advance(int32_t index) { return (index + 1) % RING_SIZE; }

void fail(SerialPort& port, const char* message) {
    platform::messageBox(message, "Error");
    port.isOpen = false;
}

}  // namespace

SerialPort::SerialPort(const char* name) : portName(name) {
    platform::SerialLine* line = platform::serialOpen(portName);
    if (line == nullptr) {
        fail(*this, "Unable to open the port");
        return;
    }
    handle.store(line);
    // The driver's own queues are left at their sizes; the ring takes 40000 bytes.
    if (!platform::serialConfigure(line)) {
        fail(*this, "Unable to configure the serial port");
        return;
    }
    if (!platform::serialSetTimeouts(line, kTimeouts)) {
        fail(*this, "Unable to set the time-out parameters");
        return;
    }
    if (!platform::startThread(&SerialPort::readerThread, this, &reader_)) {
        platform::messageBox("Unable to create the read thread", "Error");
    }
    isOpen = true;
}

SerialPort::~SerialPort() { close(); }

bool SerialPort::reopen() {
    close();
    platform::SerialLine* line = platform::serialOpen(portName);
    if (line == nullptr) return false;
    if (!platform::serialConfigure(line) || !platform::serialSetTimeouts(line, kTimeouts)) {
        platform::serialClose(line);
        return false;
    }
    // Nothing from before the hang-up is taken as an answer to what comes after it.
    flush();
    lineLost.store(false);
    handle.store(line);
    if (!platform::startThread(&SerialPort::readerThread, this, &reader_)) {
        handle.store(nullptr);
        platform::serialClose(line);
        return false;
    }
    isOpen = true;
    return true;
}

uint32_t SerialPort::readerThread(void* arg) {
    // Above the main loop when it runs at a real-time priority (app/realtime.h).
    platform::enterReaderPriority();
    SerialPort* port = static_cast<SerialPort*>(arg);
    platform::SerialLine* line = port->handle.load();
    if (line == nullptr) return 0;
    platform::serialSetEventMask(line, kFirstEventMask);
    // The handle is read again before every wait; close makes it invalid and ends the wait.
    while ((line = port->handle.load()) != nullptr) {
        uint32_t events = 0;
        if (!platform::serialWaitEvent(line, &events)) continue;
        if (events == 0) {
            // A wait that ends without an event: the device hung up (or failed a read). The
            // thread ends; the owner closes the line and opens the device again (reopen).
            port->lineLost.store(true);
            platform::wakeMainLoop();
            return 0;
        }
        platform::serialSetEventMask(line, kEventMask);
        if ((events & platform::EV_RXCHAR) == 0) continue;
        uint8_t byte = 0;
        while (platform::serialReadByte(line, &byte) == 1) {
            port->storeByte(byte);
            // A main loop waiting for work takes the byte now, not after the burst.
            platform::wakeMainLoop();
        }
        if (platform::serialHungUp(line)) {
            // The read found the device gone: as above.
            port->lineLost.store(true);
            platform::wakeMainLoop();
            return 0;
        }
        platform::sleepMs(0);
    }
    return 0;
}

void SerialPort::storeByte(uint8_t byte) {
    record::serialRead(portName, byte);
    int32_t w = writeIndex.load(std::memory_order_relaxed);
    int32_t next = advance(w);
    // A full ring drops its oldest unread byte, which sits where the write position goes next.
    int32_t oldest = next;
    readIndex.compare_exchange_strong(oldest, advance(next));
    // Released: a consumer that sees this byte also sees the drop above.
    ring[w].store(byte, std::memory_order_release);
    writeIndex.store(next, std::memory_order_release);
}

bool SerialPort::writeByte(int value) {
    platform::SerialLine* line = handle.load();
    if (line == nullptr) return false;  // a port that never opened fails silently
    record::serialWritten(portName, static_cast<uint8_t>(value & 0xFF));
    return platform::serialWriteByte(line, static_cast<uint8_t>(value & 0xFF));
}

// The consumer moves the read index on with a compare-exchange, as the reader thread does when
// the ring overflows: a plain store of an index loaded earlier would undo the drops the reader
// made meanwhile and leave the ring showing almost nothing unread. When the exchange fails the
// oldest byte was dropped under the consumer's feet, and it takes the new oldest one.
bool SerialPort::readByte(uint8_t& out) {
    int32_t r = readIndex.load();
    for (;;) {
        if (r == writeIndex.load(std::memory_order_acquire)) {
            out = '*';
            return false;
        }
        uint8_t byte = ring[r].load(std::memory_order_acquire);
        if (readIndex.compare_exchange_weak(r, advance(r))) {
            out = byte;
            return true;
        }
    }
}

int8_t SerialPort::nextByte() {
    int32_t r = readIndex.load();
    for (;;) {
        const bool empty = r == writeIndex.load(std::memory_order_acquire);
        uint8_t byte = ring[r].load(std::memory_order_acquire);
        if (empty) return static_cast<int8_t>(byte);
        if (readIndex.compare_exchange_weak(r, advance(r))) return static_cast<int8_t>(byte);
    }
}

void SerialPort::flush() {
    int32_t r = readIndex.load();
    while (!readIndex.compare_exchange_weak(r, writeIndex.load(std::memory_order_acquire))) {
    }
}

void SerialPort::drain() {
    uint8_t byte = 0;
    while (readByte(byte)) {
    }
}

void SerialPort::close() {
    platform::SerialLine* line = handle.exchange(nullptr);
    if (line == nullptr) return;
    platform::serialInterrupt(line);
    platform::joinThread(reader_);
    platform::serialClose(line);
}
