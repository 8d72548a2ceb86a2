#include "sim/control.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

// A camera line may hold any byte; the state shows it as printable text (other bytes as \xHH),
// so that the JSON is valid whatever a client sent.
std::string jsonText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

// Angles and image positions to a thousandth, as the state shows them.
double rounded(double v) { return std::round(v * 1000.0) / 1000.0; }

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
    } else if (kind == "dropreplies" && (off || parseUnsigned(value, 1000000, n))) {
        if (device != Device::Servo && device != Device::Drive) {
            error = "only the servo and drive modules have replies to drop";
            return false;
        }
        f.dropReplies = off ? 0 : n;
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
        r.text =
            "ok commands: state | fault DEVICE KIND [on|off|VALUE] | fault servo|drive dropreplies N"
            " | fault clear | "
            "world target AZ EL | world path static AZ EL | world path line AZ1 EL1 AZ2 EL2 S"
            " | world path circle AZ EL R S | world colour R G B | world size DEG | "
            "world present on|off | note TEXT | quit";
    } else if (cmd == "note") {
        robot_.note("control", join(w, 1));
        r.text = "ok";
    } else if (cmd == "fault") {
        std::string error;
        r.text = applyFault(robot_, std::vector<std::string>(w.begin() + 1, w.end()), error) ? "ok" : "error: " + error;
    } else if (cmd == "world" && w.size() >= 2) {
        const std::string& what = w[1];
        if (what == "target" && w.size() == 4) {
            auto p = parsePath("static " + w[2] + " " + w[3]);
            if (!p) return {"error: expected: world target AZ EL", false};
            robot_.setPath(*p);
            r.text = "ok";
        } else if (what == "path") {
            auto p = parsePath(join(w, 2));
            if (!p)
                return {
                    "error: expected: world path static AZ EL | line AZ1 EL1 AZ2 EL2 S | "
                    "circle AZ EL R S",
                    false};
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
            if (!parseDouble(w[2], d) || d < 0 || d > 90) return {"error: expected: world size DEG (0..90)", false};
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
    using Json = nlohmann::ordered_json;
    const Robot& rb = robot_;
    Json state;
    state["time_us"] = rb.nowUs();
    state["channel"] = rb.channel() == Channel::Camera ? "camera" : "controller";
    state["link"] = {{"plugged", rb.plugged()}, {"com1", com1Pty_}, {"com2", com2Pty_}};
    Json servos = Json::array();
    for (int ch = 0; ch < ServoModule::kChannels; ++ch) {
        const ServoChannel& c = rb.servo(ch);
        servos.push_back(
            {{"on", c.on}, {"position", c.position}, {"head", c.headPosition}, {"mode", c.mode}, {"moves", c.moves}});
    }
    state["servos"] = servos;
    const DriveState& d = rb.drive();
    Json parameters = Json::array();
    for (int p = 0; p < 8; ++p) {
        const auto& b = d.parameter(p);
        parameters.push_back({b[0], b[1], b[2], b[3]});
    }
    // The client's speed byte that gives the value in effect (null when none gives it).
    Json speed = nullptr;
    for (int sp = -128; sp <= 127; ++sp)
        if (-500 + int(2.34375 * sp) == d.effectiveValue()) speed = sp;
    state["drive"] = {{"running", d.running},
                      {"value", d.speedValue},
                      {"effective", d.effectiveValue()},
                      {"moving", d.effectiveValue() != -500},
                      {"speed", speed},
                      {"speed_commands", d.speedCommands},
                      {"starts", d.starts},
                      {"stops", d.stops},
                      {"parameters", parameters}};
    const Camera& cam = rb.camera();
    const TrackView& v = cam.lastView();
    Json ranges = Json::array();
    for (uint8_t r : cam.colourRanges()) ranges.push_back(r);
    state["camera"] = {
        {"mode", cam.tracking() ? (cam.windowTracking() ? "window tracking" : "colour tracking") : "idle"},
        {"tracking", cam.tracking()},
        {"middle_mass", cam.middleMass()},
        {"poll_mode", cam.pollMode()},
        {"ranges", ranges},
        {"lines", cam.lines().size()},
        {"last_line", jsonText(cam.lines().empty() ? "" : cam.lines().back())},
        {"acks", cam.acks()},
        {"ncks", cam.ncks()},
        {"packets", cam.trackingPackets()},
        {"dumps", cam.frameDumps()},
        {"last_packet",
         {{"x", v.middleX},
          {"y", v.middleY},
          {"x1", v.x1},
          {"y1", v.y1},
          {"x2", v.x2},
          {"y2", v.y2},
          {"pixels", v.pixels},
          {"confidence", v.confidence}}}};
    const World& world = rb.world();
    const Angles t = world.targetAt(rb.nowUs());
    const Angles h = world.headFor(rb.servo(1).headPosition, rb.servo(2).headPosition);
    double x, y;
    world.toImage(h, t, x, y);
    const Rgb c = world.config().colour;
    state["world"] = {{"path", describePath(world.path())},
                      {"present", world.config().present},
                      {"colour", {c.r, c.g, c.b}},
                      {"size", rounded(world.config().radiusDeg)},
                      {"target", {{"az", rounded(t.az)}, {"el", rounded(t.el)}}},
                      {"head", {{"pan", rounded(h.az)}, {"tilt", rounded(h.el)}}},
                      {"image", {{"x", rounded(x)}, {"y", rounded(y)}}}};
    Json faults = Json::object();
    for (int i = 0; i < kDeviceCount; ++i) {
        const Device dev = static_cast<Device>(i);
        const Faults& f = rb.faults(dev);
        faults[deviceName(dev)] = {{"silent", f.silent},
                                   {"slow_ms", f.slowMs},
                                   {"garble_percent", f.garblePercent},
                                   {"drop_percent", f.dropPercent},
                                   {"unplugged", f.unplugged},
                                   {"drop_replies", f.dropReplies}};
    }
    state["faults"] = faults;
    const Counts& n = rb.counts();
    state["counts"] = {{"from_host", n.fromHost},
                       {"to_host", n.toHost},
                       {"switches", n.switches},
                       {"lost_to_channel", n.lostToChannel},
                       {"lost_to_faults", n.lostToFaults},
                       {"garbled", n.garbled},
                       {"servo_packets", rb.servoModule().packets()},
                       {"drive_packets", rb.driveModule().packets()},
                       {"ignored_packets", rb.servoModule().ignored() + rb.driveModule().ignored()}};
    if (com2_) {
        Json last = nullptr;
        if (!com2_->packets().empty()) {
            const Com2Packet& p = com2_->packets().back();
            Json values = Json::array();
            for (size_t i = 0; i < 5; ++i) values.push_back(p.values[i]);
            last = {{"values", values}, {"flags", p.flags}};
        }
        // The drive value last given: value 1 of the last packet whose flag bit 0 is set
        // (packets without it leave the drive as it was).
        Json drive = nullptr;
        for (auto it = com2_->packets().rbegin(); it != com2_->packets().rend(); ++it) {
            if (it->flags & 1) {
                drive = it->drive();
                break;
            }
        }
        state["com2"] = {{"packets", com2_->packets().size()},
                         {"drive", drive},
                         {"bad", com2_->badPackets()},
                         {"junk", com2_->junkBytes()},
                         {"last", last}};
    }
    return state.dump();
}

}  // namespace sim
