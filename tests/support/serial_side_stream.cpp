#include "tests/support/serial_side_stream.h"

#include <deque>
#include <mutex>
#include <vector>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "app/program_objects.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "protocol/framing.h"
#include "sim/robot.h"
#include "tests/support/test_support.h"

namespace testing_support {

namespace {

constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01;
constexpr uint32_t kMaxSteps = 100;
// Longer than the longest drive timeout the commands set (3 s) and the second it may take.
constexpr uint32_t kQuietMs = 4500;
// After the byte loss ends: a stop still unconfirmed goes out again within 100 ms, and a line
// still down is opened within 250 ms.
constexpr uint32_t kConfirmMs = 1000;

// The simulated robot at the far end of "COM1:", with bytes of the input slipped in ahead of
// what the robot sends.
class InjectingFarEnd : public vt::FarEnd {
public:
    explicit InjectingFarEnd(sim::Robot& robot) : robot_(robot) {}
    void fromHost(uint8_t byte, uint64_t tUs) override {
        std::lock_guard<std::mutex> hold(mutex_);
        robot_.fromHost(byte, tUs);
    }
    bool toHost(uint64_t nowUs, uint8_t& byte) override {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!injected_.empty()) {
            byte = injected_.front();
            injected_.pop_front();
            return true;
        }
        return robot_.toHost(nowUs, byte);
    }
    void inject(uint8_t byte) {
        std::lock_guard<std::mutex> hold(mutex_);
        injected_.push_back(byte);
    }
    void setFaults(sim::Device device, const sim::Faults& faults) {
        std::lock_guard<std::mutex> hold(mutex_);
        robot_.setFaults(device, faults);
    }
    sim::Faults faults(sim::Device device) {
        std::lock_guard<std::mutex> hold(mutex_);
        return robot_.faults(device);
    }
    sim::DriveState drive() {
        std::lock_guard<std::mutex> hold(mutex_);
        return robot_.drive();
    }

private:
    sim::Robot& robot_;
    std::mutex mutex_;
    std::deque<uint8_t> injected_;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::vector<uint8_t> frame(const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> body(packet);
    body.push_back(packetChecksum(packet.data(), int(packet.size())));
    std::vector<uint8_t> escaped(body.size() * 2);
    const int n = escapeBytes(escaped.data(), body.data(), int(body.size()));
    std::vector<uint8_t> out;
    out.reserve(size_t(n) + 4);
    out.push_back(FRAME_ESCAPE);
    out.push_back(FRAME_START);
    for (int i = 0; i < n; ++i) out.push_back(escaped[size_t(i)]);
    out.push_back(FRAME_ESCAPE);
    out.push_back(FRAME_END);
    return out;
}

// The switch's escape byte and a byte after it (mostly a channel's digit), put into a
// pass-through's bytes at a place the input chooses.
void insertEscape(Input& in, std::vector<uint8_t>& packet, size_t first) {
    static const uint8_t kAfter[] = {CHANNEL_CAMERA, CHANNEL_CONTROLLER, CHANNEL_CAMERA, 0x5C, 0x00};
    const uint8_t after = kAfter[in.next() % 5];
    const size_t at = first + in.next() % (packet.size() - first + 1);
    packet.insert(packet.begin() + long(at), {CHANNEL_SWITCH, after});
}

// One valid client command. Every drive command sets a drive timeout of 1 to 3 seconds, and
// the pass-through bytes are whole servo-module queries: no command leaves the drive running
// on purpose. Pass-throughs may carry the switch's escape byte, which can move the channel
// switch behind Halvoran's back.
std::vector<uint8_t> command(Input& in) {
    switch (in.next() % 9) {
        case 0:
        case 1:
            return {'P',
                    uint8_t(1 + in.next() % 3),
                    in.next(),
                    in.next(),
                    in.next(),
                    in.next(),
                    uint8_t((in.next() & 0x7E) | SET_DRIVE_TIMEOUT)};
        case 2: {
            const int queries = 1 + in.next() % 25;
            std::vector<uint8_t> b = {'B', uint8_t(queries * 4)};
            for (int i = 0; i < queries; ++i) {
                const uint8_t which = in.next();
                if (which & 0x80) {
                    b.insert(b.end(), {2, 2, 30, 0x80});
                } else {
                    b.insert(b.end(), {2, 2, 31, uint8_t(which % 4)});
                }
            }
            return b;
        }
        case 3: {
            static const char* const kLines[] = {"gv", "", "tc", "tw", "rs", "mm 1", "pm 0", "df", "nonsense"};
            const std::string line = kLines[in.next() % (sizeof kLines / sizeof kLines[0])];
            std::vector<uint8_t> c(line.size() + 2);
            c[0] = 'C';
            c[1] = uint8_t(line.size());
            for (size_t i = 0; i < line.size(); ++i) c[i + 2] = uint8_t(line[i]);
            return c;
        }
        case 7:
        case 8: {
            // A pass-through with a stray escape: servo queries or a camera line around it.
            std::vector<uint8_t> p;
            if (in.next() & 1) {
                p = {'B', 0, 2, 2, 31, uint8_t(in.next() % 4)};
            } else {
                p = {'C', 0, 'g', 'v'};
            }
            insertEscape(in, p, 2);
            p[1] = uint8_t(p.size() - 2);
            return p;
        }
        case 4: {
            static const char kLetters[] = "TUVAWXYZ";
            std::vector<uint8_t> t = {uint8_t(kLetters[in.next() % 8])};
            for (int i = 0; i < 6; ++i) t.push_back(in.next());
            return t;
        }
        case 5: return {'N'};
        default: return {'D'};
    }
}

void fault(Input& in, InjectingFarEnd& far) {
    static const sim::Device kDevices[] = {sim::Device::Camera, sim::Device::Servo, sim::Device::Drive};
    const sim::Device device = kDevices[in.next() % 3];
    sim::Faults f = far.faults(device);
    switch (in.next() % 6) {
        case 0: f.silent = (in.next() & 1) != 0; break;
        case 1: f.garblePercent = in.next() % 101; break;
        case 2: f.slowMs = in.next() % 300; break;
        case 3:
            if (device != sim::Device::Camera) f.dropReplies = in.next() % 8;
            break;
        // Bytes lost in both directions, up to one in ten (on the drive: its stops too).
        case 4: f.dropPercent = in.next() % 11; break;
        default: f = sim::Faults(); break;
    }
    far.setFaults(device, f);
}

// The line hangs up (the reader finds the device gone) and nothing passes for a while; then the
// device is back. Halvoran must notice, open it again and put the robot into a known state.
void hangUp(bool down, InjectingFarEnd& far) {
    sim::Faults f = far.faults(sim::Device::Link);
    f.unplugged = down;
    far.setFaults(sim::Device::Link, f);
    if (down && control.serialPort != nullptr && control.serialPort->handle.load() != nullptr) {
        control.serialPort->lineLost.store(true);
        platform::wakeMainLoop();
    }
}

}  // namespace

SerialSideOutcome runSerialSide(const uint8_t* data, size_t size) {
    SerialSideOutcome outcome;
    sim::Config config;
    config.traceLimit = 0;
    config.seed = size > 0 ? data[0] : 1;
    sim::Robot robot(config);
    InjectingFarEnd far(robot);

    vt::reset(30, 0);
    resetControlState();
    vt::attach("COM1:", &far);
    openSerialPort();
    makeEndpoints();
    const int client = vt::connectClient(5000);
    vt::connectClient(5001);
    vt::connectClient(5002);
    waitUntil([] {
        return control.commandEndpoint->connected.load() && control.imageEndpoint->connected.load() &&
               control.trackingEndpoint->connected.load();
    });
    startupSwitch();

    Deframer deframer;
    bool serving = true;
    auto passes = [&](uint32_t ms) {
        const uint64_t until = vt::nowUs() + uint64_t(ms) * 1000;
        while (serving && vt::nowUs() < until) {
            serving = mainLoopPass(deframer);
            vt::advanceMs(7);
            vt::clearTrace();  // nothing here reads it; a long run would fill it
        }
    };

    Input in(data, size);
    for (uint32_t step = 0; serving && in.more() && step < kMaxSteps; ++step) {
        switch (in.next() % 8) {
            case 0:
            case 1:
            case 2:
                vt::clientSend(client, frame(command(in)));
                ++outcome.commands;
                passes(20);
                break;
            case 3: {
                const int n = in.next() % 64;
                for (int i = 0; i < n && in.more(); ++i) far.inject(in.next()), ++outcome.injected;
                passes(7);
                break;
            }
            case 4: fault(in, far); break;
            case 5: passes(uint32_t(in.next() % 64) * 8); break;
            case 6:
                if ((in.next() & 7) == 0) {
                    hangUp(true, far);
                    passes(uint32_t(in.next() % 64) * 10);
                    hangUp(false, far);
                }
                passes(7);
                break;
            default: passes(7); break;
        }
        vt::clientDiscardReceived(client);
    }

    // Nobody sends anything more: the drive must stand once its timeout has passed. A stop lost
    // to byte loss is sent again until it is confirmed: once the line loses nothing more, the
    // next attempts must get through.
    passes(kQuietMs);
    hangUp(false, far);
    for (sim::Device device : {sim::Device::Camera, sim::Device::Servo, sim::Device::Drive, sim::Device::Link}) {
        sim::Faults f = far.faults(device);
        f.dropPercent = 0;
        far.setFaults(device, f);
    }
    passes(kConfirmMs);
    if (!serving) shutdown();
    const sim::DriveState drive = far.drive();
    if (drive.effectiveValue() != -500) {
        outcome.driveStopped = false;
        outcome.detail = "the drive runs at value " + std::to_string(drive.effectiveValue()) + " " +
                         std::to_string(kQuietMs) + " ms after the last command; Halvoran believes it " +
                         (control.driveStopped ? "stopped" : "running");
    }

    releaseProgramObjects();  // shutdown has released the port when the program ended
    resetControlState();
    vt::attach("COM1:", nullptr);
    return outcome;
}

}  // namespace testing_support
