// One opened serial port with a receive ring of 40000 bytes that its own reader thread fills.
//
// Everything the system says to the camera and the controller modules goes out through
// writeByte, one byte per call; everything they answer is taken from the ring. Two threads use
// the object: its reader thread, the only writer of writeIndex, and one consumer thread that
// writes to the port and takes bytes out. Nothing is locked: the indices are atomic and the
// ring never blocks and never refuses a byte (when it is full the oldest unread byte goes).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr int32_t RING_SIZE = 40000;

class SerialPort {
public:
    // Opens, configures and starts the reader thread; a failed step is shown in a message box
    // and leaves isOpen 0. The port name is kept, not copied.
    explicit SerialPort(const char* portName);
    // Closes the port (which waits for the reader thread).
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Writes the low 8 bits of value; the result is the platform write's success.
    bool writeByte(int value);
    // The oldest unread byte: true and the byte, or false and '*' when the ring is empty.
    bool readByte(uint8_t& out);
    // The byte at the read position, moving on only when the ring holds one (0xFF is -1).
    int8_t nextByte();
    // Discards every byte unread at this instant.
    void flush();
    // Reads until the ring is empty, also swallowing bytes that arrive meanwhile.
    void drain();
    // Closes the port and waits until the reader thread has finished; a second call does nothing.
    void close();
    // Closes the line (if still open) and opens, configures and reads the same device again,
    // without message boxes; unread bytes are discarded. False when the device does not open
    // yet (the port is then closed: writes fail and nothing is read).
    bool reopen();

    bool isOpen = false;
    // Set by the reader thread when the device hung up (a USB adapter unplugged, the far end of
    // a pseudo-terminal closed); the reader thread has ended then. Cleared by reopen.
    std::atomic<bool> lineLost{false};
    const char* portName;
    std::atomic<platform::SerialLine*> handle{nullptr};
    std::atomic<uint8_t> ring[RING_SIZE] = {};
    std::atomic<int32_t> writeIndex{0};
    std::atomic<int32_t> readIndex{0};

    // The reader thread's store rule: the byte goes in at writeIndex; when the ring was full,
    // the oldest unread byte is dropped to make room.
    void storeByte(uint8_t byte);

private:
    static uint32_t readerThread(void* arg);
    platform::ThreadHandle reader_{};
};
