#include "tests/support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& errorPath, const std::string& outputPath, const std::string& inputPath) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
    for (const std::string& extra : environment) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        for (auto it = envStrings.begin(); it != envStrings.end();) {
            it = it->rfind(name, 0) == 0 ? envStrings.erase(it) : it + 1;
        }
        envStrings.push_back(extra);
    }
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args(argv);
    std::vector<char*> argp;
    for (std::string& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errorPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outputPath.empty()) posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    if (!outputPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!inputPath.empty()) posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    // The child starts with no blocked signals whatever the test runner blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int result = posix_spawnp(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    reaped_ = false;
    return result == 0;
}

bool ChildProcess::waitExit(int timeoutMs, int& exitCode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

void ChildProcess::signal(int signalNumber) {
    if (pid_ > 0 && !reaped_) kill(pid_, signalNumber);
}

void ChildProcess::stop(int timeoutMs) {
    if (!running()) return;
    signal(SIGTERM);
    int code = 0;
    if (!waitExit(timeoutMs, code)) {
        signal(SIGKILL);
        waitExit(timeoutMs, code);
    }
}

ProgramRun runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int timeoutMs,
                      const std::string& dir, const std::string& inputPath) {
    ProgramRun run;
    const std::string folder = dir.empty() ? makeTempDir("halvoran-run") : dir;
    {
        ChildProcess program;
        int code = -1;
        if (program.start(argv, environment, folder + "/err.txt", folder + "/out.txt", inputPath) &&
            program.waitExit(timeoutMs, code)) {
            run.exitCode = code;
        }
    }  // killed and reaped here when it did not end in time
    run.out = readFile(folder + "/out.txt");
    run.err = readFile(folder + "/err.txt");
    if (dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    return run;
}

bool portsFree(const std::vector<int>& ports, std::string& taken) {
    for (int port : ports) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(s);
        if (!free) {
            taken = "TCP port " + std::to_string(port) + " is already in use by another process";
            return false;
        }
    }
    return true;
}

int connectLoopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int listenTcp(int port, bool allAddresses, std::string& error) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(allAddresses ? INADDR_ANY : INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 1) != 0) {
        error = "port " + std::to_string(port) + ": " + std::strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

LineClient::~LineClient() { disconnect(); }

void LineClient::disconnect() {
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
}

std::string LineClient::request(const std::string& line, int timeoutMs) {
    if (socket_ < 0) {
        socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            disconnect();
            return "";
        }
    }
    const std::string out = line + "\n";
    if (send(socket_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
        disconnect();
        return "";
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (reply.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd in{socket_, POLLIN, 0};
        if (left.count() <= 0 || poll(&in, 1, static_cast<int>(left.count())) <= 0) {
            disconnect();  // a late reply must not be taken for the next one
            return "";
        }
        char buffer[8192];
        ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            disconnect();
            return "";
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    return reply.substr(0, reply.find('\n'));
}

std::string makeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = mkdtemp(buffer.data());
    return made == nullptr ? std::string() : std::string(made);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace testing_support
