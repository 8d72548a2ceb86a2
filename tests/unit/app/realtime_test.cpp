// The real-time set-up asks the platform for the right priorities, guard and memory lock, says
// once what it could not have, and the serial reader of the main loop runs above it.
#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/realtime.h"
#include "link/serial_port.h"
#include "platform/virtual/virtual_time.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kGuard = "limitRealtimeCpu 500000 1000000";

struct SetupCase {
    const char* name;
    const char* setting;
    int maxPriority;  // what the machine grants
    int memoryError;  // 0: memory locks
    bool realtime;    // startRealtime's answer
    Calls calls;
    const char* line;  // the one line said, "" for none
};

const SetupCase kSetupCases[] = {
    {"Unset", nullptr, 99, 0, false, {}, ""},
    {"Empty", "", 99, 0, false, {}, ""},
    {"Granted",
     "10",
     99,
     0,
     true,
     {kGuard, "setThreadPriority 11", "setThreadPriority 10", "lockMemory", "prefaultStack 524288",
      "setReaderPriority 11"},
     ""},
    {"LowestPriority",
     "1",
     99,
     0,
     true,
     {kGuard, "setThreadPriority 2", "setThreadPriority 1", "lockMemory", "prefaultStack 524288",
      "setReaderPriority 2"},
     ""},
    // Nothing is above 99: the reader shares the main thread's priority.
    {"HighestPriority",
     "99",
     99,
     0,
     true,
     {kGuard, "setThreadPriority 99", "setThreadPriority 99", "lockMemory", "prefaultStack 524288",
      "setReaderPriority 99"},
     ""},
    {"NoPrivilege",
     "10",
     0,
     0,
     false,
     {kGuard, "setThreadPriority 11 refused", "setThreadPriority 0"},
     "halvoran: real-time priority 10 (11 for the serial reader) refused (Operation not permitted): running at "
     "normal priority"},
    // The main thread's priority alone would leave the reader below the loop it feeds.
    {"ReaderPriorityRefused",
     "10",
     10,
     0,
     false,
     {kGuard, "setThreadPriority 11 refused", "setThreadPriority 0"},
     "halvoran: real-time priority 10 (11 for the serial reader) refused (Operation not permitted): running at "
     "normal priority"},
    {"MemoryNotLocked",
     "20",
     99,
     ENOMEM,
     true,
     {kGuard, "setThreadPriority 21", "setThreadPriority 20", "lockMemory refused", "prefaultStack 524288",
      "setReaderPriority 21"},
     "halvoran: real-time priority 20, but memory not locked (Cannot allocate memory): a page fault may still "
     "delay the loop"},
};

void PrintTo(const SetupCase& c, std::ostream* out) { *out << c.name; }

class RealtimeSetupTest : public ::testing::TestWithParam<SetupCase> {};

TEST_P(RealtimeSetupTest, AsksForWhatItShouldAndSaysOnceWhatItCannotHave) {
    const SetupCase& c = GetParam();
    vt::reset();
    vt::grantRealtime(c.maxPriority, c.memoryError);
    EXPECT_EQ(startRealtime(c.setting), c.realtime);
    EXPECT_EQ(vt::realtimeCalls(), c.calls);
    EXPECT_EQ(vt::logLines(), std::string(c.line).empty() ? Calls{} : Calls{c.line});
}

INSTANTIATE_TEST_SUITE_P(Settings, RealtimeSetupTest, ::testing::ValuesIn(kSetupCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Anything but a priority from 1 to 99 in plain digits is refused before any call.
TEST(RealtimeSetting, NotAPriorityIsSaidOnceAndNothingIsAsked) {
    for (const char* setting : {"0", "100", "abc", "10x", "-5", " 10", "+10", "999999999999", "00"}) {
        vt::reset();
        EXPECT_FALSE(startRealtime(setting)) << setting;
        EXPECT_TRUE(vt::realtimeCalls().empty()) << setting;
        ASSERT_EQ(vt::logLines().size(), 1u) << setting;
        EXPECT_EQ(vt::logLines()[0], "halvoran: HALVORAN_REALTIME=\"" + std::string(setting) +
                                         "\" is not a priority from 1 to 99: running at normal priority");
    }
}

class ReaderPriorityTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset();
        vt::attach("COM1:", &device);
    }
    testing_support::ScriptedDevice device;
};

TEST_F(ReaderPriorityTest, ReaderOfTheRealtimeLoopRunsOneAbove) {
    ASSERT_TRUE(startRealtime("30"));
    SerialPort port("COM1:");
    ASSERT_TRUE(port.isOpen);
    const Calls calls = vt::realtimeCalls();
    const Calls readerCalls(calls.end() - 3, calls.end());
    EXPECT_EQ(readerCalls,
              (Calls{"thread: enterReaderPriority", "thread: setThreadPriority 31", "thread: prefaultStack 131072"}));
}

TEST_F(ReaderPriorityTest, ReaderStaysAtNormalPriorityWithoutTheSetup) {
    SerialPort port("COM1:");
    ASSERT_TRUE(port.isOpen);
    EXPECT_EQ(vt::realtimeCalls(), Calls{"thread: enterReaderPriority"});
}

// The menu mode opens its ports on a thread at normal priority: their readers stay there too.
TEST_F(ReaderPriorityTest, ReaderOfANormalThreadStaysAtNormalPriority) {
    ASSERT_TRUE(startRealtime("30"));
    const size_t before = vt::realtimeCalls().size();
    std::thread menuThread([] {
        SerialPort port("COM1:");
        EXPECT_TRUE(port.isOpen);
        EXPECT_TRUE(testing_support::waitUntil([] {
            const Calls calls = vt::realtimeCalls();
            return !calls.empty() && calls.back() == "thread: enterReaderPriority";
        }));
    });
    menuThread.join();
    const Calls calls = vt::realtimeCalls();
    EXPECT_EQ(Calls(calls.begin() + static_cast<long>(before), calls.end()), Calls{"thread: enterReaderPriority"});
}

}  // namespace
