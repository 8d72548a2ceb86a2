// The colour-tracking camera behind the camera channel.
//
// Input: command lines of a word and decimal numbers (0..255) separated by spaces, ended by a
// carriage return (0x0D). Words are not case-sensitive. Every line is answered, starting
// cameraReplyDelayUs (default 2 ms) after its CR:
//   empty line                        ":"
//   known command, right arguments    "ACK\r" then what the command sends, then ":"
//   anything else                     "NCK\r:"
//   a line longer than the buffer     "NCK\r:" (the buffer holds cameraLineMax, default 64,
//                                     characters; the rest up to the CR is thrown away)
// Commands:
//   tc [rmin rmax gmin gmax bmin bmax]  colour tracking: the target is tracked when its colour
//                                       lies within the ranges (none given: the last ones;
//                                       at start 0..255 each)
//   tw                                  window tracking: tracks the target's colour
//   df                                  frame dump (format: sim/frame_format.h), then ":"
//   CR [reg value]...                   camera registers, recorded
//   rm n, mm n, nf n, pm n, l1 n        raw mode, middle mass, noise filter, poll mode, light:
//                                       recorded; mm and pm change the tracking output (below)
//   sw [x1 y1 x2 y2]                    window, recorded (it does not limit tracking)
//   gv                                  "ACK\rHalvoran-sim camera 1.0\r:"
//   rs                                  reset of the settings, answered like gv
// Tracking ("tc", "tw") sends "ACK\r" and then a packet every 1/trackingRateHz seconds
// (default 25 per second), the first one period after the acknowledgement:
//   middle mass on (mm 1, the default): 10 bytes
//     0xFF, 'M', middle x, middle y, x1, y1, x2, y2, pixel count, confidence
//   middle mass off (mm 0): 8 bytes, as the menu mode expects
//     0xFF, 'C', x1, y1, x2, y2, pixel count, confidence
// No byte after the 0xFF is 0xFF. A target that is not seen (out of view, colour outside the
// ranges, or no target) gives zeros in every value. The stream runs until a CR arrives, which
// is answered with ":". Bytes received while streaming are collected as a line: when the CR ends
// a line that is not empty, the stream stops (":") and then the line is carried out as a
// command ("tc" while streaming restarts tracking with the new ranges). In poll mode
// (pm 1) a tracking command sends one packet and ":" and does not stream.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/modules.h"
#include "sim/types.h"
#include "sim/world.h"

namespace sim {

struct CameraConfig {
    uint32_t replyDelayUs = 2000;
    uint32_t lineMax = 64;
    double trackingRateHz = 25.0;
    uint8_t confidence = 100;  // confidence of a fully visible target (1..254)
    bool pacing = false;
};

class Camera {
public:
    enum class Mode : uint8_t { Idle, Tracking };

    Camera(const CameraConfig& config, const World& world, const ServoModule& servos);

    // A byte of the camera channel at time tUs.
    void receive(uint8_t byte, uint64_t tUs);
    // Queues the tracking packets due up to tUs.
    void generateUntil(uint64_t tUs);
    // Time of the next tracking packet, if tracking.
    bool nextPacketUs(uint64_t& tUs) const;

    TimedQueue& output() { return output_; }
    const TimedQueue& output() const { return output_; }
    void setExtraDelayUs(uint32_t us) { extraDelayUs_ = us; }
    void onEvent(EventFn fn) { event_ = std::move(fn); }
    CameraConfig& config() { return config_; }

    // ---- what it was told and what it did
    Mode mode() const { return mode_; }
    bool tracking() const { return mode_ == Mode::Tracking; }
    bool windowTracking() const { return windowTracking_; }  // the stream came from "tw"
    const std::array<uint8_t, 6>& colourRanges() const { return ranges_; }
    bool middleMass() const { return middleMass_; }
    bool pollMode() const { return pollMode_; }
    uint8_t rawMode() const { return rawMode_; }
    uint8_t noiseFilter() const { return noiseFilter_; }
    const std::vector<uint8_t>& window() const { return window_; }
    const std::vector<uint8_t>& registers() const { return registers_; }  // pairs, as sent
    const std::vector<std::string>& lines() const { return lines_; }      // complete lines received
    uint32_t acks() const { return acks_; }
    uint32_t ncks() const { return ncks_; }
    uint32_t trackingPackets() const { return packets_; }
    uint32_t frameDumps() const { return dumps_; }
    // The values of the last tracking packet queued.
    const TrackView& lastView() const { return lastView_; }

private:
    void line(uint64_t tUs);
    void answer(uint64_t tUs, const std::string& text);
    void queuePacket(uint64_t tUs);
    void event(uint64_t tUs, const std::string& text) {
        if (event_) event_(tUs, text);
    }

    CameraConfig config_;
    const World& world_;
    const ServoModule& servos_;
    TimedQueue output_;
    EventFn event_;
    uint32_t extraDelayUs_ = 0;

    std::string buffer_;
    bool overflow_ = false;
    Mode mode_ = Mode::Idle;
    bool windowTracking_ = false;
    uint64_t nextPacketUs_ = 0;
    std::array<uint8_t, 6> ranges_{0, 255, 0, 255, 0, 255};
    bool middleMass_ = true;
    bool pollMode_ = false;
    uint8_t rawMode_ = 0;
    uint8_t noiseFilter_ = 0;
    uint8_t light_ = 0;
    std::vector<uint8_t> window_;
    std::vector<uint8_t> registers_;
    std::vector<std::string> lines_;
    uint32_t acks_ = 0, ncks_ = 0, packets_ = 0, dumps_ = 0;
    TrackView lastView_;
};

}  // namespace sim
