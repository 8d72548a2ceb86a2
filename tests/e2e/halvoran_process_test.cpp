// The built halvoran as a process, on a pseudo-terminal and real TCP: start-up on the line, the
// error replies, and every way the program ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using testing_support::bytesOf;
using testing_support::ChildProcess;
using testing_support::hex;
using testing_support::waitUntil;

namespace {

using Clock = std::chrono::steady_clock;

// Records every byte that halvoran writes on the line, with the time it arrived.
class LineRecorder {
public:
    explicit LineRecorder(int master) : master_(master), thread_([this] { run(); }) {}
    ~LineRecorder() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::pair<Clock::time_point, uint8_t>> bytes() {
        std::lock_guard<std::mutex> hold(lock_);
        return bytes_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 20) != 1) continue;
            uint8_t buffer[256];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;
            auto now = Clock::now();
            std::lock_guard<std::mutex> hold(lock_);
            for (ssize_t i = 0; i < n; ++i) bytes_.emplace_back(now, buffer[i]);
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::pair<Clock::time_point, uint8_t>> bytes_;
    std::thread thread_;
};

class HalvoranProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << taken;
        char name[256] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        slavePath = name;
        dir = testing_support::makeTempDir("halvoran-e2e");
        recorder = std::make_unique<LineRecorder>(master);
    }
    void TearDown() override {
        for (int& s : sockets) {
            if (s >= 0) close(s);
        }
        program.signal(SIGKILL);
        recorder.reset();
        close(master);
    }
    void start(const std::string& device) {
        ASSERT_TRUE(
            program.start({HALVORAN_BIN}, testing_support::headlessHalvoranEnvironment(device, dir), dir + "/stderr"));
    }
    void connectAll() {
        const int ports[3] = {5000, 5001, 5002};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(
                waitUntil([&] { return (sockets[i] = testing_support::connectLoopback(ports[i])) >= 0; }, 10000))
                << "nobody listening on " << ports[i];
        }
    }
    // Reads exactly `count` bytes from the command port (bounded).
    std::string readCommandPort(size_t count) {
        std::vector<uint8_t> got;
        waitUntil(
            [&] {
                pollfd in{sockets[0], POLLIN, 0};
                if (poll(&in, 1, 20) == 1) {
                    uint8_t buffer[64];
                    ssize_t n = recv(sockets[0], buffer, std::min(sizeof buffer, count - got.size()), 0);
                    if (n > 0) got.insert(got.end(), buffer, buffer + n);
                }
                return got.size() >= count;
            },
            10000);
        return hex(got);
    }
    void send(int which, const std::string& hexBytes) {
        std::vector<uint8_t> bytes = bytesOf(hexBytes);
        ASSERT_EQ(::send(sockets[which], bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    int exitCode(int timeoutMs = 10000) {
        int code = -1;
        EXPECT_TRUE(program.waitExit(timeoutMs, code)) << "halvoran did not end";
        return code;
    }
    std::string errors() { return testing_support::readFile(dir + "/stderr"); }

    int master = -1;
    std::string slavePath;
    std::string dir;
    std::unique_ptr<LineRecorder> recorder;
    ChildProcess program;
    int sockets[3] = {-1, -1, -1};
};

TEST_F(HalvoranProcessTest, SelectsTheControllerTwiceAnswersErrorsAndEndsOnTheQuitEscape) {
    start(slavePath);
    ASSERT_TRUE(waitUntil([&] { return recorder->bytes().size() >= 4; }, 10000));
    auto line = recorder->bytes();
    EXPECT_EQ(hex({line[0].second, line[1].second, line[2].second, line[3].second}), "5C 32 5C 32");
    // 10 ms after the first selection and 50 ms more before the second (the recorder may see the
    // first pair late, which only shortens the gap it measures).
    EXPECT_GE(line[2].first - line[1].first, std::chrono::milliseconds(40));

    connectAll();
    send(0, "FF 38 50 05 80 7F 7F 7F 03 00 FF 37");  // a 'P' with a wrong checksum
    EXPECT_EQ(readCommandPort(6), "FF 38 01 01 FF 37");
    send(0, "FF 38 74 74 FF 37");
    EXPECT_EQ(readCommandPort(6), "FF 38 02 02 FF 37");
    send(0, "FF 36");
    EXPECT_EQ(exitCode(), 0);
}

class LostPortTest : public HalvoranProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(LostPortTest, ClosingAnyOnePortEndsTheProgram) {
    start(slavePath);
    connectAll();
    send(0, "FF 38 74 74 FF 37");
    ASSERT_EQ(readCommandPort(6), "FF 38 02 02 FF 37");  // serving
    close(sockets[GetParam()]);
    sockets[GetParam()] = -1;
    EXPECT_EQ(exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachPort, LostPortTest, ::testing::Values(0, 1, 2));

TEST_F(HalvoranProcessTest, SigtermAnswersTheKillPromptWhileServing) {
    start(slavePath);
    connectAll();
    send(0, "FF 38 74 74 FF 37");
    ASSERT_EQ(readCommandPort(6), "FF 38 02 02 FF 37");
    program.signal(SIGTERM);
    EXPECT_EQ(exitCode(), 0);
    EXPECT_NE(errors().find("Halvoran: Press OK to kill Halvoran"), std::string::npos) << errors();
}

TEST_F(HalvoranProcessTest, SigintWhileWaitingForTheClientEndsCleanly) {
    start(slavePath);
    ASSERT_TRUE(waitUntil(
        [] {
            int s = testing_support::connectLoopback(5000);
            if (s >= 0) close(s);
            return s >= 0;
        },
        10000));
    program.signal(SIGINT);
    EXPECT_EQ(exitCode(), 0);
}

TEST_F(HalvoranProcessTest, AMissingDeviceEndsWith255AndSaysSo) {
    start(dir + "/no-such-device");
    EXPECT_EQ(exitCode(), 255);
    EXPECT_EQ(errors(), "Error: Unable to open the port\n");
    EXPECT_TRUE(recorder->bytes().empty());
}

}  // namespace
