#include "motion/controller_packets.h"

#include "app/control_state.h"
#include "link/serial_port.h"
#include "record/hooks.h"

namespace {

// A stop still unconfirmed is sent again no sooner than this after its last attempt.
constexpr uint64_t kStopRetryUs = 100000;
// The program's end tries to confirm its stop for at most this long.
constexpr uint64_t kShutdownConfirmUs = 1000000;

void send(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) control.serialPort->writeByte(bytes[i]);
}

void driveParameterWrite(uint8_t parameter, int16_t value, uint32_t waitMs) {
    const uint8_t packet[] = {DRIVE_MODULE,
                              5,
                              DRIVE_PARAMETER,
                              DRIVE_UNIT,
                              parameter,
                              static_cast<uint8_t>((value >> 8) & 0xFF),
                              static_cast<uint8_t>(value & 0xFF)};
    send(packet, sizeof packet);
    platform::sleepMs(waitMs);
}

}  // namespace

bool readModuleReply(uint8_t* reply, int length, int emptyPollLimit) {
    int received = 0;
    int emptyPolls = 0;
    while (received < length) {
        uint8_t byte = 0;
        if (control.serialPort->readByte(byte)) {
            reply[received++] = byte;
            continue;
        }
        ++emptyPolls;
        if (emptyPolls == emptyPollLimit) return false;
        platform::sleepMs(10);
    }
    return true;
}

bool servoEnable(int channel) {
    const uint8_t enable[] = {SERVO_MODULE, 3, SERVO_STATE, static_cast<uint8_t>(channel),
                              static_cast<uint8_t>(channel == 0 ? 0x87 : 0x89)};
    send(enable, sizeof enable);
    platform::sleepMs(10);
    // The reply is never taken from bytes that were in the ring before the query went out.
    control.serialPort->drain();
    const uint8_t query[] = {SERVO_MODULE, 2, SERVO_STATE, static_cast<uint8_t>(channel)};
    send(query, sizeof query);
    uint8_t reply[5];
    if (!readModuleReply(reply, 5, 10)) return false;
    return reply[4] != 0;
}

void servoConfigure(int channel) {
    const uint8_t packet[] = {SERVO_MODULE, 4, SERVO_CONFIGURE, static_cast<uint8_t>(channel), 0, 70};
    send(packet, sizeof packet);
    platform::sleepMs(10);
}

void servoOff(int channel) {
    const uint8_t packet[] = {SERVO_MODULE, 3, SERVO_STATE, static_cast<uint8_t>(channel), 0};
    send(packet, sizeof packet);
    platform::sleepMs(10);
}

void servoMove(int channel, uint8_t position) {
    if (channel == 1) control.lastServo1Position = static_cast<int8_t>(position);
    if (channel == 2) control.lastServo2Position = static_cast<int8_t>(position);
    const uint8_t packet[] = {SERVO_MODULE, 3, SERVO_POSITION, static_cast<uint8_t>(channel), position};
    send(packet, sizeof packet);
    platform::sleepMs(10);
}

bool servoModuleRead(uint8_t& value) {
    control.serialPort->drain();
    const uint8_t packet[] = {SERVO_MODULE, 2, SERVO_MODULE_READ, 0x80};
    send(packet, sizeof packet);
    uint8_t reply[5];
    if (!readModuleReply(reply, 5, 11)) return false;
    value = reply[4];
    return true;
}

namespace {

// Drive parameter 0 read back into reply[0..7): false when the reply did not come whole.
bool readDriveParameter0(uint8_t reply[7]) {
    // Stale bytes (the rest of an earlier answer, camera bytes) are never read as the read-back.
    control.serialPort->drain();
    const uint8_t readBack[] = {DRIVE_MODULE, 3, DRIVE_PARAMETER, DRIVE_UNIT, 0};
    send(readBack, sizeof readBack);
    platform::sleepMs(20);
    return readModuleReply(reply, 7, 10);
}

}  // namespace

bool driveStart() {
    const uint8_t start[] = {DRIVE_MODULE, 7, DRIVE_PARAMETER, DRIVE_UNIT, 0, 6, 1, 0xFE, 0x0C};
    send(start, sizeof start);
    platform::sleepMs(10);
    uint8_t reply[7];
    if (!readDriveParameter0(reply)) return false;
    return reply[5] == 6 && reply[6] == 1;
}

bool driveStopReadBack() {
    uint8_t reply[7];
    if (!readDriveParameter0(reply)) return false;
    // The whole answer must be the drive module's to parameter 0, with 0, 0 in it: a garbled or
    // shifted answer is no confirmation.
    const uint8_t stopped[7] = {DRIVE_MODULE, 5, DRIVE_PARAMETER, DRIVE_UNIT, 0, 0, 0};
    for (int i = 0; i < 7; ++i) {
        if (reply[i] != stopped[i]) return false;
    }
    return true;
}

void driveStopConfirmed() {
    driveStop();
    control.driveStopUnconfirmed = !driveStopReadBack();
    // The next attempt counts from the end of this one, so that a silent module leaves the loop
    // its passes in between.
    control.driveStopAttemptUs = platform::monotonicUs();
}

bool driveStopRetryDue() {
    return control.driveStopUnconfirmed && platform::monotonicUs() - control.driveStopAttemptUs >= kStopRetryUs;
}

int64_t usUntilStopRetry() {
    if (!control.driveStopUnconfirmed) return -1;
    const uint64_t since = platform::monotonicUs() - control.driveStopAttemptUs;
    return since >= kStopRetryUs ? 0 : static_cast<int64_t>(kStopRetryUs - since);
}

void armDriveWatch(int32_t now) {
    control.driveSpeedSent = true;
    control.driveStartTime = now;
    control.driveStopUnconfirmed = false;
}

int16_t driveValueForSpeed(int8_t speed) {
    double product = static_cast<double>(speed) * -2.34375;
    int truncated = static_cast<int>(product);  // toward zero
    return static_cast<int16_t>(-500 - truncated);
}

void driveSetSpeed(int8_t speed) {
    // From this packet on the drive may run, even when its start was never confirmed; a stop
    // that waited for its confirmation is overtaken by the new speed.
    control.driveSpeedSent = true;
    control.driveStopUnconfirmed = false;
    int16_t v = driveValueForSpeed(speed);
    const uint8_t packet[] = {DRIVE_MODULE,
                              4,
                              DRIVE_SPEED,
                              DRIVE_UNIT,
                              static_cast<uint8_t>((v >> 8) & 0xFF),
                              static_cast<uint8_t>(v & 0xFF)};
    send(packet, sizeof packet);
    platform::sleepMs(10);
}

bool driveReadStatus(uint8_t status[4]) {
    control.serialPort->drain();
    const uint8_t packet[] = {DRIVE_MODULE, 2, DRIVE_STATUS, DRIVE_UNIT};
    send(packet, sizeof packet);
    uint8_t reply[10];
    if (!readModuleReply(reply, 10, 10)) return false;
    status[0] = reply[4];
    status[1] = reply[5];
    status[2] = reply[8];
    status[3] = reply[9];
    return true;
}

void driveConfigure() {
    driveParameterWrite(1, 20, 20);
    driveParameterWrite(2, 0, 20);
    driveParameterWrite(3, 80, 20);
    driveParameterWrite(6, 100, 20);
    driveParameterWrite(7, 5, 20);
}

void driveStop() {
    record::event(record::Event::StopSent);
    driveParameterWrite(0, 0, 10);
    control.driveSpeedSent = false;
}

void controllerInit() {
    for (int channel = 0; channel < 4; ++channel) {
        servoEnable(channel);
        servoConfigure(channel);
        servoOff(channel);
    }
    driveConfigure();
    driveStop();
}

void controllerShutdown() {
    // The stop is confirmed before the port closes, trying for at most a second: after the
    // first attempt, again every 100 ms while the read-back does not show it.
    // Here nothing else waits for the loop: the attempts are 100 ms apart from start to start.
    const uint64_t start = platform::monotonicUs();
    uint64_t attemptStart = start;
    driveStopConfirmed();
    for (;;) {
        const uint64_t now = platform::monotonicUs();
        if (!control.driveStopUnconfirmed || now - start >= kShutdownConfirmUs) break;
        if (now - attemptStart < kStopRetryUs) {
            platform::sleepMs(static_cast<uint32_t>((kStopRetryUs - (now - attemptStart) + 999) / 1000));
        }
        attemptStart = platform::monotonicUs();
        driveStopConfirmed();
    }
    for (int channel = 0; channel < 4; ++channel) servoOff(channel);
}
