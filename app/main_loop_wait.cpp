#include "app/main_loop_wait.h"

#include "app/control_state.h"
#include "app/serial_line_watch.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "motion/idle_timeouts.h"
#include "net/tcp_endpoint.h"
#include "platform/platform.h"

namespace {

// What the idle work of a pass can change. When a pass changed it, the next pass may act again
// at the same clock reading (a drive just stopped lets servo 0 go off), so it follows at once.
struct IdleWorkState {
    bool servoEnabled[3] = {};
    bool driveStopped = false;
    bool driveSpeedSent = false;
    bool driveStopUnconfirmed = false;
    bool serialLineDown = false;
    int32_t cameraSelected = 0;

    bool operator==(const IdleWorkState&) const = default;
};

IdleWorkState idleWorkState() {
    IdleWorkState state;
    for (int ch = 0; ch < 3; ++ch) state.servoEnabled[ch] = control.servoEnabled[ch];
    state.driveStopped = control.driveStopped;
    state.driveSpeedSent = control.driveSpeedSent;
    state.driveStopUnconfirmed = control.driveStopUnconfirmed;
    state.serialLineDown = control.serialLineDown;
    state.cameraSelected = control.cameraSelected;
    return state;
}

IdleWorkState afterLastPass;  // main thread only

bool tracking() {
    return control.trackModeBoth || control.trackModeServo2 || control.trackModeServo1 || control.trackModeReportOnly;
}

bool ringHasBytes() {
    SerialPort* port = control.serialPort;
    return port != nullptr && port->readIndex.load() != port->writeIndex.load(std::memory_order_acquire);
}

platform::Socket clientSocket(TcpEndpoint* endpoint) {
    return endpoint != nullptr ? endpoint->clientSocket.load() : platform::INVALID_SOCKET_VALUE;
}

}  // namespace

void waitForNextPass(bool receivedCommandBytes) {
    const IdleWorkState now = idleWorkState();
    const bool idleWorkActed = !(now == afterLastPass);
    afterLastPass = now;
    if (receivedCommandBytes || idleWorkActed || control.quitRequested.load()) return;
    // The tracking step has a byte to take, or must first take the camera channel.
    if (tracking() && (control.cameraSelected != 1 || ringHasBytes())) return;

    // The time-outs are checked when the clock's seconds change: the wait ends right then.
    int64_t timeoutUs = idleTimeoutArmed() ? static_cast<int64_t>(platform::usToNextSecond()) : -1;
    // An unconfirmed stop is sent again 100 ms after its last attempt, a line that hung up is
    // opened again every 250 ms: the wait ends when either is due.
    const auto sooner = [&timeoutUs](int64_t us) {
        if (us >= 0 && (timeoutUs < 0 || us < timeoutUs)) timeoutUs = us;
    };
    sooner(usUntilSerialReopen());
    if (control.driveStopUnconfirmed && !control.serialLineDown) sooner(usUntilStopRetry());
    const platform::Socket sockets[3] = {clientSocket(control.imageEndpoint), clientSocket(control.trackingEndpoint),
                                         clientSocket(control.commandEndpoint)};
    platform::waitForWork(sockets, 3, timeoutUs);
}
