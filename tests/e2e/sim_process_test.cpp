// halvoran-sim as a process: its pseudo-terminal answers like the robot, its trace file records
// the bytes, its control socket reports and changes the state, and it ends cleanly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::waitUntil;

namespace {

class SimProcess : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testing_support::makeTempDir("halvoran-sim-e2e");
        ASSERT_FALSE(dir.empty());
        link = dir + "/com1";
        trace = dir + "/trace.txt";
        control = dir + "/control.sock";
        output = dir + "/out.txt";
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        controlClient.reset();
        if (!HasFailure()) std::filesystem::remove_all(dir);  // kept for inspection otherwise
    }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {HALVORAN_SIM_BIN, "--link", link, "--trace", trace, "--control", control};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.start(argv, {}, dir + "/err.txt", output));
        ASSERT_TRUE(waitUntil([&] { return readFile(output).find("ready\n") != std::string::npos; }))
            << readFile(dir + "/err.txt");
    }

    // Opens the link as Halvoran would: raw, 8N1, no echo.
    int openLink() {
        const int f = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (f < 0) return -1;
        termios tio{};
        ::tcgetattr(f, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(f, TCSANOW, &tio);
        return f;
    }

    void write(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Reads until n bytes came or timeoutMs passed.
    std::vector<uint8_t> read(size_t n, int timeoutMs = 3000) {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) break;
            if (p.revents & (POLLHUP | POLLERR)) break;
            uint8_t buf[512];
            const ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0) out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // One command on the control socket and its reply line.
    std::string command(const std::string& line) {
        if (!controlClient) controlClient = std::make_unique<testing_support::LineClient>(control);
        return controlClient->request(line, 3000);
    }

    void stopWith(int signalNumber) {
        sim.signal(signalNumber);
        int code = -1;
        ASSERT_TRUE(sim.waitExit(5000, code));
        EXPECT_EQ(code, 0);
    }

    std::vector<std::string> traceLines() {
        std::vector<std::string> lines;
        std::istringstream in(readFile(trace));
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }

    std::string dir, link, trace, control, output;
    ChildProcess sim;
    std::unique_ptr<testing_support::LineClient> controlClient;
    int fd = -1;
};

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST_F(SimProcess, AnswersOnItsPseudoTerminalTracesAndEndsOnSigterm) {
    start();
    fd = openLink();
    ASSERT_GE(fd, 0) << std::strerror(errno);
    write({0x5C, '2', 2, 2, 31, 1});
    EXPECT_EQ(read(5), (std::vector<uint8_t>{2, 3, 31, 1, 0}));

    const std::string state = command("state");
    EXPECT_NE(state.find("\"channel\":\"controller\""), std::string::npos) << state;
    EXPECT_NE(state.find("\"from_host\":6"), std::string::npos) << state;
    EXPECT_NE(state.find("\"to_host\":5"), std::string::npos) << state;

    // The program itself as a client of the control socket.
    {
        ChildProcess client;
        const std::string out = dir + "/client.txt";
        ASSERT_TRUE(client.start(
            {HALVORAN_SIM_BIN, "--control", control, "--command", "note from a client", "--command", "state"}, {},
            dir + "/client-err.txt", out));
        int code = -1;
        ASSERT_TRUE(client.waitExit(5000, code));
        EXPECT_EQ(code, 0);
        const std::string text = readFile(out);
        EXPECT_EQ(text.rfind("ok\n{\"time_us\":", 0), 0u) << text;
    }

    // Every byte in both directions, with its time, direction and channel.
    ASSERT_TRUE(waitUntil([&] { return readFile(trace).find("out controller 00") != std::string::npos; }));
    std::vector<std::string> bytesIn, bytesOut;
    uint64_t lastIn = 0, firstOut = 0;
    for (const std::string& line : traceLines()) {
        std::istringstream words(line);
        uint64_t t;
        std::string kind, where, value;
        ASSERT_TRUE(words >> t >> kind >> where) << line;
        if (kind == "in") {
            words >> value;
            bytesIn.push_back(where + " " + value);
            lastIn = t;
        } else if (kind == "out") {
            words >> value;
            bytesOut.push_back(where + " " + value);
            if (!firstOut) firstOut = t;
        } else {
            EXPECT_EQ(kind, "event") << line;
        }
    }
    EXPECT_EQ(bytesIn, (std::vector<std::string>{"switch 5c", "switch 32", "controller 02", "controller 02",
                                                 "controller 1f", "controller 01"}));
    EXPECT_EQ(bytesOut, (std::vector<std::string>{"controller 02", "controller 03", "controller 1f", "controller 01",
                                                  "controller 00"}));
    EXPECT_GE(firstOut, lastIn + 1500);  // the module's reply delay, and the byte time

    stopWith(SIGTERM);
    EXPECT_FALSE(exists(link));
    EXPECT_FALSE(exists(control));
    EXPECT_NE(readFile(trace).find("event control end"), std::string::npos);
    EXPECT_NE(readFile(trace).find("event control from a client"), std::string::npos);
}

TEST_F(SimProcess, CameraStreamsTrackingPacketsUntilACarriageReturn) {
    start({"--world", "static 10 0"});
    fd = openLink();
    ASSERT_GE(fd, 0);
    write({'\r'});
    EXPECT_EQ(read(1), (std::vector<uint8_t>{':'}));
    const std::string tc = "tc 0 255 150 255 0 255\r";
    write(std::vector<uint8_t>(tc.begin(), tc.end()));
    const std::vector<uint8_t> got = read(4 + 30);
    ASSERT_EQ(got.size(), 34u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "ACK\r");
    EXPECT_EQ(got[4], 0xFF);
    EXPECT_EQ(got[5], 'M');
    EXPECT_GT(got[6], 47);  // a target to the right is seen to the right
    EXPECT_EQ(got[14], 0xFF);
    write({'\r'});
    // The stream ends with the prompt; nothing follows it.
    std::vector<uint8_t> tail;
    for (;;) {
        std::vector<uint8_t> more = read(1, 500);
        if (more.empty()) break;
        tail.push_back(more[0]);
        ASSERT_LT(tail.size(), 1000u);
    }
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), ':');
    stopWith(SIGINT);
}

TEST_F(SimProcess, UnpluggingHangsUpTheLineAndPluggingInMakesAFreshOne) {
    start();
    fd = openLink();
    ASSERT_GE(fd, 0);
    char first[256] = {};
    ASSERT_GT(::readlink(link.c_str(), first, sizeof first - 1), 0);

    EXPECT_EQ(command("fault link unplugged on"), "ok");
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_FALSE(exists(link));
    EXPECT_NE(command("state").find("\"plugged\":false"), std::string::npos);
    ::close(fd);

    EXPECT_EQ(command("fault link unplugged off"), "ok");
    ASSERT_TRUE(exists(link));
    fd = openLink();
    ASSERT_GE(fd, 0);
    write({0x5C, '2', 4, 2, 61, 1});
    EXPECT_EQ(read(10).size(), 10u);

    EXPECT_EQ(command("fault drive silent on"), "ok");
    write({4, 2, 61, 1});
    EXPECT_TRUE(read(1, 300).empty());
    EXPECT_EQ(command("fault clear"), "ok");
    write({4, 2, 61, 1});
    EXPECT_EQ(read(10).size(), 10u);

    EXPECT_EQ(command("quit"), "ok");
    int code = -1;
    ASSERT_TRUE(sim.waitExit(5000, code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(exists(link));
}

TEST_F(SimProcess, RefusesABadWorldAndABadFault) {
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--world", "spiral 1 2"}, std::vector<std::string>{"--fault", "camera unplugged"}}) {
        ChildProcess p;
        std::vector<std::string> argv = {HALVORAN_SIM_BIN, "--link", link};
        argv.insert(argv.end(), bad.begin(), bad.end());
        ASSERT_TRUE(p.start(argv, {}, dir + "/bad.txt"));
        int code = -1;
        ASSERT_TRUE(p.waitExit(5000, code));
        EXPECT_NE(code, 0);
        EXPECT_FALSE(exists(link));
    }
}

}  // namespace
