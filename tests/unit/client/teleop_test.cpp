// The keyboard's drive commands: what goes to the robot on each tick.
#include <gtest/gtest.h>

#include "client/teleop.h"
#include "tests/support/test_support.h"

using namespace halvoran_client;
using testing_support::hex;

namespace {

std::string tick(TeleopState& state) {
    std::vector<uint8_t> packet;
    std::string error;
    EXPECT_TRUE(drivePacket(state.nextRequest(), packet, error)) << error;
    return hex(packet);
}

TEST(Teleop, TheSpeedGoesOutOnEveryTickWhileDriving) {
    TeleopSettings settings;
    settings.speedStep = 10;
    TeleopState state(settings);
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 00");  // standing: the status alone
    state.press(TeleopKey::Faster);
    state.press(TeleopKey::Faster);
    // Repeated on every tick, so the drive timeout never stops a robot that is driving.
    EXPECT_EQ(tick(state), "50 00 14 00 00 00 02");
    EXPECT_EQ(tick(state), "50 00 14 00 00 00 02");
    state.press(TeleopKey::Slower);
    state.press(TeleopKey::Slower);
    state.press(TeleopKey::Slower);
    // Passing through 0 between two ticks stops the drive before it starts again in reverse.
    EXPECT_EQ(tick(state), "50 00 F6 00 00 00 22");
    EXPECT_EQ(tick(state), "50 00 F6 00 00 00 02");
}

TEST(Teleop, BackToZeroOrSpaceStopsTheDriveOnce) {
    TeleopState state(TeleopSettings{});
    state.press(TeleopKey::Faster);
    state.press(TeleopKey::Slower);
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 20");
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 00");
    state.press(TeleopKey::Slower);
    tick(state);
    state.press(TeleopKey::Stop);
    EXPECT_EQ(state.speed(), 0);
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 20");
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 00");
    // Quitting stops a driving robot too.
    state.press(TeleopKey::Faster);
    state.press(TeleopKey::Quit);
    EXPECT_TRUE(state.quitRequested());
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 20");
}

TEST(Teleop, ServosMoveOnlyWhenTheirKeysWerePressedAndStayInRange) {
    TeleopSettings settings;
    settings.servoStep = 100;
    settings.speedStep = 100;
    TeleopState state(settings);
    state.press(TeleopKey::SteerLeft);
    state.press(TeleopKey::SteerLeft);
    state.press(TeleopKey::PanRight);
    state.press(TeleopKey::PanRight);
    state.press(TeleopKey::TiltDown);
    EXPECT_EQ(state.steer(), 0);
    EXPECT_EQ(state.pan(), 255);
    EXPECT_EQ(tick(state), "50 00 00 00 FF 1B 1C");
    EXPECT_EQ(tick(state), "50 00 00 00 00 00 00");
    state.press(TeleopKey::Centre);
    EXPECT_EQ(tick(state), "50 00 00 7F 7F 7F 1C");
    state.press(TeleopKey::Faster);
    state.press(TeleopKey::Faster);
    EXPECT_EQ(state.speed(), 127);
    state.press(TeleopKey::Slower);
    state.press(TeleopKey::Slower);
    state.press(TeleopKey::Slower);
    EXPECT_EQ(state.speed(), -128);
}

TEST(Teleop, TheTrackingKeyIsTakenOnce) {
    TeleopState state(TeleopSettings{});
    EXPECT_FALSE(state.takeTrackingToggle());
    state.press(TeleopKey::ToggleTracking);
    EXPECT_TRUE(state.takeTrackingToggle());
    EXPECT_FALSE(state.takeTrackingToggle());
}

}  // namespace
