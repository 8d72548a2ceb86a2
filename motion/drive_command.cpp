#include "motion/drive_command.h"

#include "app/control_state.h"
#include "link/channel.h"
#include "motion/controller_packets.h"
#include "platform/platform.h"
#include "protocol/send_reply.h"
#include "protocol/wire.h"

namespace {

constexpr int kParameterBytes = 6;

// Moves one servo for the drive command: stamps it, switches it on when it is not (a failed
// switch-on is tried again at the next move) and sends the position whatever the switch-on gave.
void moveServo(int channel, uint8_t position, int32_t now) {
    control.servoMoveTime[channel] = now;
    if (!control.servoEnabled[channel]) control.servoEnabled[channel] = servoEnable(channel);
    servoMove(channel, position);
}

}  // namespace

void driveCommand(const uint8_t* packet, int32_t count) {
    // parameter[1..6] as carried between the letter and the checksum; missing ones stay 0.
    uint8_t parameter[kParameterBytes + 1] = {};
    const int32_t carried = count - 2;
    for (int32_t i = 1; i <= kParameterBytes && i <= carried; ++i) parameter[i] = packet[i];
    const uint8_t flags = parameter[6];

    controllerEntryWithPause();
    // One clock reading stamps everything this command does.
    const int32_t now = takeTimeStamp();

    if (flags & SET_DRIVE_TIMEOUT) control.driveTimeout = static_cast<int8_t>(parameter[1]);

    if (flags & REINIT_CONTROLLER) {
        controllerInit();
        control.driveStopped = true;
        control.servoEnabled[0] = false;
        control.servoEnabled[1] = false;
        control.servoEnabled[2] = false;
    }

    if (flags & STOP_DRIVE) {
        driveStop();
        platform::sleepMs(10);
        control.driveStopped = true;
        // A stop that stays a stop is confirmed (and sent again by the drive watch until it is);
        // one followed by a speed in the same command is overtaken by it.
        if (!(flags & SET_SPEED)) {
            control.driveStopUnconfirmed = !driveStopReadBack();
            control.driveStopAttemptUs = platform::monotonicUs();
        }
    }

    if (flags & SET_SPEED) {
        control.driveStartTime = now;
        control.servoMoveTime[0] = now;
        // A start that failed leaves the drive stopped, and the next speed tries again; the speed
        // goes out in every case.
        if (control.driveStopped) control.driveStopped = !driveStart();
        driveSetSpeed(static_cast<int8_t>(parameter[2]));
    }

    if (flags & MOVE_SERVO0) moveServo(0, parameter[3], now);

    // A servo that follows a target is steered by the tracking; its move bit changes nothing.
    if ((flags & MOVE_SERVO1) && !control.trackModeBoth && !control.trackModeServo1) {
        moveServo(1, parameter[4], now);
        control.trackServo1Position = parameter[4];
    }
    if ((flags & MOVE_SERVO2) && !control.trackModeBoth && !control.trackModeServo2) {
        moveServo(2, parameter[5], now);
        control.trackServo2Position = parameter[5];
    }

    sendDriveStatus();
}

void sendDriveStatus() {
    uint8_t payload[DRIVE_STATUS_REPLY_SIZE] = {};
    uint8_t status[4] = {};
    uint8_t value = 0;
    if (driveReadStatus(status) && servoModuleRead(value)) {
        payload[0] = RESULT_DONE;
        payload[1] = value;
        for (int i = 0; i < 4; ++i) payload[2 + i] = status[i];
    } else {
        // No selection byte goes out: the belief alone makes the next controller operation
        // select the controller channel again.
        control.cameraSelected = 1;
        payload[0] = RESULT_NO_DRIVE_STATUS;
    }
    sendReply(payload, DRIVE_STATUS_REPLY_SIZE, control.commandEndpoint);
}
