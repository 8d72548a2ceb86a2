#include "app/serial_line_watch.h"

#include <cstdio>

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kReopenEveryUs = 250000;
// The program's end waits at most three of those periods for a line that is down.
constexpr int kShutdownReopenAttempts = 4;

// The known state after the line came back: the switch may have been reset or moved, the
// modules may have heard half a packet.
void recoverRobot() {
    controllerEntryForced();
    driveStopConfirmed();
    control.driveStopped = true;
    for (int channel = 0; channel < 4; ++channel) servoOff(channel);
    for (bool& on : control.servoEnabled) on = false;
    control.trackParserState = 0;
}

}  // namespace

bool serialLineWatch() {
    SerialPort* port = control.serialPort;
    if (port == nullptr) return false;
    if (!control.serialLineDown) {
        if (!port->lineLost.load()) return true;
        // The device goes at once, so that an adapter plugged in again finds its name free.
        port->close();
        control.serialLineDown = true;
        control.serialReopenAttemptUs = platform::monotonicUs();
        std::fprintf(stderr, "Halvoran: the serial line %s hung up; opening it again every 250 ms\n", port->portName);
        return false;
    }
    const uint64_t now = platform::monotonicUs();
    if (now - control.serialReopenAttemptUs < kReopenEveryUs) return false;
    control.serialReopenAttemptUs = now;
    if (!port->reopen()) return false;
    control.serialLineDown = false;
    // What the switch selects is not known after the outage.
    control.cameraSelected = -1;
    recoverRobot();
    std::fprintf(stderr,
                 "Halvoran: the serial line %s is back: controller channel selected afresh, drive stopped%s, "
                 "servos off\n",
                 port->portName, control.driveStopUnconfirmed ? " (not yet confirmed)" : "");
    return true;
}

bool serialLineReopenForShutdown() {
    SerialPort* port = control.serialPort;
    if (port == nullptr) return false;
    if (!control.serialLineDown && !port->lineLost.load()) return true;
    // A few more tries, 250 ms apart, for an adapter that is being plugged in again.
    bool reopened = port->reopen();
    for (int attempt = 1; !reopened && attempt < kShutdownReopenAttempts; ++attempt) {
        platform::sleepMs(static_cast<uint32_t>(kReopenEveryUs / 1000));
        reopened = port->reopen();
    }
    if (!reopened) {
        std::fprintf(stderr, "Halvoran: the serial line %s is still down at the end: the robot could not be stopped\n",
                     port->portName);
        return false;
    }
    control.serialLineDown = false;
    control.cameraSelected = -1;
    std::fprintf(stderr, "Halvoran: the serial line %s is back for the end\n", port->portName);
    return true;
}

int64_t usUntilSerialReopen() {
    if (!control.serialLineDown) {
        // A hang-up noticed by the reader thread but not yet by a pass: the next pass takes it.
        return control.serialPort != nullptr && control.serialPort->lineLost.load() ? 0 : -1;
    }
    const uint64_t since = platform::monotonicUs() - control.serialReopenAttemptUs;
    return since >= kReopenEveryUs ? 0 : static_cast<int64_t>(kReopenEveryUs - since);
}
