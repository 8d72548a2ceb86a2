// The named queues and their senders.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "menu/out_queue.h"
#include "menu/queue_sender.h"
#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"

using testing_support::bytesOf;
using testing_support::hex;
using testing_support::text;
using testing_support::waitUntil;

namespace {

int handlerA() { return 0; }
int handlerB() { return 0; }

std::vector<uint8_t> dataOf(const OutQueueItem* item) {
    return std::vector<uint8_t>(item->data, item->data + item->length);
}

TEST(OutQueueTest, FirstPushSetsHeadAndTailAndTheSecondLinksBehindIt) {
    OutQueue queue("com2_queue");
    EXPECT_STREQ(queue.name(), "com2_queue");
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);

    queue.push(bytesOf("FF 01 02").data(), 3, &handlerA);
    ASSERT_NE(queue.head, nullptr);
    EXPECT_EQ(queue.head, queue.tail);
    EXPECT_EQ(queue.count, 1);
    EXPECT_EQ(queue.head->next, nullptr);
    EXPECT_EQ(dataOf(queue.head), bytesOf("FF 01 02"));
    EXPECT_EQ(queue.head->data[3], 0);  // the copy is followed by a zero byte
    EXPECT_EQ(queue.head->handler, &handlerA);

    queue.pushText("rm 1\r", &handlerB);
    EXPECT_EQ(queue.count, 2);
    EXPECT_EQ(queue.head->next, queue.tail);
    EXPECT_EQ(queue.tail->next, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(queue.tail->data), "rm 1\r");
    EXPECT_EQ(queue.tail->length, 5);
    EXPECT_EQ(queue.tail->handler, &handlerB);
}

TEST(OutQueueTest, ZeroBytesMakeAnItemOfOnlyTheZeroByte) {
    OutQueue queue("tcpip5000_queue");
    queue.push(nullptr, 0, &handlerA);
    queue.pushText("", &handlerB);
    ASSERT_EQ(queue.count, 2);
    for (OutQueueItem* item = queue.head; item != nullptr; item = item->next) {
        EXPECT_EQ(item->length, 0);
        ASSERT_NE(item->data, nullptr);
        EXPECT_EQ(item->data[0], 0);
    }
}

TEST(OutQueueTest, TheItemKeepsItsOwnCopyOfTheCallersBytes) {
    OutQueue queue("com1_queue");
    char line[40] = "tc 0 255 150 255 0 255\r";
    queue.pushText(line, &handlerA);
    std::memset(line, 'x', sizeof line - 1);
    std::vector<uint8_t>* heap = new std::vector<uint8_t>(bytesOf("01 02 03"));
    queue.push(heap->data(), 3, &handlerA);
    delete heap;
    EXPECT_STREQ(reinterpret_cast<const char*>(queue.head->data), "tc 0 255 150 255 0 255\r");
    EXPECT_EQ(dataOf(queue.tail), bytesOf("01 02 03"));
}

TEST(OutQueueTest, APushThatCannotBeStoredIsDropped) {
    OutQueue queue("com2_queue");
    queue.push(bytesOf("01").data(), -1, &handlerA);
    queue.push(nullptr, 4, &handlerA);
    queue.pushText(nullptr, &handlerA);
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(queue.head, nullptr);
}

TEST(OutQueueTest, TakingEveryItemEmptiesTheQueueAndTheNextPushStartsAtTheHead) {
    OutQueue queue("com2_queue");
    queue.pushText("a", &handlerA);
    queue.pushText("b", &handlerA);
    OutQueueItem* first = queue.takeOldest();
    OutQueueItem* second = queue.takeOldest();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(dataOf(first), text("a"));
    EXPECT_EQ(dataOf(second), text("b"));
    EXPECT_EQ(queue.takeOldest(), nullptr);
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);
    releaseItem(first);
    releaseItem(second);

    // The released items are not linked to any more.
    queue.pushText("c", &handlerA);
    EXPECT_EQ(queue.head, queue.tail);
    EXPECT_EQ(dataOf(queue.head), text("c"));
    // Items still queued go with the queue (checked by the leak checker of the sanitizer build).
    queue.pushText("d", &handlerA);
}

TEST(OutQueueTest, APulseWithNobodyWaitingIsLostAndTheItemsStayQueued) {
    OutQueue queue("com1_queue");
    queue.pushText("\r", &handlerA);
    EXPECT_FALSE(queue.waitSignal(20));  // the pulse came before the wait
    EXPECT_EQ(queue.queued(), 1);

    std::atomic<bool> released{false};
    std::thread waiter([&] { released = queue.waitSignal(10000); });
    // Pushes until the waiter has been released by one of them: a pulse reaches a thread that is
    // waiting at that instant.
    ASSERT_TRUE(waitUntil([&] {
        queue.pushText("x", &handlerA);
        return released.load();
    }));
    waiter.join();
    EXPECT_GE(queue.queued(), 2);
}

TEST(OutQueueTest, AWaitingSenderGetsEveryItemOfSeveralPushersInEachPushersOrder) {
    OutQueue queue("tcpip5000_queue");
    std::atomic<bool> stop{false};
    constexpr int kPushers = 3, kEach = 500;
    std::vector<std::vector<int>> seen(kPushers);
    std::thread sender([&] {
        while (OutQueueItem* item = queue.waitOldest(stop)) {
            seen[item->data[0]].push_back(item->data[1] * 256 + item->data[2]);
            releaseItem(item);
        }
    });
    std::vector<std::thread> pushers;
    for (int p = 0; p < kPushers; ++p) {
        pushers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i) {
                uint8_t bytes[3] = {uint8_t(p), uint8_t(i / 256), uint8_t(i % 256)};
                queue.push(bytes, 3, &handlerA);
            }
        });
    }
    for (std::thread& t : pushers) t.join();
    ASSERT_TRUE(waitUntil([&] { return queue.queued() == 0; }));
    stop = true;
    queue.wakeWaiters();
    sender.join();
    for (int p = 0; p < kPushers; ++p) {
        ASSERT_EQ(seen[p].size(), size_t(kEach)) << "pusher " << p;
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[p][i], i);
    }
}

// ---- senders -----------------------------------------------------------------------------

class QueueSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset();
        vt::attach("COM2:", &device);
    }
    testing_support::ScriptedDevice device;
};

std::vector<size_t> handlerSawWritten;
std::vector<int> handlerSawQueued;
OutQueue* observedQueue = nullptr;

int recordWritten() {
    handlerSawWritten.push_back(vt::written("COM2:").size());
    handlerSawQueued.push_back(observedQueue->queued());
    return 0;
}

TEST_F(QueueSenderTest, WritesTheOldestItemFirstAndRunsItsHandlerAfterItsBytes) {
    SerialPort port("COM2:");
    OutQueue queue("com2_queue");
    observedQueue = &queue;
    handlerSawWritten.clear();
    handlerSawQueued.clear();
    QueueSender sender;
    sender.queue = &queue;
    sender.port = &port;
    queue.push(bytesOf("FF 01").data(), 2, &recordWritten);
    queue.push(bytesOf("02 03 04").data(), 3, &recordWritten);
    queue.push(nullptr, 0, &recordWritten);
    while (sendOldest(sender)) {
    }
    EXPECT_EQ(vt::written("COM2:"), bytesOf("FF 01 02 03 04"));
    EXPECT_EQ(handlerSawWritten, (std::vector<size_t>{2, 5, 5}));
    EXPECT_EQ(handlerSawQueued, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(queue.head, nullptr);
}

TEST_F(QueueSenderTest, TheSenderThreadSendsWhatIsPushedAndADrainingOneSendsTheRestBeforeItEnds) {
    SerialPort port("COM2:");
    OutQueue queue("com2_queue");
    QueueSender sender;
    sender.queue = &queue;
    sender.port = &port;
    sender.drainOnStop = true;
    ASSERT_TRUE(startSender(sender));
    queue.push(bytesOf("FF 01 FF").data(), 3, nullptr);
    EXPECT_TRUE(waitUntil([] { return vt::written("COM2:").size() == 3; }));
    for (int i = 0; i < 50; ++i) queue.push(bytesOf("AA").data(), 1, nullptr);
    stopSender(sender);
    EXPECT_EQ(vt::written("COM2:").size(), 53u);
    EXPECT_EQ(queue.queued(), 0);
}

int handlerRuns = 0;
int countRun() {
    ++handlerRuns;
    return 0;
}

TEST_F(QueueSenderTest, AnEndpointSenderWaitsForItsClientAndServesTheNextOneWhenItLeaves) {
    TcpEndpoint endpoint(5000);
    OutQueue queue("tcpip5000_queue");
    QueueSender sender;
    sender.queue = &queue;
    sender.endpoint = &endpoint;
    handlerRuns = 0;

    int first = vt::connectClient(5000);
    ASSERT_GE(first, 0);
    queue.pushText("one\r\n", &countRun);
    ASSERT_TRUE(sendOldest(sender));  // waits until the client has been accepted
    EXPECT_EQ(vt::clientReceived(first), text("one\r\n"));
    EXPECT_EQ(handlerRuns, 1);

    vt::clientClose(first);
    int second = vt::connectClient(5000);
    ASSERT_GE(second, 0);
    queue.pushText("two\r\n", &countRun);
    ASSERT_TRUE(sendOldest(sender));
    EXPECT_EQ(vt::clientReceived(first), text("one\r\n"));
    EXPECT_EQ(vt::clientReceived(second), text("two\r\n"));
    EXPECT_EQ(handlerRuns, 2);
}

TEST_F(QueueSenderTest, StoppingASenderThatWaitsForAClientEndsItWithoutRunningTheHandler) {
    TcpEndpoint endpoint(5001);
    OutQueue queue("tcpip5001_queue");
    QueueSender sender;
    sender.queue = &queue;
    sender.endpoint = &endpoint;
    handlerRuns = 0;
    ASSERT_TRUE(startSender(sender));
    queue.pushText("nobody listens", &countRun);
    ASSERT_TRUE(waitUntil([&] { return queue.queued() == 0; }));  // taken, waiting for a client
    stopSender(sender);
    EXPECT_EQ(handlerRuns, 0);
}

}  // namespace
