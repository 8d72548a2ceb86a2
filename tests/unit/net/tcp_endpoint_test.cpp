// The TCP endpoint in virtual time: a client that vanishes without closing is watched for and,
// once the kernel gives up on it, counts as lost.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "tests/support/test_support.h"

using testing_support::waitUntil;

namespace {

constexpr uint16_t kPort = 5000;

class VirtualEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset();
        endpoint = std::make_unique<TcpEndpoint>(kPort);
        ASSERT_TRUE(waitUntil([this] { return (client = vt::connectClient(kPort)) >= 0; }));
        ASSERT_TRUE(waitUntil([this] { return endpoint->connected.load(); }));
    }
    std::unique_ptr<TcpEndpoint> endpoint;
    int client = -1;
};

TEST_F(VirtualEndpointTest, EveryAcceptedClientIsWatchedWithKeepaliveAndAUserTimeout) {
    platform::TcpLiveness applied;
    ASSERT_TRUE(vt::clientWatched(client, applied));
    EXPECT_EQ(applied.keepAliveIdleS, 2u);
    EXPECT_EQ(applied.keepAliveIntervalS, 1u);
    EXPECT_EQ(applied.keepAliveProbes, 3u);
    EXPECT_EQ(applied.userTimeoutMs, 5000u);
}

TEST_F(VirtualEndpointTest, AVanishedClientCountsAsLostOtherErrorsDoNot) {
    struct Case {
        const char* name;
        int error;
        int result;
        bool stillConnected;
    };
    const Case cases[] = {
        {"keepalive or user timeout gave up", ETIMEDOUT, -2, false},
        {"host unreachable", EHOSTUNREACH, -2, false},
        {"network unreachable", ENETUNREACH, -2, false},
        {"network down", ENETDOWN, -2, false},
        // A passing shortage of buffers is no lost client.
        {"no buffer space", ENOBUFS, -1, true},
    };
    for (const Case& c : cases) {
        // A fresh client for each row: the lost one is replaced by the accept thread.
        if (!endpoint->connected.load()) {
            ASSERT_TRUE(waitUntil([this] { return (client = vt::connectClient(kPort)) >= 0; })) << c.name;
            ASSERT_TRUE(waitUntil([this] { return endpoint->connected.load(); })) << c.name;
        } else {
            vt::clientVanish(client, 0);
        }
        vt::clientVanish(client, c.error);
        uint8_t* out = nullptr;
        EXPECT_EQ(endpoint->receive(&out), c.result) << c.name;
        EXPECT_EQ(endpoint->connected.load(), c.stillConnected) << c.name;
    }
}

}  // namespace
