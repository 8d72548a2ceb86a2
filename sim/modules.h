// The two motion-controller modules behind the controller channel: the servo module
// (address 2, four servo channels) and the drive module (address 4).
//
// Packets: address, count of the bytes that follow, command, arguments; no checksum. Both
// modules hear every byte of the controller channel and each frames the packets itself:
//   - while idle, a byte that is not a bus address (2 or 4) is skipped;
//   - an address byte starts a packet; the next byte is the count; then count bytes follow
//     (a count of 0 ends the packet at once);
//   - a gap of more than moduleTimeoutUs (default 50 ms) inside a packet drops the partial
//     packet, so that a module finds its feet again after garbage;
//   - the module addressed acts on the packet; a packet with an unknown command, a wrong count
//     for its command, a servo channel above 3, a drive axis other than 1 or a drive parameter
//     above 15 is consumed by its count and not answered.
// A reply is a packet of the same form from the module (address, count, command, arguments,
// values), sent moduleReplyDelayUs (default 1.5 ms) after the request's last byte.
//
// Servo module (address 2):
//   2,3,31,ch,m   m != 0: channel on (mode m, e.g. 0x87, 0x89); m == 0: channel off
//   2,2,31,ch     status query; reply 2,3,31,ch,m (5 bytes; 5th = mode, 0 when off)
//   2,4,32,ch,a,b configure (recorded)
//   2,3,33,ch,pos position (recorded; the head follows it while the channel is on)
//   2,2,30,reg    read; reply 2,3,30,reg,value (5 bytes; 5th = value):
//                 reg 0x80: bit n set when channel n is on; reg 0..3: position of that
//                 channel; any other register: 0
// Drive module (address 4; the first argument is the axis, always 1):
//   4,3,63,1,p           read parameter p; reply 4,5,63,1,p,b0,b1 (7 bytes: the parameter's
//                        first two bytes at positions 6 and 7)
//   4,n,63,1,p,b0..      write n-3 bytes (1 to 4) from byte 0 of parameter p
//                        (start: 4,7,63,1,0,6,1,0xFE,0x0C; stop: 4,5,63,1,0,0,0)
//   4,4,62,1,hi,lo       drive value (16 bits, -500 = stop speed)
//   4,2,61,1             status; reply of 10 bytes: 4,8,61,1, then
//                        5: running (1/0)  6: direction (0 standing, 1 forward, 2 backward)
//                        7, 8: parameter 0 bytes 0 and 1 (mode, enable)
//                        9, 10: drive value in effect, high byte then low byte
//                        (the last drive value while running, -500 while stopped)
// The drive runs while parameter 0 starts with a non-zero mode and enable (6,1 after the
// start write) and is stopped by a write of 0,0. A four-byte write of parameter 0 also sets
// the drive value to its bytes 2 and 3 (-500 with the start write).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "sim/types.h"

namespace sim {

using EventFn = std::function<void(uint64_t tUs, const std::string& text)>;

// Packet framing as each module does it.
class ModuleFramer {
public:
    explicit ModuleFramer(uint32_t timeoutUs) : timeoutUs_(timeoutUs) {}
    // Feeds one byte; true when it completed a packet (then packet() holds it).
    bool feed(uint8_t byte, uint64_t tUs);
    // address, count, command and arguments, as received.
    const std::vector<uint8_t>& packet() const { return packet_; }
    bool idle() const { return state_ == State::Idle; }
    uint32_t skipped() const { return skipped_; }
    uint32_t timedOut() const { return timedOut_; }

private:
    enum class State { Idle, Count, Body };
    State state_ = State::Idle;
    uint32_t timeoutUs_;
    uint64_t lastUs_ = 0;
    size_t need_ = 0;
    std::vector<uint8_t> packet_;
    uint32_t skipped_ = 0;
    uint32_t timedOut_ = 0;
};

// What the two modules have in common: framing, a reply queue and counts.
class Module {
public:
    Module(uint8_t address, uint32_t replyDelayUs, uint32_t timeoutUs, bool pacing);
    virtual ~Module() = default;

    uint8_t address() const { return address_; }
    // A byte of the controller channel at time tUs.
    void receive(uint8_t byte, uint64_t tUs);
    TimedQueue& output() { return output_; }
    const TimedQueue& output() const { return output_; }
    void setExtraDelayUs(uint32_t us) { extraDelayUs_ = us; }
    void setReplyDelayUs(uint32_t us) { replyDelayUs_ = us; }
    void onEvent(EventFn fn) { event_ = std::move(fn); }
    // Asked before each reply is queued; true drops that reply (the packet was still acted on).
    void onReply(std::function<bool(uint64_t tUs)> dropFn) { dropReply_ = std::move(dropFn); }

    uint32_t packets() const { return packets_; }  // packets to this module acted on
    uint32_t ignored() const { return ignored_; }  // packets to this module not understood
    uint32_t replies() const { return replies_; }
    const ModuleFramer& framer() const { return framer_; }

protected:
    // Acts on a packet addressed to this module; false when it is not understood.
    virtual bool handle(const std::vector<uint8_t>& packet, uint64_t tUs) = 0;
    void reply(uint64_t tUs, std::vector<uint8_t> bytes);
    void event(uint64_t tUs, const std::string& text) {
        if (event_) event_(tUs, text);
    }

private:
    uint8_t address_;
    uint32_t replyDelayUs_;
    uint32_t extraDelayUs_ = 0;
    ModuleFramer framer_;
    TimedQueue output_;
    EventFn event_;
    std::function<bool(uint64_t)> dropReply_;
    uint32_t packets_ = 0, ignored_ = 0, replies_ = 0;
};

struct ServoChannel {
    bool on = false;
    uint8_t mode = 0;                 // the enable byte last sent (0 when off)
    uint8_t position = 127;           // the position last sent
    uint8_t headPosition = 127;       // where the servo physically is: follows position while on
    std::array<uint8_t, 2> config{};  // the configure bytes last sent
    uint32_t moves = 0;               // position packets received
};

class ServoModule : public Module {
public:
    static constexpr uint8_t kAddress = SERVO_MODULE;
    static constexpr int kChannels = 4;
    ServoModule(uint32_t replyDelayUs, uint32_t timeoutUs, bool pacing)
        : Module(kAddress, replyDelayUs, timeoutUs, pacing) {}
    const ServoChannel& channel(int ch) const { return channels_.at(size_t(ch)); }
    ServoChannel& channel(int ch) { return channels_.at(size_t(ch)); }

protected:
    bool handle(const std::vector<uint8_t>& packet, uint64_t tUs) override;

private:
    std::array<ServoChannel, kChannels> channels_{};
};

struct DriveState {
    static constexpr int kParameters = 16;
    bool running = false;
    int16_t speedValue = -500;  // the drive value last sent (speed packet or start write)
    std::array<std::array<uint8_t, 4>, kParameters> parameters{};
    uint32_t speedCommands = 0;
    uint32_t starts = 0, stops = 0;

    const std::array<uint8_t, 4>& parameter(int p) const { return parameters.at(size_t(p)); }
    // The drive value in effect: speedValue while running, -500 while stopped.
    int16_t effectiveValue() const { return running ? speedValue : int16_t(-500); }
};

class DriveModule : public Module {
public:
    static constexpr uint8_t kAddress = DRIVE_MODULE;
    DriveModule(uint32_t replyDelayUs, uint32_t timeoutUs, bool pacing);
    const DriveState& state() const { return state_; }
    DriveState& state() { return state_; }

protected:
    bool handle(const std::vector<uint8_t>& packet, uint64_t tUs) override;

private:
    DriveState state_;
};

}  // namespace sim
