#include "camera/tracking_control.h"

#include <cstdio>

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "protocol/send_reply.h"
#include "protocol/wire.h"

namespace {

constexpr int kCarriageReturn = 0x0D;
constexpr int kColourParameters = 6;
// " %d" six times: 12 to 24 characters and the terminator.
constexpr int kParameterTextSize = 25;

void answerDone() {
    const uint8_t done = RESULT_DONE;
    sendReply(&done, 1, control.commandEndpoint);
}

void writeText(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) control.serialPort->writeByte(static_cast<uint8_t>(*c));
}

// Following goes on from the positions last sent to the servos; the parser waits for a 0xFF.
void restartFollowing() {
    control.trackServo1Position = static_cast<uint8_t>(control.lastServo1Position & 0xFF);
    control.trackServo2Position = static_cast<uint8_t>(control.lastServo2Position & 0xFF);
    control.trackParserState = 0;
}

}  // namespace

void startColourTracking(const uint8_t* packet, int32_t count) {
    answerDone();
    // Parameter bytes sit between the letter (index 0) and the checksum (index count - 1).
    uint8_t values[kColourParameters] = {};
    for (int i = 0; i < kColourParameters; ++i) {
        int index = 1 + i;
        if (index <= count - 2) values[i] = packet[index];
    }
    cameraEntryDouble();
    char text[kParameterTextSize];
    std::snprintf(text, sizeof text, " %d %d %d %d %d %d", values[0], values[1], values[2], values[3], values[4],
                  values[5]);
    control.serialPort->writeByte('t');
    control.serialPort->writeByte('c');
    writeText(text);
    control.serialPort->writeByte(kCarriageReturn);
    restartFollowing();
}

void startWindowTracking() {
    answerDone();
    cameraEntryDouble();
    control.serialPort->writeByte('t');
    control.serialPort->writeByte('w');
    control.serialPort->writeByte(kCarriageReturn);
    restartFollowing();
}

void stopTracking() {
    control.trackModeBoth = false;
    control.trackModeServo1 = false;
    control.trackModeServo2 = false;
    control.trackModeReportOnly = false;
    control.serialPort->writeByte(kCarriageReturn);
    platform::sleepMs(50);
    control.serialPort->drain();
    answerDone();
}
