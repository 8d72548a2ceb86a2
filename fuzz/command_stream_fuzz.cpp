// libFuzzer target: any bytes on the command port, through the main loop, the deframer, the
// dispatcher and every command handler, against the simulated robot in virtual time.
#include <cstddef>
#include <cstdint>

#include "tests/support/command_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static testing_support::CommandStream* stream = new testing_support::CommandStream();
    stream->run(data, size);
    return 0;
}
