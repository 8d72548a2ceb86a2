// Small types shared by the device models of the simulated robot.
//
// Times are microseconds on the caller's clock (virtual time in unit tests, time since start in
// halvoran-sim). Nothing in the models reads a clock of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

// 10 bits (start, 8 data, stop) at 115200 baud: 86.806 microseconds, in nanoseconds.
constexpr uint64_t kByteTimeNs = 86806;

// The two positions of the channel switch.
enum class Channel : uint8_t { Camera = 1, Controller = 2 };

// What a fault applies to: one device behind the switch, or the whole link.
enum class Device : uint8_t { Camera = 0, Servo = 1, Drive = 2, Link = 3 };
constexpr int kDeviceCount = 4;

const char* deviceName(Device device);
// "camera", "servo", "drive" or "link"; false for anything else.
bool parseDevice(const std::string& name, Device& out);

// The faults of one device (or of the link). All off by default.
struct Faults {
    bool silent = false;         // sends nothing (it still hears and acts on what it receives)
    uint32_t slowMs = 0;         // extra delay before each reply (and before a tracking stream)
    uint32_t garblePercent = 0;  // per byte sent: chance that it is replaced by a random byte,
                                 // and, independently, that a random byte is inserted after it
    uint32_t dropPercent = 0;    // per byte, in either direction: chance that it is lost
    bool unplugged = false;      // link only: nothing passes either way (halvoran-sim: pty hang-up)
    uint32_t dropReplies = 0;    // servo and drive only: the next this many replies are not sent
                                 // (the request is still acted on); counts down as they go

    bool any() const { return silent || slowMs || garblePercent || dropPercent || unplugged || dropReplies; }
    bool operator==(const Faults&) const = default;
};

// A byte with the time at which it is completely on the line.
struct TimedByte {
    uint64_t tUs;
    uint8_t byte;
};

// Bytes a device sends, in order, each with its time. With pacing, consecutive bytes are at
// least one 115200-baud byte time apart, as on a real UART.
class TimedQueue {
public:
    explicit TimedQueue(bool pacing = false) : pacing_(pacing) {}

    void setPacing(bool pacing) { pacing_ = pacing; }
    // Queue bytes that start going out at atUs (or when the bytes before them are out).
    void send(uint64_t atUs, const uint8_t* data, size_t count);
    void send(uint64_t atUs, const std::string& text) {
        send(atUs, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    bool empty() const { return queue_.empty(); }
    size_t size() const { return queue_.size(); }
    const TimedByte& front() const { return queue_.front(); }
    void pop() { queue_.pop_front(); }
    void clear() { queue_.clear(); }
    // When the last byte queued so far is out (microseconds, rounded up).
    uint64_t busyUntilUs() const { return (nextFreeNs_ + 999) / 1000; }

private:
    std::deque<TimedByte> queue_;
    uint64_t nextFreeNs_ = 0;
    bool pacing_;
};

// One line of the byte trace.
struct TraceEntry {
    enum class Kind : uint8_t {
        In,     // a byte the host wrote on the link
        Out,    // a byte the robot put on the link for the host
        Event,  // something that happened (text)
    };
    // Where it happened: "switch", "camera", "controller", "com2", "link", "world", "control".
    uint64_t tUs = 0;
    Kind kind = Kind::Event;
    std::string where;
    uint8_t byte = 0;
    std::string text;  // Event only
};

// The trace line of an entry, as halvoran-sim writes it (without the newline):
//   "<time_us> in <where> <hex byte>", "<time_us> out <where> <hex byte>",
//   "<time_us> event <where> <text>".
std::string formatTrace(const TraceEntry& entry);

}  // namespace sim
