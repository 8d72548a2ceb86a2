#include "tests/support/robot_processes.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "tests/support/test_support.h"

#ifndef HALVORAN_BIN
#define HALVORAN_BIN ""
#endif
#ifndef HALVORAN_SIM_BIN
#define HALVORAN_SIM_BIN ""
#endif

namespace testing_support {

namespace {
void stop(ChildProcess& process) {
    if (!process.running()) return;
    process.signal(SIGTERM);
    int code = 0;
    if (!process.waitExit(5000, code)) {
        process.signal(SIGKILL);
        process.waitExit(5000, code);
    }
}
}  // namespace

SimulatedRobot::SimulatedRobot() {
    dir_ = makeTempDir("halvoran-robot");
    link_ = dir_ + "/com1";
    com2_ = dir_ + "/com2";
    control_ = dir_ + "/control.sock";
    trace_ = dir_ + "/trace.txt";
}

SimulatedRobot::~SimulatedRobot() {
    if (controlSocket_ >= 0) close(controlSocket_);
    stop(halvoran_);
    stop(simulator_);
    std::error_code ignored;
    if (getenv("HALVORAN_KEEP_TEST_FILES") == nullptr) std::filesystem::remove_all(dir_, ignored);
}

bool SimulatedRobot::startSimulator(const std::vector<std::string>& options, std::string& error, bool withCom2) {
    std::vector<std::string> argv = {HALVORAN_SIM_BIN, "--link", link_, "--control", control_, "--trace", trace_};
    if (withCom2) {
        argv.insert(argv.end(), {"--com2-link", com2_});
    } else {
        argv.push_back("--no-com2");
    }
    argv.insert(argv.end(), options.begin(), options.end());
    std::string output = dir_ + "/sim-output.txt";
    if (argv[0].empty() || !simulator_.start(argv, {}, dir_ + "/sim-errors.txt", output)) {
        error = "halvoran-sim could not be started";
        return false;
    }
    if (!waitUntil([&] { return readFile(output).find("ready\n") != std::string::npos || !simulator_.running(); },
                   10000) ||
        !simulator_.running()) {
        error = "halvoran-sim did not become ready: " + readFile(dir_ + "/sim-errors.txt");
        return false;
    }
    return true;
}

bool SimulatedRobot::startHalvoran(std::string& error, const std::vector<std::string>& environment) {
    std::string taken;
    if (!portsFree({5000, 5001, 5002}, taken)) {
        error = taken;
        return false;
    }
    // A runtime folder of its own, so that its single-instance lock does not meet another
    // Halvoran running on this machine.
    std::vector<std::string> env = {"HALVORAN_COM1=" + link_, "HALVORAN_HEADLESS=1", "XDG_RUNTIME_DIR=" + dir_};
    env.insert(env.end(), environment.begin(), environment.end());
    if (!halvoran_.start({HALVORAN_BIN}, env, dir_ + "/halvoran-errors.txt")) {
        error = "halvoran could not be started";
        return false;
    }
    return true;
}

bool SimulatedRobot::start(std::string& error, const std::vector<std::string>& simulatorOptions) {
    return startSimulator(simulatorOptions, error) && startHalvoran(error);
}

std::string SimulatedRobot::command(const std::string& line) {
    if (controlSocket_ < 0) {
        controlSocket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, control_.c_str(), sizeof address.sun_path - 1);
        if (connect(controlSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(controlSocket_);
            controlSocket_ = -1;
            return "";
        }
    }
    std::string out = line + "\n";
    if (send(controlSocket_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "";
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
        pollfd in{controlSocket_, POLLIN, 0};
        if (poll(&in, 1, 5000) <= 0) return "";
        char buffer[8192];
        ssize_t n = recv(controlSocket_, buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        reply.append(buffer, static_cast<size_t>(n));
    }
    return reply.substr(0, reply.find('\n'));
}

nlohmann::json SimulatedRobot::state() {
    std::string line = command("state");
    if (line.empty() || line[0] != '{') return nullptr;
    return nlohmann::json::parse(line, nullptr, false);
}

bool SimulatedRobot::waitForState(const std::function<bool(const nlohmann::json&)>& done, int timeoutMs) {
    return waitUntil([&] {
        nlohmann::json s = state();
        return !s.is_null() && !s.is_discarded() && done(s);
    }, timeoutMs);
}

int SimulatedRobot::waitHalvoranExit(int timeoutMs) {
    int code = -1;
    if (!halvoran_.waitExit(timeoutMs, code)) return -1;
    return code;
}

std::string SimulatedRobot::halvoranErrors() const { return readFile(dir_ + "/halvoran-errors.txt"); }

std::string SimulatedRobot::trace() const { return readFile(trace_); }

}  // namespace testing_support
