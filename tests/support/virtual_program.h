// The whole program in virtual time, for tests of start-up, the main loop and shutdown: WinMain
// runs on the test's thread (the virtual clock) while a script plays the client on another
// thread, against a far end of the test's choice or the simulated robot.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/virtual/virtual_time.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"

namespace testing_support {

// What shutdown sends to the modules at its end: the drive stopped and the stop read back (its
// last attempt), then servo channels 0 to 3 off.
constexpr const char* kShutdownBytes =
    "04 05 3F 01 00 00 00 04 03 3F 01 00 02 03 1F 00 00 02 03 1F 01 00 02 03 1F 02 00 02 03 1F 03 00";

bool endsWith(const std::string& text, const std::string& tail);

// The bytes written on "COM1:" so far end with the shutdown bytes: the robot was stopped last.
bool robotStoppedLast();

// A virtual client on the port, connected as soon as the program listens there (-1 when it
// never does within the bounded wait).
int connectWhenListening(uint16_t port);

class VirtualProgram {
public:
    // A fresh virtual world at the given clock reading, the control state reset, "COM1:" on com1.
    explicit VirtualProgram(vt::FarEnd* com1, int minute = 10, int second = 0);
    // Waits for a script still running, releases the program's objects, resets the control state.
    ~VirtualProgram();
    VirtualProgram(const VirtualProgram&) = delete;
    VirtualProgram& operator=(const VirtualProgram&) = delete;

    // Runs WinMain while `script` plays the client on another thread; WinMain's exit code, once
    // the script has ended as well.
    int run(std::function<void()> script);
    // Connects the client to the command, image and tracking ports, in that order.
    void connectAll();
    // Payloads of the replies on the command port so far.
    std::vector<std::vector<uint8_t>> commandReplies() const;

    int command = -1, image = -1, tracking = -1;

private:
    std::thread client_;
};

// The program on the simulated robot.
class RobotProgram {
public:
    explicit RobotProgram(int minute = 10, int second = 0) : program(&far, minute, second) {}

    // Reads the robot while the program's threads cannot talk to it.
    template <typename F>
    bool robotState(F read) {
        std::lock_guard<std::mutex> hold(far.mutex());
        return read(robot);
    }
    // Waits (bounded, in real time) until the robot shows what `read` asks for.
    template <typename F>
    bool robotBecomes(F read) {
        return waitUntil([&] { return robotState(read); });
    }

    sim::Robot robot;
    SimFarEnd far{robot};
    VirtualProgram program;
};

}  // namespace testing_support
