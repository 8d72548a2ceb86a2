#include "camera/pass_through.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "protocol/send_reply.h"
#include "protocol/wire.h"

namespace {

constexpr int kCarriageReturn = 0x0D;
constexpr uint8_t kPrompt = ':';
constexpr uint8_t kEmptyRead = '*';  // what readByte leaves in its output when the ring is empty
constexpr int kFirstAnswerIndex = 2;
constexpr int kCameraEmptyPolls = 10;
constexpr int kCameraPositionLimit = 96;  // a longer answer at an empty poll is given up
constexpr int kControllerEmptyPolls = 4;
constexpr uint32_t kPollPauseMs = 50;
// At most this many bytes beyond the buffer are dropped by one 'B': a second of the 115200-baud
// line (10 bits a byte).
constexpr int kControllerDropLimit = 11520;

// The number of bytes to send: the count byte read as signed, never more than the packet holds
// between the count byte and the checksum.
int bytesToSend(const uint8_t* packet, int32_t count) {
    if (count < 2) return 0;
    int requested = static_cast<int8_t>(packet[1]);
    int present = count - 3;
    if (requested > present) requested = present;
    return requested > 0 ? requested : 0;
}

// The switch at the far end hears every byte: a request that holds its escape byte may have moved
// it, so the channel is not known afterwards.
void writeRequest(const uint8_t* packet, int n) {
    for (int i = 0; i < n; ++i) control.serialPort->writeByte(packet[2 + i]);
    channelUnknownAfter(packet + 2, n);
}

// A request that holds a packet for the drive module may start the drive: it is watched as a
// speed would be. The bytes are framed as the modules frame them (an address, a count, that many
// bytes; anything else skipped while looking for an address).
bool addressesDriveModule(const uint8_t* bytes, int n) {
    int i = 0;
    while (i < n) {
        if (bytes[i] == DRIVE_MODULE) return true;
        if (bytes[i] == SERVO_MODULE && i + 1 < n) {
            i += 2 + bytes[i + 1];
            continue;
        }
        ++i;
    }
    return false;
}

}  // namespace

void cameraPassThrough(const uint8_t* packet, int32_t count) {
    cameraEntryWithPrompt();
    writeRequest(packet, bytesToSend(packet, count));
    control.serialPort->writeByte(kCarriageReturn);

    uint8_t answer[PASS_THROUGH_BUFFER_SIZE];
    int p = kFirstAnswerIndex;
    int emptyPolls = 0;
    for (;;) {
        if (control.serialPort->readByte(answer[p])) {
            if (answer[p] == kPrompt) {
                answer[0] = RESULT_DONE;
                answer[1] = static_cast<uint8_t>(p - 1);
                sendReply(answer, p + 1, control.commandEndpoint);
                return;
            }
            ++p;
            if (p == PASS_THROUGH_BUFFER_SIZE) break;  // full without a prompt
            continue;
        }
        platform::sleepMs(kPollPauseMs);
        ++emptyPolls;
        if (emptyPolls >= kCameraEmptyPolls || p > kCameraPositionLimit) break;
    }
    const uint8_t failed[2] = {RESULT_NO_CAMERA_ANSWER, 0};
    sendReply(failed, 2, control.commandEndpoint);
}

void controllerPassThrough(const uint8_t* packet, int32_t count) {
    controllerEntryPlain();
    control.serialPort->drain();
    const int n = bytesToSend(packet, count);
    writeRequest(packet, n);
    if (addressesDriveModule(packet + 2, n)) armDriveWatch(takeTimeStamp());

    uint8_t answer[PASS_THROUGH_BUFFER_SIZE];
    // The last place of the buffer is kept for the closing '*'.
    constexpr int kLastDataIndex = PASS_THROUGH_BUFFER_SIZE - 2;
    int p = kFirstAnswerIndex;
    int emptyPolls = 0;
    int dropped = 0;
    // The collection runs until the fourth empty poll whatever the answer's length: bytes that do
    // not fit are read and dropped, so that none of them is left in the ring for the next reply
    // reader. A device that never falls silent is given up after a second of line time.
    for (;;) {
        uint8_t byte = 0;
        if (control.serialPort->readByte(byte)) {
            if (p <= kLastDataIndex) {
                answer[p++] = byte;
            } else if (++dropped >= kControllerDropLimit) {
                break;
            }
            continue;
        }
        platform::sleepMs(kPollPauseMs);
        ++emptyPolls;
        if (emptyPolls >= kControllerEmptyPolls) break;
    }
    answer[p] = kEmptyRead;
    answer[0] = RESULT_DONE;
    answer[1] = static_cast<uint8_t>(p - 1);
    sendReply(answer, p + 1, control.commandEndpoint);
}
