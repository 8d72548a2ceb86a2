// A client's send queue under its byte budget: data gives way oldest first, control messages
// stay, and a client that cannot take its control messages is found out.
#include <gtest/gtest.h>

#include "bridge/messages.h"
#include "bridge/send_queue.h"

using namespace bridge;

namespace {

std::string data(uint32_t subscription, uint64_t time, size_t payloadSize, char fill = 'p') {
    return messageDataFrame(subscription, time, std::string(payloadSize, fill));
}

// What the queue holds, oldest first: "C" for control, "D<time>" for data.
std::vector<std::string> contents(SendQueue& queue) {
    std::vector<std::string> out;
    SendQueue copy = queue;
    while (!copy.empty()) {
        const auto& item = copy.front();
        if (item.binary) {
            uint64_t time = 0;
            for (int i = 7; i >= 0; --i) time = time * 256 + static_cast<unsigned char>(item.data[5 + i]);
            out.push_back("D" + std::to_string(time));
        } else {
            out.push_back("C");
        }
        copy.pop();
    }
    return out;
}

TEST(SendQueue, OldestDataGoesFirstAndControlStays) {
    const size_t frame = data(1, 0, 100).size();
    SendQueue queue(4 * frame);
    EXPECT_EQ(queue.push("control", false).dropped, 0u);
    for (uint64_t t = 1; t <= 3; ++t) EXPECT_EQ(queue.push(data(1, t, 100), true).dropped, 0u);
    auto pushed = queue.push(data(1, 4, 100), true);
    EXPECT_EQ(pushed.dropped, 1u);
    EXPECT_FALSE(pushed.overBudget);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"C", "D2", "D3", "D4"}));
    EXPECT_LE(queue.bytes(), 4 * frame);
    // A control message pushes data out too, never another control message.
    pushed = queue.push(std::string(frame, 'c'), false);
    EXPECT_EQ(pushed.dropped, 1u);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"C", "D3", "D4", "C"}));
}

TEST(SendQueue, TheFrameBeingWrittenIsNeverDropped) {
    const size_t frame = data(1, 0, 100).size();
    SendQueue queue(2 * frame);
    queue.push(data(1, 1, 100), true);
    (void)queue.front();  // on its way out
    queue.push(data(1, 2, 100), true);
    auto pushed = queue.push(data(1, 3, 100), true);
    EXPECT_EQ(pushed.dropped, 1u);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"D1", "D3"}));
}

TEST(SendQueue, ControlAloneOverTheBudgetMeansTheClientCannotKeepUp) {
    SendQueue queue(1000);
    EXPECT_FALSE(queue.push(std::string(600, 'c'), false).overBudget);
    EXPECT_FALSE(queue.push(data(1, 1, 300), true).overBudget);
    auto pushed = queue.push(std::string(600, 'c'), false);
    EXPECT_EQ(pushed.dropped, 1u);
    EXPECT_TRUE(pushed.overBudget);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"C", "C"}));
}

TEST(SendQueue, TheSameMessageQueuedAgainReplacesTheWaitingCopy) {
    SendQueue queue(1 << 20);
    queue.push(data(1, 7, 5000, 'a'), true);
    queue.push("control", false);
    // The latest picture again, for a new subscription: one copy waits, the newest.
    for (uint32_t subscription = 2; subscription < 50; ++subscription) queue.push(data(subscription, 7, 5000, 'a'), true);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"C", "D7"}));
    EXPECT_EQ(queue.size(), 2u);
    // Another message (other time, or other bytes) is not a copy.
    queue.push(data(1, 8, 5000, 'a'), true);
    queue.push(data(1, 8, 5000, 'b'), true);
    EXPECT_EQ(contents(queue), (std::vector<std::string>{"C", "D7", "D8", "D8"}));
}

TEST(SendQueue, ACountLimitHoldsForTinyFramesToo) {
    SendQueue queue(1 << 20, 10);
    for (uint64_t t = 0; t < 100; ++t) queue.push(data(1, t, 1), true);
    EXPECT_EQ(queue.size(), 10u);
    EXPECT_EQ(contents(queue).front(), "D90");
}

}  // namespace
