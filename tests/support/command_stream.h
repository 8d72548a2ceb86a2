// Arbitrary bytes on the command port, run through the main loop as a client would send them,
// against the simulated robot in virtual time. The fuzz target and its unit-test companion use
// it to show that no input makes the system read or write outside a buffer, crash or hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace testing_support {

class CommandStream {
public:
    CommandStream();
    ~CommandStream();
    CommandStream(const CommandStream&) = delete;
    CommandStream& operator=(const CommandStream&) = delete;

    // Sends the bytes on the command port and runs main-loop passes until they are taken, then a
    // few idle passes with time going on (tracking steps, idle time-outs). A quit escape ends the
    // run early; the next run starts serving again.
    void run(const uint8_t* data, size_t size);
    // Main-loop passes run so far (a progress measure for tests).
    uint64_t passes() const { return passes_; }

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    uint64_t passes_ = 0;
};

}  // namespace testing_support
