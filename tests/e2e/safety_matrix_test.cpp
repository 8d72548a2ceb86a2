// The robot never drives unattended: whatever goes wrong (a silent client, tracking with
// nobody in control, a lost or stale module reply, a garbling drive module, a silent camera, a
// client that resets, vanishes or is replaced by SIGTERM), the simulated drive stops within
// its bound, and at the end of the session all four servos are off.
//
// One table: each row brings about one fault through the real halvoran and halvoran-sim
// processes; the check is always the same.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/session.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using halvoran_client::ReadStatus;
using nlohmann::json;

namespace {

constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02, MOVE_SERVO0 = 0x04;
// Set in the copy of this test that runs in a network namespace of its own.
constexpr const char* kPrivateNetwork = "HALVORAN_E2E_PRIVATE_NETWORK";
// Times are taken from the simulator's trace (its own clock), so that polling it costs nothing;
// what is left for Halvoran on a busy machine: the pauses of the stop and its scheduling.
constexpr uint64_t kGraceUs = 300000;

enum class Ending {
    Silent,    // the client stays connected and sends nothing more
    Reset,     // the client's command port is reset (RST)
    Vanished,  // the network goes away under the live session: no FIN, no RST
    Sigterm,   // halvoran gets SIGTERM
};

struct Row {
    const char* name;
    std::vector<std::string> simFaults;  // control commands before the drive starts
    bool longPassThrough;                // a 'B' with 25 servo status queries before the 'P'
    char trackLetter;                    // tracking started after the 'P' (0: none)
    int driveTimeout;                    // seconds, given with the speed (0: no drive timeout)
    Ending ending;
    int boundMs;  // the drive stops within this after the speed was sent (Silent) or after the ending
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// The simulator's time of the first trace line at or after fromUs that holds `text`; 0 if none.
uint64_t traceTime(const std::string& trace, const std::string& text, uint64_t fromUs) {
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(text) == std::string::npos) continue;
        const uint64_t t = std::strtoull(line.c_str(), nullptr, 10);
        if (t >= fromUs) return t;
    }
    return 0;
}

const Row kRows[] = {
    {"ClientSilent", {}, false, 0, 2, Ending::Silent, 3000},
    {"TrackingBothClientSilent", {}, false, 'T', 2, Ending::Silent, 3000},
    {"TrackingServo1ClientSilent", {}, false, 'U', 2, Ending::Silent, 3000},
    {"TrackingServo2ClientSilent", {}, false, 'V', 2, Ending::Silent, 3000},
    {"StartReadBackLost", {"fault drive dropreplies 1"}, false, 0, 2, Ending::Silent, 3000},
    {"LongPassThroughAnswerThenDrive", {}, true, 0, 2, Ending::Silent, 3000},
    {"DriveModuleGarbles", {"fault drive garble 60"}, false, 0, 2, Ending::Silent, 3000},
    {"CameraSilentWhileTracking", {"fault camera silent on"}, false, 'T', 2, Ending::Silent, 3000},
    {"ClientReset", {}, false, 0, 0, Ending::Reset, 2000},
    {"ClientVanished", {}, false, 0, 0, Ending::Vanished, 10000},
    {"Sigterm", {}, false, 0, 0, Ending::Sigterm, 2000},
};

class DriveNeverUnattended : public ::testing::TestWithParam<Row> {
protected:
    bool moving() {
        json s = robot.state();
        return s.is_null() || s.is_discarded() || s["drive"]["moving"] != false;
    }
    std::vector<uint8_t> ask(const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(session.sendCommand(packet));
        EXPECT_EQ(session.readReply(reply, 10000), ReadStatus::Ok) << "reply to " << char(packet[0]);
        return reply;
    }
    // Runs ip(8) in this process's network namespace.
    bool ip(const std::vector<std::string>& arguments) {
        testing_support::ChildProcess tool;
        std::vector<std::string> argv = {"ip"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int code = -1;
        return tool.start(argv, {}, robot.directory() + "/ip-errors.txt") && tool.waitExit(10000, code) && code == 0;
    }
    // Runs the same row in a copy of this test inside a network namespace of its own, with the
    // loopback up (unshare -n; as a user, with a user namespace of its own too).
    void runInPrivateNetwork(const Row& row) {
        char self[PATH_MAX] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        std::string filter = std::string("--gtest_filter=*DriveNeverUnattended.StopsInTime/") + row.name;
        std::vector<std::string> argv = {"unshare", "-n"};
        if (geteuid() != 0) argv.push_back("-r");
        argv.insert(argv.end(), {"sh", "-c", "ip link set lo up && exec \"$0\" \"$1\"", self, filter});
        const std::string output = robot.directory() + "/private-network.txt";
        testing_support::ChildProcess copy;
        ASSERT_TRUE(copy.start(argv, {std::string(kPrivateNetwork) + "=1"}, output, output));
        int code = -1;
        ASSERT_TRUE(copy.waitExit(120000, code)) << testing_support::readFile(output);
        if (code != 0 && testing_support::readFile(output).find("unshare:") != std::string::npos)
            GTEST_SKIP() << "no network namespace of its own here: " << testing_support::readFile(output);
        EXPECT_EQ(code, 0) << testing_support::readFile(output);
    }

    testing_support::SimulatedRobot robot;
    halvoran_client::Session session;
};

TEST_P(DriveNeverUnattended, StopsInTime) {
    const Row& row = GetParam();
    if (row.ending == Ending::Vanished && std::getenv(kPrivateNetwork) == nullptr) {
        runInPrivateNetwork(row);
        return;
    }
    std::string error;
    ASSERT_TRUE(robot.start(error)) << error;
    ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error;
    for (const std::string& fault : row.simFaults) ASSERT_EQ(robot.command(fault), "ok") << fault;

    if (row.longPassThrough) {
        // 25 servo status queries in one pass-through: an answer of 125 bytes.
        std::vector<uint8_t> b = {'B', 100};
        for (int i = 0; i < 25; ++i) b.insert(b.end(), {2, 2, 31, uint8_t(i % 4)});
        std::vector<uint8_t> reply = ask(b);
        ASSERT_GE(reply.size(), 2u);
        EXPECT_LE(reply.size(), 100u);
    }

    ask({'P', uint8_t(row.driveTimeout), 40, 100, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED | MOVE_SERVO0});
    // The fault must not keep the drive from running, or the row would show nothing.
    json s = robot.state();
    ASSERT_FALSE(s.is_null());
    ASSERT_EQ(s["drive"]["moving"], true) << s["drive"].dump();

    if (row.trackLetter != 0) {
        // The simulator's green target, straight ahead.
        std::vector<uint8_t> reply = ask({uint8_t(row.trackLetter), 30, 90, 170, 230, 50, 110});
        EXPECT_EQ(testing_support::hex(reply), "00");
    }

    // From when the bound counts, on the simulator's clock: the speed packet's arrival, or the
    // moment of the ending.
    uint64_t referenceUs = traceTime(robot.trace(), "event controller drive value", 0);
    if (row.ending != Ending::Silent) {
        s = robot.state();
        ASSERT_FALSE(s.is_null());
        referenceUs = s["time_us"].get<uint64_t>();
    }
    ASSERT_GT(referenceUs, 0u);
    switch (row.ending) {
        case Ending::Silent: break;
        case Ending::Reset: session.closePort(0, /*reset=*/true); break;
        case Ending::Vanished:
            ASSERT_TRUE(ip({"link", "set", "lo", "down"}))
                << testing_support::readFile(robot.directory() + "/ip-errors.txt");
            break;
        case Ending::Sigterm: robot.halvoran().signal(SIGTERM); break;
    }

    ASSERT_TRUE(testing_support::waitUntil([&] { return !moving(); }, row.boundMs + 5000))
        << "the drive still runs: " << robot.state()["drive"].dump() << "\n"
        << robot.halvoranErrors();
    uint64_t stopUs = 0;
    ASSERT_TRUE(testing_support::waitUntil([&] {
        return (stopUs = traceTime(robot.trace(), "(stop)", referenceUs)) != 0;
    })) << "no drive stop in the trace";
    EXPECT_LE(stopUs - referenceUs, uint64_t(row.boundMs) * 1000 + kGraceUs) << "the drive stopped late";

    // The end of the session: the client leaves when it still can; Halvoran ends by itself.
    if (row.ending == Ending::Silent) {
        ASSERT_TRUE(session.sendQuit());
    }
    EXPECT_NE(robot.waitHalvoranExit(15000), -1) << "Halvoran did not end\n" << robot.halvoranErrors();
    s = robot.state();
    ASSERT_FALSE(s.is_null());
    EXPECT_EQ(s["drive"]["running"], false);
    for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(s["servos"][ch]["on"], false) << "servo " << ch;
}

INSTANTIATE_TEST_SUITE_P(Faults, DriveNeverUnattended, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
