// A far end of a virtual serial line whose answers a test scripts byte by byte.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/virtual/virtual_time.h"

namespace testing_support {

class ScriptedDevice : public vt::FarEnd {
public:
    // Bytes that go on the line at virtual time atUs (or at once, time 0).
    void sendAt(uint64_t atUs, const std::vector<uint8_t>& bytes);
    // An answer given delayUs after every byte for which rule(received so far) says so.
    using Rule = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& received)>;
    void answer(Rule rule, uint64_t delayUs = 1000);

    std::vector<uint8_t> received() const;

    void fromHost(uint8_t byte, uint64_t tUs) override;
    bool toHost(uint64_t nowUs, uint8_t& byte) override;

private:
    mutable std::mutex lock_;
    std::vector<uint8_t> received_;
    std::deque<std::pair<uint64_t, uint8_t>> pending_;
    Rule rule_;
    uint64_t delayUs_ = 0;
};

// A drive module that answers every read-back of drive parameter 0 with 0, 0 (stopped), and
// nothing else: the answer that confirms a stop.
ScriptedDevice::Rule driveReadsStopped();

}  // namespace testing_support
