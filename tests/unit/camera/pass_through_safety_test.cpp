// What a pass-through may do behind Halvoran's back: bytes that hold the channel switch's escape
// leave the selected channel unknown, so that the next entry to either channel selects it again;
// bytes addressed to the drive module may start the drive, so they arm the drive watch as a speed
// does. The bytes sent for 'B' and 'C' stay what the client gave.
#include "tests/unit/camera/camera_rig.h"

#include "link/channel.h"
#include "motion/idle_timeouts.h"

namespace camera_test {
namespace {

TEST_F(CameraTest, AnEscapeByteInAPassThroughLeavesTheChannelUnknown) {
    struct Case {
        const char* name;
        int32_t before;               // cameraSelected before the command
        std::vector<uint8_t> packet;  // letter, count, bytes (the checksum is added)
        const char* sent;             // what the command writes on the line
        int32_t after;
    };
    const Case cases[] = {
        {"'B' selecting the camera", 0, {'B', 2, 0x5C, '1'}, "5C 31", -1},
        {"'B' with an escape among module bytes", 0, {'B', 6, 2, 2, 31, 0, 0x5C, 0x00}, "02 02 1F 00 5C 00", -1},
        {"'C' with an escape in its line", 1, {'C', 3, 'a', 0x5C, '2'}, "61 5C 32 0D", -1},
        {"'B' without one", 0, {'B', 4, 2, 2, 31, 0}, "02 02 1F 00", 0},
        {"'C' without one", 1, {'C', 2, 'g', 'v'}, "67 76 0D", 1},
    };
    for (const Case& c : cases) {
        control.cameraSelected = c.before;
        vt::clearTrace();
        dispatch(c.packet);
        // No selection added: the command's bytes go out as they are.
        EXPECT_EQ(trace().rfind(c.sent, 0), 0u) << c.name << ": " << trace();
        EXPECT_EQ(control.cameraSelected, c.after) << c.name;

        // The next controller entry selects the controller unless the link is known to be there,
        // and the next camera entry the camera unless it is known to be there.
        vt::clearTrace();
        controllerEntryDouble();
        EXPECT_EQ(trace().rfind("5C 32 (10) 5C 32 (10)", 0) == 0, c.after != 0) << c.name << ": " << trace();
        control.cameraSelected = c.after;
        vt::clearTrace();
        cameraEntryWithPrompt();
        EXPECT_EQ(trace().rfind("5C 31 (10) 0D (50)", 0) == 0, c.after != 1) << c.name << ": " << trace();
    }
}

TEST_F(CameraTest, ABytesForTheDriveModuleArmTheDriveWatch) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool armed;
    };
    const Case cases[] = {
        {"the drive's start and a speed", bytesOf("04 07 3F 01 00 06 01 FE 0C 04 04 3E 01 FE 23"), true},
        {"a drive status query", bytesOf("04 02 3D 01"), true},
        {"a drive packet after a stray byte", bytesOf("07 04 02 3D 01"), true},
        {"a drive packet after a servo packet", bytesOf("02 02 1F 00 04 02 3D 01"), true},
        {"a servo position of 4", bytesOf("02 03 21 01 04"), false},
        {"servo queries", bytesOf("02 02 1F 00 02 02 1F 01"), false},
    };
    for (const Case& c : cases) {
        control.cameraSelected = 0;
        control.driveStopped = true;
        control.driveSpeedSent = false;
        control.driveStopUnconfirmed = false;  // the silent module leaves the last row's stop so
        control.driveTimeout = 2;
        control.driveStartTime = 0;
        vt::setClock(10, 0);
        std::vector<uint8_t> packet = {'B', uint8_t(c.bytes.size())};
        packet.insert(packet.end(), c.bytes.begin(), c.bytes.end());
        vt::clearTrace();
        dispatch(packet);
        EXPECT_EQ(trace().rfind(hex(c.bytes), 0), 0u) << c.name << ": " << trace();
        EXPECT_EQ(control.driveSpeedSent, c.armed) << c.name;
        // Armed at the command: the drive timeout stops it at the first check past 2 s.
        vt::setClock(10, 2);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(trace(), "") << c.name;
        vt::setClock(10, 3);
        idleTimeouts();
        EXPECT_EQ(trace().rfind("04 05 3F 01 00 00 00 (10) 04 03 3F 01 00", 0) == 0, c.armed) << c.name << ": " << trace();
    }
}

}  // namespace
}  // namespace camera_test
