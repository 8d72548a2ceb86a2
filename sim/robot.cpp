#include "sim/robot.h"

#include <algorithm>
#include <cstdio>

#include "protocol/wire.h"

namespace sim {

namespace {

CameraConfig cameraConfig(const Config& c) {
    CameraConfig cc;
    cc.replyDelayUs = c.cameraReplyDelayUs;
    cc.lineMax = c.cameraLineMax;
    cc.trackingRateHz = c.trackingRateHz;
    cc.confidence = c.confidence;
    cc.pacing = c.pacing;
    return cc;
}

const char* channelName(Channel c) { return c == Channel::Camera ? "camera" : "controller"; }

std::string describeFaults(const Faults& f) {
    if (!f.any()) return "none";
    std::string s;
    auto add = [&](const std::string& t) { s += (s.empty() ? "" : ", ") + t; };
    if (f.silent) add("silent");
    if (f.slowMs) add("slow " + std::to_string(f.slowMs) + " ms");
    if (f.garblePercent) add("garble " + std::to_string(f.garblePercent) + "%");
    if (f.dropPercent) add("drop " + std::to_string(f.dropPercent) + "%");
    if (f.unplugged) add("unplugged");
    if (f.dropReplies) add("drop the next " + std::to_string(f.dropReplies) + " replies");
    return s;
}

}  // namespace

Robot::Robot(const Config& config)
    : config_(config),
      rng_(config.seed),
      world_(config.world),
      servo_(config.moduleReplyDelayUs, config.moduleTimeoutUs, config.pacing),
      drive_(config.moduleReplyDelayUs, config.moduleTimeoutUs, config.pacing),
      camera_(cameraConfig(config), world_, servo_),
      faults_(config.faults),
      channel_(config.initialChannel) {
    servo_.onEvent([this](uint64_t t, const std::string& s) {
        record({t, TraceEntry::Kind::Event, "controller", 0, s});
    });
    drive_.onEvent([this](uint64_t t, const std::string& s) {
        record({t, TraceEntry::Kind::Event, "controller", 0, s});
    });
    // A module whose next replies are to be lost: the reply is not sent, and the count goes down.
    auto dropper = [this](Device device) {
        return [this, device](uint64_t t) {
            uint32_t& left = faults_[size_t(device)].dropReplies;
            if (left == 0) return false;
            --left;
            record({t, TraceEntry::Kind::Event, "controller", 0,
                    std::string(deviceName(device)) + " reply dropped (" + std::to_string(left) + " more to drop)"});
            return true;
        };
    };
    servo_.onReply(dropper(Device::Servo));
    drive_.onReply(dropper(Device::Drive));
    camera_.onEvent([this](uint64_t t, const std::string& s) { record({t, TraceEntry::Kind::Event, "camera", 0, s}); });
}

void Robot::record(TraceEntry entry) {
    if (sink_) sink_(entry);
    if (trace_.size() < config_.traceLimit) trace_.push_back(std::move(entry));
}

void Robot::note(const std::string& where, const std::string& text) {
    record({now_, TraceEntry::Kind::Event, where, 0, text});
}

bool Robot::chance(uint32_t percent) {
    if (percent == 0) return false;
    if (percent >= 100) return true;
    return std::uniform_int_distribution<uint32_t>(0, 99)(rng_) < percent;
}

uint8_t Robot::randomByte() { return uint8_t(std::uniform_int_distribution<int>(0, 255)(rng_)); }

void Robot::applyDelays() {
    const uint32_t link = faults(Device::Link).slowMs;
    camera_.setExtraDelayUs((faults(Device::Camera).slowMs + link) * 1000);
    servo_.setExtraDelayUs((faults(Device::Servo).slowMs + link) * 1000);
    drive_.setExtraDelayUs((faults(Device::Drive).slowMs + link) * 1000);
}

void Robot::setFaults(Device device, const Faults& f) {
    faults_[size_t(device)] = f;
    applyDelays();
    note("link", std::string("faults of ") + deviceName(device) + ": " + describeFaults(f));
}

void Robot::clearFaults() {
    for (int i = 0; i < kDeviceCount; ++i) faults_[size_t(i)] = Faults();
    applyDelays();
    note("link", "faults cleared");
}

void Robot::setPath(const Path& path) {
    world_.setPath(path, now_);
    note("world", "path " + describePath(path));
}

void Robot::putOnLine(uint64_t tUs, uint8_t byte, const char* where) {
    // Keep the line in time order (bytes of two devices can meet around a switch).
    auto it = line_.end();
    while (it != line_.begin() && std::prev(it)->tUs > tUs) --it;
    line_.insert(it, TimedByte{tUs, byte});
    ++counts_.toHost;
    record({tUs, TraceEntry::Kind::Out, where, byte, {}});
}

void Robot::transfer(TimedQueue& queue, Device device, const char* where, uint64_t untilUs) {
    while (!queue.empty() && queue.front().tUs <= untilUs) {
        const TimedByte b = queue.front();
        queue.pop();
        const bool selected = (device == Device::Camera) == (channel_ == Channel::Camera);
        if (!selected) {
            ++counts_.lostToChannel;
            continue;
        }
        // The device's own faults, then the link's.
        std::vector<uint8_t> bytes;
        const Faults& df = faults(device);
        if (df.silent || chance(df.dropPercent)) {
            ++counts_.lostToFaults;
            continue;
        }
        bytes.push_back(b.byte);
        if (chance(df.garblePercent)) bytes[0] = randomByte(), ++counts_.garbled;
        if (chance(df.garblePercent)) bytes.push_back(randomByte()), ++counts_.garbled;
        const Faults& lf = faults(Device::Link);
        for (uint8_t byte : bytes) {
            if (lf.unplugged || lf.silent || chance(lf.dropPercent)) {
                ++counts_.lostToFaults;
                continue;
            }
            if (chance(lf.garblePercent)) byte = randomByte(), ++counts_.garbled;
            putOnLine(b.tUs, byte, where);
            if (chance(lf.garblePercent)) putOnLine(b.tUs, randomByte(), where), ++counts_.garbled;
        }
    }
}

void Robot::advance(uint64_t tUs) {
    if (tUs < now_) tUs = now_;
    applyDelays();
    camera_.generateUntil(tUs);
    // Move the devices' bytes onto the line in time order.
    for (;;) {
        TimedQueue* best = nullptr;
        Device device = Device::Camera;
        const char* where = "camera";
        auto consider = [&](TimedQueue& q, Device d, const char* w) {
            if (q.empty() || q.front().tUs > tUs) return;
            if (!best || q.front().tUs < best->front().tUs) best = &q, device = d, where = w;
        };
        consider(camera_.output(), Device::Camera, "camera");
        consider(servo_.output(), Device::Servo, "controller");
        consider(drive_.output(), Device::Drive, "controller");
        if (!best) break;
        // One byte at a time, so that the queues stay merged by time.
        const uint64_t t = best->front().tUs;
        TimedQueue& q = *best;
        // transfer() takes every byte up to t of this queue; bytes of equal time keep their order.
        transfer(q, device, where, t);
    }
    now_ = tUs;
}

void Robot::fromHost(uint8_t byte, uint64_t tUs) {
    if (tUs < now_) tUs = now_;
    advance(tUs);
    ++counts_.fromHost;
    const Faults& lf = faults(Device::Link);
    if (lf.unplugged || chance(lf.dropPercent)) {
        record({tUs, TraceEntry::Kind::In, "link", byte, {}});
        ++counts_.lostToFaults;
        return;
    }
    if (escapePending_) {
        escapePending_ = false;
        if (byte == CHANNEL_CAMERA || byte == CHANNEL_CONTROLLER) {
            record({tUs, TraceEntry::Kind::In, "switch", byte, {}});
            channel_ = byte == CHANNEL_CAMERA ? Channel::Camera : Channel::Controller;
            ++counts_.switches;
            note("switch", std::string("channel ") + channelName(channel_));
            return;
        }
        record({tUs, TraceEntry::Kind::In, channelName(channel_), byte, {}});
        deliver(CHANNEL_SWITCH, tUs);
        deliver(byte, tUs);
        return;
    }
    if (byte == CHANNEL_SWITCH) {
        record({tUs, TraceEntry::Kind::In, "switch", byte, {}});
        escapePending_ = true;
        return;
    }
    record({tUs, TraceEntry::Kind::In, channelName(channel_), byte, {}});
    deliver(byte, tUs);
}

void Robot::deliver(uint8_t byte, uint64_t tUs) {
    if (channel_ == Channel::Camera) {
        if (chance(faults(Device::Camera).dropPercent)) {
            ++counts_.lostToFaults;
            return;
        }
        camera_.receive(byte, tUs);
        return;
    }
    // Both modules hear the controller bus; each may lose the byte on its own.
    if (chance(faults(Device::Servo).dropPercent)) {
        ++counts_.lostToFaults;
    } else {
        servo_.receive(byte, tUs);
    }
    if (chance(faults(Device::Drive).dropPercent)) {
        ++counts_.lostToFaults;
    } else {
        drive_.receive(byte, tUs);
    }
}

bool Robot::toHost(uint64_t nowUs, uint8_t& byte) {
    advance(nowUs);
    if (line_.empty() || line_.front().tUs > nowUs) return false;
    byte = line_.front().byte;
    line_.pop_front();
    return true;
}

std::optional<uint64_t> Robot::nextDueUs() const {
    std::optional<uint64_t> t;
    auto take = [&](uint64_t v) {
        if (!t || v < *t) t = v;
    };
    if (!line_.empty()) take(line_.front().tUs);
    if (!camera_.output().empty()) take(camera_.output().front().tUs);
    if (!servo_.output().empty()) take(servo_.output().front().tUs);
    if (!drive_.output().empty()) take(drive_.output().front().tUs);
    uint64_t p;
    if (camera_.nextPacketUs(p)) take(p);
    return t;
}

std::vector<uint8_t> Robot::bytesToHost() const {
    std::vector<uint8_t> out;
    for (const TraceEntry& e : trace_)
        if (e.kind == TraceEntry::Kind::Out) out.push_back(e.byte);
    return out;
}

std::vector<uint8_t> Robot::bytesFromHost() const {
    std::vector<uint8_t> out;
    for (const TraceEntry& e : trace_)
        if (e.kind == TraceEntry::Kind::In) out.push_back(e.byte);
    return out;
}

std::string Robot::traceText() const {
    std::string out;
    for (const TraceEntry& e : trace_) {
        if (!out.empty()) out += '\n';
        out += formatTrace(e);
    }
    return out;
}

}  // namespace sim
