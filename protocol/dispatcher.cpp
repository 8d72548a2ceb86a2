#include "protocol/dispatcher.h"

#include "app/control_state.h"
#include "camera/frame_dump.h"
#include "camera/pass_through.h"
#include "camera/tracking_control.h"
#include "motion/drive_command.h"
#include "protocol/framing.h"
#include "protocol/send_reply.h"
#include "protocol/wire.h"

namespace {
int replyCode(uint8_t code) { return sendReply(&code, 1, control.commandEndpoint); }
}  // namespace

int dispatchCommand(const uint8_t* packet, int32_t count) {
    if (count < 1) return 0;  // nothing collected: no letter and no checksum
    if (packetChecksum(packet, count - 1) != packet[count - 1]) return replyCode(RESULT_BAD_CHECKSUM);
    switch (packet[0]) {
        case COMMAND_MODULES_PASS_THROUGH: controllerPassThrough(packet, count); return 0;
        case COMMAND_CAMERA_PASS_THROUGH: cameraPassThrough(packet, count); return 0;
        case COMMAND_FRAME_DUMP: frameDump(); return 0;
        case COMMAND_STOP_TRACKING: stopTracking(); return 0;
        case COMMAND_DRIVE: driveCommand(packet, count); return 0;
        // Tracking letters: the mode flag is set before tracking starts, so the first tracking
        // step already sees it.
        case COMMAND_TRACK_COLOUR_BOTH:
            control.trackModeBoth = true;
            startColourTracking(packet, count);
            return 0;
        case COMMAND_TRACK_COLOUR_SERVO1:
            control.trackModeServo1 = true;
            startColourTracking(packet, count);
            return 0;
        case COMMAND_TRACK_COLOUR_SERVO2:
            control.trackModeServo2 = true;
            startColourTracking(packet, count);
            return 0;
        case COMMAND_TRACK_COLOUR_REPORT:
            control.trackModeReportOnly = true;
            startColourTracking(packet, count);
            return 0;
        case COMMAND_TRACK_WINDOW_BOTH:
            control.trackModeBoth = true;
            startWindowTracking();
            return 0;
        case COMMAND_TRACK_WINDOW_SERVO1:
            control.trackModeServo1 = true;
            startWindowTracking();
            return 0;
        case COMMAND_TRACK_WINDOW_SERVO2:
            control.trackModeServo2 = true;
            startWindowTracking();
            return 0;
        case COMMAND_TRACK_WINDOW_REPORT:
            control.trackModeReportOnly = true;
            startWindowTracking();
            return 0;
        default: return replyCode(RESULT_UNKNOWN_COMMAND);
    }
}
