// A fixed ring of records between one producer thread and one consumer thread, without locks:
// the producer never waits and never allocates. When the ring has no room for what it offers,
// the offer is dropped whole and counted, and the producer goes on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace record {

template <typename T, size_t Capacity>
class SpscQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    static constexpr size_t capacity() { return Capacity; }

    // Producer: `count` consecutive slots, each filled by fill(slot, i), published together; or
    // none of them when they do not all fit (then one drop is counted).
    template <typename Fill>
    bool pushMany(size_t count, Fill&& fill) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        if (count > Capacity - (tail - head)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        for (size_t i = 0; i < count; ++i) fill(slots_[(tail + i) & (Capacity - 1)], i);
        tail_.store(tail + count, std::memory_order_release);
        return true;
    }
    bool push(const T& item) {
        return pushMany(1, [&](T& slot, size_t) { slot = item; });
    }

    // Consumer: the oldest record, or null when there is none; pop() releases it.
    const T* front() const {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &slots_[head & (Capacity - 1)];
    }
    void pop() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

    size_t size() const { return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire); }
    // Offers dropped since the start.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    T slots_[Capacity];
    alignas(64) std::atomic<size_t> head_{0};
    alignas(64) std::atomic<size_t> tail_{0};
    alignas(64) std::atomic<uint64_t> dropped_{0};
};

}  // namespace record
