// A stop that Halvoran decides on is confirmed by reading drive parameter 0 back, and sent again
// until it is: on later passes no sooner than 100 ms after the last attempt ended, until a new
// speed arrives; the program's end tries for at most a second, its attempts 100 ms apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/control_state.h"
#include "motion/controller_packets.h"
#include "motion/idle_timeouts.h"
#include "protocol/dispatcher.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_program.h"
#include "tests/unit/motion/motion_rig.h"

using motion_test::drivePacket;
using motion_test::pausesIn;
using motion_test::ScriptedRig;
using testing_support::bytesOf;

namespace {

constexpr const char* kStop = "04 05 3F 01 00 00 00 (10)";
constexpr const char* kReadBack = "04 03 3F 01 00 (20)";
// The read-back's reader gives up at its tenth empty poll: nine pauses of 10 ms.
constexpr const char* kNoAnswer = "(10) (10) (10) (10) (10) (10) (10) (10) (10)";

void send(const std::vector<uint8_t>& packet) { dispatchCommand(packet.data(), static_cast<int32_t>(packet.size())); }

// The drive module answers the read-back after a stop with `afterStop` (nothing: lost) for the
// first `bad` stops, then with 0, 0.
void answerReadBacks(testing_support::ScriptedDevice& device, std::vector<uint8_t> afterStop, int bad) {
    auto stops = std::make_shared<int>(0);
    device.answer([afterStop, bad, stops](const std::vector<uint8_t>& got) {
        const std::vector<uint8_t> tail = bytesOf("04 05 3F 01 00 00 00 04 03 3F 01 00");
        if (got.size() < tail.size() || !std::equal(tail.begin(), tail.end(), got.end() - long(tail.size())))
            return std::vector<uint8_t>{};
        return ++*stops <= bad ? afterStop : bytesOf("04 05 3F 01 00 00 00");
    });
}

// The drive timed out at 10:06 (speed at 10:00, timeout 5) and its stop went out with a read-back.
void timeOutTheDrive() {
    control.driveStopped = false;
    control.driveSpeedSent = true;
    control.driveStartTime = secondsOfHour(10, 0);
    vt::setClock(10, 6);
    vt::clearTrace();
    idleTimeouts();
}

TEST(StopConfirmation, AnUnconfirmedStopGoesOutAgainNoSoonerThan100MsAfterItsLastAttempt) {
    struct Case {
        const char* name;
        std::vector<uint8_t> answer;  // the read-back's answer after the first stop
        bool retried;
    };
    const Case cases[] = {
        {"confirmed", bytesOf("04 05 3F 01 00 00 00"), false},
        {"lost", {}, true},
        {"still the start", bytesOf("04 05 3F 01 00 06 01"), true},
        {"garbled header", bytesOf("04 05 3F 01 01 00 00"), true},
        {"cut short", bytesOf("04 05 3F 01 00 00"), true},
    };
    for (const Case& c : cases) {
        ScriptedRig rig;
        answerReadBacks(rig.device, c.answer, 1);
        timeOutTheDrive();
        EXPECT_EQ(vt::traceText().rfind(std::string(kStop) + " " + kReadBack, 0), 0u) << c.name << vt::traceText();
        EXPECT_EQ(control.driveStopUnconfirmed, c.retried) << c.name;

        // 99 ms after the attempt ended: not yet.
        vt::advanceMs(99);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), "") << c.name;
        vt::advanceMs(1);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), c.retried ? std::string(kStop) + " " + kReadBack : "") << c.name;
        EXPECT_FALSE(control.driveStopUnconfirmed) << c.name;
        // Confirmed: nothing more.
        vt::advanceMs(500);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(vt::traceText(), "") << c.name;
    }
}

TEST(StopConfirmation, ALostReadBackIsRetriedUntilConfirmedAndANewSpeedEndsTheRetries) {
    ScriptedRig rig;
    answerReadBacks(rig.device, {}, 3);
    timeOutTheDrive();
    EXPECT_EQ(vt::traceText(), std::string(kStop) + " " + kReadBack + " " + kNoAnswer);
    for (int attempt = 2; attempt <= 4; ++attempt) {
        ASSERT_TRUE(control.driveStopUnconfirmed) << attempt;
        vt::advanceMs(100);
        vt::clearTrace();
        idleTimeouts();
        EXPECT_EQ(pausesIn(vt::traceText(), "04 05 3F 01 00 00 00"), 1) << attempt;
    }
    EXPECT_FALSE(control.driveStopUnconfirmed);

    // A stop lost again, then a speed: the speed wins, the stop is not sent again.
    ScriptedRig again;
    answerReadBacks(again.device, {}, 100);
    timeOutTheDrive();
    ASSERT_TRUE(control.driveStopUnconfirmed);
    send(drivePacket(0, 10, 0, 0, 0, SET_SPEED));
    EXPECT_FALSE(control.driveStopUnconfirmed);
    vt::advanceMs(200);
    vt::clearTrace();
    idleTimeouts();
    EXPECT_EQ(vt::traceText().find("04 05 3F 01 00 00 00"), std::string::npos) << vt::traceText();
}

TEST(StopConfirmation, TheDriveCommandsOwnStopIsReadBackUnlessASpeedFollowsInTheSameCommand) {
    struct Case {
        uint8_t flags;
        bool readBack;
    };
    for (const Case& c : {Case{STOP_DRIVE, true}, Case{STOP_DRIVE | SET_SPEED, false}}) {
        ScriptedRig rig;
        answerReadBacks(rig.device, {}, 100);
        vt::clearTrace();
        send(drivePacket(0, 10, 0, 0, 0, c.flags));
        const std::string trace = vt::traceText();
        EXPECT_EQ(trace.find("04 05 3F 01 00 00 00 (10) (10) 04 03 3F 01 00") != std::string::npos, c.readBack)
            << int(c.flags) << ": " << trace;
        EXPECT_EQ(control.driveStopUnconfirmed, c.readBack) << int(c.flags);
    }
}

TEST(StopConfirmation, TheProgramsEndTriesForASecondWithAttempts100MsApart) {
    struct Case {
        const char* name;
        int lostReadBacks;
        int attempts;
    };
    // A lost read-back holds an attempt 120 ms (the stop's 10, the read-back's 20 and nine empty
    // polls): the next starts at once, and the last one starts before the second is over.
    const Case cases[] = {{"confirmed at once", 0, 1}, {"confirmed at the third", 2, 3}, {"never", 1000, 9}};
    for (const Case& c : cases) {
        ScriptedRig rig;
        answerReadBacks(rig.device, {}, c.lostReadBacks);
        vt::clearTrace();
        const uint64_t start = vt::nowUs();
        controllerShutdown();
        const std::string trace = vt::traceText();
        EXPECT_EQ(pausesIn(trace, "04 05 3F 01 00 00 00"), c.attempts) << c.name << ": " << trace;
        // Then the servos, whatever came of the stop.
        EXPECT_TRUE(testing_support::endsWith(trace, "02 03 1F 03 00 (10)")) << c.name;
        // The stop packets' first bytes, start to start.
        const std::vector<uint8_t> stop = bytesOf("04 05 3F 01 00 00 00");
        std::vector<vt::TraceEntry> writes;
        for (const vt::TraceEntry& e : vt::trace()) {
            if (e.kind == vt::TraceEntry::Write) writes.push_back(e);
        }
        std::vector<uint64_t> starts;
        for (size_t i = 0; i + stop.size() <= writes.size(); ++i) {
            bool match = true;
            for (size_t k = 0; k < stop.size() && match; ++k) match = writes[i + k].byte == stop[k];
            if (match) starts.push_back(writes[i].timeUs);
        }
        ASSERT_EQ(starts.size(), size_t(c.attempts)) << c.name;
        for (size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 100000u) << c.name << " " << i;
        EXPECT_LT(starts.back() - start, 1000000u) << c.name << ": an attempt began after the second";
        EXPECT_LE(vt::nowUs() - start, 1000000u + 130000u + 40000u) << c.name << ": one attempt and the servos past 1 s";
    }
}

}  // namespace
