// The end of a main-loop pass: when the pass found nothing to do, the main thread waits in the
// kernel until something can happen, instead of starting the next pass at once.
#pragma once

// Called after every pass that did not end the loop. It returns at once when work may already be
// there: the pass received command bytes or its idle work acted (a servo, the drive or the
// channel changed), or a tracking mode is set and the link is not on the camera or the receive
// ring holds bytes. Otherwise it waits until one of the three client sockets has bytes or a
// hang-up, the reader thread stores a byte, the quit request is made, or, while a time-out is
// armed, the seconds of the clock's reading change (the next moment a time-out can fall due).
void waitForNextPass(bool receivedCommandBytes);
