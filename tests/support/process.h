// Child processes for the end-to-end tests: the built programs started with an environment of
// the test's choice, their standard error kept in a file, and bounded waits for their end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // a process still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up on PATH) with the current environment plus `environment` ("NAME=value"); standard
    // error (and output, unless outputPath is given) goes to errorPath when given.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               const std::string& errorPath = "", const std::string& outputPath = "");
    // Waits at most timeoutMs for the end; exitCode is the exit status 0..255, or 128 + the
    // signal number when a signal ended it.
    bool waitExit(int timeoutMs, int& exitCode);
    bool running();
    void signal(int signalNumber);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// True when every port can be bound on 127.0.0.1 now; otherwise `taken` names the first that
// cannot, so that a test can fail with a clear message instead of hanging.
bool portsFree(const std::vector<int>& ports, std::string& taken);

// A TCP connection to the port on 127.0.0.1: the socket, or -1 when nobody takes it.
int connectLoopback(int port);

// A fresh temporary directory (removed by the caller or left for inspection).
std::string makeTempDir(const std::string& prefix);

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace testing_support
