// The simulated robot as the far end of the system's serial port in virtual time: the system's
// own controller routines and channel entries talk to it and get the answers they expect.
#include <gtest/gtest.h>

#include "app/control_state.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "motion/controller_packets.h"
#include "platform/platform.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/virtual_system.h"

using testing_support::VirtualSystem;

namespace {

TEST(SimFarEnd, StartUpAndDrivingThroughTheSystemsOwnRoutines) {
    sim::Robot robot;
    SimFarEnd far(robot);
    VirtualSystem system(&far);

    startupSwitch();
    controllerInit();
    EXPECT_EQ(robot.channel(), sim::Channel::Controller);
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_FALSE(robot.servo(ch).on);
        const std::array<uint8_t, 2> configured{0, 70};
        EXPECT_EQ(robot.servo(ch).config, configured);
    }
    EXPECT_FALSE(robot.drive().running);
    EXPECT_EQ(robot.drive().parameter(3)[1], 80);

    EXPECT_TRUE(driveStart());
    EXPECT_TRUE(robot.drive().running);
    driveSetSpeed(10);
    EXPECT_EQ(robot.drive().speedValue, -477);
    uint8_t status[4] = {};
    ASSERT_TRUE(driveReadStatus(status));
    EXPECT_EQ(status[0], 1);     // running
    EXPECT_EQ(status[1], 1);     // forward
    EXPECT_EQ(status[2], 0xFE);  // -477
    EXPECT_EQ(status[3], 0x23);

    EXPECT_TRUE(servoEnable(1));
    servoMove(1, 119);
    EXPECT_EQ(robot.servo(1).headPosition, 119);
    uint8_t value = 0;
    ASSERT_TRUE(servoModuleRead(value));
    EXPECT_EQ(value, 0x02);  // channel 1 on

    controllerShutdown();
    EXPECT_FALSE(robot.drive().running);
    EXPECT_FALSE(robot.servo(1).on);
}

TEST(SimFarEnd, ASilentDriveModuleFailsTheSystemsStatusRead) {
    sim::Robot robot;
    SimFarEnd far(robot);
    VirtualSystem system(&far);
    startupSwitch();
    robot.faults(sim::Device::Drive).silent = true;
    uint8_t status[4] = {};
    EXPECT_FALSE(driveReadStatus(status));
    EXPECT_FALSE(driveStart());
    robot.faults(sim::Device::Drive).silent = false;
    EXPECT_TRUE(driveReadStatus(status));
}

TEST(SimFarEnd, TheCameraAnswersALineAtTheVirtualTimeARealOneWould) {
    sim::Robot robot;
    SimFarEnd far(robot);
    VirtualSystem system(&far);
    startupSwitch();
    cameraEntryWithPrompt();  // the camera's answer to the CR is drained
    EXPECT_EQ(robot.channel(), sim::Channel::Camera);
    for (char c : std::string("gv\r")) control.serialPort->writeByte(c);
    uint8_t b;
    EXPECT_FALSE(control.serialPort->readByte(b));  // nothing before the reply delay
    platform::sleepMs(10);
    std::string answer;
    while (control.serialPort->readByte(b)) answer += char(b);
    EXPECT_EQ(answer, "ACK\rHalvoran-sim camera 1.0\r:");
}

TEST(SimFarEnd, Com2DeviceRecordsWhatIsWrittenToIt) {
    sim::Com2Device device;
    SimCom2FarEnd far(device);
    for (uint8_t b : {0xFF, 0, 0, 0, 0, 0, 1, 1, 0xFF}) far.fromHost(b, 5);
    uint8_t out;
    EXPECT_FALSE(far.toHost(1000000, out));
    ASSERT_EQ(device.packets().size(), 1u);
    EXPECT_EQ(device.packets()[0].flags, 1);
}

}  // namespace
