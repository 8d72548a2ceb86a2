// The simulated robot: everything at the far end of Halvoran's serial link "COM1:".
//
//   host <-> [link] <-> channel switch <-> camera            (channel 1)
//                                      <-> servo module (2)  (channel 2, one bus)
//                                      <-> drive module (4)
//
// A plain byte-in/byte-out state machine with time: fromHost(byte, t) is a byte the host wrote
// at time t; toHost(now, byte) gives the next byte the robot has put on the line at or before
// now. Times are microseconds on the caller's clock and must not go backwards (a time older
// than the latest one seen is taken as the latest). Nothing here reads a clock or sleeps, so
// the same model serves unit tests in virtual time and halvoran-sim in real time.
//
// Channel switch: 0x5C then '1' selects the camera, 0x5C then '2' the controller modules; the
// switch answers nothing. A 0x5C followed by any other byte is passed on, with that byte, to
// the selected device. Bytes reach only the selected device, and only the selected device's
// output comes back: what a device sends while the other channel is selected is lost. The
// switch starts on the camera channel (Config::initialChannel).
//
// Devices: see camera.h, modules.h and world.h for what each one does and answers.
//
// Faults (settable at any time, per device or for the whole link; see Faults in types.h):
// silent (sends nothing), slow (extra delay before each reply), garbling (random bytes mixed
// into what it sends), dropping (bytes lost in either direction), and for the link only
// unplugged (nothing passes either way). Random choices come from one generator seeded with
// Config::seed, so a run is repeatable.
//
// Usage in a unit test of the system (tests/support/sim_far_end.h wires it to vt):
//   sim::Config config;                 // pacing off, replies after 1.5 ms / 2 ms
//   sim::Robot robot(config);
//   SimFarEnd far(robot);
//   vt::attach("COM1:", &far);
//   ... run the system ...
//   EXPECT_TRUE(robot.servo(1).on);
//   EXPECT_EQ(robot.servo(1).position, 119);
//   EXPECT_TRUE(robot.drive().running);
//   EXPECT_EQ(robot.drive().speedValue, -477);
//   EXPECT_TRUE(robot.camera().tracking());
//   robot.faults(sim::Device::Drive).silent = true;
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/camera.h"
#include "sim/modules.h"
#include "sim/types.h"
#include "sim/world.h"

namespace sim {

struct Config {
    bool pacing = false;                 // 115200-baud byte time between bytes each device sends
    uint32_t moduleReplyDelayUs = 1500;  // servo and drive modules, after a request's last byte
    uint32_t moduleTimeoutUs = 50000;    // gap that drops a partial module packet (0: never)
    uint32_t cameraReplyDelayUs = 2000;  // camera, after a line's CR
    uint32_t cameraLineMax = 64;         // camera line buffer
    double trackingRateHz = 25.0;        // tracking packets per second
    uint8_t confidence = 100;            // tracking confidence of a fully visible target
    Channel initialChannel = Channel::Camera;
    uint32_t seed = 1;
    size_t traceLimit = 1000000;  // trace entries kept in memory (0: none); the sink
                                  // (setTraceSink) sees every entry regardless
    WorldConfig world;
    std::array<Faults, kDeviceCount> faults{};  // at start, indexed by Device
};

// Counts of what went over the link.
struct Counts {
    uint64_t fromHost = 0;       // bytes the host wrote
    uint64_t toHost = 0;         // bytes put on the line for the host
    uint64_t switches = 0;       // channel switch commands
    uint64_t lostToChannel = 0;  // bytes a device sent while the other channel was selected
    uint64_t lostToFaults = 0;   // bytes lost to silent, dropping or unplugged
    uint64_t garbled = 0;        // random bytes put in by garbling (replacements and insertions)
};

class Robot {
public:
    explicit Robot(const Config& config = Config());
    Robot(const Robot&) = delete;
    Robot& operator=(const Robot&) = delete;

    // ---- the link
    void fromHost(uint8_t byte, uint64_t tUs);
    bool toHost(uint64_t nowUs, uint8_t& byte);
    // Runs the devices up to tUs (tracking packets, replies onto the line) without taking a byte.
    void advance(uint64_t tUs);
    // The earliest time at which something is or will be due (a byte for the host, a device
    // byte or a tracking packet), if anything is pending.
    std::optional<uint64_t> nextDueUs() const;
    // The latest time seen.
    uint64_t nowUs() const { return now_; }

    // ---- state, for assertions
    Channel channel() const { return channel_; }
    const ServoChannel& servo(int ch) const { return servo_.channel(ch); }  // ch 0..3
    const DriveState& drive() const { return drive_.state(); }
    const Camera& camera() const { return camera_; }
    Camera& camera() { return camera_; }
    const ServoModule& servoModule() const { return servo_; }
    const DriveModule& driveModule() const { return drive_; }
    World& world() { return world_; }
    const World& world() const { return world_; }
    const Config& config() const { return config_; }
    const Counts& counts() const { return counts_; }

    // ---- faults: change them freely through the reference; setFaults also records the
    // change in the trace.
    Faults& faults(Device device) { return faults_[size_t(device)]; }
    const Faults& faults(Device device) const { return faults_[size_t(device)]; }
    void setFaults(Device device, const Faults& faults);
    void clearFaults();
    bool plugged() const { return !faults(Device::Link).unplugged; }

    // ---- world, recorded in the trace
    void setPath(const Path& path);

    // ---- trace: every byte in and out, with its time and channel, and events
    const std::vector<TraceEntry>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }
    // Called for every entry as it happens (halvoran-sim writes its trace file with it).
    void setTraceSink(std::function<void(const TraceEntry&)> sink) { sink_ = std::move(sink); }
    // Records an event of the caller's (e.g. a note from a test or the control channel).
    void note(const std::string& where, const std::string& text);
    // The bytes that went out to the host, or came in from it, in order (from the trace kept).
    std::vector<uint8_t> bytesToHost() const;
    std::vector<uint8_t> bytesFromHost() const;
    // The trace kept, one formatted line per entry (formatTrace), joined with '\n'.
    std::string traceText() const;

private:
    void deliver(uint8_t byte, uint64_t tUs);
    void transfer(TimedQueue& queue, Device device, const char* where, uint64_t untilUs);
    void putOnLine(uint64_t tUs, uint8_t byte, const char* where);
    bool chance(uint32_t percent);
    uint8_t randomByte();
    void record(TraceEntry entry);
    void applyDelays();

    Config config_;
    std::mt19937 rng_;
    World world_;
    ServoModule servo_;
    DriveModule drive_;
    Camera camera_;
    std::array<Faults, kDeviceCount> faults_;
    std::deque<TimedByte> line_;  // bytes on their way to the host
    Channel channel_;
    bool escapePending_ = false;
    uint64_t now_ = 0;
    Counts counts_;
    std::vector<TraceEntry> trace_;
    std::function<void(const TraceEntry&)> sink_;
};

}  // namespace sim
