#include "sim/camera.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "sim/frame_format.h"

namespace sim {

namespace {

constexpr size_t kLinesKept = 1000;
constexpr uint64_t kMaxCatchUpPackets = 5000;  // a longer silence of the caller skips packets
const char* const kVersion = "Halvoran-sim camera 1.0";

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

// Splits a line into a lower-case word and numbers 0..255; false when it is not of that form.
bool parseLine(const std::string& text, std::string& word, std::vector<uint8_t>& args) {
    std::vector<std::string> tokens;
    std::string cur;
    for (char c : text) {
        if (c == ' ') {
            if (!cur.empty()) tokens.push_back(cur), cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) tokens.push_back(cur);
    if (tokens.empty()) return false;
    word.clear();
    for (unsigned char c : tokens[0]) word += char(std::tolower(c));
    args.clear();
    for (size_t i = 1; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        if (t.size() > 3) return false;
        int v = 0;
        for (char c : t) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        if (v > 255) return false;
        args.push_back(uint8_t(v));
    }
    return true;
}

}  // namespace

Camera::Camera(const CameraConfig& config, const World& world, const ServoModule& servos)
    : config_(config), world_(world), servos_(servos), output_(config.pacing) {}

void Camera::answer(uint64_t tUs, const std::string& text) {
    output_.send(tUs + config_.replyDelayUs + extraDelayUs_, text);
}

void Camera::receive(uint8_t byte, uint64_t tUs) {
    generateUntil(tUs);
    if (mode_ == Mode::Tracking && byte == '\r') {
        // A carriage return ends the stream. When it ends a command line that came while the
        // stream ran, that line is then carried out as usual (so a second tracking start takes
        // effect instead of merely stopping the first).
        mode_ = Mode::Idle;
        event(tUs, "tracking stopped");
        answer(tUs, ":");
        if (!overflow_ && buffer_.find_first_not_of(' ') == std::string::npos) {
            buffer_.clear();
            return;
        }
        line(tUs);
        return;
    }
    if (byte == '\r') {
        line(tUs);
        return;
    }
    if (buffer_.size() < config_.lineMax) {
        buffer_ += char(byte);
    } else {
        overflow_ = true;
    }
}

void Camera::line(uint64_t tUs) {
    const std::string text = buffer_;
    const bool overflow = overflow_;
    buffer_.clear();
    overflow_ = false;
    if (lines_.size() >= kLinesKept) lines_.erase(lines_.begin());
    lines_.push_back(text);

    if (overflow) {
        ++ncks_;
        event(tUs, "line too long: " + printable(text) + "...");
        answer(tUs, "NCK\r:");
        return;
    }
    std::string word;
    std::vector<uint8_t> args;
    if (!parseLine(text, word, args)) {
        if (text.find_first_not_of(' ') == std::string::npos) {
            answer(tUs, ":");  // an empty line
            return;
        }
        ++ncks_;
        event(tUs, "refused: " + printable(text));
        answer(tUs, "NCK\r:");
        return;
    }
    const size_t n = args.size();
    auto ack = [&](const std::string& more) {
        ++acks_;
        event(tUs, "line: " + printable(text));
        answer(tUs, "ACK\r" + more);
    };
    if ((word == "tc" && (n == 0 || n == 6)) || (word == "tw" && n == 0)) {
        if (word == "tc" && n == 6) std::copy(args.begin(), args.end(), ranges_.begin());
        windowTracking_ = word == "tw";
        ack("");
        const double rate = config_.trackingRateHz > 0 ? config_.trackingRateHz : 25.0;
        const uint64_t period = std::max<uint64_t>(1000, uint64_t(std::llround(1e6 / rate)));
        const uint64_t first = output_.busyUntilUs() + period;
        if (pollMode_) {
            queuePacket(first);
            output_.send(first, ":");
            return;
        }
        mode_ = Mode::Tracking;
        nextPacketUs_ = first;
        event(tUs, windowTracking_ ? "window tracking started" : "colour tracking started");
        return;
    }
    if (word == "df" && n == 0) {
        ack("");
        frame::Image image;
        world_.render(tUs, servos_.channel(1).headPosition, servos_.channel(2).headPosition, image);
        const std::vector<uint8_t> bytes = frame::encode(image);
        output_.send(output_.busyUntilUs(), bytes.data(), bytes.size());
        ++dumps_;
        event(tUs, "frame dump of " + std::to_string(bytes.size() + 4) + " bytes");
        return;
    }
    if (word == "cr" && n % 2 == 0) {
        if (n == 0) registers_.clear();
        registers_.insert(registers_.end(), args.begin(), args.end());
        ack(":");
        return;
    }
    if (n == 1 && (word == "rm" || word == "mm" || word == "nf" || word == "pm" || word == "l1")) {
        if (word == "rm") rawMode_ = args[0];
        if (word == "mm") middleMass_ = args[0] != 0;
        if (word == "nf") noiseFilter_ = args[0];
        if (word == "pm") pollMode_ = args[0] != 0;
        if (word == "l1") light_ = args[0];
        ack(":");
        return;
    }
    if (word == "sw" && (n == 0 || n == 4)) {
        window_ = args;
        ack(":");
        return;
    }
    if ((word == "gv" || word == "rs") && n == 0) {
        if (word == "rs") {
            ranges_ = {0, 255, 0, 255, 0, 255};
            middleMass_ = true;
            pollMode_ = false;
            rawMode_ = noiseFilter_ = light_ = 0;
            window_.clear();
            registers_.clear();
        }
        ack(std::string(kVersion) + "\r:");
        return;
    }
    ++ncks_;
    event(tUs, "refused: " + printable(text));
    answer(tUs, "NCK\r:");
}

void Camera::queuePacket(uint64_t tUs) {
    const Rgb c = world_.config().colour;
    const bool matches = windowTracking_ || (c.r >= ranges_[0] && c.r <= ranges_[1] && c.g >= ranges_[2] &&
                                             c.g <= ranges_[3] && c.b >= ranges_[4] && c.b <= ranges_[5]);
    TrackView v;
    if (matches) {
        v = world_.look(tUs, servos_.channel(1).headPosition, servos_.channel(2).headPosition, config_.confidence);
    }
    lastView_ = v;
    ++packets_;
    if (middleMass_) {
        const uint8_t p[10] = {0xFF, 'M', v.middleX, v.middleY, v.x1, v.y1, v.x2, v.y2, v.pixels, v.confidence};
        output_.send(tUs, p, sizeof p);
    } else {
        const uint8_t p[8] = {0xFF, 'C', v.x1, v.y1, v.x2, v.y2, v.pixels, v.confidence};
        output_.send(tUs, p, sizeof p);
    }
}

void Camera::generateUntil(uint64_t tUs) {
    if (mode_ != Mode::Tracking) return;
    const double rate = config_.trackingRateHz > 0 ? config_.trackingRateHz : 25.0;
    const uint64_t period = std::max<uint64_t>(1000, uint64_t(std::llround(1e6 / rate)));
    if (tUs > nextPacketUs_ && (tUs - nextPacketUs_) / period > kMaxCatchUpPackets) {
        const uint64_t skip = (tUs - nextPacketUs_) / period - kMaxCatchUpPackets;
        nextPacketUs_ += skip * period;
        event(tUs, "skipped " + std::to_string(skip) + " tracking packets nobody waited for");
    }
    while (nextPacketUs_ <= tUs) {
        queuePacket(nextPacketUs_);
        nextPacketUs_ += period;
    }
}

bool Camera::nextPacketUs(uint64_t& tUs) const {
    if (mode_ != Mode::Tracking) return false;
    tUs = nextPacketUs_;
    return true;
}

}  // namespace sim
