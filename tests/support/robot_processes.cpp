#include "tests/support/robot_processes.h"

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "tests/support/test_support.h"

#ifndef HALVORAN_BIN
#define HALVORAN_BIN ""
#endif
#ifndef HALVORAN_SIM_BIN
#define HALVORAN_SIM_BIN ""
#endif

namespace testing_support {

std::vector<std::string> headlessHalvoranEnvironment(const std::string& device, const std::string& runtimeDir) {
    return {"HALVORAN_COM1=" + device, "HALVORAN_HEADLESS=1", "XDG_RUNTIME_DIR=" + runtimeDir};
}

SimulatedRobot::SimulatedRobot() {
    dir_ = makeTempDir("halvoran-robot");
    link_ = dir_ + "/com1";
    com2_ = dir_ + "/com2";
    controlPath_ = dir_ + "/control.sock";
    trace_ = dir_ + "/trace.txt";
    control_ = std::make_unique<LineClient>(controlPath_);
}

SimulatedRobot::~SimulatedRobot() {
    control_.reset();
    halvoran_.stop();
    simulator_.stop();
    std::error_code ignored;
    if (getenv("HALVORAN_KEEP_TEST_FILES") == nullptr) std::filesystem::remove_all(dir_, ignored);
}

bool SimulatedRobot::startSimulator(const std::vector<std::string>& options, std::string& error, bool withCom2) {
    std::vector<std::string> argv = {HALVORAN_SIM_BIN, "--link", link_, "--control", controlPath_, "--trace", trace_};
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
    std::vector<std::string> env = headlessHalvoranEnvironment(link_, dir_);
    env.insert(env.end(), environment.begin(), environment.end());
    // HALVORAN_TEST_HALVORAN_BIN runs the same tests against another build of halvoran (an
    // older one, to see a test fail without the rule it checks).
    const char* other = std::getenv("HALVORAN_TEST_HALVORAN_BIN");
    const std::string program = other != nullptr && other[0] != '\0' ? other : HALVORAN_BIN;
    if (!halvoran_.start({program}, env, dir_ + "/halvoran-errors.txt")) {
        error = "halvoran could not be started";
        return false;
    }
    return true;
}

bool SimulatedRobot::start(std::string& error, const std::vector<std::string>& simulatorOptions) {
    return startSimulator(simulatorOptions, error) && startHalvoran(error);
}

std::string SimulatedRobot::command(const std::string& line) { return control_->request(line); }

nlohmann::json SimulatedRobot::state() {
    std::string line = command("state");
    if (line.empty() || line[0] != '{') return nullptr;
    return nlohmann::json::parse(line, nullptr, false);
}

int64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool SimulatedRobot::clockOffset(int samples, int64_t& offsetUs, int64_t& errorUs) {
    errorUs = INT64_MAX;
    for (int i = 0; i < samples; ++i) {
        const int64_t before = monotonicUs();
        nlohmann::json s = state();
        const int64_t after = monotonicUs();
        if (s.is_null() || s.is_discarded()) return false;
        const int64_t simUs = s["time_us"];
        if ((after - before) / 2 < errorUs) {
            errorUs = (after - before) / 2;
            offsetUs = (before + after) / 2 - simUs;
        }
    }
    return true;
}

bool SimulatedRobot::waitForState(const std::function<bool(const nlohmann::json&)>& done, int timeoutMs) {
    return waitUntil(
        [&] {
            nlohmann::json s = state();
            return !s.is_null() && !s.is_discarded() && done(s);
        },
        timeoutMs);
}

int SimulatedRobot::waitHalvoranExit(int timeoutMs) {
    int code = -1;
    if (!halvoran_.waitExit(timeoutMs, code)) return -1;
    return code;
}

std::string SimulatedRobot::halvoranErrors() const { return readFile(dir_ + "/halvoran-errors.txt"); }

std::string SimulatedRobot::trace() const { return readFile(trace_); }

}  // namespace testing_support
