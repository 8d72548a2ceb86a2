#include "bridge/send_queue.h"

#include <cstring>

namespace bridge {

namespace {
// A message data frame: opcode (1 byte), subscription id (4), time (8), payload.
constexpr size_t DATA_HEADER = 5;
}  // namespace

bool SendQueue::sameMessage(const std::string& a, const std::string& b) {
    return a.size() == b.size() && a.size() > DATA_HEADER + 8 &&
           std::memcmp(a.data() + DATA_HEADER, b.data() + DATA_HEADER, a.size() - DATA_HEADER) == 0;
}

SendQueue::Pushed SendQueue::push(std::string data, bool binary) {
    Pushed result;
    size_t first = frontInFlight_ ? 1 : 0;
    if (binary) {
        for (size_t i = first; i < items_.size(); ++i) {
            if (items_[i].binary && sameMessage(items_[i].data, data)) {
                bytes_ -= items_[i].data.size();
                items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    bytes_ += data.size();
    items_.push_back({std::move(data), binary});
    // Oldest data first; a frame on its way out stays.
    for (size_t i = first; over() && i < items_.size();) {
        if (items_[i].binary) {
            bytes_ -= items_[i].data.size();
            items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
            ++result.dropped;
        } else {
            ++i;
        }
    }
    result.overBudget = over();
    return result;
}

const SendQueue::Item& SendQueue::front() {
    frontInFlight_ = true;
    return items_.front();
}

void SendQueue::pop() {
    if (items_.empty()) return;
    bytes_ -= items_.front().data.size();
    items_.pop_front();
    frontInFlight_ = false;
}

void SendQueue::clear() {
    items_.clear();
    bytes_ = 0;
    frontInFlight_ = false;
}

}  // namespace bridge
