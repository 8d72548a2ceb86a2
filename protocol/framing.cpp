#include "protocol/framing.h"

uint8_t packetChecksum(const uint8_t* bytes, int count) {
    uint32_t sum = 0;
    for (int i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

int escapeBytes(uint8_t* dest, const uint8_t* src, int count) {
    int written = 0;
    for (int i = 0; i < count; ++i) {
        dest[written++] = src[i];
        if (src[i] == FRAME_ESCAPE) dest[written++] = FRAME_ESCAPE;
    }
    return written;
}

namespace {
void store(Deframer& d, uint8_t byte) {
    if (d.overflow) return;
    if (d.count >= PACKET_BUFFER_SIZE) {
        // Too long for any command: dropped whole, up to the next marker.
        d.overflow = true;
        d.count = 0;
        return;
    }
    d.packetBuffer[d.count++] = byte;
}
}  // namespace

DeframeEvent deframeByte(Deframer& d, uint8_t byte) {
    if (!d.escape) {
        if (byte == FRAME_ESCAPE) {
            d.escape = true;
        } else {
            store(d, byte);
        }
        return DeframeEvent::None;
    }
    d.escape = false;
    switch (byte) {
        case FRAME_ESCAPE: store(d, FRAME_ESCAPE); return DeframeEvent::None;
        case FRAME_END:
            if (d.overflow || d.count == 0) {  // nothing whole to hand on
                d.overflow = false;
                d.count = 0;
                return DeframeEvent::None;
            }
            return DeframeEvent::Packet;
        case FRAME_QUIT: return DeframeEvent::Quit;
        default:  // a start marker, or an unknown escape that drops the packet and this byte
            d.overflow = false;
            d.count = 0;
            return DeframeEvent::None;
    }
}
