#include "camera/tracking_parser.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/target_following.h"
#include "protocol/send_reply.h"

namespace {

constexpr uint8_t kPacketStart = 0xFF;
constexpr uint8_t kFollowThreshold = 5;  // confidences above it make the servos follow

bool positive(uint8_t confidence) { return static_cast<int8_t>(confidence) > 0; }

void sendReport(const TrackReport& report) {
    const uint8_t payload[sizeof(TrackReport)] = {report.servo1Position, report.servo2Position, report.middleX,
                                                  report.middleY,        report.width,          report.height,
                                                  report.pixels,         report.confidence};
    sendReply(payload, sizeof payload, control.trackingEndpoint);
}

void completePacket() {
    if (control.trackConfidence > kFollowThreshold) followTarget(control.trackMiddleX, control.trackMiddleY);
    control.trackReportCounter = (control.trackReportCounter + 1) % 3;

    TrackReport current;
    current.servo1Position = control.trackServo1Position;
    current.servo2Position = control.trackServo2Position;
    current.middleX = control.trackMiddleX;
    current.middleY = control.trackMiddleY;
    current.width = control.trackWidth;
    current.height = control.trackHeight;
    current.pixels = control.trackPixels;
    current.confidence = control.trackConfidence;

    if (control.trackReportCounter == 1) {
        control.trackHistoryB = current;
    } else if (control.trackReportCounter == 2) {
        control.trackHistoryA = current;
    } else if (positive(current.confidence)) {
        sendReport(current);
    } else if (positive(control.trackHistoryA.confidence)) {
        sendReport(control.trackHistoryA);
    } else if (positive(control.trackHistoryB.confidence)) {
        sendReport(control.trackHistoryB);
    } else {
        sendReport(current);
    }
}

}  // namespace

void trackingStep() {
    cameraEntryOfTrackingStep();
    uint8_t b = 0;
    if (!control.serialPort->readByte(b)) return;
    if (b == kPacketStart) {
        control.trackParserState = 1;
        return;
    }
    switch (control.trackParserState) {
        case 1:
            control.trackParserState = 2;  // the type byte
            break;
        case 2:
            control.trackMiddleX = b;
            control.trackParserState = 3;
            break;
        case 3:
            control.trackMiddleY = b;
            control.trackParserState = 4;
            break;
        case 4:
            control.trackWidth = b;  // the first corner, until the second one comes
            control.trackParserState = 5;
            break;
        case 5:
            control.trackHeight = b;
            control.trackParserState = 6;
            break;
        case 6:
            control.trackWidth = static_cast<uint8_t>(b - control.trackWidth);
            control.trackParserState = 7;
            break;
        case 7:
            control.trackHeight = static_cast<uint8_t>(b - control.trackHeight);
            control.trackParserState = 8;
            break;
        case 8:
            control.trackPixels = b;
            control.trackParserState = 9;
            break;
        case 9:
            control.trackConfidence = b;
            control.trackParserState = 0;
            completePacket();
            break;
        default:
            // Waiting for a packet's start: whatever comes before it is ignored.
            control.trackParserState = 0;
            break;
    }
}
