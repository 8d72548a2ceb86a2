#include "tests/support/virtual_program.h"

#include "app/control_state.h"
#include "app/halvoran.h"
#include "app/program_objects.h"
#include "tests/support/virtual_system.h"

namespace testing_support {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool robotStoppedLast() { return endsWith(hex(vt::written("COM1:")), kShutdownBytes); }

int connectWhenListening(uint16_t port) {
    int client = -1;
    waitUntil([&] { return (client = vt::connectClient(port)) >= 0; });
    return client;
}

VirtualProgram::VirtualProgram(vt::FarEnd* com1, int minute, int second) {
    vt::reset(minute, second);
    resetControlState();
    vt::attach("COM1:", com1);
}

VirtualProgram::~VirtualProgram() {
    if (client_.joinable()) client_.join();
    // The program keeps its endpoints for the whole run; the test releases them.
    releaseProgramObjects();
    resetControlState();
}

int VirtualProgram::run(std::function<void()> script) {
    client_ = std::thread(std::move(script));
    int exitCode = WinMain(1);
    client_.join();
    return exitCode;
}

void VirtualProgram::connectAll() {
    command = connectWhenListening(5000);
    image = connectWhenListening(5001);
    tracking = connectWhenListening(5002);
}

std::vector<std::vector<uint8_t>> VirtualProgram::commandReplies() const {
    return decodeReplies(vt::clientReceived(command));
}

}  // namespace testing_support
