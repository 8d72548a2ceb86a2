// The motion tests' worlds in virtual time: the system's objects on the simulated robot, or on
// a scripted device for exact, silent or broken answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/control_state.h"
#include "sim/robot.h"
#include "tests/support/scripted_device.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/virtual_system.h"

namespace motion_test {

inline sim::Config robotConfig(sim::Channel channel) {
    sim::Config config;
    config.initialChannel = channel;
    return config;
}

// The system on the simulated robot, with the three clients connected. The robot's switch
// starts where the system believes it is (cameraSelected).
struct RobotRig {
    explicit RobotRig(sim::Channel channel = sim::Channel::Controller, int minute = 10, int second = 0)
        : robot(robotConfig(channel)), far(robot), system(&far, minute, second) {
        control.cameraSelected = channel == sim::Channel::Camera ? 1 : 0;
        system.connectClients();
    }
    sim::Robot robot;
    SimFarEnd far;
    testing_support::VirtualSystem system;
};

// The system on a scripted device, with the three clients connected.
struct ScriptedRig {
    explicit ScriptedRig(int minute = 10, int second = 0) : system(&device, minute, second) {
        control.cameraSelected = 0;
        system.connectClients();
    }
    testing_support::ScriptedDevice device;
    testing_support::VirtualSystem system;
};

// A 'P' packet with the six parameter bytes and its checksum.
inline std::vector<uint8_t> drivePacket(uint8_t timeout, uint8_t speed, uint8_t servo0, uint8_t servo1, uint8_t servo2,
                                        uint8_t flags) {
    std::vector<uint8_t> p = {'P', timeout, speed, servo0, servo1, servo2, flags};
    uint8_t sum = 0;
    for (uint8_t b : p) sum = static_cast<uint8_t>(sum + b);
    p.push_back(sum);
    return p;
}

// The number of pauses of the given length in a trace text.
inline int pausesIn(const std::string& traceText, const std::string& pause) {
    int n = 0;
    for (size_t at = traceText.find(pause); at != std::string::npos; at = traceText.find(pause, at + 1)) ++n;
    return n;
}

}  // namespace motion_test
