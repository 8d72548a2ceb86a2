// The serial side under attack: valid client commands run through the main loop in virtual
// time while the simulated robot's modules and camera misbehave (silent, slow, garbling,
// dropping replies) and arbitrary bytes are put on the line towards Halvoran (module replies and
// camera stream bytes that nobody asked for), bytes are lost on their way to and from the
// modules, the line hangs up and comes back, and pass-throughs carry the channel switch's escape
// byte. The input bytes are read as a small program of such steps. Afterwards nothing is sent
// for longer than any drive timeout the commands set, then a second more with the byte loss
// over, and the drive must then be standing.
//
// Used by the libFuzzer target fuzz/serial_side_fuzz.cpp and by a seeded short run in the unit
// suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testing_support {

struct SerialSideOutcome {
    bool driveStopped = true;  // the simulated drive stands once the timeout has passed
    uint32_t commands = 0;     // client commands sent
    uint32_t injected = 0;     // bytes put on the line towards Halvoran
    std::string detail;        // what the drive did, when it did not stop
};

// Runs one input in a fresh virtual world with a fresh simulated robot.
SerialSideOutcome runSerialSide(const uint8_t* data, size_t size);

}  // namespace testing_support
