// Recording never changes what the robot does: the same session run without recording, with a
// recorder whose writer is stuck (as on a stalled disk) and with a recording folder that cannot
// be written puts the same bytes on the serial line, and the drive still stops by itself when
// no speed comes within its timeout.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/session.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using halvoran_client::ReadStatus;
using nlohmann::json;

namespace {

constexpr uint8_t SET_DRIVE_TIMEOUT = 0x01, SET_SPEED = 0x02;

// The simulator's trace without its times: the bytes in order, with their direction and channel.
std::string lineBytes(const std::string& trace) {
    std::istringstream in(trace);
    std::string line, out;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        std::string rest = line.substr(space + 1);
        if (rest.rfind("in ", 0) == 0 || rest.rfind("out ", 0) == 0) out += rest + "\n";
    }
    return out;
}

// The thread of `pid` named `name`, or -1.
pid_t threadNamed(pid_t pid, const std::string& name) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    pid_t found = -1;
    while (dirent* e = readdir(d)) {
        std::ifstream comm(dir + "/" + e->d_name + "/comm");
        std::string n;
        if (std::getline(comm, n) && n == name) found = std::atoi(e->d_name);
    }
    closedir(d);
    return found;
}

struct LineRun {
    std::string bytes;
    std::string errors;
    bool stoppedByItself = false;
};

enum class Recording { Off, WriterStuck, Unwritable };

// Connects, drives at speed 20 with a drive timeout of 1 s, waits until the drive has stopped by
// itself, and quits.
LineRun session(Recording recording) {
    LineRun run;
    testing_support::SimulatedRobot robot;
    std::string error;
    std::vector<std::string> env;
    if (recording == Recording::WriterStuck) {
        env.push_back("HALVORAN_RECORD_DIR=" + robot.directory() + "/recordings");
        // Under AddressSanitizer: the leak check at the end cannot read the stack of the thread
        // that this test holds with ptrace, so what only that stack refers to would look lost.
        env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
    }
    if (recording == Recording::Unwritable) {
        std::ofstream(robot.directory() + "/a-file") << "x";
        env.push_back("HALVORAN_RECORD_DIR=" + robot.directory() + "/a-file/recordings");
    }
    EXPECT_TRUE(robot.startSimulator({}, error)) << error;
    EXPECT_TRUE(robot.startHalvoran(error, env)) << error;
    pid_t writer = -1;
    if (recording == Recording::WriterStuck) {
        // The writer thread is held, once it has made the file, as a disk that stopped answering
        // holds it.
        EXPECT_TRUE(testing_support::waitUntil(
            [&] {
                std::error_code ec;
                return !std::filesystem::is_empty(robot.directory() + "/recordings", ec) && !ec;
            },
            10000));
        EXPECT_TRUE(testing_support::waitUntil(
            [&] { return (writer = threadNamed(robot.halvoran().pid(), "recorder")) > 0; }, 10000));
        EXPECT_EQ(ptrace(PTRACE_SEIZE, writer, nullptr, nullptr), 0) << std::strerror(errno);
        EXPECT_EQ(ptrace(PTRACE_INTERRUPT, writer, nullptr, nullptr), 0) << std::strerror(errno);
        int status = 0;
        EXPECT_EQ(waitpid(writer, &status, __WALL), writer);
    }
    halvoran_client::Session client;
    EXPECT_TRUE(client.connect("127.0.0.1", 10000, error)) << error;
    std::vector<uint8_t> reply;
    EXPECT_TRUE(client.sendCommand({'P', 1, 20, 0, 0, 0, SET_DRIVE_TIMEOUT | SET_SPEED}));
    EXPECT_EQ(client.readReply(reply, 10000), ReadStatus::Ok);
    EXPECT_TRUE(robot.waitForState([](const json& s) { return s["drive"]["running"] == true; }));
    run.stoppedByItself = robot.waitForState([](const json& s) { return s["drive"]["running"] == false; }, 15000);
    EXPECT_TRUE(client.sendQuit());
    if (writer > 0) {
        // Halvoran gives up on its writer and ends; the held thread ends with it and is ours to
        // reap. A Halvoran that did not end gets its writer back, so that it can end at all.
        int status = 0;
        const bool reaped =
            testing_support::waitUntil([&] { return waitpid(writer, &status, __WALL | WNOHANG) == writer; }, 20000);
        EXPECT_TRUE(reaped) << "Halvoran did not end with its writer stuck";
        if (!reaped) ptrace(PTRACE_DETACH, writer, nullptr, nullptr);
    }
    EXPECT_EQ(robot.waitHalvoranExit(), 0) << robot.halvoranErrors();
    run.bytes = lineBytes(robot.trace());
    run.errors = robot.halvoranErrors();
    return run;
}

TEST(RecorderEndToEnd, AStuckWriterOrAnUnwritableFolderChangesNothingOnTheLine) {
    const LineRun off = session(Recording::Off);
    const LineRun stuck = session(Recording::WriterStuck);
    const LineRun unwritable = session(Recording::Unwritable);
    ASSERT_TRUE(off.stoppedByItself) << "the drive did not stop by itself without recording";
    EXPECT_TRUE(stuck.stoppedByItself) << stuck.errors;
    EXPECT_TRUE(unwritable.stoppedByItself) << unwritable.errors;
    EXPECT_FALSE(off.bytes.empty());
    EXPECT_EQ(stuck.bytes, off.bytes);
    EXPECT_EQ(unwritable.bytes, off.bytes);
    // The stuck writer is left behind at the end; the unwritable folder is reported once.
    EXPECT_NE(stuck.errors.find("the writer is stuck"), std::string::npos) << stuck.errors;
    const size_t said = unwritable.errors.find("Recording stopped");
    EXPECT_NE(said, std::string::npos) << unwritable.errors;
    EXPECT_EQ(said, unwritable.errors.rfind("Recording stopped")) << unwritable.errors;
}

}  // namespace
