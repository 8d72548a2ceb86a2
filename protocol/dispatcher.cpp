#include "protocol/dispatcher.h"

#include "app/control_state.h"
#include "motion/drive_command.h"
#include "protocol/framing.h"

namespace {
int replyCode(uint8_t code) { return sendReply(&code, 1, control.commandEndpoint); }
}  // namespace

int dispatchCommand(const uint8_t* packet, int32_t count) {
    if (count < 1) return 0;  // nothing collected: no letter and no checksum
    if (packetChecksum(packet, count - 1) != packet[count - 1]) return replyCode(RESULT_BAD_CHECKSUM);
    switch (packet[0]) {
        case 'P':
            driveCommand(packet, count);
            return 0;
        default:
            return replyCode(RESULT_UNKNOWN_COMMAND);
    }
}
