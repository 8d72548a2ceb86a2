// Switching the serial link between the camera (channel 1) and the controller modules
// (channel 2), and the fixed entry sequences built on it.
//
// The switch at the far end takes 0x5C followed by the channel's digit and answers nothing.
// The system never asks it which channel is active: control.cameraSelected holds the belief,
// and every routine that talks to a device runs one of the entries below first.
#pragma once

#include <cstdint>

// 0x5C '1', then 10 ms. Does not touch cameraSelected.
void selectCameraChannel();
// 0x5C '2', then 10 ms. Does not touch cameraSelected.
void selectControllerChannel();

// Start-up: the controller twice, 50 ms apart; cameraSelected 0. No drain.
void startupSwitch();
// The entries below select a channel when the link is not known to be on it: "on the controller
// channel" reads "not known to be on the camera channel", and the other way round.
//
// Camera pass-through: on the controller channel select the camera once, CR, 50 ms; then drain
// in every case.
void cameraEntryWithPrompt();
// Tracking start: on the controller channel select the camera twice, CR, 50 ms, drain.
void cameraEntryDouble();
// Frame dump: on the controller channel select the camera twice, CR, 100 ms, drain.
void cameraEntryForFrameDump();
// Tracking step: on the controller channel select the camera once, restart the tracking parser,
// drain. No CR and no pause.
void cameraEntryOfTrackingStep();
// Drive command: on the camera channel select the controller once, 10 ms more, drain.
void controllerEntryWithPause();
// Controller pass-through and the frame dump's first step: on the camera channel select the
// controller once. No drain.
void controllerEntryPlain();
// Idle time-outs: on the camera channel select the controller twice, drain.
void controllerEntryDouble();
// Target following: select the controller twice whatever the belief. No drain.
void controllerEntryForced();
// Shutdown: on the camera channel select the controller once. No drain.
void shutdownSwitch();

// After bytes that went out as a pass-through: when one of them is the switch's escape byte the
// far end may have changed channel behind our back, so the selected channel becomes unknown
// (cameraSelected -1) and the next entry to either channel sends its selection again.
void channelUnknownAfter(const uint8_t* bytes, int count);
