// The sender of one named queue: a thread that takes the oldest item under the queue's lock,
// writes it to the queue's destination, runs the item's completion handler and releases it.
//
// A destination is a serial port (each byte with writeByte) or the client of a TCP endpoint.
// A sender to an endpoint waits for its client when none is connected, and notices a client
// that went away, so that the next one can connect. The handlers run on the sender's thread.
#pragma once

#include <atomic>

#include "menu/out_queue.h"
#include "platform/platform.h"

class SerialPort;
class TcpEndpoint;

struct QueueSender {
    OutQueue* queue = nullptr;
    SerialPort* port = nullptr;       // the bytes go to this port...
    TcpEndpoint* endpoint = nullptr;  // ...or to this endpoint's client
    // When asked to stop: true sends what is still queued first (the drive must get its last
    // packet); false ends at once and leaves the rest to be released with the queue.
    bool drainOnStop = false;
    std::atomic<bool> stopping{false};
    platform::ThreadHandle thread{};
};

// Starts the sender's thread; false when it could not be started.
bool startSender(QueueSender& sender);
// Asks the sender to stop, wakes it and waits until its thread has ended. A sender that was
// never started is only marked stopped.
void stopSender(QueueSender& sender);

// Takes the oldest item, if any, and sends it as the thread does: writes it, runs its handler,
// releases it. False when the queue was empty. (The thread's loop is this with a wait.)
bool sendOldest(QueueSender& sender);

// Writes the item to the sender's destination, runs its handler and releases the item. An item
// for an endpoint whose client never comes before the sender stops is released unsent.
void deliverItem(QueueSender& sender, OutQueueItem* item);
