// The entry sequences that switch the link, byte for byte and pause for pause.
#include <gtest/gtest.h>

#include <functional>

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "tests/support/scripted_device.h"
#include "tests/support/virtual_system.h"

using testing_support::ScriptedDevice;
using testing_support::VirtualSystem;

namespace {

struct EntryCase {
    const char* name;
    std::function<void()> entry;
    int32_t selectedBefore;
    const char* trace;
    int32_t selectedAfter;
    bool drains;
};

class ChannelEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ChannelEntryTest, WritesItsBytesAndPausesAndSetsTheBelief) {
    const EntryCase& c = GetParam();
    ScriptedDevice device;
    VirtualSystem system(&device);
    control.cameraSelected = c.selectedBefore;
    control.trackParserState = 7;
    // Something waits in the ring: a draining entry leaves nothing of it.
    device.sendAt(0, {0x41, 0x42});
    vt::advanceMs(1);
    vt::clearTrace();

    c.entry();

    EXPECT_EQ(vt::traceText(), c.trace);
    EXPECT_EQ(control.cameraSelected, c.selectedAfter);
    uint8_t out = 0;
    EXPECT_EQ(!control.serialPort->readByte(out), c.drains);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ChannelEntryTest,
    ::testing::Values(
        EntryCase{"StartupFromTheInitialBelief", startupSwitch, 1, "5C 32 (10) (50) 5C 32 (10)", 0, false},
        EntryCase{"CameraWithPromptFromController", cameraEntryWithPrompt, 0, "5C 31 (10) 0D (50)", 1, true},
        EntryCase{"CameraWithPromptOnCameraOnlyDrains", cameraEntryWithPrompt, 1, "", 1, true},
        EntryCase{"CameraDouble", cameraEntryDouble, 0, "5C 31 (10) 5C 31 (10) 0D (50)", 1, true},
        EntryCase{"CameraDoubleOnCameraDoesNothing", cameraEntryDouble, 1, "", 1, false},
        EntryCase{"CameraForFrameDump", cameraEntryForFrameDump, 0, "5C 31 (10) 5C 31 (10) 0D (100)", 1, true},
        EntryCase{"CameraOfTrackingStep", cameraEntryOfTrackingStep, 0, "5C 31 (10)", 1, true},
        EntryCase{"CameraOfTrackingStepOnCamera", cameraEntryOfTrackingStep, 1, "", 1, false},
        EntryCase{"ControllerWithPause", controllerEntryWithPause, 1, "5C 32 (10) (10)", 0, true},
        EntryCase{"ControllerWithPauseOnController", controllerEntryWithPause, 0, "", 0, false},
        EntryCase{"ControllerPlain", controllerEntryPlain, 1, "5C 32 (10)", 0, false},
        EntryCase{"ControllerDouble", controllerEntryDouble, 1, "5C 32 (10) 5C 32 (10)", 0, true},
        EntryCase{"ControllerDoubleOnController", controllerEntryDouble, 0, "", 0, false},
        EntryCase{"ControllerForcedEvenOnController", controllerEntryForced, 0, "5C 32 (10) 5C 32 (10)", 0, false},
        EntryCase{"Shutdown", shutdownSwitch, 1, "5C 32 (10)", 0, false},
        EntryCase{"ShutdownOnController", shutdownSwitch, 0, "", 0, false}),
    [](const ::testing::TestParamInfo<EntryCase>& info) { return info.param.name; });

TEST(ChannelEntry, TheTrackingStepEntryRestartsTheParserOnlyWhenItSwitches) {
    ScriptedDevice device;
    VirtualSystem system(&device);
    control.cameraSelected = 1;
    control.trackParserState = 4;
    cameraEntryOfTrackingStep();
    EXPECT_EQ(control.trackParserState, 4);
    control.cameraSelected = 0;
    cameraEntryOfTrackingStep();
    EXPECT_EQ(control.trackParserState, 0);
}

}  // namespace
