// The whole program in virtual time: start-up, the wait for the client, the main loop, the
// ways it ends, and shutdown.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

using testing_support::bytesOf;
using testing_support::decodeReplies;
using testing_support::hex;
using testing_support::waitUntil;

namespace {

// Connects a virtual client to a port as soon as Halvoran listens on it.
int connectWhenListening(uint16_t port) {
    int client = -1;
    waitUntil([&] { return (client = vt::connectClient(port)) >= 0; });
    return client;
}

class WinMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset(10, 0);
        resetControlState();
        vt::attach("COM1:", &device);
    }
    void TearDown() override {
        if (client.joinable()) client.join();
        // The program keeps its endpoints for the whole run; the test releases them.
        delete control.commandEndpoint;
        delete control.imageEndpoint;
        delete control.trackingEndpoint;
        resetControlState();
    }
    // Runs WinMain on this (the clock) thread while `script` plays the client on another.
    int run(std::function<void()> script) {
        client = std::thread(std::move(script));
        return WinMain(1);
    }
    void connectAll() {
        command = connectWhenListening(5000);
        image = connectWhenListening(5001);
        tracking = connectWhenListening(5002);
    }
    std::vector<std::vector<uint8_t>> replies() { return decodeReplies(vt::clientReceived(command)); }

    testing_support::ScriptedDevice device;
    std::thread client;
    int command = -1, image = -1, tracking = -1;
};

TEST_F(WinMainTest, StartsUpServesAndEndsOnTheQuitEscape) {
    int exitCode = run([this] {
        connectAll();
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37"));
        waitUntil([this] { return replies().size() == 1; });
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37 FF 36 FF 38 74 74 FF 37"));
    });
    EXPECT_EQ(exitCode, 0);
    // The start-up switch, and no more (nothing was on the camera channel at the end).
    EXPECT_EQ(vt::traceText().rfind("5C 32 (10) (50) 5C 32 (10)", 0), 0u) << vt::traceText();
    EXPECT_EQ(vt::written("COM1:"), bytesOf("5C 32 5C 32"));
    // Two replies: the packet after the quit escape was never dispatched.
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{2}, {2}}));
    EXPECT_EQ(control.cameraSelected, 0);
    EXPECT_TRUE(control.driveStopped);
    EXPECT_EQ(control.serialPort, nullptr);  // closed and released
    EXPECT_FALSE(control.commandEndpoint->connected.load());
}

TEST_F(WinMainTest, PacketsSentBeforeTheOtherPortsConnectAreServedInOrderAfterwards) {
    int exitCode = run([this] {
        command = connectWhenListening(5000);
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37 FF 38 05 FF 37"));
        image = connectWhenListening(5001);
        tracking = connectWhenListening(5002);
        waitUntil([this] { return replies().size() == 2; });
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{2}, {1}}));
}

TEST_F(WinMainTest, BytesOnTheImageAndTrackingPortsAreThrownAway) {
    int exitCode = run([this] {
        connectAll();
        vt::clientSend(image, bytesOf("FF 38 74 74 FF 37"));
        vt::clientSend(tracking, bytesOf("FF 38 74 74 FF 37"));
        vt::clientSend(command, bytesOf("FF 38 05 FF 37"));
        waitUntil([this] { return replies().size() == 1; });
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{1}}));
    EXPECT_TRUE(vt::clientReceived(image).empty());
    EXPECT_TRUE(vt::clientReceived(tracking).empty());
}

class LostClientTest : public WinMainTest, public ::testing::WithParamInterface<int> {};

TEST_P(LostClientTest, ClosingOrResettingAnyOnePortEndsTheProgram) {
    int which = GetParam();
    int exitCode = run([this, which] {
        connectAll();
        int clients[3] = {command, image, tracking};
        if (which < 3) {
            vt::clientClose(clients[which]);
        } else {
            vt::clientReset(clients[which - 3]);
        }
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(control.quitRequested.load());
    EXPECT_FALSE(control.commandEndpoint->connected.load());
    EXPECT_FALSE(control.imageEndpoint->connected.load());
    EXPECT_FALSE(control.trackingEndpoint->connected.load());
}

INSTANTIATE_TEST_SUITE_P(EachPort, LostClientTest, ::testing::Range(0, 6));

TEST_F(WinMainTest, TheKillPromptWhileWaitingForClientsSkipsTheRest) {
    int exitCode = run([] {
        waitUntil([] { return vt::listening(5002); });
        vt::confirmKillPrompt();
    });
    EXPECT_EQ(exitCode, 0);
    std::vector<std::string> shown = vt::messages();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0], "Halvoran: Press OK to kill Halvoran");
    // No endpoint was connected, so none was closed.
    EXPECT_FALSE(control.commandEndpoint->closing.load());
    EXPECT_FALSE(control.imageEndpoint->closing.load());
    EXPECT_FALSE(control.trackingEndpoint->closing.load());
}

TEST_F(WinMainTest, TheKillPromptWhileServingEndsTheProgram) {
    int exitCode = run([this] {
        connectAll();
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37"));
        waitUntil([this] { return replies().size() == 1; });  // the main loop runs
        vt::confirmKillPrompt();
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(control.commandEndpoint->closing.load());
    EXPECT_TRUE(control.imageEndpoint->closing.load());
    EXPECT_TRUE(control.trackingEndpoint->closing.load());
}

TEST_F(WinMainTest, APortThatDoesNotOpenEndsWithMinusOneAndNothingStarted) {
    vt::attach("COM1:", nullptr);
    EXPECT_EQ(WinMain(1), -1);
    EXPECT_EQ(vt::messages(), std::vector<std::string>{"Error: Unable to open the port"});
    EXPECT_EQ(control.serialPort, nullptr);
    EXPECT_EQ(control.commandEndpoint, nullptr);
    EXPECT_TRUE(vt::trace().empty());
}

TEST_F(WinMainTest, APortThatCannotBeConfiguredAlsoEndsWithMinusOne) {
    vt::failNext(vt::Failure::SerialConfigure);
    EXPECT_EQ(WinMain(1), -1);
    EXPECT_EQ(vt::messages(), std::vector<std::string>{"Error: Unable to configure the serial port"});
}

TEST_F(WinMainTest, WithoutAKillThreadTheProgramStillServesAndEnds) {
    vt::failNext(vt::Failure::ThreadStart);  // the reader thread
    vt::failNext(vt::Failure::ThreadStart);  // the kill thread
    int exitCode = run([this] {
        connectAll();
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    std::vector<std::string> shown = vt::messages();
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Error: Unable to create iPaq KillThread"), shown.end());
}

}  // namespace
