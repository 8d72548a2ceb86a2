// The recorder's queues and hooks: what is offered while there is room arrives whole and in
// order; what finds no room is dropped whole and counted; nothing is queued while recording is off.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "record/hooks.h"
#include "record/records.h"
#include "record/spsc_queue.h"

namespace {

using record::SpscQueue;

TEST(RecordQueue, AFullQueueDropsWholeOffersAndCountsThem) {
    SpscQueue<int, 8> q;
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(q.push(i));
    EXPECT_FALSE(q.push(99));
    EXPECT_EQ(q.dropped(), 1u);
    q.pop();
    q.pop();
    // Three do not fit in two free slots: none of them goes in.
    EXPECT_FALSE(q.pushMany(3, [](int& slot, size_t i) { slot = 100 + int(i); }));
    EXPECT_EQ(q.dropped(), 2u);
    EXPECT_TRUE(q.pushMany(2, [](int& slot, size_t i) { slot = 200 + int(i); }));
    std::vector<int> out;
    while (const int* v = q.front()) out.push_back(*v), q.pop();
    EXPECT_EQ(out, (std::vector<int>{2, 3, 4, 5, 6, 7, 200, 201}));
}

// A producer that never runs ahead of the consumer by more than the queue holds loses nothing,
// across the wrap of the indices, with the consumer on another thread.
TEST(RecordQueue, NothingIsLostBelowTheConsumersRate) {
    auto q = std::make_unique<SpscQueue<uint64_t, 1024>>();
    constexpr uint64_t count = 200000;
    std::vector<uint64_t> got;
    got.reserve(count);
    std::thread consumer([&] {
        while (got.size() < count) {
            if (const uint64_t* v = q->front()) {
                got.push_back(*v);
                q->pop();
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (uint64_t i = 0; i < count;) {
        if (q->size() > 512) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(q->push(i));
        ++i;
    }
    consumer.join();
    EXPECT_EQ(q->dropped(), 0u);
    for (uint64_t i = 0; i < count; ++i) ASSERT_EQ(got[i], i);
}

// A consumer that has stalled keeps the oldest records; everything after the queue filled is
// dropped and counted, and the producer never waits.
TEST(RecordQueue, AboveTheConsumersRateTheNewestAreDroppedAndCounted) {
    auto q = std::make_unique<SpscQueue<uint64_t, 1024>>();
    for (uint64_t i = 0; i < 1024 + 300; ++i) q->push(i);
    EXPECT_EQ(q->dropped(), 300u);
    for (uint64_t i = 0; i < 1024; ++i) {
        ASSERT_NE(q->front(), nullptr);
        EXPECT_EQ(*q->front(), i);
        q->pop();
    }
    EXPECT_EQ(q->front(), nullptr);
}

class RecordHooks : public ::testing::Test {
protected:
    void TearDown() override { record::deactivate(); }
    std::unique_ptr<record::Queues> q = std::make_unique<record::Queues>();
};

TEST_F(RecordHooks, NothingIsQueuedWhileRecordingIsOff) {
    const uint8_t bytes[] = {1, 2, 3};
    record::serialWritten("COM1:", 1);
    record::serialRead("COM1:", 1);
    record::portReceived(5000, bytes, 3);
    record::portSent(5000, bytes, 3);
    record::event(record::Event::StopSent);
    record::activate(q.get());
    record::deactivate();
    record::portSent(5000, bytes, 3);
    EXPECT_EQ(q->main.size() + q->reader.size() + q->other.size(), 0u);
}

TEST_F(RecordHooks, EachHookQueuesItsRecordOnItsThreadsQueue) {
    record::activate(q.get());
    std::vector<uint8_t> image(100);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i);
    record::serialWritten("COM1:", 0x5C);
    record::portSent(5001, image.data(), int(image.size()));
    record::portReceived(5000, image.data(), 0);  // nothing received: no record
    record::event(record::Event::TimeoutFired, record::TIMEOUT_DRIVE);
    std::thread([] { record::serialRead("COM1:", 0x3A); }).join();
    std::thread([] { record::serialWritten("COM2:", 0x41); }).join();

    struct Want {
        record::Kind kind;
        uint8_t part;
        uint16_t size, source;
        int32_t value;
        uint8_t first;
    };
    const Want mainWants[] = {
        {record::Kind::SerialWritten, record::PART_FIRST | record::PART_LAST, 1, '1', 0, 0x5C},
        {record::Kind::PortSent, record::PART_FIRST, 44, 5001, 100, 0},
        {record::Kind::PortSent, 0, 44, 5001, 100, 44},
        {record::Kind::PortSent, record::PART_LAST, 12, 5001, 100, 88},
        {record::Kind::Event, record::PART_FIRST | record::PART_LAST, 0, uint16_t(record::Event::TimeoutFired),
         record::TIMEOUT_DRIVE, 0},
    };
    uint64_t lastTime = 0;
    for (const Want& w : mainWants) {
        const record::Record* r = q->main.front();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->kind, w.kind);
        EXPECT_EQ(r->part, w.part);
        EXPECT_EQ(r->size, w.size);
        EXPECT_EQ(r->source, w.source);
        EXPECT_EQ(r->value, w.value);
        if (w.size > 0) {
            EXPECT_EQ(r->data[0], w.first);
        }
        EXPECT_GE(r->monoNs, lastTime);
        lastTime = r->monoNs;
        q->main.pop();
    }
    EXPECT_EQ(q->main.front(), nullptr);
    ASSERT_NE(q->reader.front(), nullptr);
    EXPECT_EQ(q->reader.front()->kind, record::Kind::SerialRead);
    EXPECT_EQ(q->reader.front()->data[0], 0x3A);
    ASSERT_NE(q->other.front(), nullptr);
    EXPECT_EQ(q->other.front()->source, '2');
    EXPECT_EQ(q->other.front()->data[0], 0x41);
}

TEST_F(RecordHooks, AnotherThreadMeetingABusyQueueDropsAndCounts) {
    record::activate(q.get());
    q->otherBusy.test_and_set();
    std::thread([] { record::serialWritten("COM2:", 1); }).join();
    EXPECT_EQ(q->other.size(), 0u);
    EXPECT_EQ(q->otherDropped.load(), 1u);
}

TEST(RecordHooksLine, ThePortNameGivesTheLinesDigit) {
    EXPECT_EQ(record::lineDigit("COM1:"), '1');
    EXPECT_EQ(record::lineDigit("COM2:"), '2');
    EXPECT_EQ(record::lineDigit("/dev/ttyS0"), '1');
    EXPECT_EQ(record::lineDigit(nullptr), '1');
}

}  // namespace
