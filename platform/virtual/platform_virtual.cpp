// The virtual-time platform that unit tests link instead of the posix one.
//
// One lock guards the whole virtual world. The clock thread (the test's thread) owns time:
// its pauses advance the clock, and at the end of each pause the bytes that the far ends have
// due are put on their lines and the pause waits until every reader thread has stored them.
// A thread started from the clock thread is waited for until it first blocks (in a serial
// wait, an accept, a pause or the kill prompt) or ends, so that what a test sees right after
// constructing an object does not depend on how the threads were scheduled.
#include "platform/platform.h"
#include "platform/virtual/virtual_time.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

struct SerialLine {
    std::string port;
    vt::FarEnd* farEnd = nullptr;
    std::deque<uint8_t> arrived;  // on the wire, readable by the reader thread
    uint32_t mask = 0;
    uint32_t lineEvents = 0;  // modem-line events raised by a test
    bool interrupted = false;
    bool readerPresent = false;  // a reader thread has set its event mask
    bool readerWaiting = false;  // ...and is blocked in serialWaitEvent
};

}  // namespace platform

namespace {

using platform::SerialLine;
using Clock = std::chrono::steady_clock;

// A wait of the clock thread for other threads that takes longer than this is a fault of the
// code under test (a reader that never comes back); the test run stops with a clear message.
constexpr auto kSettleLimit = std::chrono::seconds(20);

struct Client {
    uint16_t port = 0;
    int systemSocket = -1;  // the accepted socket, once accepted
    std::deque<uint8_t> toSystem;
    bool closed = false;
    bool reset = false;
    int vanishedError = 0;  // non-zero: the link is gone, receives fail with this
    bool watched = false;   // the system applied liveness settings to its socket
    platform::TcpLiveness liveness;
    bool systemClosed = false;
    std::vector<vt::Send> sends;
};

struct VSocket {
    int generation = 0;  // the world (vt::reset) it was made in
    uint16_t port = 0;
    bool bound = false;
    bool listening = false;
    bool woken = false;
    std::deque<int> pendingClients;  // ids of clients waiting to be accepted
    int client = -1;                 // an accepted connection: its client's id
};

struct World {
    std::mutex lock;
    std::condition_variable changed;
    std::thread::id clockThread;
    uint64_t nowUs = 0;
    int64_t clockBaseSeconds = 600;  // seconds of the day at clockBaseUs
    uint64_t clockBaseUs = 0;
    uint32_t clockBaseSubUs = 0;  // microseconds into the second at clockBaseUs
    std::vector<vt::TraceEntry> trace;
    std::map<std::string, vt::FarEnd*> farEnds;
    std::vector<SerialLine*> lines;  // open lines
    std::vector<vt::Failure> planned;
    std::map<int, VSocket> sockets;
    std::map<int, std::unique_ptr<Client>> clients;
    int nextSocket = 100;
    int nextClient = 1;
    std::vector<std::string> messages;
    bool killConfirmed = false;
    int generation = 0;  // counts vt::reset calls
    int pendingStarts = 0;
    // The main loop's wait: a wake-up not yet taken, changes of the clock made by others, and
    // whether waits move the clock on by themselves.
    bool wakePending = false;
    uint64_t clockChanges = 0;
    bool waitsMoveTime = false;
    bool waiting = false;
    uint64_t waitsStarted = 0;
    // Real-time calls and what the machine grants.
    std::vector<std::string> realtimeCalls;
    int maxPriority = 99;
    int memoryError = 0;
    int readerPriority = 0;
    std::vector<std::string> logLines;
};

World& world() {
    static World* instance = new World;  // never destroyed: threads may outlive main
    return *instance;
}

thread_local bool threadSettled = true;
thread_local bool realtimeThread = false;     // setThreadPriority gave this thread a priority
thread_local bool startedByRealtime = false;  // the thread that started this one had one
thread_local int socketError = 0;

bool takePlanned(World& w, vt::Failure failure) {
    auto it = std::find(w.planned.begin(), w.planned.end(), failure);
    if (it == w.planned.end()) return false;
    w.planned.erase(it);
    return true;
}

void settleLocked(World& w) {
    if (threadSettled) return;
    threadSettled = true;
    --w.pendingStarts;
    w.changed.notify_all();
}

template <typename Predicate>
void waitOrDie(World& w, std::unique_lock<std::mutex>& hold, Predicate done, const char* what) {
    if (!w.changed.wait_for(hold, kSettleLimit, done)) {
        std::fprintf(stderr, "virtual time: gave up waiting for %s\n", what);
        std::abort();
    }
}

bool onClockThread(const World& w) { return std::this_thread::get_id() == w.clockThread; }

// Puts every due byte of every far end on its line and waits until the readers have it.
void deliverDueLocked(World& w, std::unique_lock<std::mutex>& hold) {
    bool any = false;
    for (SerialLine* line : w.lines) {
        if (line->farEnd == nullptr || line->interrupted) continue;
        uint8_t byte = 0;
        while (line->farEnd->toHost(w.nowUs, byte)) {
            line->arrived.push_back(byte);
            any = true;
        }
    }
    if (!any) return;
    w.changed.notify_all();
    waitOrDie(
        w, hold,
        [&w] {
            for (SerialLine* line : w.lines) {
                if (!line->readerPresent || line->interrupted) continue;
                if (!line->arrived.empty() || !line->readerWaiting) return false;
            }
            return true;
        },
        "a serial reader thread to store the bytes that arrived");
}

void advanceLocked(World& w, std::unique_lock<std::mutex>& hold, uint32_t ms) {
    w.nowUs += static_cast<uint64_t>(ms) * 1000;
    if (ms > 0) w.trace.push_back({vt::TraceEntry::Pause, w.nowUs - ms * 1000ULL, 0, ms, {}});
    deliverDueLocked(w, hold);
}

Client* clientOf(World& w, int socket) {
    auto it = w.sockets.find(socket);
    if (it == w.sockets.end() || it->second.client < 0) return nullptr;
    auto c = w.clients.find(it->second.client);
    return c == w.clients.end() ? nullptr : c->second.get();
}

}  // namespace

// ---- the platform as the system sees it ---------------------------------------------------

namespace platform {

void sleepMs(uint32_t ms) {
    World& w = world();
    {
        std::unique_lock<std::mutex> hold(w.lock);
        if (onClockThread(w)) {
            advanceLocked(w, hold, ms);
            return;
        }
        settleLocked(w);
    }
    // Other threads (accept threads, the reader's yield) pause briefly in real time.
    if (ms == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 2)));
    }
}

// Microseconds that the clock shows since the whole second of clockBaseSeconds.
uint64_t clockElapsedUs(const World& w) { return w.nowUs - w.clockBaseUs + w.clockBaseSubUs; }

void getLocalTime(SystemTime& out) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    const uint64_t elapsedUs = clockElapsedUs(w);
    int64_t seconds = w.clockBaseSeconds + static_cast<int64_t>(elapsedUs / 1000000ULL);
    out.wHour = static_cast<uint16_t>((seconds / 3600) % 24);
    out.wMinute = static_cast<uint16_t>((seconds / 60) % 60);
    out.wSecond = static_cast<uint16_t>(seconds % 60);
    out.wMilliseconds = static_cast<uint16_t>((elapsedUs / 1000) % 1000);
}

uint32_t usToNextSecond() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return static_cast<uint32_t>(1000000 - clockElapsedUs(w) % 1000000);
}

uint64_t monotonicUs() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.nowUs;
}

bool startThread(ThreadProc proc, void* arg, ThreadHandle* join) {
    World& w = world();
    bool fromClock = false;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (takePlanned(w, vt::Failure::ThreadStart)) return false;
        ++w.pendingStarts;
        fromClock = onClockThread(w);
    }
    std::thread* thread = new std::thread([proc, arg, fromRealtime = realtimeThread] {
        threadSettled = false;
        startedByRealtime = fromRealtime;
        proc(arg);
        World& inner = world();
        std::lock_guard<std::mutex> hold(inner.lock);
        settleLocked(inner);
    });
    if (join == nullptr) {
        thread->detach();
        delete thread;
    } else {
        join->impl = thread;
    }
    if (fromClock) {
        std::unique_lock<std::mutex> hold(w.lock);
        waitOrDie(
            w, hold, [&w] { return w.pendingStarts == 0; }, "a new thread to settle");
    }
    return true;
}

void joinThread(ThreadHandle& handle) {
    if (handle.impl == nullptr) return;
    std::thread* thread = static_cast<std::thread*>(handle.impl);
    thread->join();
    delete thread;
    handle.impl = nullptr;
}

void messageBox(const char* text, const char* caption) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.messages.push_back(std::string(caption) + ": " + text);
}

void killPrompt(const char* text, const char* caption) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    w.messages.push_back(std::string(caption) + ": " + text);
    // A prompt of an earlier test's world is never answered: it must not end a later test's run.
    int generation = w.generation;
    settleLocked(w);
    w.changed.wait(hold, [&w, generation] { return w.killConfirmed && w.generation == generation; });
}

void logLine(const char* text) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.logLines.push_back(text);
}

void initProcess() {}

// Boxes here are recorded and return at once: none is ever left on screen to end.
void endMessageBoxes() {}

// ---- real-time scheduling ----

namespace {
void recordRealtime(World& w, const std::string& call) {
    w.realtimeCalls.push_back((onClockThread(w) ? "" : "thread: ") + call);
}
bool refuseRealtime(World& w, int error, int* out) {
    w.realtimeCalls.back() += " refused";
    if (out != nullptr) *out = error;
    return false;
}
}  // namespace

bool lockMemory(int* error) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    recordRealtime(w, "lockMemory");
    if (w.memoryError != 0) return refuseRealtime(w, w.memoryError, error);
    return true;
}

void prefaultStack(size_t bytes) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    recordRealtime(w, "prefaultStack " + std::to_string(bytes));
}

bool limitRealtimeCpu(uint64_t softUs, uint64_t hardUs, int*) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    recordRealtime(w, "limitRealtimeCpu " + std::to_string(softUs) + " " + std::to_string(hardUs));
    return true;
}

bool setThreadPriority(int priority, int* error) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    recordRealtime(w, "setThreadPriority " + std::to_string(priority));
    if (priority > w.maxPriority) return refuseRealtime(w, EPERM, error);
    realtimeThread = priority > 0;
    return true;
}

void setReaderPriority(int priority) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    recordRealtime(w, "setReaderPriority " + std::to_string(priority));
    w.readerPriority = priority;
}

// As on the real machine: the reader takes the priority and touches its stack.
void enterReaderPriority() {
    int priority = 0;
    {
        World& w = world();
        std::lock_guard<std::mutex> hold(w.lock);
        recordRealtime(w, "enterReaderPriority");
        priority = w.readerPriority;
    }
    if (priority <= 0 || !startedByRealtime) return;
    setThreadPriority(priority, nullptr);
    prefaultStack(128 * 1024);
}

// ---- serial ----

SerialLine* serialOpen(const char* portName) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.farEnds.find(portName);
    if (it == w.farEnds.end() || it->second == nullptr) return nullptr;
    for (SerialLine* line : w.lines) {
        if (line->port == portName) return nullptr;  // held exclusively
    }
    SerialLine* line = new SerialLine;
    line->port = portName;
    line->farEnd = it->second;
    w.lines.push_back(line);
    return line;
}

bool serialConfigure(SerialLine* line) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return line != nullptr && !takePlanned(w, vt::Failure::SerialConfigure);
}

bool serialSetTimeouts(SerialLine* line, const SerialTimeouts&) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return line != nullptr && !takePlanned(w, vt::Failure::SerialTimeouts);
}

bool serialSetEventMask(SerialLine* line, uint32_t mask) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    if (line == nullptr) return false;
    line->mask = mask;
    line->readerPresent = true;
    return true;
}

bool serialWaitEvent(SerialLine* line, uint32_t* events) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    *events = 0;
    for (;;) {
        if (line->interrupted) return false;
        uint32_t raised = line->lineEvents & line->mask;
        line->lineEvents = 0;
        if (!line->arrived.empty() && (line->mask & EV_RXCHAR)) raised |= EV_RXCHAR;
        if (raised != 0) {
            *events = raised;
            return true;
        }
        line->readerWaiting = true;
        settleLocked(w);
        w.changed.notify_all();
        w.changed.wait(hold, [line] { return line->interrupted || line->lineEvents != 0 || !line->arrived.empty(); });
        line->readerWaiting = false;
    }
}

int serialReadByte(SerialLine* line, uint8_t* byte) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    if (line == nullptr || line->arrived.empty()) return 0;
    *byte = line->arrived.front();
    line->arrived.pop_front();
    return 1;
}

bool serialWriteByte(SerialLine* line, uint8_t byte) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    if (line == nullptr) return false;
    w.trace.push_back({vt::TraceEntry::Write, w.nowUs, byte, 0, line->port});
    if (line->farEnd != nullptr) line->farEnd->fromHost(byte, w.nowUs);
    return true;
}

void serialInterrupt(SerialLine* line) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    if (line == nullptr) return;
    line->interrupted = true;
    line->readerPresent = false;
    w.changed.notify_all();
}

void serialClose(SerialLine* line) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    if (line == nullptr) return;
    w.lines.erase(std::remove(w.lines.begin(), w.lines.end(), line), w.lines.end());
    delete line;
}

// A virtual line never hangs up.
bool serialHungUp(SerialLine*) { return false; }

// ---- sockets ----

int lastSocketError() { return socketError; }

Socket tcpSocket() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    int id = w.nextSocket++;
    w.sockets[id] = VSocket{};
    w.sockets[id].generation = w.generation;
    return id;
}

bool tcpBind(Socket s, uint16_t port) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    bool held = false;
    for (auto& [id, other] : w.sockets) {
        if (id != s && other.bound && other.port == port && other.client < 0 && other.generation == w.generation) {
            held = true;
        }
    }
    if (takePlanned(w, vt::Failure::Bind) || held) {
        socketError = EADDRINUSE;
        return false;
    }
    auto it = w.sockets.find(s);
    if (it == w.sockets.end()) {
        socketError = EBADF;
        return false;
    }
    it->second.bound = true;
    it->second.port = port;
    return true;
}

bool tcpListen(Socket s, int) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.sockets.find(s);
    if (takePlanned(w, vt::Failure::Listen) || it == w.sockets.end() || !it->second.bound) {
        socketError = EINVAL;
        return false;
    }
    it->second.listening = true;
    return true;
}

Socket tcpAccept(Socket listenSocket) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    auto it = w.sockets.find(listenSocket);
    if (it == w.sockets.end() || !it->second.listening) {
        socketError = EBADF;
        return INVALID_SOCKET_VALUE;
    }
    if (takePlanned(w, vt::Failure::Accept)) {
        socketError = ECONNABORTED;
        return INVALID_SOCKET_VALUE;
    }
    settleLocked(w);
    w.changed.wait(hold, [&w, listenSocket] {
        auto found = w.sockets.find(listenSocket);
        return found == w.sockets.end() || found->second.woken || !found->second.pendingClients.empty();
    });
    auto found = w.sockets.find(listenSocket);
    if (found == w.sockets.end() || found->second.pendingClients.empty()) {
        socketError = EINVAL;
        return INVALID_SOCKET_VALUE;
    }
    int clientId = found->second.pendingClients.front();
    found->second.pendingClients.pop_front();
    int id = w.nextSocket++;
    VSocket connection;
    connection.generation = found->second.generation;
    connection.client = clientId;
    connection.port = found->second.port;
    w.sockets[id] = connection;
    w.clients[clientId]->systemSocket = id;
    return id;
}

void tcpWakeAccept(Socket listenSocket) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.sockets.find(listenSocket);
    if (it != w.sockets.end()) it->second.woken = true;
    w.changed.notify_all();
}

bool tcpSetNonBlocking(Socket s) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.sockets.count(s) != 0;
}

bool tcpWatchPeer(Socket s, const TcpLiveness& liveness) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    Client* client = clientOf(w, s);
    if (client == nullptr) {
        socketError = EBADF;
        return false;
    }
    client->watched = true;
    client->liveness = liveness;
    return true;
}

long tcpRecv(Socket s, uint8_t* buffer, size_t length) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    Client* client = clientOf(w, s);
    if (client == nullptr) {
        socketError = ENOTCONN;
        return -1;
    }
    if (client->reset) {
        socketError = ECONNRESET;
        return -1;
    }
    if (client->vanishedError != 0) {
        socketError = client->vanishedError;
        return -1;
    }
    if (!client->toSystem.empty()) {
        size_t n = std::min(length, client->toSystem.size());
        std::copy_n(client->toSystem.begin(), n, buffer);
        client->toSystem.erase(client->toSystem.begin(), client->toSystem.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }
    if (client->closed) return 0;
    socketError = EAGAIN;
    return -1;
}

size_t tcpSendAll(Socket s, const uint8_t* data, size_t length, uint32_t) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    Client* client = clientOf(w, s);
    if (client == nullptr || client->closed || client->reset) {
        socketError = EPIPE;
        return 0;
    }
    client->sends.push_back({w.nowUs, std::vector<uint8_t>(data, data + length)});
    return length;
}

void tcpCloseSocket(Socket s) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    Client* client = clientOf(w, s);
    if (client != nullptr) client->systemClosed = true;
    auto it = w.sockets.find(s);
    if (it != w.sockets.end()) {
        it->second.woken = true;
        w.sockets.erase(it);
    }
    w.changed.notify_all();
}

// ---- the main loop's wait ----

void wakeMainLoop() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.wakePending = true;
    w.changed.notify_all();
}

// The wait ends on what would end it on the real machine (client bytes, a close or reset, a
// wake-up) and when the virtual clock reaches its time limit. Others move the clock: a test's
// advanceMs or setClock also ends it (the reading may have changed). With vt::waitsMoveTime the
// wait moves the clock itself, millisecond by millisecond (the last step may be shorter), to its
// time limit, delivering what the far ends have due on the way and ending early when a byte is
// stored.
bool waitForWork(const Socket* sockets, int count, int64_t timeoutUs) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    auto happened = [&] {
        if (w.wakePending) return true;
        for (int i = 0; i < count; ++i) {
            if (sockets[i] == INVALID_SOCKET_VALUE) continue;
            Client* client = clientOf(w, sockets[i]);
            // A link whose keepalive or user timeout gave up shows as an error, as poll reports it.
            if (client == nullptr || !client->toSystem.empty() || client->closed || client->reset ||
                client->vanishedError != 0) {
                return true;
            }
        }
        return false;
    };
    const uint64_t limitUs = timeoutUs < 0 ? UINT64_MAX : w.nowUs + static_cast<uint64_t>(timeoutUs);
    const uint64_t changes = w.clockChanges;
    ++w.waitsStarted;
    w.waiting = true;
    w.changed.notify_all();
    bool result = false;
    for (;;) {
        if (happened()) {
            result = true;
            break;
        }
        if (w.nowUs >= limitUs || w.clockChanges != changes) break;
        if (w.waitsMoveTime && limitUs != UINT64_MAX && onClockThread(w)) {
            w.nowUs += std::min<uint64_t>(1000, limitUs - w.nowUs);
            deliverDueLocked(w, hold);
            continue;
        }
        w.changed.wait(hold);
    }
    w.wakePending = false;
    w.waiting = false;
    w.changed.notify_all();
    return result;
}

}  // namespace platform

// ---- the test's side ----------------------------------------------------------------------

namespace vt {

void reset(int minute, int second) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.clockThread = std::this_thread::get_id();
    w.nowUs = 0;
    w.clockBaseUs = 0;
    w.clockBaseSubUs = 0;
    w.clockBaseSeconds = 10 * 3600 + minute * 60 + second;
    w.trace.clear();
    w.farEnds.clear();
    w.lines.clear();
    w.planned.clear();
    // Sockets of earlier tests stay known (their accept threads may still wait on them, until
    // their endpoints are released) but no longer hold their ports or take clients.
    ++w.generation;
    w.messages.clear();
    w.killConfirmed = false;
    w.wakePending = false;
    w.waitsMoveTime = false;
    w.waitsStarted = 0;
    w.realtimeCalls.clear();
    realtimeThread = false;  // the clock thread starts at normal priority in every world
    w.maxPriority = 99;
    w.memoryError = 0;
    w.readerPriority = 0;
    w.logLines.clear();
    w.changed.notify_all();
}

uint64_t nowUs() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.nowUs;
}

uint64_t nowMs() { return nowUs() / 1000; }

void setClock(int minute, int second, uint32_t intoSecondUs) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.clockBaseUs = w.nowUs;
    w.clockBaseSubUs = intoSecondUs % 1000000;
    w.clockBaseSeconds = 10 * 3600 + minute * 60 + second;
    ++w.clockChanges;
    w.changed.notify_all();
}

void advanceMs(uint32_t ms) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    advanceLocked(w, hold, ms);
    ++w.clockChanges;
    w.changed.notify_all();
}

void attach(const char* portName, FarEnd* farEnd) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.farEnds[portName] = farEnd;
}

void deliverDue() {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    deliverDueLocked(w, hold);
}

void failNext(Failure failure) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.planned.push_back(failure);
}

void raiseLineEvents(const char* portName, uint32_t events) {
    World& w = world();
    std::unique_lock<std::mutex> hold(w.lock);
    SerialLine* target = nullptr;
    for (SerialLine* line : w.lines) {
        if (line->port == portName) target = line;
    }
    if (target == nullptr) return;
    target->lineEvents |= events;
    w.changed.notify_all();
    if (!target->readerPresent) return;
    waitOrDie(
        w, hold, [target] { return target->lineEvents == 0 && target->readerWaiting; },
        "a serial reader thread to take a line event");
}

std::vector<TraceEntry> trace() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.trace;
}

void clearTrace() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.trace.clear();
}

std::string traceText() {
    std::string text;
    char item[24];
    for (const TraceEntry& entry : trace()) {
        if (entry.kind == TraceEntry::Write) {
            std::snprintf(item, sizeof item, "%02X", entry.byte);
        } else {
            std::snprintf(item, sizeof item, "(%u)", entry.ms);
        }
        if (!text.empty()) text += ' ';
        text += item;
    }
    return text;
}

std::vector<uint8_t> written(const char* portName) {
    std::vector<uint8_t> bytes;
    for (const TraceEntry& entry : trace()) {
        if (entry.kind == TraceEntry::Write && entry.port == portName) bytes.push_back(entry.byte);
    }
    return bytes;
}

int connectClient(uint16_t port) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    for (auto& [id, socket] : w.sockets) {
        if (socket.listening && socket.bound && socket.port == port && !socket.woken &&
            socket.generation == w.generation) {
            int clientId = w.nextClient++;
            auto client = std::make_unique<Client>();
            client->port = port;
            w.clients[clientId] = std::move(client);
            socket.pendingClients.push_back(clientId);
            w.changed.notify_all();
            return clientId;
        }
    }
    return -1;
}

bool listening(uint16_t port) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    for (auto& [id, socket] : w.sockets) {
        if (socket.listening && socket.bound && socket.port == port && !socket.woken &&
            socket.generation == w.generation) {
            return true;
        }
    }
    return false;
}

void clientSend(int client, const std::vector<uint8_t>& bytes) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it != w.clients.end()) it->second->toSystem.insert(it->second->toSystem.end(), bytes.begin(), bytes.end());
    w.changed.notify_all();
}

void clientDiscardReceived(int client) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it != w.clients.end()) it->second->sends.clear();
}

void clientClose(int client) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it != w.clients.end()) it->second->closed = true;
    w.changed.notify_all();
}

void clientReset(int client) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it != w.clients.end()) it->second->reset = true;
    w.changed.notify_all();
}

void clientVanish(int client, int error) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it != w.clients.end()) it->second->vanishedError = error;
    w.changed.notify_all();
}

bool clientWatched(int client, platform::TcpLiveness& out) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    if (it == w.clients.end() || !it->second->watched) return false;
    out = it->second->liveness;
    return true;
}

std::vector<uint8_t> clientReceived(int client) {
    std::vector<uint8_t> bytes;
    for (const Send& send : clientSends(client)) bytes.insert(bytes.end(), send.bytes.begin(), send.bytes.end());
    return bytes;
}

std::vector<Send> clientSends(int client) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    auto it = w.clients.find(client);
    return it == w.clients.end() ? std::vector<Send>{} : it->second->sends;
}

std::vector<std::string> messages() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.messages;
}

void waitsMoveTime(bool on) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.waitsMoveTime = on;
}

bool mainLoopWaiting() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.waiting;
}

uint64_t mainLoopWaits() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.waitsStarted;
}

std::vector<std::string> realtimeCalls() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.realtimeCalls;
}

void grantRealtime(int maxPriority, int memoryError) {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.maxPriority = maxPriority;
    w.memoryError = memoryError;
}

std::vector<std::string> logLines() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    return w.logLines;
}

void confirmKillPrompt() {
    World& w = world();
    std::lock_guard<std::mutex> hold(w.lock);
    w.killConfirmed = true;
    w.changed.notify_all();
}

}  // namespace vt
