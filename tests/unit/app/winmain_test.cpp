// The whole program in virtual time: start-up, the wait for the client, the main loop, the
// ways it ends, and shutdown.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_program.h"
#include "tests/support/virtual_system.h"

using testing_support::bytesOf;
using testing_support::endsWith;
using testing_support::hex;
using testing_support::kShutdownBytes;
using testing_support::waitUntil;

namespace {

// What start-up sends to the modules after the switch (servos 0..3 enabled, asked, configured and
// switched off; the drive configured and stopped), and what shutdown sends.
std::string initBytes() {
    std::string bytes;
    for (int ch = 0; ch < 4; ++ch) {
        std::string c = "0" + std::to_string(ch);
        bytes += "02 03 1F " + c + (ch == 0 ? " 87" : " 89") + " 02 02 1F " + c + " 02 04 20 " + c +
                 " 00 46 02 03 1F " + c + " 00 ";
    }
    return bytes +
           "04 05 3F 01 01 00 14 04 05 3F 01 02 00 00 04 05 3F 01 03 00 50 04 05 3F 01 06 00 64 "
           "04 05 3F 01 07 00 05 04 05 3F 01 00 00 00";
}
constexpr const char* kShutdownTrace =
    "04 05 3F 01 00 00 00 (10) 04 03 3F 01 00 (20) 02 03 1F 00 00 (10) 02 03 1F 01 00 (10) 02 03 1F 02 00 (10) "
    "02 03 1F 03 00 (10)";

// The last part of a long trace, for failure messages.
std::string tail(const std::string& text) { return text.size() > 300 ? text.substr(text.size() - 300) : text; }

class WinMainTest : public ::testing::Test {
protected:
    // The drive module confirms the stops; nothing else is answered.
    WinMainTest() { device.answer(testing_support::driveReadsStopped()); }
    int run(std::function<void()> script) { return program.run(std::move(script)); }
    std::vector<std::vector<uint8_t>> replies() { return program.commandReplies(); }

    testing_support::ScriptedDevice device;
    testing_support::VirtualProgram program{&device};
    int& command = program.command;
    int& image = program.image;
    int& tracking = program.tracking;
};

TEST_F(WinMainTest, StartsUpServesAndEndsOnTheQuitEscape) {
    int exitCode = run([this] {
        program.connectAll();
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37"));
        waitUntil([this] { return replies().size() == 1; });
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37 FF 36 FF 38 74 74 FF 37"));
    });
    EXPECT_EQ(exitCode, 0);
    // The start-up switch, the modules initialised; at the end the drive stop and the servos
    // off, with no selection before them (the link was on the controller channel).
    EXPECT_EQ(vt::traceText().rfind("5C 32 (10) (50) 5C 32 (10) 02 03 1F 00 87 (10)", 0), 0u);
    EXPECT_EQ(hex(vt::written("COM1:")), "5C 32 5C 32 " + initBytes() + " " + kShutdownBytes);
    EXPECT_TRUE(endsWith(vt::traceText(), std::string(") ") + kShutdownTrace)) << tail(vt::traceText());
    // Two replies: the packet after the quit escape was never dispatched.
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{2}, {2}}));
    EXPECT_EQ(control.cameraSelected, 0);
    EXPECT_TRUE(control.driveStopped);
    EXPECT_EQ(control.serialPort, nullptr);  // closed and released
    EXPECT_FALSE(control.commandEndpoint->connected.load());
}

TEST_F(WinMainTest, ShutdownFromTheCameraChannelSelectsTheControllerBeforeStoppingEverything) {
    int exitCode = run([this] {
        program.connectAll();
        // A 'P' that the silent drive module does not answer: the link counts as on the camera
        // channel from then on.
        vt::clientSend(command, bytesOf("FF 38 50 00 00 00 00 00 00 50 FF 37"));
        waitUntil([this] { return replies().size() == 1; });
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(replies().size(), 1u);
    EXPECT_EQ(replies()[0][0], 20);
    EXPECT_TRUE(endsWith(vt::traceText(), std::string("(10) 5C 32 (10) ") + kShutdownTrace)) << tail(vt::traceText());
    EXPECT_EQ(control.cameraSelected, 0);
}

TEST_F(WinMainTest, PacketsSentBeforeTheOtherPortsConnectAreServedInOrderAfterwards) {
    int exitCode = run([this] {
        command = testing_support::connectWhenListening(5000);
        vt::clientSend(command, bytesOf("FF 38 74 74 FF 37 FF 38 05 FF 37"));
        image = testing_support::connectWhenListening(5001);
        tracking = testing_support::connectWhenListening(5002);
        waitUntil([this] { return replies().size() == 2; });
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(replies(), (std::vector<std::vector<uint8_t>>{{2}, {1}}));
}

TEST_F(WinMainTest, BytesOnTheImageAndTrackingPortsAreThrownAway) {
    int exitCode = run([this] {
        program.connectAll();
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
        program.connectAll();
        int clients[3] = {command, image, tracking};
        if (which < 3) {
            vt::clientClose(clients[which]);
        } else {
            vt::clientReset(clients[which - 3]);
        }
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(control.quitRequested.load());
    EXPECT_TRUE(testing_support::robotStoppedLast());  // the robot is stopped
    EXPECT_FALSE(control.commandEndpoint->connected.load());
    EXPECT_FALSE(control.imageEndpoint->connected.load());
    EXPECT_FALSE(control.trackingEndpoint->connected.load());
}

INSTANTIATE_TEST_SUITE_P(EachPort, LostClientTest, ::testing::Range(0, 6));

struct Vanish {
    int port;  // 0 command, 1 image, 2 tracking
    int error;
};

class VanishedClientTest : public WinMainTest, public ::testing::WithParamInterface<Vanish> {};

// A client whose link dropped sends no FIN and no RST; once the kernel gives up on it (keepalive
// probes, user timeout, or an unreachable network), the program ends and stops the robot, also
// with the drive timeout switched off.
TEST_P(VanishedClientTest, EndsTheProgramWithTheRobotStopped) {
    const Vanish row = GetParam();
    bool watched = false;
    int exitCode = run([this, row, &watched] {
        program.connectAll();
        // Timeout 0 and a speed: nothing but the lost connection will stop this drive.
        vt::clientSend(command, bytesOf("FF 38 50 00 14 00 00 00 03 67 FF 37"));
        waitUntil([this] { return replies().size() == 1; });  // all three accepted by now
        platform::TcpLiveness applied;
        watched = vt::clientWatched(command, applied) && vt::clientWatched(image, applied) &&
                  vt::clientWatched(tracking, applied);
        int clients[3] = {command, image, tracking};
        vt::clientVanish(clients[row.port], row.error);
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(watched);
    EXPECT_EQ(control.driveTimeout, 0);
    EXPECT_NE(hex(vt::written("COM1:")).find("04 04 3E 01 FE 3A"), std::string::npos);  // speed 20 went out
    EXPECT_TRUE(testing_support::robotStoppedLast());
    EXPECT_TRUE(control.quitRequested.load());
}

INSTANTIATE_TEST_SUITE_P(EachWayALinkIsLost, VanishedClientTest,
                         ::testing::Values(Vanish{0, ETIMEDOUT}, Vanish{1, EHOSTUNREACH}, Vanish{2, ENETUNREACH},
                                           Vanish{0, ENETDOWN}));

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
        program.connectAll();
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
        program.connectAll();
        vt::clientSend(command, bytesOf("FF 36"));
    });
    EXPECT_EQ(exitCode, 0);
    std::vector<std::string> shown = vt::messages();
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Error: Unable to create iPaq KillThread"), shown.end());
}

}  // namespace
