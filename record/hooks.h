// What the program tells the flight recorder, one call per place: a byte written to or read
// from a serial line, bytes received or sent on a port, and the session's events. Each call
// does nothing while recording is off (HALVORAN_RECORD_DIR unset). While it is on, the call
// stamps the monotonic time and puts one record into a preallocated queue; it never allocates,
// locks or enters the kernel on the main thread and the serial reader. When a queue is full the
// record is dropped and counted, and the caller goes on.
#pragma once

#include <cstdint>

namespace record {

enum class Event : uint8_t {
    SessionStart = 1,  // a client session began
    SessionEnd,        // the session ended (value: the program's reason, if any)
    ConnectionLost,    // a port's client went away (value: the port)
    TimeoutFired,      // an idle time-out stopped something (value: what, see below)
    StopSent,          // a drive stop went down the line
};
// The values of TimeoutFired.
constexpr int32_t TIMEOUT_DRIVE = 1;
constexpr int32_t TIMEOUT_SERVO = 10;  // plus the servo channel: 10, 11, 12

// The serial reader thread of a line: one byte it stored.
void serialRead(const char* portName, uint8_t byte);
// Any other thread: one byte written to a line.
void serialWritten(const char* portName, uint8_t byte);
// Bytes received from or sent to a port's client (count <= 0: nothing).
void portReceived(int port, const uint8_t* bytes, int count);
void portSent(int port, const uint8_t* bytes, int count);
void event(Event what, int32_t value = 0);

}  // namespace record
