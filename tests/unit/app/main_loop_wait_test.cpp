// The main loop's wait in virtual time: a pass with nothing to do waits, and the wait ends in
// time for everything that can happen next (a time-out falling due, a hang-up, the quit request).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "motion/drive_command.h"
#include "net/tcp_endpoint.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_program.h"
#include "tests/support/virtual_system.h"
#include "tests/unit/motion/motion_rig.h"

using testing_support::bytesOf;
using testing_support::decodeReplies;
using testing_support::framed;
using testing_support::waitUntil;

namespace {

// The virtual time at which `bytes` were first written on COM1 as one run, at or after fromUs.
bool writtenAt(const std::vector<uint8_t>& bytes, uint64_t fromUs, uint64_t& atUs) {
    std::vector<vt::TraceEntry> writes;
    for (const vt::TraceEntry& e : vt::trace()) {
        if (e.kind == vt::TraceEntry::Write && e.port == "COM1:" && e.timeUs >= fromUs) writes.push_back(e);
    }
    for (size_t i = 0; i + bytes.size() <= writes.size(); ++i) {
        bool match = true;
        for (size_t k = 0; k < bytes.size() && match; ++k) match = writes[i + k].byte == bytes[k];
        if (match) {
            atUs = writes[i].timeUs;
            return true;
        }
    }
    return false;
}

class MainLoopWaitTest : public ::testing::Test, protected testing_support::RobotProgram {
protected:
    int& command = program.command;
    int& image = program.image;
    int& tracking = program.tracking;
};

struct DueCase {
    const char* name;
    const char* testName;
    uint8_t flags;
    const char* dueBytes;   // what the time-out sends
    int dueAfterSeconds;    // the first change of the seconds at which the elapsed time exceeds the time-out
    uint32_t intoSecondUs;  // how far into its second the clock reads when the command comes
};

void PrintTo(const DueCase& row, std::ostream* out) { *out << row.name; }

class TimeOutAfterWaits : public MainLoopWaitTest, public ::testing::WithParamInterface<DueCase> {};

// With nothing else happening, the loop waits in steps up to each change of the clock's seconds
// and runs the time-out checks right at the change at which one falls due, not a second late, not
// the fraction of a millisecond late that a wait in whole milliseconds would add when the clock's
// second changes between two milliseconds, and not by spinning through the seconds between.
TEST_P(TimeOutAfterWaits, FallsDueAtTheRightSecond) {
    const DueCase& row = GetParam();
    vt::waitsMoveTime(true);
    uint64_t commandAtUs = 0, waitsBefore = 0, waitsAfter = 0, dueAtUs = 0;
    bool due = false;
    const int exitCode = program.run([&] {
        program.connectAll();
        waitUntil([] { return vt::mainLoopWaiting(); });  // idle: nothing armed, no time limit
        commandAtUs = vt::nowUs();
        vt::setClock(20, 0, row.intoSecondUs);
        waitsBefore = vt::mainLoopWaits();
        vt::clientSend(command, framed(motion_test::drivePacket(0, 20, 0, 100, 0, row.flags)));
        due = waitUntil([&] { return writtenAt(bytesOf(row.dueBytes), commandAtUs, dueAtUs); });
        waitUntil([] { return vt::mainLoopWaiting(); });
        waitsAfter = vt::mainLoopWaits();
        vt::clientSend(command, {0xFF, 0x36});
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_TRUE(due) << row.name << ": never sent";
    EXPECT_EQ(decodeReplies(vt::clientReceived(command)).at(0).at(0), 0) << row.name;
    // The clock's seconds change at (dueAfterSeconds - intoSecond) after the command.
    const uint64_t dueUs = static_cast<uint64_t>(row.dueAfterSeconds) * 1000000 - row.intoSecondUs;
    EXPECT_EQ(dueAtUs - commandAtUs, dueUs) << row.name << ": not right at the change of the second";
    // About one wait a second, not a spin: wake-ups by the module's replies add a few more (on a
    // busy machine the replies' bytes may come one wake-up each), a spin or a wait of a fraction
    // of a second gives many more.
    EXPECT_GE(waitsAfter - waitsBefore, static_cast<uint64_t>(row.dueAfterSeconds)) << row.name;
    EXPECT_LE(waitsAfter - waitsBefore, static_cast<uint64_t>(2 * row.dueAfterSeconds + 4)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    ServoAndDrive, TimeOutAfterWaits,
    ::testing::Values(
        DueCase{"servo 1 off after 2 s", "Servo1", MOVE_SERVO1, "02 03 1F 01 00", 3, 0},
        DueCase{"drive stop after the drive timeout of 5 s", "Drive", SET_SPEED, "04 05 3F 01 00 00 00", 6, 0},
        DueCase{"drive stop, clock at x.999600 (the second changes 400 us into a millisecond)", "DriveLateInAMs",
                SET_SPEED, "04 05 3F 01 00 00 00", 6, 999600},
        DueCase{"servo 1 off, clock at x.000400 (the second changes 400 us before a whole millisecond)",
                "Servo1EarlyInAMs", MOVE_SERVO1, "02 03 1F 01 00", 3, 400}),
    [](const ::testing::TestParamInfo<DueCase>& info) { return std::string(info.param.testName); });

enum class Ending { CloseImage, ResetImage, CloseTracking, ResetTracking, KillPrompt };

class WaitEndedBy : public MainLoopWaitTest, public ::testing::WithParamInterface<Ending> {};

// The loop waits with no time limit (nothing armed); what ends the program must end the wait, and
// the pass after it ends the program without another wait.
TEST_P(WaitEndedBy, TheNextPassEndsTheProgram) {
    uint64_t waitsBefore = 0;
    bool ended = false;
    const int exitCode = program.run([&] {
        program.connectAll();
        waitUntil([] { return vt::mainLoopWaiting(); });
        waitsBefore = vt::mainLoopWaits();
        switch (GetParam()) {
            case Ending::CloseImage: vt::clientClose(image); break;
            case Ending::ResetImage: vt::clientReset(image); break;
            case Ending::CloseTracking: vt::clientClose(tracking); break;
            case Ending::ResetTracking: vt::clientReset(tracking); break;
            case Ending::KillPrompt: vt::confirmKillPrompt(); break;
        }
        ended = waitUntil([] { return testing_support::robotStoppedLast(); });
        if (!ended) vt::clientClose(command);  // let the program end all the same
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(ended) << "the wait went on";
    EXPECT_EQ(vt::mainLoopWaits(), waitsBefore) << "another wait began before the program ended";
    EXPECT_TRUE(control.quitRequested.load());
}

INSTANTIATE_TEST_SUITE_P(Each, WaitEndedBy,
                         ::testing::Values(Ending::CloseImage, Ending::ResetImage, Ending::CloseTracking,
                                           Ending::ResetTracking, Ending::KillPrompt));

}  // namespace
