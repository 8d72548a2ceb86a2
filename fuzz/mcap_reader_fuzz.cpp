// libFuzzer target: any bytes as an MCAP file, through the reader (records, chunks, zstd, CRCs).
// Start it from the golden recordings: build-fuzz/fuzz/fuzz_mcap_reader CORPUS tests/replay
#include <cstddef>
#include <cstdint>

#include "record/mcap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mcap::ReadResult r = mcap::readBuffer(data, size);
    // Whatever was read must be whole: every message names a channel that was read.
    for (const mcap::ReadMessage& m : r.messages) {
        if (r.channelOf(m) == nullptr) __builtin_trap();
    }
    return 0;
}
