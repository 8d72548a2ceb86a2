// The virtual-time world that unit tests run the system's code in.
//
// Linking platform_virtual instead of platform_posix gives the system these behaviours:
// - a pause on the clock thread (the thread that called vt::reset) advances the virtual
//   clock at once and is recorded in the trace; a pause on any other thread only yields;
// - the clock reading is the virtual clock added to a settable start (minute 59, second 58);
// - a serial line ends in a FarEnd given by the test: every byte written is recorded with
//   its virtual time and handed to it, and what it sends becomes readable when the virtual
//   clock reaches the byte's time (delivered at the end of the pause that reaches it, and
//   stored in the port's ring by its reader thread before the pause returns);
// - TCP sockets live in memory: a test connects a client to a port, sends to the system,
//   and reads what the system sent, with the virtual time of each send;
// - message boxes are recorded, and the kill prompt waits for vt::confirmKillPrompt;
// - the main loop's wait ends on the events of the world (see waitsMoveTime).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vt {

// The device at the far end of a virtual serial line.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // A byte that the system wrote on the line, at virtual time tUs.
    virtual void fromHost(uint8_t byte, uint64_t tUs) = 0;
    // The next byte that the far end puts on the line at or before nowUs, if any.
    virtual bool toHost(uint64_t nowUs, uint8_t& byte) = 0;
};

// A fresh world: virtual time 0, clock at the given minute and second, empty trace, no
// lines attached, no sockets, no failures planned. The calling thread becomes the clock
// thread. Call it before the system's objects are created.
void reset(int minute = 10, int second = 0);

uint64_t nowUs();
uint64_t nowMs();
// Set the clock reading (minute and second of the hour, and intoSecondUs microseconds into that
// second) as of now.
void setClock(int minute, int second, uint32_t intoSecondUs = 0);
// Advance the virtual clock as a pause of the clock thread would (recorded in the trace).
void advanceMs(uint32_t ms);

// ---- serial ----------------------------------------------------------------------------

// The far end of the device that a port name opens; not owned. nullptr: the port does not
// exist, so it fails to open.
void attach(const char* portName, FarEnd* farEnd);
// Move every byte that the far end has due by now onto the line and wait until the reader
// thread has stored it (what every pause does at its end).
void deliverDue();
// Raise modem-line events (CTS, DSR, RLSD, RING bits of platform.h) on an open line and wait
// until its reader thread has taken them.
void raiseLineEvents(const char* portName, uint32_t events);
// Plan a failure of the next serial configuration, time-out setting or thread start.
enum class Failure { SerialConfigure, SerialTimeouts, ThreadStart, Bind, Listen, Accept };
void failNext(Failure failure);

// ---- trace -----------------------------------------------------------------------------

struct TraceEntry {
    enum Kind { Write, Pause };
    Kind kind;
    uint64_t timeUs;
    uint8_t byte;      // Write: the byte written
    uint32_t ms;       // Pause: its length
    std::string port;  // Write: the port name
};
std::vector<TraceEntry> trace();
void clearTrace();
// The trace in a compact text: writes as two hex digits, pauses as "(10)", separated by
// single spaces, e.g. "5C 32 (10) 04 02 3D 01 (10)". Pauses of 0 ms are left out.
std::string traceText();
// The bytes written to a port, in order.
std::vector<uint8_t> written(const char* portName);

// ---- sockets ---------------------------------------------------------------------------

// Connect a virtual client to a listening port: the next accept on it returns. Returns an
// id for the calls below, or -1 when nobody listens on the port.
int connectClient(uint16_t port);
// Whether the system listens on the port (a client could connect now).
bool listening(uint16_t port);
// Bytes that the client sends to the system, readable by its next receives.
void clientSend(int client, const std::vector<uint8_t>& bytes);
// Forgets what the system has sent to the client so far (long runs keep memory bounded).
void clientDiscardReceived(int client);
// The client closes (the system's receive then sees 0) or resets (ECONNRESET).
void clientClose(int client);
void clientReset(int client);
// The client's link is gone without a FIN or RST (what the keepalive probes or the user
// timeout then report): the system's receives fail with `error` (ETIMEDOUT, EHOSTUNREACH...).
void clientVanish(int client, int error);
// The liveness settings that the system applied to its socket of this client; false when none.
bool clientWatched(int client, platform::TcpLiveness& out);
// Everything the system has sent to the client so far, and each send with its time.
std::vector<uint8_t> clientReceived(int client);
struct Send {
    uint64_t timeUs;
    std::vector<uint8_t> bytes;
};
std::vector<Send> clientSends(int client);

// ---- the main loop's wait -------------------------------------------------------------

// Off (the default), a wait of the main loop leaves the clock alone: it ends on client bytes, a
// hang-up, a wake-up, or when a test moves or sets the clock, as an idle loop would see the
// world. On, a wait with a time limit moves the virtual clock to it at once (delivering the far
// ends' bytes on the way, and ending early when one is stored), as if that time passed idly.
void waitsMoveTime(bool on);
// Whether the main loop is in a wait now, and how many waits it has begun since vt::reset.
bool mainLoopWaiting();
uint64_t mainLoopWaits();

// ---- real-time scheduling -------------------------------------------------------------

// Every real-time call of the platform since vt::reset, in order, as text: "lockMemory",
// "prefaultStack 524288", "limitRealtimeCpu 500000 1000000", "setThreadPriority 11",
// "setReaderPriority 11", "enterReaderPriority"; a call made on a thread other than the clock
// thread starts with "thread: ". A refused call ends with " refused".
std::vector<std::string> realtimeCalls();
// What the machine grants (until the next vt::reset): thread priorities up to maxPriority (0:
// none; above it setThreadPriority fails with EPERM), and lockMemory fails with memoryError
// unless it is 0.
void grantRealtime(int maxPriority, int memoryError);
// The lines of logLine since vt::reset.
std::vector<std::string> logLines();

// ---- message boxes ---------------------------------------------------------------------

// Every message box shown so far, as "Caption: text".
std::vector<std::string> messages();
// Confirm the kill prompt: a pending or later killPrompt returns.
void confirmKillPrompt();

}  // namespace vt
