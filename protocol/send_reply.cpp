#include "protocol/send_reply.h"

#include <cstring>

#include "net/tcp_endpoint.h"
#include "protocol/framing.h"

int sendReply(const uint8_t* payload, int count, TcpEndpoint* endpoint) {
    uint8_t work[256];
    uint8_t escaped[REPLY_ESCAPED_LIMIT];
    uint8_t frame[256];
    if (count < 1 || count + 1 > static_cast<int>(sizeof work)) return 0;
    std::memcpy(work, payload, static_cast<size_t>(count));
    work[count] = packetChecksum(payload, count);
    int doubled = 0;
    for (int i = 0; i <= count; ++i) doubled += work[i] == FRAME_ESCAPE;
    // A payload whose escaped form does not fit the frame is refused whole.
    if (count + 1 + doubled > REPLY_ESCAPED_LIMIT) return 0;
    int length = escapeBytes(escaped, work, count + 1);
    frame[0] = FRAME_ESCAPE;
    frame[1] = FRAME_START;
    std::memcpy(frame + 2, escaped, static_cast<size_t>(length));
    frame[2 + length] = FRAME_ESCAPE;
    frame[3 + length] = FRAME_END;
    return endpoint->sendBytes(frame, length + 4) ? 1 : 0;
}
