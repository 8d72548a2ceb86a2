// The process entry and the kill thread.
#pragma once

#include <cstdint>

#include "protocol/framing.h"

// Runs the whole program: start-up, the main loop, shutdown. Returns the exit code: 0, or -1
// when the serial port "COM1:" did not open.
int WinMain(int showCommand);

// Shows "Press OK to kill Halvoran" for the whole run; confirming it ends the program.
uint32_t KillThread(void* unused);

// One pass of the main loop over the three ports; false when the loop is to end. It never
// waits; *receivedCommandBytes (when given) tells whether the command port had bytes.
bool mainLoopPass(Deframer& deframer, bool* receivedCommandBytes = nullptr);

// Stops the robot, closes the link and the connected endpoints, closes the message boxes that
// other threads show and stops a menu mode that still runs; returns 0.
int shutdown();
