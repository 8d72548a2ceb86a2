// The main loop's wait on the real machine: a byte that the serial reader thread stores and
// what happens on a client's socket end it; with nothing happening it lasts its time.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "link/serial_port.h"
#include "platform/platform.h"

namespace {

// Takes a wake-up that earlier tests of this process may have left.
void forgetEarlierWakeUps() { platform::waitForWork(nullptr, 0, 0); }

TEST(MainLoopWaitTest, AByteStoredByTheReaderEndsAWaitAndTheNextWaitLastsItsTime) {
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    setenv("HALVORAN_COM1", name, 1);
    {
        SerialPort port("COM1:");
        ASSERT_TRUE(port.isOpen);
        forgetEarlierWakeUps();
        std::thread device([master] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // most likely while waiting
            uint8_t byte = 0x42;
            ASSERT_EQ(write(master, &byte, 1), 1);
        });
        const bool woken = platform::waitForWork(nullptr, 0, 10000000);
        device.join();
        EXPECT_TRUE(woken) << "the wait lasted its whole time";
        uint8_t byte = 0;
        EXPECT_TRUE(port.readByte(byte));
        EXPECT_EQ(byte, 0x42);
        // The wake-up is taken: a wait with nothing happening lasts its time.
        const uint64_t start = platform::monotonicUs();
        EXPECT_FALSE(platform::waitForWork(nullptr, 0, 100000));
        EXPECT_GE(platform::monotonicUs() - start, 100000u);
        port.close();
    }
    unsetenv("HALVORAN_COM1");
    close(master);
}

// A connected pair on loopback (an ephemeral port: no fixed port is needed).
struct LoopbackPair {
    int client = -1, server = -1;
    LoopbackPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            close(listener);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            server = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~LoopbackPair() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

enum class Peer { Nothing, SendsBytes, Closes, Resets };

class SocketWait : public ::testing::TestWithParam<Peer> {};

// The wait watches three client sockets; what the peer of the last one does must end it (a hang-up
// or reset ends the program in the pass that follows), and an invalid socket is left out.
TEST_P(SocketWait, EndsOnWhatThePeerDoes) {
    LoopbackPair quiet, watched;
    ASSERT_GE(watched.server, 0);
    forgetEarlierWakeUps();
    switch (GetParam()) {
        case Peer::Nothing: break;
        case Peer::SendsBytes: ASSERT_EQ(send(watched.client, "x", 1, MSG_NOSIGNAL), 1); break;
        case Peer::Closes:
            close(watched.client);
            watched.client = -1;
            break;
        case Peer::Resets: {
            linger abort{1, 0};
            setsockopt(watched.client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            close(watched.client);
            watched.client = -1;
            break;
        }
    }
    const platform::Socket sockets[3] = {quiet.server, platform::INVALID_SOCKET_VALUE, watched.server};
    const bool expected = GetParam() != Peer::Nothing;
    EXPECT_EQ(platform::waitForWork(sockets, 3, expected ? 10000000 : 100000), expected);
}

INSTANTIATE_TEST_SUITE_P(Each, SocketWait,
                         ::testing::Values(Peer::Nothing, Peer::SendsBytes, Peer::Closes, Peer::Resets));

}  // namespace
