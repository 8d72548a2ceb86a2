#include "camera/frame_dump.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "net/tcp_endpoint.h"
#include "protocol/send_reply.h"
#include "protocol/wire.h"

namespace {

constexpr int kCarriageReturn = 0x0D;
constexpr uint8_t kFrameEnd = 3;
constexpr uint8_t kPrompt = ':';
constexpr int kEmptyPollLimit = 500;
constexpr uint32_t kChunkPauseMs = 250;

// One frame at a time, for the whole run: the main thread is the only user.
uint8_t frameBuffer[FRAME_BUFFER_SIZE];

// Reads the camera's output into frameBuffer; the number of bytes when it is complete, or -1
// when the dump gives up.
int32_t collectFrame() {
    int32_t count = 0;
    int emptyPolls = 0;
    bool frameEndSeen = false;
    for (;;) {
        // count is at most FRAME_BYTES_MAX here, so the read stays inside the buffer.
        if (control.serialPort->readByte(frameBuffer[count])) {
            const uint8_t byte = frameBuffer[count];
            const bool complete = frameEndSeen && byte == kPrompt;
            ++count;
            emptyPolls = 0;
            if (byte == kFrameEnd) frameEndSeen = true;
            if (count > FRAME_BYTES_MAX) return -1;
            if (complete) return count;
            continue;
        }
        ++emptyPolls;
        const bool giveUp = emptyPolls >= kEmptyPollLimit;
        platform::sleepMs(1);
        if (giveUp) return -1;
    }
}

// Sends a complete output of `count` bytes to the image port in paced chunks.
void sendFrame(const uint8_t* bytes, int32_t count) {
    int32_t sent = 0;
    for (int32_t chunk = 0; chunk < count / FRAME_CHUNK; ++chunk) {
        control.imageEndpoint->sendBytes(bytes + sent, FRAME_CHUNK);
        sent += FRAME_CHUNK;
        platform::sleepMs(kChunkPauseMs);
    }
    // The rest; when the output is a whole number of chunks this send is empty and puts nothing
    // on the wire.
    control.imageEndpoint->sendBytes(bytes + sent, count - sent);
}

}  // namespace

void frameDump() {
    controllerEntryPlain();
    // Confirmed by its read-back; an unconfirmed stop is sent again by the drive watch.
    driveStopConfirmed();
    control.driveStopped = true;
    cameraEntryForFrameDump();
    const uint8_t done = RESULT_DONE;
    sendReply(&done, 1, control.commandEndpoint);
    control.serialPort->writeByte('d');
    control.serialPort->writeByte('f');
    control.serialPort->writeByte(kCarriageReturn);

    const int32_t count = collectFrame();
    if (count < 0) return;
    sendFrame(frameBuffer, count);
}
