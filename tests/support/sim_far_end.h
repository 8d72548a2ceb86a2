// The simulated robot as the far end of a virtual serial line (see platform/virtual/
// virtual_time.h and sim/robot.h).
//
//   sim::Robot robot;              // sim::Config config; to change delays, world, faults
//   SimFarEnd far(robot);
//   vt::attach("COM1:", &far);
//   ... run the system in virtual time ...
//   EXPECT_TRUE(robot.servo(1).on);
//
//   sim::Com2Device com2;
//   SimCom2FarEnd far2(com2);
//   vt::attach("COM2:", &far2);
//   EXPECT_EQ(com2.packets().size(), 1u);
//
// Calls from the system's threads are serialised by a mutex; a test that reads the robot
// while the system's threads may still be talking to it can hold mutex() meanwhile.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/virtual/virtual_time.h"
#include "sim/com2_device.h"
#include "sim/robot.h"

class SimFarEnd : public vt::FarEnd {
public:
    explicit SimFarEnd(sim::Robot& robot) : robot_(robot) {}
    void fromHost(uint8_t byte, uint64_t tUs) override;
    bool toHost(uint64_t nowUs, uint8_t& byte) override;

    sim::Robot& robot() { return robot_; }
    std::mutex& mutex() { return mutex_; }

private:
    sim::Robot& robot_;
    std::mutex mutex_;
};

class SimCom2FarEnd : public vt::FarEnd {
public:
    explicit SimCom2FarEnd(sim::Com2Device& device) : device_(device) {}
    void fromHost(uint8_t byte, uint64_t tUs) override;
    bool toHost(uint64_t nowUs, uint8_t& byte) override;

    sim::Com2Device& device() { return device_; }
    std::mutex& mutex() { return mutex_; }

private:
    sim::Com2Device& device_;
    std::mutex mutex_;
};
