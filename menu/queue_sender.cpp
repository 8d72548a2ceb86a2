#include "menu/queue_sender.h"

#include "link/serial_port.h"
#include "net/tcp_endpoint.h"

namespace {

// Polling interval while a sender waits for the client of its endpoint.
constexpr uint32_t kClientPollMs = 100;

// True once the endpoint has a client. Receiving (and dropping whatever the client sent) is how
// a lost client is noticed; the endpoint then accepts the next one.
bool waitForClient(QueueSender& sender) {
    TcpEndpoint* endpoint = sender.endpoint;
    for (;;) {
        uint8_t* ignored = nullptr;
        endpoint->receive(&ignored);
        if (endpoint->connected.load()) return true;
        if (sender.stopping.load()) return false;
        platform::sleepMs(kClientPollMs);
    }
}

uint32_t senderThread(void* arg) {
    QueueSender& sender = *static_cast<QueueSender*>(arg);
    // Lets the thread that started this one go on before the first wait.
    platform::sleepMs(0);
    for (;;) {
        OutQueueItem* item = sender.queue->waitOldest(sender.stopping);
        if (item == nullptr) break;  // stopping, and nothing left
        if (sender.stopping.load() && !sender.drainOnStop) {
            releaseItem(item);
            break;
        }
        deliverItem(sender, item);
    }
    return 0;
}

}  // namespace

void deliverItem(QueueSender& sender, OutQueueItem* item) {
    bool sent = true;
    if (sender.port != nullptr) {
        for (int32_t i = 0; i < item->length; ++i) sender.port->writeByte(item->data[i]);
    } else if (sender.endpoint != nullptr) {
        sent = waitForClient(sender);
        if (sent) sender.endpoint->sendBytes(item->data, item->length);
    }
    if (sent && item->handler != nullptr) item->handler();
    releaseItem(item);
}

bool sendOldest(QueueSender& sender) {
    if (sender.queue == nullptr) return false;
    OutQueueItem* item = sender.queue->takeOldest();
    if (item == nullptr) return false;
    deliverItem(sender, item);
    return true;
}

bool startSender(QueueSender& sender) {
    if (sender.queue == nullptr) return false;
    sender.stopping.store(false);
    return platform::startThread(&senderThread, &sender, &sender.thread);
}

void stopSender(QueueSender& sender) {
    sender.stopping.store(true);
    if (sender.queue != nullptr) sender.queue->wakeWaiters();
    platform::joinThread(sender.thread);
}
