// The menu mode with its own threads on the real platform: the camera and the drive device on
// pseudo-terminals, the clients on loopback TCP.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "menu/menu_mode.h"
#include "net/tcp_endpoint.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testing_support::hex;
using testing_support::waitUntil;

namespace {

// A device on a pseudo-terminal: records what it receives, and as a camera answers each line
// ("ACK\r:", or ":" for an empty line) and streams tracking packets after "tc" until a CR.
class PtyDevice {
public:
    explicit PtyDevice(bool camera) : camera_(camera) {
        char name[256] = {};
        int slave = -1;
        if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
            close(slave);
            path_ = name;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~PtyDevice() {
        stop_ = true;
        thread_.join();
        if (master_ >= 0) close(master_);
    }
    const std::string& path() const { return path_; }
    std::string received() {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }
    int packetsSent() const { return packets_.load(); }

private:
    void run() {
        std::string line;
        auto nextPacket = std::chrono::steady_clock::now();
        while (!stop_) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 5) == 1) {
                char buffer[256];
                ssize_t n = read(master_, buffer, sizeof buffer);
                for (ssize_t i = 0; i < n; ++i) take(buffer[i], line);
            }
            if (streaming_ && std::chrono::steady_clock::now() >= nextPacket) {
                // d1 and d3 move the target a little from packet to packet.
                int k = packets_.load();
                uint8_t packet[8] = {0xFF, 'C', uint8_t(40 + (k % 3) * 5), 10, uint8_t(45 + (k % 2) * 10), 20, 30, 99};
                send(packet, sizeof packet);
                ++packets_;
                nextPacket = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            }
        }
    }
    void take(char c, std::string& line) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            received_.push_back(c);
        }
        if (!camera_) return;
        if (streaming_) {
            if (c == '\r') {
                streaming_ = false;
                send(reinterpret_cast<const uint8_t*>(":"), 1);
            }
            return;
        }
        if (c != '\r') {
            line.push_back(c);
            return;
        }
        std::string answer = line.empty() ? ":" : "ACK\r:";
        if (line.rfind("tc", 0) == 0) {
            answer = "ACK\r";
            streaming_ = true;
        }
        line.clear();
        send(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    }
    void send(const uint8_t* bytes, size_t count) {
        if (write(master_, bytes, count) < 0) {
            // The line is gone; the test sees what is missing.
        }
    }

    bool camera_;
    int master_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool streaming_ = false;
    std::atomic<int> packets_{0};
    std::mutex lock_;
    std::string received_;
};

// A client that keeps everything it receives.
class Client {
public:
    explicit Client(int port) {
        waitUntil([&] { return (socket_ = testing_support::connectLoopback(port)) >= 0; }, 10000);
    }
    ~Client() {
        if (socket_ >= 0) close(socket_);
    }
    bool connected() const { return socket_ >= 0; }
    // Reads until `text` has been received (bounded); returns everything received so far.
    std::string readUntil(const std::string& text, int timeoutMs = 10000) {
        waitUntil(
            [&] {
                pollfd in{socket_, POLLIN, 0};
                if (poll(&in, 1, 10) == 1) {
                    char buffer[512];
                    ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
                    if (n > 0) received_.append(buffer, static_cast<size_t>(n));
                }
                return received_.find(text) != std::string::npos;
            },
            timeoutMs);
        return received_;
    }

private:
    int socket_ = -1;
    std::string received_;
};

const std::string kDrivePacket = std::string("\xFF\x64\x00\x00\x96\x5A\x19\x6D\xFF", 9);
const std::string kStopPacket = std::string("\xFF\x00\x00\x00\x00\x00\x01\x01\xFF", 9);
const std::string kLastPacket = std::string("\xFF\x00\x00\x00\x96\x78\x18\x26\xFF", 9);

class MenuModePtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({4999, 5000, 5001, 5002, 5003}, taken)) << taken;
        ASSERT_FALSE(camera.path().empty());
        ASSERT_FALSE(drive.path().empty());
        setenv("HALVORAN_COM1", camera.path().c_str(), 1);
        setenv("HALVORAN_COM2", drive.path().c_str(), 1);
    }
    void TearDown() override {
        stopMenuMode();
        unsetenv("HALVORAN_COM1");
        unsetenv("HALVORAN_COM2");
    }
    void start() {
        startMenuMode();
        ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; }, 10000));
    }

    PtyDevice camera{true};
    PtyDevice drive{false};
};

TEST_F(MenuModePtyTest, StartFollowStopAndExitDriveTheCameraTheDriveAndTheClients) {
    start();
    Client debug(DEBUG_PORT);
    Client client(MENU_FIRST_PORT);
    ASSERT_TRUE(debug.connected());
    ASSERT_TRUE(client.connected());
    // The endpoints take their clients at their next accept.
    ASSERT_TRUE(waitUntil([] { return menuMode.debugEndpoint->connected.load(); }));

    startFollowLine();
    // The camera set-up arrives line by line, each after the answer to the one before.
    EXPECT_TRUE(waitUntil([&] { return camera.received().find("tc 0 255 150 255 0 255\r") != std::string::npos; }));
    EXPECT_EQ(camera.received(),
              "\rCR 18 40 17 2 19 33\rrm 1\rmm 0\rnf 1\rsw 1 1 80 40\r\rpm 0\rtc 0 255 150 255 0 255\r");
    std::string answers = client.readUntil("Got input of");
    EXPECT_EQ(answers.rfind("\xFF\x37:\xFF\x37\xFF\x37"
                            "ACK\r:\xFF\x37",
                            0),
              0u)
        << hex({answers.begin(), answers.end()});
    EXPECT_NE(answers.find("starting camera follow process\r\n"), std::string::npos);
    EXPECT_NE(debug.readUntil("Camera returned ").find("Starting camera process\r\n"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return drive.received().size() >= 9 + 9 * 3; }));  // steering has begun
    EXPECT_EQ(drive.received().substr(0, 9), kDrivePacket);

    stopFollowLine();
    // The follow loop ends, its last packet goes to the drive, and the tracking ends on the camera.
    EXPECT_TRUE(waitUntil([&] {
        std::string got = drive.received();
        return got.size() >= 9 && got.substr(got.size() - 9) == kLastPacket;
    }));
    EXPECT_TRUE(
        waitUntil([&] { return camera.received().find("tc 0 255 150 255 0 255\r\r\r\r") != std::string::npos; }));
    std::string driven = drive.received();
    EXPECT_EQ(driven.size() % 9, 0u);
    EXPECT_NE(driven.find(kStopPacket), std::string::npos);

    stopMenuMode();
    std::string taken;
    EXPECT_TRUE(testing_support::portsFree({4999, 5000, 5001, 5002, 5003}, taken)) << taken;
}

TEST_F(MenuModePtyTest, ExitWhileFollowingEndsEveryThreadAndStopsTheDrive) {
    start();
    startFollowLine();
    ASSERT_TRUE(waitUntil([&] { return camera.packetsSent() >= 3; }));
    stopMenuMode();
    std::string driven = drive.received();
    ASSERT_GE(driven.size(), 27u);
    EXPECT_EQ(driven.substr(0, 9), kDrivePacket);
    // The follow loop's last packet, then the flagged speed 0: the drive stops.
    EXPECT_EQ(driven.substr(driven.size() - 18, 9), kLastPacket);
    EXPECT_EQ(driven.substr(driven.size() - 9), kStopPacket);
    std::string taken;
    EXPECT_TRUE(testing_support::portsFree({4999, 5000, 5001, 5002, 5003}, taken)) << taken;
}

TEST_F(MenuModePtyTest, APortThatIsAlreadyHeldDoesNotStopTheMode) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5003);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    start();
    Client client(MENU_FIRST_PORT);
    startFollowLine();
    EXPECT_NE(client.readUntil("ACK").find("ACK\r:"), std::string::npos);
    stopMenuMode();
    close(holder);
}

}  // namespace
