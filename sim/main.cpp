// halvoran-sim: the simulated robot on pseudo-terminals, in real time.
//
// It creates a pseudo-terminal for "COM1:" (the channel switch with the camera and the servo
// and drive modules behind it) and one for "COM2:" (the menu mode's drive device), prints their
// paths, serves the models of sim/ with the time since start, writes a trace of every byte and
// event, and takes commands on a Unix socket (see sim/control.h). It runs until SIGINT, SIGTERM
// or the command "quit", then removes its symlinks and socket and exits 0.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/com2_device.h"
#include "sim/control.h"
#include "sim/pty_link.h"
#include "sim/robot.h"

namespace {

uint64_t monotonicUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

struct ControlClient {
    int fd = -1;
    std::string in;
    std::string out;
};

int listenUnix(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return -1;
    }
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return -1;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        error = "control socket " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// As a client of a running simulator: sends each command on its control socket and prints
// the reply lines. Exit 0 when every reply is not an error.
int sendCommands(const std::string& path, const std::vector<std::string>& commands) {
    sockaddr_un addr{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "halvoran-sim: cannot reach %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    int result = 0;
    std::string pending;
    for (const std::string& command : commands) {
        const std::string line = command + "\n";
        if (::write(fd, line.data(), line.size()) != ssize_t(line.size())) return 1;
        while (pending.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            const ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::read(fd, buf, sizeof buf) : -1;
            if (n <= 0) {
                std::fprintf(stderr, "halvoran-sim: no reply to \"%s\"\n", command.c_str());
                return 1;
            }
            pending.append(buf, size_t(n));
        }
        const std::string reply = pending.substr(0, pending.find('\n'));
        pending.erase(0, reply.size() + 1);
        std::printf("%s\n", reply.c_str());
        if (reply.rfind("error", 0) == 0) result = 1;
    }
    ::close(fd);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"halvoran-sim: the simulated robot (channel switch, camera, servo and drive "
                 "modules) on a pseudo-terminal"};
    std::string linkPath, com2Link, tracePath, controlPath;
    std::string worldText = "static 0 0";
    std::vector<int> colour;
    std::vector<std::string> faultTexts;
    double targetSize = 4.0;
    double trackingRate = 25.0;
    int confidence = 100;
    uint32_t seed = 1;
    uint32_t moduleDelayUs = 1500, cameraDelayUs = 2000;
    bool noPacing = false, noCom2 = false;
    app.add_option("--link", linkPath, "symlink to the COM1 pseudo-terminal (e.g. /tmp/halvoran-com1)");
    app.add_option("--com2-link", com2Link, "symlink to the COM2 pseudo-terminal");
    app.add_flag("--no-com2", noCom2, "make no COM2 pseudo-terminal");
    app.add_option("--trace", tracePath, "trace file: one line per byte or event");
    app.add_option("--control", controlPath, "Unix socket for run-time commands");
    app.add_option("--world", worldText,
                   "target path: \"static AZ EL\", \"line AZ1 EL1 AZ2 EL2 SECONDS\" or "
                   "\"circle AZ EL RADIUS SECONDS\" (degrees)")
        ->capture_default_str();
    app.add_option("--target-colour", colour, "target colour R G B (default 60 200 80)")
        ->expected(3)
        ->check(CLI::Range(0, 255));
    app.add_option("--target-size", targetSize, "target radius in degrees")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 90.0));
    app.add_option("--tracking-rate", trackingRate, "tracking packets per second")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    app.add_option("--confidence", confidence, "confidence of a fully visible target")
        ->capture_default_str()
        ->check(CLI::Range(1, 254));
    app.add_option("--seed", seed, "seed of the fault generator")->capture_default_str();
    app.add_option("--module-delay-us", moduleDelayUs, "servo and drive modules' reply delay")
        ->capture_default_str();
    app.add_option("--camera-delay-us", cameraDelayUs, "camera's reply delay")
        ->capture_default_str();
    app.add_flag("--no-pacing", noPacing, "send bytes at once instead of at 115200 baud");
    app.add_option("--fault", faultTexts,
                   "a fault at start, e.g. \"camera silent\", \"drive slow 300\", "
                   "\"link garble 5\", \"link unplugged\" (repeatable)");
    std::vector<std::string> commands;
    app.add_option("--command", commands,
                   "send a command to the simulator already running at --control, print the "
                   "reply and end (repeatable), e.g. --command state");
    app.set_version_flag("--version", std::string("halvoran-sim ") + HALVORAN_VERSION);
    CLI11_PARSE(app, argc, argv);
    if (!commands.empty()) {
        if (controlPath.empty()) {
            std::fprintf(stderr, "halvoran-sim: --command needs --control PATH\n");
            return 2;
        }
        return sendCommands(controlPath, commands);
    }

    sim::Config config;
    config.pacing = !noPacing;
    config.seed = seed;
    config.trackingRateHz = trackingRate;
    config.confidence = uint8_t(confidence);
    config.moduleReplyDelayUs = moduleDelayUs;
    config.cameraReplyDelayUs = cameraDelayUs;
    config.traceLimit = 0;  // the trace goes to the file only
    auto path = sim::parsePath(worldText);
    if (!path) {
        std::fprintf(stderr, "halvoran-sim: bad --world \"%s\"\n", worldText.c_str());
        return 2;
    }
    config.world.path = *path;
    config.world.radiusDeg = targetSize;
    if (colour.size() == 3)
        config.world.colour = sim::Rgb{uint8_t(colour[0]), uint8_t(colour[1]), uint8_t(colour[2])};

    sim::Robot robot(config);
    sim::Com2Device com2;
    sim::Control control(robot, noCom2 ? nullptr : &com2);

    FILE* trace = nullptr;
    if (!tracePath.empty()) {
        trace = std::fopen(tracePath.c_str(), "w");
        if (!trace) {
            std::fprintf(stderr, "halvoran-sim: cannot write %s: %s\n", tracePath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        robot.setTraceSink([trace](const sim::TraceEntry& e) {
            const std::string line = sim::formatTrace(e);
            std::fprintf(trace, "%s\n", line.c_str());
        });
    }
    for (const std::string& text : faultTexts) {
        std::string error;
        if (!sim::applyFault(robot, sim::splitWords(text), error)) {
            std::fprintf(stderr, "halvoran-sim: --fault \"%s\": %s\n", text.c_str(), error.c_str());
            return 2;
        }
    }

    // Signals end the run through a signalfd; SIGPIPE from a control client is ignored.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sigFd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);

    sim::PtyLink com1Pty, com2Pty;
    std::string error;
    if (robot.plugged() && !com1Pty.open(linkPath, error)) {
        std::fprintf(stderr, "halvoran-sim: COM1: %s\n", error.c_str());
        return 1;
    }
    if (!noCom2 && !com2Pty.open(com2Link, error)) {
        std::fprintf(stderr, "halvoran-sim: COM2: %s\n", error.c_str());
        return 1;
    }
    int listenFd = -1;
    if (!controlPath.empty()) {
        listenFd = listenUnix(controlPath, error);
        if (listenFd < 0) {
            std::fprintf(stderr, "halvoran-sim: %s\n", error.c_str());
            return 1;
        }
    }
    control.setPtys(com1Pty.slavePath(), com2Pty.slavePath());
    std::printf("COM1: %s%s%s\n", com1Pty.isOpen() ? com1Pty.slavePath().c_str() : "unplugged",
                linkPath.empty() ? "" : " -> ", linkPath.c_str());
    if (!noCom2)
        std::printf("COM2: %s%s%s\n", com2Pty.slavePath().c_str(), com2Link.empty() ? "" : " -> ",
                    com2Link.c_str());
    if (!controlPath.empty()) std::printf("control: %s\n", controlPath.c_str());
    std::printf("ready\n");
    std::fflush(stdout);

    const uint64_t startUs = monotonicUs();
    auto now = [&] { return monotonicUs() - startUs; };
    std::vector<ControlClient> clients;
    bool quit = false;
    uint8_t buf[4096];

    while (!quit) {
        // Bytes due for the host.
        const uint64_t t = now();
        robot.advance(t);
        {
            std::vector<uint8_t> due;
            uint8_t b;
            while (robot.toHost(t, b)) due.push_back(b);
            if (!due.empty()) com1Pty.write(due.data(), due.size());
        }
        if (trace) std::fflush(trace);

        std::vector<pollfd> fds;
        fds.push_back({sigFd, POLLIN, 0});
        const size_t com1Index = fds.size();
        fds.push_back({com1Pty.masterFd(), short(POLLIN | (com1Pty.pending() ? POLLOUT : 0)), 0});
        const size_t com2Index = fds.size();
        fds.push_back({com2Pty.masterFd(), POLLIN, 0});
        const size_t listenIndex = fds.size();
        fds.push_back({listenFd, POLLIN, 0});
        const size_t clientIndex = fds.size();
        for (const ControlClient& c : clients)
            fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});

        uint64_t waitUs = 100000;
        if (auto next = robot.nextDueUs()) {
            const uint64_t n = now();
            waitUs = *next > n ? std::min<uint64_t>(waitUs, *next - n) : 0;
            waitUs = std::max<uint64_t>(waitUs, 500);  // wake at most every half millisecond
        }
        timespec timeout{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("halvoran-sim: ppoll");
            break;
        }
        if (ready <= 0) continue;

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sigFd, &info, sizeof info) > 0) robot.note("control", "signal " + std::to_string(info.ssi_signo));
            break;
        }
        if (fds[com1Index].revents & POLLIN) {
            const size_t n = com1Pty.read(buf, sizeof buf);
            const uint64_t tr = now();
            for (size_t i = 0; i < n; ++i) robot.fromHost(buf[i], tr);
        }
        if (fds[com1Index].revents & POLLOUT) com1Pty.flush();
        if (fds[com2Index].revents & POLLIN) {
            const size_t n = com2Pty.read(buf, sizeof buf);
            const uint64_t tr = now();
            for (size_t i = 0; i < n; ++i) {
                com2.fromHost(buf[i], tr);
                if (trace) {
                    sim::TraceEntry e{tr, sim::TraceEntry::Kind::In, "com2", buf[i], {}};
                    std::fprintf(trace, "%s\n", sim::formatTrace(e).c_str());
                }
            }
        }
        if (fds[listenIndex].revents & POLLIN) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) clients.push_back(ControlClient{fd, {}, {}});
        }
        for (size_t i = clientIndex; i < fds.size(); ++i) {
            ControlClient& c = clients[i - clientIndex];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::read(c.fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(c.fd);
                    c.fd = -1;
                    continue;
                }
                c.in.append(reinterpret_cast<char*>(buf), size_t(n));
                size_t nl;
                while ((nl = c.in.find('\n')) != std::string::npos) {
                    const std::string line = c.in.substr(0, nl);
                    c.in.erase(0, nl + 1);
                    robot.advance(now());
                    const bool wasPlugged = com1Pty.isOpen();
                    sim::ControlReply reply = control.execute(line);
                    // The link fault also acts on the pseudo-terminal.
                    if (wasPlugged && !robot.plugged()) {
                        com1Pty.hangUp();
                        robot.note("link", "pseudo-terminal hung up");
                    } else if (!wasPlugged && robot.plugged()) {
                        if (com1Pty.open(linkPath, error)) {
                            control.setPtys(com1Pty.slavePath(), com2Pty.slavePath());
                            robot.note("link", "fresh pseudo-terminal " + com1Pty.slavePath());
                            std::printf("COM1: %s%s%s\n", com1Pty.slavePath().c_str(),
                                        linkPath.empty() ? "" : " -> ", linkPath.c_str());
                            std::fflush(stdout);
                        } else {
                            reply.text = "error: " + error;
                        }
                    }
                    c.out += reply.text + "\n";
                    if (reply.quit) quit = true;
                }
                if (c.in.size() > 65536) c.in.clear();  // no line end in sight
            }
            if (c.fd >= 0 && !c.out.empty()) {
                const ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
                if (w > 0) c.out.erase(0, size_t(w));
            }
        }
        std::erase_if(clients, [](const ControlClient& c) { return c.fd < 0; });
    }

    // Replies still queued for control clients go out before the end (bounded).
    for (ControlClient& c : clients) {
        if (!c.out.empty()) {
            const int fl = ::fcntl(c.fd, F_GETFL);
            ::fcntl(c.fd, F_SETFL, fl & ~O_NONBLOCK);
            const ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
            (void)w;
        }
        ::close(c.fd);
    }
    com1Pty.hangUp();
    com2Pty.hangUp();
    if (listenFd >= 0) {
        ::close(listenFd);
        ::unlink(controlPath.c_str());
    }
    if (trace) {
        robot.note("control", "end");
        std::fclose(trace);
    }
    return 0;
}
