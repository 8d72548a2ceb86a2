// The built halvoran with HALVORAN_REALTIME on the simulated robot: the main thread and the serial
// reader run first-in first-out, the reader one above, every other thread at normal priority,
// under the CPU-time guard with memory locked; and a start that may not have the priority says
// so once and serves as it always did.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/session.h"
#include "tests/support/process.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using testing_support::ChildProcess;
using testing_support::SimulatedRobot;
using testing_support::waitUntil;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizers take mlockall over and lock nothing
#else
constexpr bool kSanitized = false;
#endif

struct ThreadPolicy {
    int policy;  // without SCHED_RESET_ON_FORK
    int priority;
};

// The scheduling of every thread of the process, by thread id.
std::map<pid_t, ThreadPolicy> threadPolicies(pid_t pid) {
    std::map<pid_t, ThreadPolicy> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        const pid_t tid = std::stoi(entry.path().filename().string());
        sched_param param{};
        const int policy = sched_getscheduler(tid);
        if (policy < 0 || sched_getparam(tid, &param) != 0) continue;  // it has just ended
        out[tid] = {policy & ~SCHED_RESET_ON_FORK, param.sched_priority};
    }
    return out;
}

// A line of /proc/PID/status or /proc/PID/limits that starts with `name`.
std::string procLine(pid_t pid, const std::string& file, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name, 0) == 0) return line;
    }
    return "";
}

// Whether this machine lets a process take SCHED_FIFO at `priority` (tried in a child).
bool machineGrantsRealtime(int priority) {
    const pid_t child = fork();
    if (child == 0) {
        sched_param param{};
        param.sched_priority = priority;
        _exit(sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A drive status read, answered: the program serves.
void expectServes(halvoran_client::Session& session) {
    std::vector<uint8_t> reply;
    ASSERT_TRUE(session.sendCommand({'P', 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(session.readReply(reply, 10000), halvoran_client::ReadStatus::Ok);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply[0], 0);
}

TEST(RealtimeProcess, MainAndReaderRunFirstInFirstOutAndTheRestAtNormalPriority) {
    if (!machineGrantsRealtime(11)) GTEST_SKIP() << "this machine refuses SCHED_FIFO priority 11 to this user";
    SimulatedRobot robot;
    std::string error;
    ASSERT_TRUE(robot.startSimulator({}, error)) << error;
    ASSERT_TRUE(robot.startHalvoran(error, {"HALVORAN_REALTIME=10"})) << error;
    halvoran_client::Session session;
    // Connected on all three ports: every thread of the run has started.
    ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error;
    expectServes(session);

    const pid_t pid = robot.halvoran().pid();
    const std::map<pid_t, ThreadPolicy> threads = threadPolicies(pid);
    ASSERT_TRUE(threads.count(pid));
    EXPECT_EQ(threads.at(pid).policy, SCHED_FIFO);
    EXPECT_EQ(threads.at(pid).priority, 10);
    int readers = 0, normal = 0;
    for (const auto& [tid, p] : threads) {
        if (tid == pid) continue;
        if (p.policy == SCHED_FIFO && p.priority == 11) {
            ++readers;
        } else {
            EXPECT_EQ(p.policy, SCHED_OTHER) << "thread " << tid << " at priority " << p.priority;
            ++normal;
        }
    }
    EXPECT_EQ(readers, 1);
    EXPECT_GE(normal, 4) << "the kill thread and the three accept threads";
    EXPECT_EQ(procLine(pid, "limits", "Max realtime timeout"),
              "Max realtime timeout      500000               1000000              us        ");
    if (!kSanitized) {
        const std::string locked = procLine(pid, "status", "VmLck:");
        EXPECT_NE(locked, "");
        EXPECT_EQ(locked.find(" 0 kB"), std::string::npos) << locked;
    }
    EXPECT_EQ(robot.halvoranErrors().find("real-time"), std::string::npos) << robot.halvoranErrors();

    session.sendQuit();
    EXPECT_EQ(robot.waitHalvoranExit(), 0);
}

// A loop that never blocks (the benchmark aid HALVORAN_SPIN_LOOP=1 makes one) is ended by the
// CPU-time guard as a stop would end it: the drive stopped, exit code 0.
TEST(RealtimeProcess, GuardEndsALoopThatNeverBlocksWithTheDriveStopped) {
    if (!machineGrantsRealtime(11)) GTEST_SKIP() << "this machine refuses SCHED_FIFO priority 11 to this user";
    SimulatedRobot robot;
    std::string error;
    ASSERT_TRUE(robot.startSimulator({}, error)) << error;
    ASSERT_TRUE(robot.startHalvoran(error, {"HALVORAN_REALTIME=10", "HALVORAN_SPIN_LOOP=1"})) << error;
    // The drive start waits on the command port until the last port connects and the loop starts,
    // so that the first pass runs it before the loop spins.
    constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02;
    int sockets[3] = {-1, -1, -1};
    ASSERT_TRUE(waitUntil([&] { return (sockets[0] = testing_support::connectLoopback(5000)) >= 0; }, 10000));
    const std::vector<uint8_t> start =
        halvoran_client::frameCommand({'P', 0, 20, 0, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED});
    ASSERT_EQ(write(sockets[0], start.data(), start.size()), static_cast<ssize_t>(start.size()));
    ASSERT_TRUE(waitUntil([&] { return (sockets[1] = testing_support::connectLoopback(5001)) >= 0; }, 10000));
    ASSERT_TRUE(waitUntil([&] { return (sockets[2] = testing_support::connectLoopback(5002)) >= 0; }, 10000));

    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    for (int s : sockets) close(s);
    EXPECT_NE(
        robot.halvoranErrors().find("halvoran: a real-time thread ran too long without blocking (SIGXCPU): ending\n"),
        std::string::npos)
        << robot.halvoranErrors();
    const nlohmann::json state = robot.state();
    ASSERT_FALSE(state.is_null());
    EXPECT_EQ(state["drive"]["starts"], 1) << state["drive"];
    EXPECT_EQ(state["drive"]["running"], false) << state["drive"];
}

TEST(RealtimeProcess, UnprivilegedStartSaysSoOnceAndServes) {
    // No real-time priority and no locked memory allowed, and no capability that would pass by
    // those limits (a root test drops them all; setpriv and prlimit come with util-linux).
    std::vector<std::string> argv = {"prlimit", "--rtprio=0:0", "--memlock=0:0", "--"};
    if (geteuid() == 0) {
        const std::vector<std::string> dropAll = {"setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"};
        std::vector<std::string> probe = dropAll;
        probe.push_back("true");
        const testing_support::ProgramRun run = testing_support::runProgram(probe);
        if (run.exitCode != 0) GTEST_SKIP() << "root here cannot drop its capabilities with setpriv: " << run.err;
        argv.insert(argv.end(), dropAll.begin(), dropAll.end());
    }
    argv.push_back(HALVORAN_BIN);

    SimulatedRobot robot;
    std::string error;
    ASSERT_TRUE(robot.startSimulator({}, error)) << error;
    std::string taken;
    ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << "port " << taken << " is taken";
    std::vector<std::string> env = testing_support::headlessHalvoranEnvironment(robot.link(), robot.directory());
    env.push_back("HALVORAN_REALTIME=10");
    const std::string errors = robot.directory() + "/unprivileged-errors.txt";
    ChildProcess halvoran;
    ASSERT_TRUE(halvoran.start(argv, env, errors));
    halvoran_client::Session session;
    ASSERT_TRUE(session.connect("127.0.0.1", 10000, error)) << error << testing_support::readFile(errors);
    expectServes(session);

    for (const auto& [tid, p] : threadPolicies(halvoran.pid())) {
        EXPECT_EQ(p.policy, SCHED_OTHER) << "thread " << tid << " at priority " << p.priority;
    }
    const std::string said = testing_support::readFile(errors);
    const std::string line =
        "halvoran: real-time priority 10 (11 for the serial reader) refused (Operation not permitted): running at "
        "normal priority\n";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find("real-time"), said.rfind("real-time")) << "said more than once:\n" << said;

    session.sendQuit();
    int code = -1;
    ASSERT_TRUE(halvoran.waitExit(15000, code));
    EXPECT_EQ(code, 0);
}

}  // namespace
