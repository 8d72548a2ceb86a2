// What waits to be sent to one WebSocket client, held to a budget in bytes. Message data
// (binary frames) gives way, oldest first, when the budget is reached; control messages (text:
// replies, statuses, the advertisement) are never dropped, and a client whose control messages
// alone exceed the budget is one to disconnect. The same message queued again (the latest
// picture sent once more for a new subscription) replaces the copy that still waits.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace bridge {

class SendQueue {
public:
    struct Item {
        std::string data;
        bool binary = false;
    };
    struct Pushed {
        size_t dropped = 0;       // data messages dropped to make room
        bool overBudget = false;  // still over the budget: the client cannot take its control messages
    };

    explicit SendQueue(size_t budgetBytes, size_t maxItems = 4096) : budget_(budgetBytes), maxItems_(maxItems) {}

    Pushed push(std::string data, bool binary);
    bool empty() const { return items_.empty(); }
    // The first item, which is then being written until pop(): it is never dropped or replaced.
    const Item& front();
    void pop();
    void clear();
    size_t bytes() const { return bytes_; }
    size_t size() const { return items_.size(); }

private:
    // The data frame's content past the opcode and subscription id (time and payload).
    static bool sameMessage(const std::string& a, const std::string& b);
    bool over() const { return bytes_ > budget_ || items_.size() > maxItems_; }

    size_t budget_;
    size_t maxItems_;
    std::deque<Item> items_;
    size_t bytes_ = 0;
    bool frontInFlight_ = false;
};

}  // namespace bridge
