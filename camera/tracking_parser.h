// The tracking step: while a tracking mode is set, each idle pass of the main loop takes at most
// one byte of the camera's packet stream and moves the packet parser on.
//
// A tracking packet is 10 bytes: 0xFF, a type byte (not examined), middle x, middle y, x and y
// of the first corner, x and y of the second corner, pixel count, confidence. A 0xFF anywhere
// starts a packet over. At the end of each packet:
// - a confidence above 5 (read unsigned) lets target following steer servos 1 and 2;
// - every third packet one 8-byte TrackReport goes to the tracking port: the newest of the last
//   three packets whose confidence, read as a signed byte, is positive, or the newest one when
//   none is.
#pragma once

// Selects the camera channel first when the link is on the controller channel (restarting the
// parser and draining what came meanwhile); never waits for a byte.
void trackingStep();
