// The program's window: created and painted at start-up, single instance.
#pragma once

// Creates and shows the window; false when another instance runs or the window could not be
// made (the program then ends with exit code 0).
bool initInstance(int showCommand);
