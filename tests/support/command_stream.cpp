#include "tests/support/command_stream.h"

#include <vector>

#include "app/control_state.h"
#include "app/halvoran.h"
#include "app/program_objects.h"
#include "link/channel.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "sim/robot.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"

namespace testing_support {

struct CommandStream::Parts {
    sim::Config config() {
        sim::Config c;
        c.traceLimit = 0;  // a fuzzer runs for hours: keep no trace
        return c;
    }
    sim::Robot robot{config()};
    SimFarEnd far{robot};
    Deframer deframer;
    int command = -1, image = -1, tracking = -1;
};

CommandStream::CommandStream() : parts_(std::make_unique<Parts>()) {
    vt::reset(30, 0);
    resetControlState();
    vt::attach("COM1:", &parts_->far);
    openSerialPort();
    makeEndpoints();
    parts_->command = vt::connectClient(5000);
    parts_->image = vt::connectClient(5001);
    parts_->tracking = vt::connectClient(5002);
    waitUntil([] {
        return control.commandEndpoint->connected.load() && control.imageEndpoint->connected.load() &&
               control.trackingEndpoint->connected.load();
    });
    startupSwitch();
}

CommandStream::~CommandStream() {
    releaseProgramObjects();
    resetControlState();
}

void CommandStream::run(const uint8_t* data, size_t size) {
    control.quitRequested.store(false);
    vt::clientSend(parts_->command, std::vector<uint8_t>(data, data + size));
    // At most 1000 bytes a pass are taken; the rest waits in the connection.
    size_t passesNeeded = size / 1000 + 2;
    for (size_t i = 0; i < passesNeeded + 8; ++i) {
        ++passes_;
        if (!mainLoopPass(parts_->deframer)) break;
        vt::advanceMs(7);
    }
    vt::clearTrace();
    vt::clientDiscardReceived(parts_->command);
    vt::clientDiscardReceived(parts_->image);
    vt::clientDiscardReceived(parts_->tracking);
}

}  // namespace testing_support
