// A named first-in-first-out queue of outgoing messages, each with a completion handler that
// runs once the message has gone out.
//
// The list is guarded by the queue's lock (the critical section); its event, named after the
// queue, is pulsed after every push: a thread waiting on it at that instant is released, one
// that starts waiting later does not see the pulse. The menu mode pushes from any thread; one
// sender per queue takes the items out, oldest first (menu/queue_sender.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A completion handler: no arguments, result 0.
using QueueHandler = int (*)();

struct OutQueueItem {
    uint8_t* data;       // a copy of the pushed bytes and one zero byte (length + 1 bytes)
    OutQueueItem* next;  // the next newer item, null for the newest
    QueueHandler handler;
    int32_t length;  // pushed bytes, the added zero not counted
};

// The event of a queue. It is waited on with the queue's lock held; `pulses` counts the pulses
// so that a waiter can tell a pulse from a spurious wake-up.
struct NamedEvent {
    char name[32];
    std::condition_variable changed;
    uint64_t pulses = 0;  // guarded by the queue's lock
};

class OutQueue {
public:
    explicit OutQueue(const char* name);
    // Releases the items still queued, the event and the lock. Nobody may use the queue then.
    ~OutQueue();
    OutQueue(const OutQueue&) = delete;
    OutQueue& operator=(const OutQueue&) = delete;

    // Queues a copy of `length` bytes. The caller may change or release its bytes at once. A
    // push that cannot be stored (negative length, no bytes, no memory) is dropped.
    void push(const uint8_t* bytes, int32_t length, QueueHandler handler);
    // Queues the characters of a zero-terminated string, without the terminator.
    void pushText(const char* text, QueueHandler handler);

    // ---- the sender's side

    // Removes the oldest item and hands it to the caller (releaseItem when done); nullptr when
    // the queue is empty.
    OutQueueItem* takeOldest();
    // Waits until an item is queued or `stop` is set, then takes the oldest item; nullptr only
    // when `stop` is set and the queue is empty.
    OutQueueItem* waitOldest(const std::atomic<bool>& stop);
    // Releases every thread waiting in waitOldest so that it looks at its stop flag again.
    void wakeWaiters();
    // Waits for the next pulse of the event, at most timeoutMs; false when none came.
    bool waitSignal(uint32_t timeoutMs);
    // The number of items queued now.
    int32_t queued();
    const char* name() const { return signal != nullptr ? signal->name : ""; }

    OutQueueItem* head = nullptr;  // oldest item, null when empty
    OutQueueItem* tail = nullptr;  // newest item, null when empty
    // Items queued: counted up by push and down when a sender takes one, so that a queue that a
    // sender has emptied starts again at its head.
    int32_t count = 0;
    std::mutex* lock = nullptr;
    NamedEvent* signal = nullptr;

private:
    OutQueueItem* takeLocked();
    void pulse();
};

// Releases an item taken from a queue, with its copy of the bytes.
void releaseItem(OutQueueItem* item);
