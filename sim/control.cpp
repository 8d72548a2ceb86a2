#include "sim/control.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

bool parseUnsigned(const std::string& s, uint32_t max, uint32_t& out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    const unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
    if (v > max) return false;
    out = uint32_t(v);
    return true;
}

bool parseDouble(const std::string& s, double& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(out);
}

std::string faultsJson(const Faults& f) {
    return std::string("{\"silent\":") + boolText(f.silent) +
           ",\"slow_ms\":" + std::to_string(f.slowMs) +
           ",\"garble_percent\":" + std::to_string(f.garblePercent) +
           ",\"drop_percent\":" + std::to_string(f.dropPercent) +
           ",\"unplugged\":" + boolText(f.unplugged) + "}";
}

std::string join(const std::vector<std::string>& w, size_t from) {
    std::string s;
    for (size_t i = from; i < w.size(); ++i) s += (i > from ? " " : "") + w[i];
    return s;
}

}  // namespace

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!cur.empty()) words.push_back(cur), cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) words.push_back(cur);
    return words;
}

bool applyFault(Robot& robot, const std::vector<std::string>& w, std::string& error) {
    if (w.size() == 1 && w[0] == "clear") {
        robot.clearFaults();
        return true;
    }
    Device device;
    if (w.size() < 2 || w.size() > 3 || !parseDevice(w[0], device)) {
        error = "expected: fault camera|servo|drive|link KIND [on|off|VALUE], or fault clear";
        return false;
    }
    Faults f = robot.faults(device);
    const std::string& kind = w[1];
    const std::string value = w.size() == 3 ? w[2] : "on";
    const bool off = value == "off";
    const bool on = value == "on";
    uint32_t n = 0;
    if (kind == "clear" && w.size() == 2) {
        f = Faults();
    } else if (kind == "silent" && (on || off)) {
        f.silent = on;
    } else if (kind == "unplugged" && (on || off)) {
        if (device != Device::Link) {
            error = "only the link can be unplugged";
            return false;
        }
        f.unplugged = on;
    } else if (kind == "slow" && (on || off || parseUnsigned(value, 600000, n))) {
        f.slowMs = on ? 200 : off ? 0 : n;
    } else if (kind == "garble" && (on || off || parseUnsigned(value, 100, n))) {
        f.garblePercent = on ? 10 : off ? 0 : n;
    } else if (kind == "drop" && (on || off || parseUnsigned(value, 100, n))) {
        f.dropPercent = on ? 10 : off ? 0 : n;
    } else {
        error = "unknown fault or value: " + join(w, 1);
        return false;
    }
    robot.setFaults(device, f);
    return true;
}

ControlReply Control::execute(const std::string& line) {
    const std::vector<std::string> w = splitWords(line);
    ControlReply r;
    if (w.empty()) {
        r.text = "error: empty command";
        return r;
    }
    const std::string& cmd = w[0];
    if (cmd == "state" && w.size() == 1) {
        r.text = stateJson();
    } else if (cmd == "quit" && w.size() == 1) {
        r.text = "ok";
        r.quit = true;
    } else if (cmd == "help") {
        r.text = "ok commands: state | fault DEVICE KIND [on|off|VALUE] | fault clear | "
                 "world target AZ EL | world path static AZ EL | world path line AZ1 EL1 AZ2 EL2 S"
                 " | world path circle AZ EL R S | world colour R G B | world size DEG | "
                 "world present on|off | note TEXT | quit";
    } else if (cmd == "note") {
        robot_.note("control", join(w, 1));
        r.text = "ok";
    } else if (cmd == "fault") {
        std::string error;
        r.text = applyFault(robot_, std::vector<std::string>(w.begin() + 1, w.end()), error)
                     ? "ok"
                     : "error: " + error;
    } else if (cmd == "world" && w.size() >= 2) {
        const std::string& what = w[1];
        if (what == "target" && w.size() == 4) {
            auto p = parsePath("static " + w[2] + " " + w[3]);
            if (!p) return {"error: expected: world target AZ EL", false};
            robot_.setPath(*p);
            r.text = "ok";
        } else if (what == "path") {
            auto p = parsePath(join(w, 2));
            if (!p) return {"error: expected: world path static AZ EL | line AZ1 EL1 AZ2 EL2 S | "
                            "circle AZ EL R S", false};
            robot_.setPath(*p);
            r.text = "ok";
        } else if (what == "colour" && w.size() == 5) {
            uint32_t c[3];
            for (int i = 0; i < 3; ++i)
                if (!parseUnsigned(w[size_t(i) + 2], 255, c[i]))
                    return {"error: expected: world colour R G B (0..255)", false};
            robot_.world().setColour(Rgb{uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2])});
            robot_.note("world", "colour " + join(w, 2));
            r.text = "ok";
        } else if (what == "size" && w.size() == 3) {
            double d;
            if (!parseDouble(w[2], d) || d < 0 || d > 90)
                return {"error: expected: world size DEG (0..90)", false};
            robot_.world().setRadius(d);
            robot_.note("world", "size " + w[2]);
            r.text = "ok";
        } else if (what == "present" && w.size() == 3 && (w[2] == "on" || w[2] == "off")) {
            robot_.world().setPresent(w[2] == "on");
            robot_.note("world", "present " + w[2]);
            r.text = "ok";
        } else {
            r.text = "error: unknown world command: " + join(w, 1);
        }
    } else {
        r.text = "error: unknown command: " + line;
    }
    return r;
}

std::string Control::stateJson() const {
    const Robot& rb = robot_;
    std::string s = "{\"time_us\":" + std::to_string(rb.nowUs());
    s += ",\"channel\":";
    s += rb.channel() == Channel::Camera ? "\"camera\"" : "\"controller\"";
    s += ",\"link\":{\"plugged\":" + std::string(boolText(rb.plugged())) +
         ",\"com1\":" + jsonString(com1Pty_) + ",\"com2\":" + jsonString(com2Pty_) + "}";
    s += ",\"servos\":[";
    for (int ch = 0; ch < ServoModule::kChannels; ++ch) {
        const ServoChannel& c = rb.servo(ch);
        s += std::string(ch ? "," : "") + "{\"on\":" + boolText(c.on) +
             ",\"position\":" + std::to_string(c.position) +
             ",\"head\":" + std::to_string(c.headPosition) + ",\"mode\":" + std::to_string(c.mode) +
             ",\"moves\":" + std::to_string(c.moves) + "}";
    }
    const DriveState& d = rb.drive();
    s += "],\"drive\":{\"running\":" + std::string(boolText(d.running)) +
         ",\"value\":" + std::to_string(d.speedValue) +
         ",\"effective\":" + std::to_string(d.effectiveValue()) +
         ",\"speed_commands\":" + std::to_string(d.speedCommands) + ",\"parameters\":[";
    for (int p = 0; p < 8; ++p) {
        const auto& b = d.parameter(p);
        s += std::string(p ? "," : "") + "[" + std::to_string(b[0]) + "," + std::to_string(b[1]) +
             "," + std::to_string(b[2]) + "," + std::to_string(b[3]) + "]";
    }
    const Camera& cam = rb.camera();
    const TrackView& v = cam.lastView();
    s += "]},\"camera\":{\"mode\":";
    s += cam.tracking() ? (cam.windowTracking() ? "\"window tracking\"" : "\"colour tracking\"")
                        : "\"idle\"";
    s += ",\"tracking\":" + std::string(boolText(cam.tracking())) +
         ",\"middle_mass\":" + boolText(cam.middleMass()) +
         ",\"poll_mode\":" + boolText(cam.pollMode()) + ",\"ranges\":[";
    for (size_t i = 0; i < 6; ++i) s += (i ? "," : "") + std::to_string(cam.colourRanges()[i]);
    s += "],\"lines\":" + std::to_string(cam.lines().size()) +
         ",\"last_line\":" + jsonString(cam.lines().empty() ? "" : cam.lines().back()) +
         ",\"acks\":" + std::to_string(cam.acks()) + ",\"ncks\":" + std::to_string(cam.ncks()) +
         ",\"packets\":" + std::to_string(cam.trackingPackets()) +
         ",\"dumps\":" + std::to_string(cam.frameDumps()) +
         ",\"last_packet\":{\"x\":" + std::to_string(v.middleX) +
         ",\"y\":" + std::to_string(v.middleY) + ",\"x1\":" + std::to_string(v.x1) +
         ",\"y1\":" + std::to_string(v.y1) + ",\"x2\":" + std::to_string(v.x2) +
         ",\"y2\":" + std::to_string(v.y2) + ",\"pixels\":" + std::to_string(v.pixels) +
         ",\"confidence\":" + std::to_string(v.confidence) + "}}";
    const World& world = rb.world();
    const Angles t = world.targetAt(rb.nowUs());
    const Angles h = world.headFor(rb.servo(1).headPosition, rb.servo(2).headPosition);
    double x, y;
    world.toImage(h, t, x, y);
    const Rgb c = world.config().colour;
    s += ",\"world\":{\"path\":" + jsonString(describePath(world.path())) +
         ",\"present\":" + boolText(world.config().present) + ",\"colour\":[" +
         std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) +
         "],\"size\":" + num(world.config().radiusDeg) + ",\"target\":{\"az\":" + num(t.az) +
         ",\"el\":" + num(t.el) + "},\"head\":{\"pan\":" + num(h.az) + ",\"tilt\":" + num(h.el) +
         "},\"image\":{\"x\":" + num(x) + ",\"y\":" + num(y) + "}}";
    s += ",\"faults\":{";
    for (int i = 0; i < kDeviceCount; ++i) {
        const Device dev = static_cast<Device>(i);
        s += std::string(i ? "," : "") + "\"" + deviceName(dev) + "\":" + faultsJson(rb.faults(dev));
    }
    const Counts& n = rb.counts();
    s += "},\"counts\":{\"from_host\":" + std::to_string(n.fromHost) +
         ",\"to_host\":" + std::to_string(n.toHost) + ",\"switches\":" + std::to_string(n.switches) +
         ",\"lost_to_channel\":" + std::to_string(n.lostToChannel) +
         ",\"lost_to_faults\":" + std::to_string(n.lostToFaults) +
         ",\"garbled\":" + std::to_string(n.garbled) +
         ",\"servo_packets\":" + std::to_string(rb.servoModule().packets()) +
         ",\"drive_packets\":" + std::to_string(rb.driveModule().packets()) +
         ",\"ignored_packets\":" +
         std::to_string(rb.servoModule().ignored() + rb.driveModule().ignored()) + "}";
    if (com2_) {
        s += ",\"com2\":{\"packets\":" + std::to_string(com2_->packets().size()) +
             ",\"bad\":" + std::to_string(com2_->badPackets()) +
             ",\"junk\":" + std::to_string(com2_->junkBytes()) + ",\"last\":";
        if (com2_->packets().empty()) {
            s += "null";
        } else {
            const Com2Packet& p = com2_->packets().back();
            s += "{\"values\":[";
            for (size_t i = 0; i < 5; ++i) s += (i ? "," : "") + std::to_string(p.values[i]);
            s += "],\"flags\":" + std::to_string(p.flags) + "}";
        }
        s += "}";
    }
    return s + "}";
}

}  // namespace sim
