// The TCP endpoint over real loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "net/tcp_endpoint.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testing_support::waitUntil;

namespace {

constexpr int kPort = 5003;

void sendAll(int s, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Receives until something arrives (bounded); returns the result of the receive that got it.
int receiveSomething(TcpEndpoint& endpoint, uint8_t** out) {
    int n = 0;
    waitUntil([&] { return (n = endpoint.receive(out)) != 0; });
    return n;
}

class TcpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({kPort}, taken)) << taken;
        endpoint = std::make_unique<TcpEndpoint>(kPort);
    }
    void TearDown() override {
        if (client >= 0) close(client);
        endpoint.reset();
    }
    void connectClient() {
        ASSERT_TRUE(waitUntil([this] { return (client = testing_support::connectLoopback(kPort)) >= 0; }));
        ASSERT_TRUE(waitUntil([this] { return endpoint->connected.load(); }, 3000)) << "no accept";
    }
    std::unique_ptr<TcpEndpoint> endpoint;
    int client = -1;
};

TEST_F(TcpEndpointTest, WithoutAClientReceiveIsMinusOneAndSendsDoNothing) {
    uint8_t* out = reinterpret_cast<uint8_t*>(0x1);
    EXPECT_EQ(endpoint->receive(&out), -1);
    EXPECT_EQ(out, reinterpret_cast<uint8_t*>(0x1));  // left alone
    EXPECT_FALSE(endpoint->sendText("x"));
    uint8_t b = 1;
    EXPECT_FALSE(endpoint->sendBytes(&b, 1));
}

TEST_F(TcpEndpointTest, WithAClientAndNothingWaitingReceiveIsZeroAndStaysConnected) {
    connectClient();
    uint8_t* out = nullptr;
    EXPECT_EQ(endpoint->receive(&out), 0);
    EXPECT_TRUE(endpoint->connected.load());
}

TEST_F(TcpEndpointTest, EveryReceivedByteCountsZeroBytesIncluded) {
    connectClient();
    uint8_t* out = nullptr;
    sendAll(client, {0x41, 0x00, 0x42, 0x00, 0x00});
    ASSERT_EQ(receiveSomething(*endpoint, &out), 5);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{0x41, 0x00, 0x42, 0x00, 0x00}));
    sendAll(client, {0x00, 0x00});
    ASSERT_EQ(receiveSomething(*endpoint, &out), 2);
    EXPECT_TRUE(endpoint->connected.load());
}

TEST_F(TcpEndpointTest, AtMostAThousandBytesAreTakenPerReceive) {
    connectClient();
    std::vector<uint8_t> bytes(1500);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(1 + i % 200);
    sendAll(client, bytes);
    // Wait until all 1500 are in the socket: a peek shows them.
    ASSERT_TRUE(waitUntil([this] {
        uint8_t peek[1600];
        return recv(endpoint->clientSocket.load(), peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT) == 1500;
    }));
    uint8_t* out = nullptr;
    EXPECT_EQ(endpoint->receive(&out), 1000);
    EXPECT_EQ(out[999], bytes[999]);
    EXPECT_EQ(endpoint->receive(&out), 500);
    EXPECT_EQ(out[0], bytes[1000]);
    EXPECT_EQ(out[500], 0);  // the rest of the buffer was cleared
}

TEST_F(TcpEndpointTest, AClosedClientGivesZeroAndTheSamePortTakesANewClient) {
    connectClient();
    close(client);
    client = -1;
    uint8_t* out = nullptr;
    ASSERT_TRUE(waitUntil([&] { return endpoint->receive(&out) == 0 && !endpoint->connected.load(); }));
    connectClient();
    sendAll(client, {0x4E});
    EXPECT_EQ(receiveSomething(*endpoint, &out), 1);
}

TEST_F(TcpEndpointTest, AResetGivesMinusTwo) {
    connectClient();
    linger hard{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(client);
    client = -1;
    uint8_t* out = nullptr;
    int n = 0;
    ASSERT_TRUE(waitUntil([&] { return (n = endpoint->receive(&out)) != 0; }));
    EXPECT_EQ(n, -2);
    EXPECT_FALSE(endpoint->connected.load());
}

TEST_F(TcpEndpointTest, TheClientSocketIsWatchedForAClientThatVanishes) {
    connectClient();
    const int s = endpoint->clientSocket.load();
    auto option = [s](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        EXPECT_EQ(getsockopt(s, level, name, &value, &length), 0) << name;
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 2);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 5000);
}

TEST_F(TcpEndpointTest, SendTextLeavesOutTheTerminator) {
    connectClient();
    EXPECT_TRUE(endpoint->sendText("OK:"));
    char got[8] = {};
    pollfd in{client, POLLIN, 0};
    ASSERT_EQ(poll(&in, 1, 3000), 1);
    EXPECT_EQ(recv(client, got, sizeof got, 0), 3);
    EXPECT_STREQ(got, "OK:");
}

TEST_F(TcpEndpointTest, SendingToALostClientNeitherKillsNorHangs) {
    connectClient();
    close(client);
    client = -1;
    std::vector<uint8_t> chunk(2000, 0x33);
    // The first send may still be taken; the later ones meet a closed connection (EPIPE,
    // which would raise SIGPIPE and end this process if it were not suppressed).
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(endpoint->sendBytes(chunk.data(), static_cast<int>(chunk.size())));
}

TEST_F(TcpEndpointTest, AClientThatDoesNotReadDoesNotHoldTheSenderForever) {
    connectClient();
    // Far more than the socket buffers hold; the send waits a bounded time and goes on.
    std::vector<uint8_t> chunk(8 * 1024 * 1024, 0x55);
    EXPECT_TRUE(endpoint->sendBytes(chunk.data(), static_cast<int>(chunk.size())));
}

TEST(TcpEndpointBind, APortHeldByAnotherListenerFailsAtBindWithItsErrorCode) {
    std::string taken;
    ASSERT_TRUE(testing_support::portsFree({kPort}, taken)) << taken;
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    // Connections of earlier tests may linger on the port; a listener holds it all the same.
    int yes = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    testing::internal::CaptureStderr();
    {
        TcpEndpoint endpoint(kPort);
        uint8_t* out = nullptr;
        EXPECT_EQ(endpoint.receive(&out), -1);
    }
    std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Error: Binding socket failed. Error: " + std::to_string(EADDRINUSE)), std::string::npos)
        << shown;
    close(holder);
}

TEST(TcpEndpointBind, ARestartRightAfterAStopBindsAtOnce) {
    std::string taken;
    ASSERT_TRUE(testing_support::portsFree({kPort}, taken)) << taken;
    testing::internal::CaptureStderr();
    {
        TcpEndpoint first(kPort);
        int c = -1;
        ASSERT_TRUE(waitUntil([&] { return (c = testing_support::connectLoopback(kPort)) >= 0; }));
        ASSERT_TRUE(waitUntil([&] { return first.connected.load(); }, 3000));
        first.close();  // the server side closes first and keeps the connection in TIME_WAIT
        close(c);
    }
    { TcpEndpoint second(kPort); }
    std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_EQ(shown.find("Binding socket failed"), std::string::npos) << shown;
}

// Connects to 127.0.0.N:port; true when the connection is taken.
bool connectsTo(const char* address, int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(s);
    return ok;
}

TEST(TcpEndpointBind, HalvoranListenAddressNamesTheOneAddressListenedOn) {
    std::string taken;
    ASSERT_TRUE(testing_support::portsFree({kPort}, taken)) << taken;
    struct Row {
        const char* setting;  // nullptr: unset
        bool on1, on2;        // taken on 127.0.0.1, on 127.0.0.2
        bool bindFails;
    };
    const Row rows[] = {
        {nullptr, true, true, false},
        {"", true, true, false},
        {"127.0.0.2", false, true, false},
        {"127.0.0.1", true, false, false},
        {"robot", false, false, true},
    };
    for (const Row& row : rows) {
        if (row.setting) setenv("HALVORAN_LISTEN_ADDRESS", row.setting, 1);
        else unsetenv("HALVORAN_LISTEN_ADDRESS");
        testing::internal::CaptureStderr();
        {
            TcpEndpoint endpoint(kPort);
            EXPECT_EQ(connectsTo("127.0.0.1", kPort), row.on1) << (row.setting ? row.setting : "unset");
            EXPECT_EQ(connectsTo("127.0.0.2", kPort), row.on2) << (row.setting ? row.setting : "unset");
        }
        std::string shown = testing::internal::GetCapturedStderr();
        EXPECT_EQ(shown.find("Binding socket failed") != std::string::npos, row.bindFails) << shown;
    }
    unsetenv("HALVORAN_LISTEN_ADDRESS");
}

}  // namespace
