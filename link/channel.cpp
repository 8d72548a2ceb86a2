#include "link/channel.h"

#include "app/control_state.h"
#include "link/serial_port.h"
#include "protocol/wire.h"

namespace {
constexpr int kCarriageReturn = 0x0D;

void sendSelection(int channelDigit) {
    control.serialPort->writeByte(CHANNEL_SWITCH);
    control.serialPort->writeByte(channelDigit);
    platform::sleepMs(10);
}
}  // namespace

void selectCameraChannel() { sendSelection(CHANNEL_CAMERA); }

void selectControllerChannel() { sendSelection(CHANNEL_CONTROLLER); }

void startupSwitch() {
    selectControllerChannel();
    platform::sleepMs(50);
    selectControllerChannel();
    control.cameraSelected = 0;
}

void cameraEntryWithPrompt() {
    if (control.cameraSelected == 0) {
        selectCameraChannel();
        control.cameraSelected = 1;
        control.serialPort->writeByte(kCarriageReturn);
        platform::sleepMs(50);
    }
    control.serialPort->drain();
}

namespace {
void cameraEntryTwice(uint32_t pauseMs) {
    if (control.cameraSelected != 0) return;
    selectCameraChannel();
    selectCameraChannel();
    control.cameraSelected = 1;
    control.serialPort->writeByte(kCarriageReturn);
    platform::sleepMs(pauseMs);
    control.serialPort->drain();
}
}  // namespace

void cameraEntryDouble() { cameraEntryTwice(50); }

void cameraEntryForFrameDump() { cameraEntryTwice(100); }

void cameraEntryOfTrackingStep() {
    if (control.cameraSelected != 0) return;
    selectCameraChannel();
    control.cameraSelected = 1;
    control.trackParserState = 0;
    control.serialPort->drain();
}

void controllerEntryWithPause() {
    if (control.cameraSelected != 1) return;
    selectControllerChannel();
    control.cameraSelected = 0;
    platform::sleepMs(10);
    control.serialPort->drain();
}

void controllerEntryPlain() {
    if (control.cameraSelected != 1) return;
    selectControllerChannel();
    control.cameraSelected = 0;
}

void controllerEntryDouble() {
    if (control.cameraSelected != 1) return;
    selectControllerChannel();
    selectControllerChannel();
    control.cameraSelected = 0;
    control.serialPort->drain();
}

void controllerEntryForced() {
    selectControllerChannel();
    selectControllerChannel();
    control.cameraSelected = 0;
}

void shutdownSwitch() { controllerEntryPlain(); }
