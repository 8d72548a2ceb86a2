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

namespace {
// The camera entries select the camera unless the link is known to be on it; the controller
// entries select the controller unless it is known to be on that. A channel that is not known
// (-1) is selected afresh by either.
bool onCamera() { return control.cameraSelected == 1; }
bool onController() { return control.cameraSelected == 0; }
}  // namespace

void cameraEntryWithPrompt() {
    if (!onCamera()) {
        selectCameraChannel();
        control.cameraSelected = 1;
        control.serialPort->writeByte(kCarriageReturn);
        platform::sleepMs(50);
    }
    control.serialPort->drain();
}

namespace {
void cameraEntryTwice(uint32_t pauseMs) {
    if (onCamera()) return;
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
    if (onCamera()) return;
    selectCameraChannel();
    control.cameraSelected = 1;
    control.trackParserState = 0;
    control.serialPort->drain();
}

void controllerEntryWithPause() {
    if (onController()) return;
    selectControllerChannel();
    control.cameraSelected = 0;
    platform::sleepMs(10);
    control.serialPort->drain();
}

void controllerEntryPlain() {
    if (onController()) return;
    selectControllerChannel();
    control.cameraSelected = 0;
}

void controllerEntryDouble() {
    if (onController()) return;
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

void channelUnknownAfter(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == CHANNEL_SWITCH) {
            control.cameraSelected = -1;
            return;
        }
    }
}
