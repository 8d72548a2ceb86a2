// libFuzzer target: the serial side. Valid client commands run through the main loop while the
// simulated modules and camera misbehave and arbitrary bytes arrive on the line (replies nobody
// asked for, camera stream bytes); nothing may crash, and once the drive timeout has passed with
// nobody sending, the drive must stand.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/serial_side_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const testing_support::SerialSideOutcome outcome = testing_support::runSerialSide(data, size);
    if (!outcome.driveStopped) {
        std::fprintf(stderr, "the drive did not stop: %s\n", outcome.detail.c_str());
        std::abort();
    }
    return 0;
}
