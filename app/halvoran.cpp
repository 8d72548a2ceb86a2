#include "app/halvoran.h"

#include "app/control_state.h"
#include "app/main_loop_wait.h"
#include "app/program_objects.h"
#include "app/serial_line_watch.h"
#include "camera/tracking_parser.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "menu/menu_mode.h"
#include "motion/controller_packets.h"
#include "motion/idle_timeouts.h"
#include "net/tcp_endpoint.h"
#include "protocol/dispatcher.h"
#include "record/hooks.h"
#include "ui/window.h"

namespace {

// Waits, in 200 ms steps, until the endpoint has a client or the program is to end.
void waitForClient(TcpEndpoint* endpoint) {
    while (!control.quitRequested.load()) {
        if (endpoint->connected.load()) return;
        platform::sleepMs(200);
    }
}

bool connected(TcpEndpoint* endpoint) { return endpoint != nullptr && endpoint->connected.load(); }

}  // namespace

uint32_t KillThread(void*) {
    platform::killPrompt("Press OK to kill Halvoran", "Halvoran");
    control.quitRequested.store(true);
    platform::wakeMainLoop();
    return 0;
}

int WinMain(int showCommand) {
    if (!initInstance(showCommand)) return 0;

    if (!openSerialPort()) return -1;

    if (!platform::startThread(&KillThread, nullptr, nullptr)) {
        platform::messageBox("Unable to create iPaq KillThread", "Error");
    }

    startupSwitch();
    controllerInit();
    control.driveStopped = true;
    control.servoEnabled[2] = false;
    control.servoEnabled[1] = false;
    control.servoEnabled[0] = false;

    if (!makeEndpoints()) {
        platform::messageBox("Unable to create the TCP ports", "Error");
        control.quitRequested.store(true);
    } else {
        waitForClient(control.commandEndpoint);
        waitForClient(control.imageEndpoint);
        waitForClient(control.trackingEndpoint);
        record::event(record::Event::SessionStart);
    }

    control.trackHistoryA = TrackReport{};
    control.trackHistoryB = TrackReport{};

    if (!control.quitRequested.load()) {
        Deframer deframer;
        bool receivedCommandBytes = false;
        while (mainLoopPass(deframer, &receivedCommandBytes)) waitForNextPass(receivedCommandBytes);
    }
    return shutdown();
}

bool mainLoopPass(Deframer& deframer, bool* receivedCommandBytes) {
    uint8_t* ignored = nullptr;
    control.imageEndpoint->receive(&ignored);
    control.trackingEndpoint->receive(&ignored);
    uint8_t* received = nullptr;
    int n = control.commandEndpoint->receive(&received);
    if (receivedCommandBytes != nullptr) *receivedCommandBytes = n >= 1;

    if (!control.imageEndpoint->connected.load() || !control.trackingEndpoint->connected.load() ||
        !control.commandEndpoint->connected.load()) {
        record::event(record::Event::ConnectionLost, !connected(control.commandEndpoint) ? COMMAND_PORT
                                                     : !connected(control.imageEndpoint) ? IMAGE_PORT
                                                                                         : TRACKING_PORT);
        control.quitRequested.store(true);
        return false;
    }

    // A line that hung up is opened again, and the robot put into a known state, before anything
    // else goes to it.
    serialLineWatch();

    if (n >= 1) {
        for (int i = 0; i < n; ++i) {
            DeframeEvent event = deframeByte(deframer, received[i]);
            if (event == DeframeEvent::Packet) {
                dispatchCommand(deframer.packetBuffer, deframer.count);
                deframer.count = 0;
                // Only a speed renews the drive timeout: a stream of other packets (status
                // queries, camera lines, bad checksums) does not hold it off.
                driveTimeoutCheck();
            } else if (event == DeframeEvent::Quit) {
                control.quitRequested.store(true);
                break;  // the rest of this pass's bytes are dropped
            }
        }
        // Nor do bytes that complete no packet.
        if (!control.quitRequested.load()) driveTimeoutCheck();
    }
    if (n < 1) {
        if (control.trackModeBoth || control.trackModeServo2 || control.trackModeServo1 ||
            control.trackModeReportOnly) {
            trackingStep();
        }
        // The modes are read again after the tracking step. A following mode keeps servos 1 and
        // 2 on for the target; servo 0 and the drive are watched on every idle pass whatever the
        // modes.
        if (!control.trackModeBoth && !control.trackModeServo2 && !control.trackModeServo1) {
            idleTimeouts();
        } else {
            followingTimeouts();
        }
    }
    return !control.quitRequested.load();
}

int shutdown() {
    // Nothing waits for a click from here on: boxes that other threads still show are closed,
    // so that the threads the end waits for (accept threads, the menu mode's) end without
    // anyone pressing OK.
    platform::endMessageBoxes();
    record::event(record::Event::SessionEnd);
    if (control.serialPort != nullptr) {
        serialLineReopenForShutdown();
        shutdownSwitch();
        controllerShutdown();
        releaseSerialPort();
    }
    if (connected(control.imageEndpoint)) control.imageEndpoint->close();
    if (connected(control.trackingEndpoint)) control.trackingEndpoint->close();
    if (connected(control.commandEndpoint)) control.commandEndpoint->close();
    // A menu mode that still runs stops its drive and ends its threads.
    endMenuMode();
    return 0;
}
