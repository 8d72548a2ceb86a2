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
    struct stat st {};
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

// What the command line asks for.
struct Options {
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
    std::vector<std::string> commands;  // sent to a simulator that runs already
};

// Reads the command line. False when the run ends here (help, version or a bad option), with
// the exit status in status.
bool parseOptions(int argc, char** argv, Options& o, int& status) {
    CLI::App app{
        "halvoran-sim: the simulated robot (channel switch, camera, servo and drive "
        "modules) on a pseudo-terminal"};
    app.add_option("--link", o.linkPath, "symlink to the COM1 pseudo-terminal (e.g. /tmp/halvoran-com1)");
    app.add_option("--com2-link", o.com2Link, "symlink to the COM2 pseudo-terminal");
    app.add_flag("--no-com2", o.noCom2, "make no COM2 pseudo-terminal");
    app.add_option("--trace", o.tracePath, "trace file: one line per byte or event");
    app.add_option("--control", o.controlPath, "Unix socket for run-time commands");
    app.add_option("--world", o.worldText,
                   "target path: \"static AZ EL\", \"line AZ1 EL1 AZ2 EL2 SECONDS\" or "
                   "\"circle AZ EL RADIUS SECONDS\" (degrees)")
        ->capture_default_str();
    app.add_option("--target-colour", o.colour, "target colour R G B (default 60 200 80)")
        ->expected(3)
        ->check(CLI::Range(0, 255));
    app.add_option("--target-size", o.targetSize, "target radius in degrees")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 90.0));
    app.add_option("--tracking-rate", o.trackingRate, "tracking packets per second")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    app.add_option("--confidence", o.confidence, "confidence of a fully visible target")
        ->capture_default_str()
        ->check(CLI::Range(1, 254));
    app.add_option("--seed", o.seed, "seed of the fault generator")->capture_default_str();
    app.add_option("--module-delay-us", o.moduleDelayUs, "servo and drive modules' reply delay")->capture_default_str();
    app.add_option("--camera-delay-us", o.cameraDelayUs, "camera's reply delay")->capture_default_str();
    app.add_flag("--no-pacing", o.noPacing, "send bytes at once instead of at 115200 baud");
    app.add_option("--fault", o.faultTexts,
                   "a fault at start, e.g. \"camera silent\", \"drive slow 300\", "
                   "\"link garble 5\", \"link unplugged\" (repeatable)");
    app.add_option("--command", o.commands,
                   "send a command to the simulator already running at --control, print the "
                   "reply and end (repeatable), e.g. --command state");
    app.set_version_flag("--version", std::string("halvoran-sim ") + HALVORAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        status = app.exit(e);
        return false;
    }
    return true;
}

// The models' settings from the options. False (and a message) when the world cannot be read.
bool makeConfig(const Options& o, sim::Config& config) {
    config.pacing = !o.noPacing;
    config.seed = o.seed;
    config.trackingRateHz = o.trackingRate;
    config.confidence = uint8_t(o.confidence);
    config.moduleReplyDelayUs = o.moduleDelayUs;
    config.cameraReplyDelayUs = o.cameraDelayUs;
    config.traceLimit = 0;  // the trace goes to the file only
    auto path = sim::parsePath(o.worldText);
    if (!path) {
        std::fprintf(stderr, "halvoran-sim: bad --world \"%s\"\n", o.worldText.c_str());
        return false;
    }
    config.world.path = *path;
    config.world.radiusDeg = o.targetSize;
    if (o.colour.size() == 3)
        config.world.colour = sim::Rgb{uint8_t(o.colour[0]), uint8_t(o.colour[1]), uint8_t(o.colour[2])};
    return true;
}

// What the steps of one run share: the models, the trace, the pseudo-terminals, the control
// socket with its clients, and the clock.
struct Simulator {
    Simulator(const Options& o, const sim::Config& config)
        : options(o), robot(config), control(robot, o.noCom2 ? nullptr : &com2) {}

    uint64_t now() const { return monotonicUs() - startUs; }

    const Options& options;
    sim::Robot robot;
    sim::Com2Device com2;
    sim::Control control;
    FILE* trace = nullptr;
    int sigFd = -1;
    sim::PtyLink com1Pty, com2Pty;
    int listenFd = -1;
    std::vector<ControlClient> clients;
    uint64_t startUs = 0;
    bool quit = false;
};

bool openTrace(Simulator& s) {
    if (s.options.tracePath.empty()) return true;
    s.trace = std::fopen(s.options.tracePath.c_str(), "w");
    if (!s.trace) {
        std::fprintf(stderr, "halvoran-sim: cannot write %s: %s\n", s.options.tracePath.c_str(), std::strerror(errno));
        return false;
    }
    FILE* trace = s.trace;
    s.robot.setTraceSink([trace](const sim::TraceEntry& e) {
        const std::string line = sim::formatTrace(e);
        std::fprintf(trace, "%s\n", line.c_str());
    });
    return true;
}

bool applyStartFaults(Simulator& s) {
    for (const std::string& text : s.options.faultTexts) {
        std::string error;
        if (!sim::applyFault(s.robot, sim::splitWords(text), error)) {
            std::fprintf(stderr, "halvoran-sim: --fault \"%s\": %s\n", text.c_str(), error.c_str());
            return false;
        }
    }
    return true;
}

// Signals end the run through a signalfd; SIGPIPE from a control client is ignored.
void installSignals(Simulator& s) {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    s.sigFd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
}

// The COM1 pseudo-terminal (none while the link is unplugged) and the COM2 one.
bool openLinks(Simulator& s) {
    std::string error;
    if (s.robot.plugged() && !s.com1Pty.open(s.options.linkPath, error)) {
        std::fprintf(stderr, "halvoran-sim: COM1: %s\n", error.c_str());
        return false;
    }
    if (!s.options.noCom2 && !s.com2Pty.open(s.options.com2Link, error)) {
        std::fprintf(stderr, "halvoran-sim: COM2: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool openControlSocket(Simulator& s) {
    if (s.options.controlPath.empty()) return true;
    std::string error;
    s.listenFd = listenUnix(s.options.controlPath, error);
    if (s.listenFd < 0) {
        std::fprintf(stderr, "halvoran-sim: %s\n", error.c_str());
        return false;
    }
    return true;
}

void printCom1(const Simulator& s) {
    const std::string& link = s.options.linkPath;
    std::printf("COM1: %s%s%s\n", s.com1Pty.isOpen() ? s.com1Pty.slavePath().c_str() : "unplugged",
                link.empty() ? "" : " -> ", link.c_str());
}

// Tells the starter where the lines and the control socket are, and that the robot is ready.
void announce(Simulator& s) {
    const Options& o = s.options;
    s.control.setPtys(s.com1Pty.slavePath(), s.com2Pty.slavePath());
    printCom1(s);
    if (!o.noCom2)
        std::printf("COM2: %s%s%s\n", s.com2Pty.slavePath().c_str(), o.com2Link.empty() ? "" : " -> ",
                    o.com2Link.c_str());
    if (!o.controlPath.empty()) std::printf("control: %s\n", o.controlPath.c_str());
    std::printf("ready\n");
    std::fflush(stdout);
}

// Bytes due for the host go to the COM1 pseudo-terminal.
void sendDueBytes(Simulator& s) {
    const uint64_t t = s.now();
    s.robot.advance(t);
    std::vector<uint8_t> due;
    uint8_t b;
    while (s.robot.toHost(t, b)) due.push_back(b);
    if (!due.empty()) s.com1Pty.write(due.data(), due.size());
    if (s.trace) std::fflush(s.trace);
}

// How long the loop may sleep: until the models have something due, at least half a
// millisecond and at most 100 ms.
timespec waitTime(const Simulator& s) {
    uint64_t waitUs = 100000;
    if (auto next = s.robot.nextDueUs()) {
        const uint64_t n = s.now();
        waitUs = *next > n ? std::min<uint64_t>(waitUs, *next - n) : 0;
        waitUs = std::max<uint64_t>(waitUs, 500);  // wake at most every half millisecond
    }
    return timespec{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
}

// The order of the descriptors that one pass polls.
enum PollSlot : size_t { SignalSlot, Com1Slot, Com2Slot, ListenSlot, FirstClientSlot };

std::vector<pollfd> pollSet(const Simulator& s) {
    std::vector<pollfd> fds;
    fds.push_back({s.sigFd, POLLIN, 0});
    fds.push_back({s.com1Pty.masterFd(), short(POLLIN | (s.com1Pty.pending() ? POLLOUT : 0)), 0});
    fds.push_back({s.com2Pty.masterFd(), POLLIN, 0});
    fds.push_back({s.listenFd, POLLIN, 0});
    for (const ControlClient& c : s.clients) fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
    return fds;
}

void readCom1(Simulator& s) {
    uint8_t buf[4096];
    const size_t n = s.com1Pty.read(buf, sizeof buf);
    const uint64_t t = s.now();
    for (size_t i = 0; i < n; ++i) s.robot.fromHost(buf[i], t);
}

void readCom2(Simulator& s) {
    uint8_t buf[4096];
    const size_t n = s.com2Pty.read(buf, sizeof buf);
    const uint64_t t = s.now();
    for (size_t i = 0; i < n; ++i) {
        s.com2.fromHost(buf[i], t);
        if (s.trace) {
            sim::TraceEntry e{t, sim::TraceEntry::Kind::In, "com2", buf[i], {}};
            std::fprintf(s.trace, "%s\n", sim::formatTrace(e).c_str());
        }
    }
}

void acceptControlClient(Simulator& s) {
    const int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) s.clients.push_back(ControlClient{fd, {}, {}});
}

// Runs one control command. The link fault also acts on the pseudo-terminal: unplugging hangs
// it up, plugging in makes a fresh one.
std::string executeControlLine(Simulator& s, const std::string& line) {
    s.robot.advance(s.now());
    const bool wasPlugged = s.com1Pty.isOpen();
    sim::ControlReply reply = s.control.execute(line);
    if (wasPlugged && !s.robot.plugged()) {
        s.com1Pty.hangUp();
        s.robot.note("link", "pseudo-terminal hung up");
    } else if (!wasPlugged && s.robot.plugged()) {
        std::string error;
        if (s.com1Pty.open(s.options.linkPath, error)) {
            s.control.setPtys(s.com1Pty.slavePath(), s.com2Pty.slavePath());
            s.robot.note("link", "fresh pseudo-terminal " + s.com1Pty.slavePath());
            printCom1(s);
            std::fflush(stdout);
        } else {
            reply.text = "error: " + error;
        }
    }
    if (reply.quit) s.quit = true;
    return reply.text;
}

// Reads a control client's lines and runs them; closes it when it has gone.
void readControlClient(Simulator& s, ControlClient& c) {
    char buf[4096];
    const ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;
        return;
    }
    c.in.append(buf, size_t(n));
    size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
        const std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        c.out += executeControlLine(s, line) + "\n";
    }
    if (c.in.size() > 65536) c.in.clear();  // no line end in sight
}

void serveControlClients(Simulator& s, const std::vector<pollfd>& fds) {
    for (size_t i = FirstClientSlot; i < fds.size(); ++i) {
        ControlClient& c = s.clients[i - FirstClientSlot];
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
            readControlClient(s, c);
            if (c.fd < 0) continue;
        }
        if (c.fd >= 0 && !c.out.empty()) {
            const ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
            if (w > 0) c.out.erase(0, size_t(w));
        }
    }
    std::erase_if(s.clients, [](const ControlClient& c) { return c.fd < 0; });
}

// Serves the lines and the control socket until a signal, the command "quit" or a failed wait.
void runLoop(Simulator& s) {
    s.startUs = monotonicUs();
    while (!s.quit) {
        sendDueBytes(s);
        std::vector<pollfd> fds = pollSet(s);
        const timespec timeout = waitTime(s);
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("halvoran-sim: ppoll");
            return;
        }
        if (ready <= 0) continue;

        if (fds[SignalSlot].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(s.sigFd, &info, sizeof info) > 0)
                s.robot.note("control", "signal " + std::to_string(info.ssi_signo));
            return;
        }
        if (fds[Com1Slot].revents & POLLIN) readCom1(s);
        if (fds[Com1Slot].revents & POLLOUT) s.com1Pty.flush();
        if (fds[Com2Slot].revents & POLLIN) readCom2(s);
        if (fds[ListenSlot].revents & POLLIN) acceptControlClient(s);
        serveControlClients(s, fds);
    }
}

// Sends what control clients still wait for (bounded), hangs up the lines, removes the control
// socket and ends the trace.
void endRun(Simulator& s) {
    for (ControlClient& c : s.clients) {
        if (!c.out.empty()) {
            const int fl = ::fcntl(c.fd, F_GETFL);
            ::fcntl(c.fd, F_SETFL, fl & ~O_NONBLOCK);
            const ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
            (void)w;
        }
        ::close(c.fd);
    }
    s.com1Pty.hangUp();
    s.com2Pty.hangUp();
    if (s.listenFd >= 0) {
        ::close(s.listenFd);
        ::unlink(s.options.controlPath.c_str());
    }
    if (s.trace) {
        s.robot.note("control", "end");
        std::fclose(s.trace);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = 0;
    if (!parseOptions(argc, argv, options, status)) return status;
    if (!options.commands.empty()) {
        if (options.controlPath.empty()) {
            std::fprintf(stderr, "halvoran-sim: --command needs --control PATH\n");
            return 2;
        }
        return sendCommands(options.controlPath, options.commands);
    }

    sim::Config config;
    if (!makeConfig(options, config)) return 2;
    Simulator run(options, config);
    if (!openTrace(run)) return 1;
    if (!applyStartFaults(run)) return 2;
    installSignals(run);
    if (!openLinks(run) || !openControlSocket(run)) return 1;
    announce(run);
    runLoop(run);
    endRun(run);
    return 0;
}
