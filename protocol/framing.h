// Packets on the wire, in both directions: 0xFF 0x38, the packet's bytes with every 0xFF sent
// twice, 0xFF 0x37. A packet's last byte is its checksum, the sum of the bytes before it modulo
// 256. Inside a frame 0xFF 0x36 from the client is the quit escape.
#pragma once

#include <cstdint>

constexpr uint8_t FRAME_ESCAPE = 0xFF;
constexpr uint8_t FRAME_START = 0x38;  // '8'
constexpr uint8_t FRAME_END = 0x37;    // '7'
constexpr uint8_t FRAME_QUIT = 0x36;   // '6'
constexpr int PACKET_BUFFER_SIZE = 200;
// A reply's escaped payload and checksum must fit this, which makes a frame at most 256 bytes.
constexpr int REPLY_ESCAPED_LIMIT = 252;

// The sum of count bytes modulo 256; 0 for a count of 0 or less.
uint8_t packetChecksum(const uint8_t* bytes, int count);

// Copies count bytes to dest with every 0xFF written twice; returns the number written. dest
// must have room for twice the count.
int escapeBytes(uint8_t* dest, const uint8_t* src, int count);

// The deframer of the command port, kept across receives.
struct Deframer {
    uint8_t packetBuffer[PACKET_BUFFER_SIZE] = {};
    int32_t count = 0;
    bool escape = false;    // the previous byte was a lone 0xFF
    bool overflow = false;  // the packet grew past the buffer and is dropped up to the next marker
};

enum class DeframeEvent {
    None,    // the byte was taken in
    Packet,  // a packet is complete in packetBuffer[0..count); the caller takes it and sets count 0
    Quit,    // the quit escape: the rest of the received bytes are dropped
};

// Takes one received byte.
DeframeEvent deframeByte(Deframer& deframer, uint8_t byte);
