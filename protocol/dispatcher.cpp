#include "protocol/dispatcher.h"

#include "app/control_state.h"
#include "camera/frame_dump.h"
#include "camera/pass_through.h"
#include "camera/tracking_control.h"
#include "motion/drive_command.h"
#include "protocol/framing.h"

namespace {
int replyCode(uint8_t code) { return sendReply(&code, 1, control.commandEndpoint); }
}  // namespace

int dispatchCommand(const uint8_t* packet, int32_t count) {
    if (count < 1) return 0;  // nothing collected: no letter and no checksum
    if (packetChecksum(packet, count - 1) != packet[count - 1]) return replyCode(RESULT_BAD_CHECKSUM);
    switch (packet[0]) {
        case 'B':
            controllerPassThrough(packet, count);
            return 0;
        case 'C':
            cameraPassThrough(packet, count);
            return 0;
        case 'D':
            frameDump();
            return 0;
        case 'N':
            stopTracking();
            return 0;
        case 'P':
            driveCommand(packet, count);
            return 0;
        // Tracking letters: the mode flag is set before tracking starts, so the first tracking
        // step already sees it.
        case 'T':
            control.trackModeBoth = true;
            startColourTracking(packet, count);
            return 0;
        case 'U':
            control.trackModeServo1 = true;
            startColourTracking(packet, count);
            return 0;
        case 'V':
            control.trackModeServo2 = true;
            startColourTracking(packet, count);
            return 0;
        case 'A':
            control.trackModeReportOnly = true;
            startColourTracking(packet, count);
            return 0;
        case 'W':
            control.trackModeBoth = true;
            startWindowTracking();
            return 0;
        case 'X':
            control.trackModeServo1 = true;
            startWindowTracking();
            return 0;
        case 'Y':
            control.trackModeServo2 = true;
            startWindowTracking();
            return 0;
        case 'Z':
            control.trackModeReportOnly = true;
            startWindowTracking();
            return 0;
        default:
            return replyCode(RESULT_UNKNOWN_COMMAND);
    }
}
