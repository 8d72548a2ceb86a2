#include "sim/modules.h"

#include <cstdio>

namespace sim {

namespace {

bool isBusAddress(uint8_t b) { return b == ServoModule::kAddress || b == DriveModule::kAddress; }

std::string format(const char* fmt, int a = 0, int b = 0, int c = 0, int d = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, a, b, c, d);
    return buf;
}

}  // namespace

bool ModuleFramer::feed(uint8_t byte, uint64_t tUs) {
    if (state_ != State::Idle && timeoutUs_ != 0 && tUs > lastUs_ + timeoutUs_) {
        state_ = State::Idle;  // the partial packet is dropped
        ++timedOut_;
    }
    lastUs_ = tUs;
    switch (state_) {
        case State::Idle:
            if (!isBusAddress(byte)) {
                ++skipped_;
                return false;
            }
            packet_.assign(1, byte);
            state_ = State::Count;
            return false;
        case State::Count:
            packet_.push_back(byte);
            need_ = byte;
            if (need_ == 0) {
                state_ = State::Idle;
                return true;
            }
            state_ = State::Body;
            return false;
        case State::Body:
            packet_.push_back(byte);
            if (--need_ == 0) {
                state_ = State::Idle;
                return true;
            }
            return false;
    }
    return false;
}

Module::Module(uint8_t address, uint32_t replyDelayUs, uint32_t timeoutUs, bool pacing)
    : address_(address), replyDelayUs_(replyDelayUs), framer_(timeoutUs), output_(pacing) {}

void Module::receive(uint8_t byte, uint64_t tUs) {
    if (!framer_.feed(byte, tUs)) return;
    const std::vector<uint8_t>& p = framer_.packet();
    if (p[0] != address_) return;
    if (p.size() >= 3 && handle(p, tUs)) {
        ++packets_;
    } else {
        ++ignored_;
        std::string text = "ignored packet";
        for (uint8_t b : p) text += format(" %d", b);
        event(tUs, text);
    }
}

void Module::reply(uint64_t tUs, std::vector<uint8_t> bytes) {
    if (dropReply_ && dropReply_(tUs)) return;
    ++replies_;
    output_.send(tUs + replyDelayUs_ + extraDelayUs_, bytes.data(), bytes.size());
}

bool ServoModule::handle(const std::vector<uint8_t>& p, uint64_t tUs) {
    const uint8_t count = p[1];
    const uint8_t cmd = p[2];
    if (count < 2) return false;
    const uint8_t arg = p[3];
    if (cmd == SERVO_MODULE_READ && count == 2) {  // read
        uint8_t value = 0;
        if (arg == 0x80) {
            for (int ch = 0; ch < kChannels; ++ch)
                if (channels_[size_t(ch)].on) value |= uint8_t(1u << ch);
        } else if (arg < kChannels) {
            value = channels_[arg].position;
        }
        event(tUs, format("servo read register %d = %d", arg, value));
        reply(tUs, {kAddress, 3, SERVO_MODULE_READ, arg, value});
        return true;
    }
    if (arg >= kChannels) return false;
    ServoChannel& ch = channels_[arg];
    if (cmd == SERVO_STATE && count == 2) {  // status query
        event(tUs, format("servo %d status query: ", arg) + (ch.on ? "on" : "off"));
        reply(tUs, {kAddress, 3, SERVO_STATE, arg, ch.on ? ch.mode : uint8_t(0)});
        return true;
    }
    if (cmd == SERVO_STATE && count == 3) {  // on (mode) or off (0)
        const uint8_t m = p[4];
        ch.mode = m;
        ch.on = m != 0;
        if (ch.on) ch.headPosition = ch.position;
        event(tUs, ch.on ? format("servo %d on (mode 0x%02x)", arg, m) : format("servo %d off", arg));
        return true;
    }
    if (cmd == SERVO_CONFIGURE && count == 4) {  // configure
        ch.config = {p[4], p[5]};
        event(tUs, format("servo %d configure %d %d", arg, p[4], p[5]));
        return true;
    }
    if (cmd == SERVO_POSITION && count == 3) {  // position
        ch.position = p[4];
        ++ch.moves;
        if (ch.on) ch.headPosition = ch.position;
        event(tUs, format("servo %d position %d", arg, p[4]) + (ch.on ? "" : " (off)"));
        return true;
    }
    return false;
}

DriveModule::DriveModule(uint32_t replyDelayUs, uint32_t timeoutUs, bool pacing)
    : Module(kAddress, replyDelayUs, timeoutUs, pacing) {
    state_.parameters[0] = {0, 0, 0xFE, 0x0C};
}

bool DriveModule::handle(const std::vector<uint8_t>& p, uint64_t tUs) {
    const uint8_t count = p[1];
    const uint8_t cmd = p[2];
    if (count < 2 || p[3] != DRIVE_UNIT) return false;  // the axis is always 1
    DriveState& s = state_;
    if (cmd == DRIVE_STATUS && count == 2) {  // status
        const int16_t v = s.effectiveValue();
        const uint8_t direction = v > -500 ? 1 : v < -500 ? 2 : 0;
        event(tUs,
              std::string(s.running ? "drive status: running" : "drive status: stopped") + format(", value %d", v));
        reply(tUs, {kAddress, 8, DRIVE_STATUS, DRIVE_UNIT, uint8_t(s.running ? 1 : 0), direction, s.parameters[0][0],
                    s.parameters[0][1], uint8_t(uint16_t(v) >> 8), uint8_t(uint16_t(v) & 0xFF)});
        return true;
    }
    if (cmd == DRIVE_SPEED && count == 4) {  // drive value
        s.speedValue = int16_t(uint16_t(p[4] << 8 | p[5]));
        ++s.speedCommands;
        event(tUs, format("drive value %d", s.speedValue) + (s.running ? "" : " (stopped)"));
        return true;
    }
    if (cmd == DRIVE_PARAMETER && count >= 3 && count <= 7) {
        const uint8_t param = p[4];
        if (param >= DriveState::kParameters) return false;
        auto& bytes = s.parameters[param];
        if (count == 3) {  // read
            event(tUs, format("drive read parameter %d = %d %d", param, bytes[0], bytes[1]));
            reply(tUs, {kAddress, 5, DRIVE_PARAMETER, DRIVE_UNIT, param, bytes[0], bytes[1]});
            return true;
        }
        const size_t n = size_t(count) - 3;
        for (size_t i = 0; i < n; ++i) bytes[i] = p[5 + i];
        std::string text = format("drive write parameter %d:", param);
        for (size_t i = 0; i < n; ++i) text += format(" %d", p[5 + i]);
        if (param == 0) {
            if (n == 4) s.speedValue = int16_t(uint16_t(bytes[2] << 8 | bytes[3]));
            const bool run = bytes[0] != 0 && bytes[1] != 0;
            if (run && !s.running) ++s.starts, text += " (start)";
            if (!run && s.running) ++s.stops, text += " (stop)";
            s.running = run;
        }
        event(tUs, text);
        return true;
    }
    return false;
}

}  // namespace sim
