#include "menu/out_queue.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

OutQueue::OutQueue(const char* name) {
    lock = new (std::nothrow) std::mutex;
    signal = new (std::nothrow) NamedEvent;
    if (signal != nullptr) std::snprintf(signal->name, sizeof signal->name, "%s", name);
}

OutQueue::~OutQueue() {
    while (OutQueueItem* item = takeLocked()) releaseItem(item);
    delete signal;
    delete lock;
}

void OutQueue::push(const uint8_t* bytes, int32_t length, QueueHandler handler) {
    if (lock == nullptr || length < 0 || (bytes == nullptr && length > 0)) return;
    OutQueueItem* item = new (std::nothrow) OutQueueItem{nullptr, nullptr, handler, length};
    uint8_t* data = new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1];
    if (item == nullptr || data == nullptr) {
        delete item;
        delete[] data;
        return;
    }
    if (length > 0) std::memcpy(data, bytes, static_cast<size_t>(length));
    data[length] = 0;
    item->data = data;
    {
        std::lock_guard<std::mutex> hold(*lock);
        if (count == 0) {
            head = item;
        } else {
            tail->next = item;
        }
        tail = item;
        ++count;
    }
    pulse();
}

void OutQueue::pushText(const char* text, QueueHandler handler) {
    if (text == nullptr) return;
    push(reinterpret_cast<const uint8_t*>(text), static_cast<int32_t>(std::strlen(text)), handler);
}

// Every thread waiting at this instant is released; the event is not left set, so a thread that
// starts waiting later does not see this pulse.
void OutQueue::pulse() {
    if (signal == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(*lock);
        ++signal->pulses;
    }
    signal->changed.notify_all();
}

OutQueueItem* OutQueue::takeLocked() {
    OutQueueItem* item = head;
    if (item == nullptr) return nullptr;
    head = item->next;
    if (head == nullptr) tail = nullptr;
    --count;
    item->next = nullptr;
    return item;
}

OutQueueItem* OutQueue::takeOldest() {
    if (lock == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(*lock);
    return takeLocked();
}

OutQueueItem* OutQueue::waitOldest(const std::atomic<bool>& stop) {
    if (lock == nullptr || signal == nullptr) return nullptr;
    std::unique_lock<std::mutex> hold(*lock);
    signal->changed.wait(hold, [this, &stop] { return count > 0 || stop.load(); });
    return takeLocked();
}

void OutQueue::wakeWaiters() {
    if (lock == nullptr || signal == nullptr) return;
    // Taking the lock orders this wake-up after any waiter's test of its stop flag.
    { std::lock_guard<std::mutex> hold(*lock); }
    signal->changed.notify_all();
}

bool OutQueue::waitSignal(uint32_t timeoutMs) {
    if (lock == nullptr || signal == nullptr) return false;
    std::unique_lock<std::mutex> hold(*lock);
    uint64_t seen = signal->pulses;
    return signal->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                    [this, seen] { return signal->pulses != seen; });
}

int32_t OutQueue::queued() {
    if (lock == nullptr) return 0;
    std::lock_guard<std::mutex> hold(*lock);
    return count;
}

void releaseItem(OutQueueItem* item) {
    if (item == nullptr) return;
    delete[] item->data;
    delete item;
}
