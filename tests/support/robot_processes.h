// The simulated robot with Halvoran on it, as processes, for end-to-end tests and benchmarks:
// halvoran-sim on a pseudo-terminal (link, control socket and trace in a temporary folder), and
// halvoran with HALVORAN_COM1 pointing at the link, headless.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testing_support {

// CLOCK_MONOTONIC in microseconds, the clock the simulator's trace times are tied to.
int64_t monotonicUs();

// The environment of a headless halvoran on the serial device, with a runtime folder of its own
// so that its single-instance lock does not meet another Halvoran running on this machine.
std::vector<std::string> headlessHalvoranEnvironment(const std::string& device, const std::string& runtimeDir);

class SimulatedRobot {
public:
    SimulatedRobot();
    // Stops both (SIGTERM, then SIGKILL after a bounded wait).
    ~SimulatedRobot();
    SimulatedRobot(const SimulatedRobot&) = delete;
    SimulatedRobot& operator=(const SimulatedRobot&) = delete;

    // Starts halvoran-sim with extra options and waits until it is ready; false with the reason.
    // Without a COM2 line unless withCom2 (then at com2Link()).
    bool startSimulator(const std::vector<std::string>& options, std::string& error, bool withCom2 = false);
    // Starts halvoran on the simulator's link; the fixed ports must be free (else false with a
    // message that says which one is taken).
    bool startHalvoran(std::string& error, const std::vector<std::string>& environment = {});
    // Both, in that order.
    bool start(std::string& error, const std::vector<std::string>& simulatorOptions = {});

    // One command on the simulator's control socket and its reply line ("" on failure).
    std::string command(const std::string& line);
    // The simulator's state (the `state` command), parsed; null when it did not answer.
    nlohmann::json state();
    // Our monotonic clock (monotonicUs) minus the simulator's (`time_us` of its state), from the
    // sample with the shortest round trip of `samples`; errorUs is half that round trip. False
    // when the simulator did not answer.
    bool clockOffset(int samples, int64_t& offsetUs, int64_t& errorUs);
    // Waits (bounded) until the state satisfies `done`.
    bool waitForState(const std::function<bool(const nlohmann::json&)>& done, int timeoutMs = 10000);

    // Halvoran's end: its exit code, or -1 when it did not end within timeoutMs.
    int waitHalvoranExit(int timeoutMs = 15000);
    ChildProcess& halvoran() { return halvoran_; }
    ChildProcess& simulator() { return simulator_; }

    std::string halvoranErrors() const;  // Halvoran's standard error
    std::string trace() const;           // the simulator's trace file
    const std::string& directory() const { return dir_; }
    const std::string& link() const { return link_; }
    const std::string& com2Link() const { return com2_; }

private:
    std::string dir_, link_, com2_, controlPath_, trace_;
    std::unique_ptr<LineClient> control_;
    ChildProcess simulator_;
    ChildProcess halvoran_;
};

}  // namespace testing_support
