// The owner of the program-wide objects: a port that does not open leaves nothing behind, and
// the release leaves no object, no held line and no listening port, however far start-up came
// and however often it is called.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/control_state.h"
#include "app/program_objects.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"

using testing_support::waitUntil;

namespace {

class ProgramObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset(10, 0);
        resetControlState();
        vt::attach("COM1:", &device);
    }
    void TearDown() override {
        releaseProgramObjects();
        resetControlState();
    }
    static bool nothingLeft() {
        return control.serialPort == nullptr && control.commandEndpoint == nullptr &&
               control.imageEndpoint == nullptr && control.trackingEndpoint == nullptr;
    }
    static bool anyListening() { return vt::listening(5000) || vt::listening(5001) || vt::listening(5002); }
    // The line is free again: the port can be opened (it is held exclusively while open).
    static bool lineFree() {
        bool opened = openSerialPort();
        releaseSerialPort();
        return opened;
    }

    testing_support::ScriptedDevice device;
};

struct OpenCase {
    const char* name;
    bool deviceThere;
    std::optional<vt::Failure> failure;
    bool opens;
    const char* message;  // the box shown, "" for none
};

void PrintTo(const OpenCase& row, std::ostream* out) { *out << row.name; }

class OpenSerialPort : public ProgramObjectsTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenSerialPort, EitherOpensOrLeavesNothingBehind) {
    const OpenCase& row = GetParam();
    if (!row.deviceThere) vt::attach("COM1:", nullptr);
    if (row.failure) vt::failNext(*row.failure);
    EXPECT_EQ(openSerialPort(), row.opens);
    EXPECT_EQ(control.serialPort != nullptr, row.opens);
    if (row.opens) {
        EXPECT_TRUE(control.serialPort->isOpen);
    }
    std::vector<std::string> expected;
    if (row.message[0] != '\0') expected.push_back(row.message);
    EXPECT_EQ(vt::messages(), expected);
    // A failed open must not keep the line: with the device back, the next open succeeds.
    releaseSerialPort();
    vt::attach("COM1:", &device);
    EXPECT_TRUE(lineFree());
    EXPECT_TRUE(nothingLeft());
}

INSTANTIATE_TEST_SUITE_P(Each, OpenSerialPort,
                         ::testing::Values(OpenCase{"Opens", true, std::nullopt, true, ""},
                                           OpenCase{"NoDevice", false, std::nullopt, false,
                                                    "Error: Unable to open the port"},
                                           OpenCase{"NotConfigured", true, vt::Failure::SerialConfigure, false,
                                                    "Error: Unable to configure the serial port"},
                                           OpenCase{"NoTimeouts", true, vt::Failure::SerialTimeouts, false,
                                                    "Error: Unable to set the time-out parameters"}),
                         [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

struct ReleaseCase {
    const char* name;
    bool serialPort;
    bool endpoints;
    bool clients;  // a client connected on each endpoint
    int releases;
};

void PrintTo(const ReleaseCase& row, std::ostream* out) { *out << row.name; }

class Release : public ProgramObjectsTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(Release, LeavesNoObjectNoHeldLineAndNoListeningPort) {
    const ReleaseCase& row = GetParam();
    if (row.serialPort) {
        ASSERT_TRUE(openSerialPort());
    }
    if (row.endpoints) {
        ASSERT_TRUE(makeEndpoints());
        EXPECT_EQ(control.commandEndpoint->port, 5000);
        EXPECT_EQ(control.imageEndpoint->port, 5001);
        EXPECT_EQ(control.trackingEndpoint->port, 5002);
        EXPECT_TRUE(waitUntil([] { return vt::listening(5000) && vt::listening(5001) && vt::listening(5002); }));
    }
    if (row.clients) {
        for (uint16_t port : {5000, 5001, 5002}) ASSERT_GE(vt::connectClient(port), 0) << port;
        ASSERT_TRUE(waitUntil([] {
            return control.commandEndpoint->connected.load() && control.imageEndpoint->connected.load() &&
                   control.trackingEndpoint->connected.load();
        }));
    }
    for (int i = 0; i < row.releases; ++i) releaseProgramObjects();
    EXPECT_TRUE(nothingLeft());
    EXPECT_FALSE(anyListening());
    EXPECT_TRUE(lineFree());
    // The endpoints' ports can be taken again.
    ASSERT_TRUE(makeEndpoints());
    EXPECT_TRUE(waitUntil([] { return vt::listening(5000) && vt::listening(5001) && vt::listening(5002); }));
}

INSTANTIATE_TEST_SUITE_P(Each, Release,
                         ::testing::Values(ReleaseCase{"Nothing", false, false, false, 1},
                                           ReleaseCase{"OnlyThePort", true, false, false, 1},
                                           ReleaseCase{"OnlyTheEndpoints", false, true, false, 1},
                                           ReleaseCase{"EverythingServing", true, true, true, 1},
                                           ReleaseCase{"EverythingServingTwice", true, true, true, 2},
                                           ReleaseCase{"OnlyThePortTwice", true, false, false, 2}),
                         [](const ::testing::TestParamInfo<ReleaseCase>& info) {
                             return std::string(info.param.name);
                         });

// Shutdown releases the port alone; the endpoints stay (and stay closed or listening as they were)
// until the end of the process.
TEST_F(ProgramObjectsTest, ThePortAndTheEndpointsAreReleasedApart) {
    ASSERT_TRUE(openSerialPort());
    ASSERT_TRUE(makeEndpoints());
    releaseSerialPort();
    EXPECT_EQ(control.serialPort, nullptr);
    ASSERT_NE(control.commandEndpoint, nullptr);
    EXPECT_TRUE(vt::listening(5000));
    releaseEndpoints();
    EXPECT_TRUE(nothingLeft());
    EXPECT_FALSE(anyListening());
}

}  // namespace
