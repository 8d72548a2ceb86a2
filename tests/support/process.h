// Child processes for the end-to-end tests: the built programs started with an environment of
// the test's choice, their standard error kept in a file, and bounded waits for their end.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // a process still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up on PATH) with the current environment plus
    // `environment` ("NAME=value"); standard error (and output, unless outputPath is given) goes to
    // errorPath when given, and standard input comes from inputPath when given. Descriptors that
    // the test opened without close-on-exec are inherited.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               const std::string& errorPath = "", const std::string& outputPath = "",
               const std::string& inputPath = "");
    // Waits at most timeoutMs for the end; exitCode is the exit status 0..255, or 128 + the
    // signal number when a signal ended it.
    bool waitExit(int timeoutMs, int& exitCode);
    bool running();
    void signal(int signalNumber);
    // Ends a process that still runs: SIGTERM, then SIGKILL when it has not ended within timeoutMs.
    void stop(int timeoutMs = 5000);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// A program run to its end: its exit code (-1 when it could not be run or did not end in time),
// and what it wrote on its standard output and standard error.
struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end, at most timeoutMs, with standard input from inputPath. Its output
// and errors are kept in files in dir ("out.txt" and "err.txt"); without a dir, in a temporary
// folder that is removed afterwards. A program still running at the time-out is killed.
ProgramRun runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                      int timeoutMs = 10000, const std::string& dir = "", const std::string& inputPath = "/dev/null");

// True when every port can be bound on 127.0.0.1 now; otherwise `taken` names the first that
// cannot, so that a test can fail with a clear message instead of hanging.
bool portsFree(const std::vector<int>& ports, std::string& taken);

// A TCP connection to the port on 127.0.0.1: the socket, or -1 when nobody takes it.
int connectLoopback(int port);

// A TCP socket listening on the port (on 127.0.0.1, or on all addresses), with address reuse and
// close-on-exec; -1 with the reason in `error` when the port cannot be taken.
int listenTcp(int port, bool allAddresses, std::string& error);

// A client of a Unix socket that answers each request line with one line (the simulator's
// control socket). It connects at the first request, and again after a failed one.
class LineClient {
public:
    explicit LineClient(std::string path) : path_(std::move(path)) {}
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    // Sends the line and returns the reply line without its newline; "" when the socket could not
    // be reached or no whole line came within timeoutMs.
    std::string request(const std::string& line, int timeoutMs = 5000);

private:
    void disconnect();
    std::string path_;
    int socket_ = -1;
};

// A fresh temporary directory (removed by the caller or left for inspection).
std::string makeTempDir(const std::string& prefix);

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace testing_support
