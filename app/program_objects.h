// The program-wide objects kept in `control`: the serial port and the three endpoints. They are
// made here once at start-up and released here, and nowhere else.
#pragma once

// The serial port of the robot's link and the ports of the command, image and tracking
// endpoints.
constexpr const char* SERIAL_PORT_NAME = "COM1:";
constexpr int COMMAND_PORT = 5000;
constexpr int IMAGE_PORT = 5001;
constexpr int TRACKING_PORT = 5002;

// Opens the serial port into control.serialPort. False when the object could not be made or the
// port did not open; then nothing is left behind (the port is closed and released, the pointer
// null). The name is kept by the port, not copied.
bool openSerialPort(const char* portName = SERIAL_PORT_NAME);

// Makes the command, image and tracking endpoints, in that order, into control. False when one
// of them could not be made; those that were made are kept (they already listen) and go with
// releaseEndpoints.
bool makeEndpoints();

// Closes the serial port, waiting for its reader thread, and releases it; nothing when there is
// none. The pointer is null afterwards.
void releaseSerialPort();

// Stops all three endpoints taking clients before any of them goes, then releases the image,
// the tracking and the command endpoint, each after its accept thread has finished. Missing
// endpoints are passed over; the pointers are null afterwards.
void releaseEndpoints();

// Both of the above: the serial port first, then the endpoints. Harmless when called again.
void releaseProgramObjects();
