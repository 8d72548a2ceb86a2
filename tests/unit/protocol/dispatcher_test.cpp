// The dispatcher's checks and its two error replies.
#include <gtest/gtest.h>

#include "app/control_state.h"
#include "protocol/dispatcher.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"
#include "tests/support/virtual_system.h"

using testing_support::hex;

namespace {

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { system.connectClients(); }
    std::string replies() { return hex(vt::clientReceived(system.commandClient)); }
    testing_support::ScriptedDevice device;
    testing_support::VirtualSystem system{&device};
};

TEST_F(DispatcherTest, ABadChecksumIsAnsweredOneAndChangesNothing) {
    uint8_t trackingLetter[] = {'T', 1, 2, 3, 4, 5, 6, 0x00};
    dispatchCommand(trackingLetter, 8);
    EXPECT_EQ(replies(), "FF 38 01 01 FF 37");
    EXPECT_FALSE(control.trackModeBoth);
    EXPECT_TRUE(vt::trace().empty());  // nothing went to the link
}

TEST_F(DispatcherTest, AnUnknownLetterIsAnsweredTwo) {
    uint8_t lowerCase[] = {0x74, 0x74};
    dispatchCommand(lowerCase, 2);
    EXPECT_EQ(replies(), "FF 38 02 02 FF 37");
}

TEST_F(DispatcherTest, OneBytePackets) {
    uint8_t zero[] = {0x00};  // the sum of no bytes is 0: a good checksum, an unknown letter
    dispatchCommand(zero, 1);
    uint8_t other[] = {0x05};
    dispatchCommand(other, 1);
    EXPECT_EQ(replies(), "FF 38 02 02 FF 37 FF 38 01 01 FF 37");
}

TEST_F(DispatcherTest, NothingCollectedIsDroppedWithoutAReply) {
    uint8_t none[1] = {0};
    dispatchCommand(none, 0);
    EXPECT_EQ(replies(), "");
}

}  // namespace
