// The operations that Halvoran needs from the operating system, and nothing more.
//
// Two libraries implement this header and one of them is chosen at link time:
//   platform_posix    the real machine: termios serial lines, BSD sockets, the wall clock,
//                     real sleeps, message boxes on standard error (or a dialog with a display)
//   platform_virtual  unit tests: pauses advance a virtual clock at once, serial lines and
//                     sockets end in the test's own models (see virtual/virtual_time.h)
// The system's code calls these functions directly; there are no virtual calls on its paths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- time ------------------------------------------------------------------------------

// Pause the calling thread. A pause of 0 only gives the processor away.
void sleepMs(uint32_t ms);

// The local time as the clock shows it; only minute and second are used by the system.
struct SystemTime {
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
};
void getLocalTime(SystemTime& out);
// Microseconds until the seconds of the local time change (1 to 1000000), rounded up: a wait of
// this length ends with the next second showing, not up to a millisecond after it.
uint32_t usToNextSecond();

// A monotonic reading in microseconds, for measurements and bounded waits (not for stamps).
uint64_t monotonicUs();

// ---- threads ---------------------------------------------------------------------------

using ThreadProc = uint32_t (*)(void* arg);

// A thread that its owner waits for before the owner's memory goes.
struct ThreadHandle {
    void* impl = nullptr;
};

// Start a thread running proc(arg). With join == nullptr the thread is detached at once;
// otherwise *join receives a handle for joinThread. Returns false when no thread started.
bool startThread(ThreadProc proc, void* arg, ThreadHandle* join);
void joinThread(ThreadHandle& handle);

// ---- real-time scheduling -------------------------------------------------------------

// What the start-up uses when the deployment asks for a real-time control loop. Every call
// that can be refused returns false with the errno value in *error (error may be nullptr).

// Locks every page of the process in memory, those mapped now and those mapped later, so that
// no page fault waits for the disk; the allocator keeps what it has instead of giving it back.
// Threads started afterwards get a stack of a fixed, modest size (every page of it is locked).
bool lockMemory(int* error);
// Touches `bytes` of the calling thread's stack below the caller, so that its pages are present.
void prefaultStack(size_t bytes);
// The longest a real-time thread may run without blocking: past softUs it is sent SIGXCPU, past
// hardUs it is killed (RLIMIT_RTTIME). A limit already lower is kept.
bool limitRealtimeCpu(uint64_t softUs, uint64_t hardUs, int* error);
// The calling thread runs first-in first-out at `priority` (1-99) from now on, or at normal
// priority with 0. Threads and processes that it starts afterwards begin at normal priority.
bool setThreadPriority(int priority, int* error);
// The real-time priority that serial reader threads take as they start (0, the default: they
// run at normal priority). enterReaderPriority is the first call of a reader thread: a reader
// started by a real-time thread (the main loop's) takes that priority (a refusal leaves it at
// normal priority, said in one line) and pre-faults its stack; the readers of threads at normal
// priority (the menu mode's) stay at normal priority.
void setReaderPriority(int priority);
void enterReaderPriority();

// ---- message boxes and the kill prompt -------------------------------------------------

// A modal message box with an OK button and no owner window; returns when it is dismissed.
// Headless, it is one line "Caption: text" on standard error and returns at once.
void messageBox(const char* text, const char* caption);

// Shows the prompt and returns when the user confirms it (headless: on SIGINT, SIGTERM or
// SIGHUP), or on SIGXCPU, the CPU-time guard of a real-time thread, in every case. Called on the
// kill thread; it may never return.
void killPrompt(const char* text, const char* caption);

// The program is ending: every box still on screen is closed as if its OK were pressed, and
// later boxes are only the line on standard error, so that no thread that shows a box holds the
// end (a thread that the program waits for may be in one). The kill prompt is left alone.
void endMessageBoxes();

// One line on standard error (the journal, under a service manager), with or without a display:
// for what the program says about itself that asks nobody to press OK.
void logLine(const char* text);

// Process-wide preparation before any thread starts (signal handling for the kill prompt,
// SIGPIPE ignored). Called once at the process entry.
void initProcess();

// A box of a thread other than the main thread is shown by a helper: the program itself, started
// with a private option. The process entry asks first whether it is such a helper (argc and argv
// as main received them) and, if so, hands over to runDialogHelper, which shows the box and ends
// the process (0 when OK was pressed).
bool isDialogHelper(int argc, char** argv);
[[noreturn]] void runDialogHelper(int argc, char** argv);

// ---- serial line -----------------------------------------------------------------------

// Events that the reader thread waits for (the masks of the reader thread use these bits).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_RING = 0x0100;

struct SerialLine;  // an opened device; nullptr is the invalid-handle value

struct SerialTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

// Opens the device that the port name ("COM1:", "COM2:") stands for, for exclusive reading
// and writing. nullptr when it does not open or is already held.
SerialLine* serialOpen(const char* portName);
// 115200 baud, 8 data bits, no parity, one stop bit, raw, no flow control, DTR and RTS low.
bool serialConfigure(SerialLine* line);
bool serialSetTimeouts(SerialLine* line, const SerialTimeouts& timeouts);
bool serialSetEventMask(SerialLine* line, uint32_t mask);
// Blocks until one of the masked events occurs; *events receives them (possibly none, after
// a hang-up of the device or an interrupt). Returns false once the line is interrupted.
bool serialWaitEvent(SerialLine* line, uint32_t* events);
// Reads one byte, giving up after the read time-outs; returns the count read, 0 or 1.
int serialReadByte(SerialLine* line, uint8_t* byte);
// Writes one byte; false when it could not be written within the write time-outs.
bool serialWriteByte(SerialLine* line, uint8_t byte);
// Ends a pending serialWaitEvent and every later one on this line.
void serialInterrupt(SerialLine* line);
// Releases the device. No other call on the line may run or follow.
void serialClose(SerialLine* line);
// Whether the last read on the line found the device gone (end of file or an I/O error: a USB
// adapter pulled out, the far end of a pseudo-terminal closed), until the next wait. Read it on
// the thread that reads, right after a read that returned 0.
bool serialHungUp(SerialLine* line);

// ---- TCP -------------------------------------------------------------------------------

using Socket = int;
constexpr Socket INVALID_SOCKET_VALUE = -1;

// The error code of the last failed socket call on this thread (errno values).
int lastSocketError();

Socket tcpSocket();
// Binds to all local addresses with SO_REUSEADDR (a port held by a listener still fails).
bool tcpBind(Socket s, uint16_t port);
bool tcpListen(Socket s, int backlog);
// Blocks until a client arrives; INVALID_SOCKET_VALUE on failure or after tcpWakeAccept.
Socket tcpAccept(Socket listenSocket);
// Makes a pending and every later tcpAccept on this socket return.
void tcpWakeAccept(Socket listenSocket);
// Non-blocking mode and TCP_NODELAY on an accepted client.
bool tcpSetNonBlocking(Socket s);
// How an accepted client that vanishes without closing (its link dropped: no FIN, no RST) is
// noticed: keepalive probes after keepAliveIdleS seconds without traffic, then one every
// keepAliveIntervalS seconds, keepAliveProbes of them; and data left unacknowledged for
// userTimeoutMs drops the connection too. A receive then fails with ETIMEDOUT (or the ICMP
// error that came back).
struct TcpLiveness {
    uint32_t keepAliveIdleS = 0;
    uint32_t keepAliveIntervalS = 0;
    uint32_t keepAliveProbes = 0;
    uint32_t userTimeoutMs = 0;
};
// Applies the liveness settings to a connected socket; false when one of them was refused.
bool tcpWatchPeer(Socket s, const TcpLiveness& liveness);
// One receive that never waits: >0 bytes, 0 when the peer closed, -1 with lastSocketError.
long tcpRecv(Socket s, uint8_t* buffer, size_t length);
// Hands every byte to the socket, waiting for room at most timeoutMs in all; never raises
// SIGPIPE. Returns the number of bytes handed over.
size_t tcpSendAll(Socket s, const uint8_t* data, size_t length, uint32_t timeoutMs);
void tcpCloseSocket(Socket s);

// ---- waiting for work ------------------------------------------------------------------

// A pass of the main loop that finds nothing to do waits here instead of starting the next pass
// at once. The wait ends at the first of: bytes, a hang-up or a reset on one of the sockets
// (invalid ones are left out); a wake-up from any thread (the serial reader thread when it has
// stored a byte, the kill thread when the program is to end); timeoutUs microseconds (negative:
// no limit), so that a wait can end right at the change of the clock's second.
// A wake-up given while nobody waits ends the next wait at once, so that none is lost. True
// when something happened, false when the time ran out.
// Benchmark aid: with HALVORAN_SPIN_LOOP=1 in the environment the posix wait returns false at
// once, and the main loop spins as it would without waits.
bool waitForWork(const Socket* sockets, int count, int64_t timeoutUs);
void wakeMainLoop();

}  // namespace platform
