#include "menu/menu_mode.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_port.h"
#include "net/tcp_endpoint.h"

MenuModeState menuMode;

namespace {

// cameraExchange: collection stops once the write position reaches this; the answer buffer
// holds it, a doubled 0xFF at its end and the closing frame bytes.
constexpr int kAnswerLimit = 96;
constexpr int kEmptyPollLimit = 10000;
// Stored in place of the answer after a timeout; its two leading spaces stand where an answer
// has its opening frame bytes.
constexpr char kTimeoutText[] = "  TIMEOUT CAMERA ";
constexpr int kTimeoutTextLength = sizeof kTimeoutText - 1;
static_assert(kTimeoutTextLength == 17);

constexpr const char* kNotStarted = "The menu mode is not started: choose Start first";
constexpr const char* kStillStarting = "The menu mode is still starting: try again once it has started";

struct CameraLine {
    const char* text;
    QueueHandler handler;
};

// The camera set-up of Follow, in order; the ninth line starts tracking and its handler follows
// the target until STOP; the tenth ends tracking.
const CameraLine kFollowLines[10] = {
    {"\r", &cameraExchange},
    {"CR 18 40 17 2 19 33\r", &cameraExchange},
    {"rm 1\r", &cameraExchange},
    {"mm 0\r", &cameraExchange},
    {"nf 1\r", &cameraExchange},
    {"sw 1 1 80 40\r", &cameraExchange},
    {"\r", &cameraExchange},
    {"pm 0\r", &cameraExchange},
    {"tc 0 255 150 255 0 255\r", &followLoop},
    {"\r\r\r", &flushHandler},
};

void push(OutQueue* queue, const uint8_t* bytes, int32_t length, QueueHandler handler) {
    if (queue != nullptr) queue->push(bytes, length, handler);
}

void pushText(OutQueue* queue, const char* text, QueueHandler handler) {
    if (queue != nullptr) queue->pushText(text, handler);
}

// The objects exist (and may be used) only in the Ready phase; otherwise the command is refused
// with a message that says why.
bool readyForCommand() {
    int phase = menuMode.phase.load(std::memory_order_acquire);
    if (phase == MenuModeState::Ready) return true;
    platform::messageBox(phase == MenuModeState::Starting ? kStillStarting : kNotStarted, "Error");
    return false;
}

bool followEnded() { return menuMode.followStop.load() || menuMode.stopping.load(); }

// Follow's drive value: value 1 of its first drive packet.
constexpr uint8_t kFollowSpeed = 100;
constexpr uint64_t kFollowHoldUs = 1000000;

// Follow's drive value went out (or was confirmed): the watch counts from now.
void followDriveStarted() {
    menuMode.followConfirmedUs.store(platform::monotonicUs());
    menuMode.followHeld.store(false);
    menuMode.followDriving.store(true);
}

void followDriveForgotten() {
    menuMode.followDriving.store(false);
    menuMode.followHeld.store(false);
}

// A tracking packet confirmed the target: the drive value holds for another second, and a drive
// that the watch stopped goes again (unless STOP came meanwhile).
void followTargetConfirmed() {
    menuMode.followConfirmedUs.store(platform::monotonicUs());
    if (!menuMode.followHeld.load()) return;
    std::lock_guard<std::mutex> hold(menuMode.driveOrder);
    if (followEnded() || !menuMode.followHeld.load()) return;
    queueSpeed(kFollowSpeed, &noopHandler);
    followDriveStarted();
}

bool byteWaiting(const SerialPort& port) {
    return port.readIndex.load() != port.writeIndex.load(std::memory_order_acquire);
}

// Waits until the port has a byte; false when the follow loop is to end first. Between empty
// polls the processor is given away for a millisecond.
bool waitForByte(SerialPort& port) {
    // Also while bytes keep coming: a stream without a packet that sees the target stops the
    // follow drive as silence does.
    followDriveWatch();
    while (!byteWaiting(port)) {
        if (followEnded()) return false;
        followDriveWatch();
        platform::sleepMs(1);
    }
    return true;
}

// Takes bytes until one is 0xFF, then one more: true when that one is 'C'. Only bytes that have
// arrived are taken, so a byte left over in the ring from an earlier lap is never read again.
bool synchronise(SerialPort& port) {
    for (;;) {
        do {
            if (!waitForByte(port)) return false;
        } while (static_cast<uint8_t>(port.nextByte()) != 0xFF);
        if (!waitForByte(port)) return false;
        if (port.nextByte() == 'C') return true;
    }
}

bool takeByte(SerialPort& port, uint8_t& out) {
    while (!port.readByte(out)) {
        if (followEnded()) return false;
        followDriveWatch();
        platform::sleepMs(1);
    }
    return true;
}

uint32_t setUpThread(void*) {
    createMenuObjects();
    startMenuSenders();
    menuMode.phase.store(MenuModeState::Ready, std::memory_order_release);
    return 0;
}

uint32_t followLineThread(void*) {
    followLine();
    return 0;
}

void releasePort(SerialPort*& port) {
    if (port == nullptr) return;
    port->close();
    delete port;
    port = nullptr;
}

void releaseEndpoint(TcpEndpoint*& endpoint) {
    if (endpoint == nullptr) return;
    endpoint->close();
    delete endpoint;
    endpoint = nullptr;
}

void releaseQueue(OutQueue*& queue) {
    delete queue;
    queue = nullptr;
}

}  // namespace

// ---- menu commands ---------------------------------------------------------------------

void startMenuMode() {
    // A second Start would open a second set over the first, whose port and endpoints still
    // hold "COM1:" and the TCP ports: it could only fail and leave the first set unreachable.
    if (menuMode.phase.load() != MenuModeState::Stopped) {
        platform::messageBox("The menu mode is already started", "Error");
        return;
    }
    menuMode.phase.store(MenuModeState::Starting);
    if (!platform::startThread(&setUpThread, nullptr, &menuMode.setUpThread)) {
        menuMode.phase.store(MenuModeState::Stopped);
        platform::messageBox("Unable to create the main thread", "Error");
    }
}

void startFollowLine() {
    if (!readyForCommand()) return;
    // The previous follow-line thread only queues and ends; it is waited for before the next.
    platform::joinThread(menuMode.followLineThread);
    // A STOP from before this Follow does not stop it; one from now on does, also while the
    // camera set-up still runs.
    menuMode.followStop.store(false);
    if (!platform::startThread(&followLineThread, nullptr, &menuMode.followLineThread)) {
        platform::messageBox("Unable to create the follow line thread", "Error");
    }
}

void stopFollowLine() {
    if (!readyForCommand()) return;
    std::lock_guard<std::mutex> hold(menuMode.driveOrder);
    menuMode.followStop.store(true);
    queueSpeed(0, &noopHandler);
    followDriveForgotten();
}

void stopMenuMode() {
    platform::sleepMs(250);
    endMenuMode();
    platform::sleepMs(500);
}

void endMenuMode() {
    if (menuMode.phase.load() == MenuModeState::Stopped) return;
    // Every thread that uses the objects ends before they go: the set-up, the follow line,
    // then the senders (the camera's first: its follow loop queues a last drive packet, which
    // the drive's sender still sends). A drive that may still run gets the flagged speed 0 as
    // the last packet before its sender stops.
    menuMode.stopping.store(true);
    platform::joinThread(menuMode.setUpThread);
    platform::joinThread(menuMode.followLineThread);
    stopSender(menuMode.senders[SENDER_COM1]);
    if (menuMode.driveMayRun.load()) queueSpeed(0, &noopHandler);
    for (QueueSender& sender : menuMode.senders) stopSender(sender);

    releasePort(menuMode.menuSerialPort);
    releaseEndpoint(menuMode.debugEndpoint);
    for (TcpEndpoint*& endpoint : menuMode.menuEndpoints) releaseEndpoint(endpoint);
    releasePort(menuMode.com2Port);
    releaseQueue(menuMode.com1Queue);
    releaseQueue(menuMode.com2Queue);
    releaseQueue(menuMode.tcpip5000Queue);
    releaseQueue(menuMode.tcpip5001Queue);
    for (QueueSender& sender : menuMode.senders) {
        sender.queue = nullptr;
        sender.port = nullptr;
        sender.endpoint = nullptr;
    }
    menuMode.followStop.store(false);
    menuMode.driveMayRun.store(false);
    followDriveForgotten();
    menuMode.stopping.store(false);
    menuMode.phase.store(MenuModeState::Stopped);
}

// ---- the threads' work -------------------------------------------------------------------

void createMenuObjects() {
    menuMode.menuSerialPort = new (std::nothrow) SerialPort("COM1:");
    menuMode.debugEndpoint = new (std::nothrow) TcpEndpoint(DEBUG_PORT);
    for (int i = 0; i < 4; ++i) menuMode.menuEndpoints[i] = new (std::nothrow) TcpEndpoint(MENU_FIRST_PORT + i);
    menuMode.com1Queue = new (std::nothrow) OutQueue("com1_queue");
    menuMode.com2Queue = new (std::nothrow) OutQueue("com2_queue");
    menuMode.tcpip5000Queue = new (std::nothrow) OutQueue("tcpip5000_queue");
    menuMode.tcpip5001Queue = new (std::nothrow) OutQueue("tcpip5001_queue");
    menuMode.com2Port = new (std::nothrow) SerialPort("COM2:");

    QueueSender* s = menuMode.senders;
    s[SENDER_COM1].queue = menuMode.com1Queue;
    s[SENDER_COM1].port = menuMode.menuSerialPort;
    s[SENDER_COM2].queue = menuMode.com2Queue;
    s[SENDER_COM2].port = menuMode.com2Port;
    s[SENDER_COM2].drainOnStop = true;
    s[SENDER_TCPIP5000].queue = menuMode.tcpip5000Queue;
    s[SENDER_TCPIP5000].endpoint = menuMode.menuEndpoints[0];
    s[SENDER_TCPIP5001].queue = menuMode.tcpip5001Queue;
    s[SENDER_TCPIP5001].endpoint = menuMode.menuEndpoints[1];
    for (QueueSender& sender : menuMode.senders) sender.stopping.store(false);
}

void startMenuSenders() {
    for (QueueSender& sender : menuMode.senders) {
        // A sender needs its queue and its destination; without them it is not started.
        if (sender.queue == nullptr || (sender.port == nullptr && sender.endpoint == nullptr)) continue;
        if (!startSender(sender)) platform::messageBox("Unable to create the queue sender thread", "Error");
    }
}

void followLine() {
    {
        std::lock_guard<std::mutex> hold(menuMode.driveOrder);
        if (!menuMode.followStop.load()) {
            queueCom2Packet(kFollowSpeed, 0, 0, 150, 90, &noopHandler);
            followDriveStarted();
        }
    }
    if (menuMode.menuSerialPort != nullptr) menuMode.menuSerialPort->flush();
    char text[40];
    for (const CameraLine& line : kFollowLines) {
        std::snprintf(text, sizeof text, "%s", line.text);
        pushText(menuMode.com1Queue, text, line.handler);
    }
}

// ---- drive packets ---------------------------------------------------------------------

void queueCom2PacketRaw(uint8_t v1, uint8_t v2, uint8_t v3, uint8_t v4, uint8_t v5, uint8_t flags,
                        QueueHandler handler) {
    // Value 1 with its flag sets the drive's speed; unflagged, the drive keeps the one it has.
    if (flags & 0x01) menuMode.driveMayRun.store(v1 != 0);
    uint8_t packet[9] = {0xFF, v1, v2, v3, v4, v5, flags, 0, 0xFF};
    unsigned sum = 0;
    for (int i = 1; i <= 6; ++i) sum += packet[i];
    packet[7] = static_cast<uint8_t>(sum & 0xFF);
    push(menuMode.com2Queue, packet, 9, handler);
}

void queueCom2Packet(uint8_t v1, uint8_t v2, uint8_t v3, uint8_t v4, uint8_t v5, QueueHandler handler) {
    uint8_t flags = static_cast<uint8_t>((v1 != 0 ? 0x01 : 0) | (v2 != 0 ? 0x02 : 0) | (v3 != 0 ? 0x04 : 0) |
                                         (v4 != 0 ? 0x08 : 0) | (v5 != 0 ? 0x10 : 0));
    queueCom2PacketRaw(v1, v2, v3, v4, v5, flags, handler);
}

void queueSpeed(uint8_t value, QueueHandler handler) {
    if (value != 0) {
        queueCom2Packet(value, 0, 0, 0, 0, handler);
    } else {
        queueCom2PacketRaw(0, 0, 0, 0, 0, 0x01, handler);
    }
}

void queueSteer(uint8_t value, QueueHandler handler) {
    if (value != 0) {
        queueCom2Packet(0, value, 0, 0, 0, handler);
    } else {
        queueCom2PacketRaw(0, 0, 0, 0, 0, 0x02, handler);
    }
}

// ---- completion handlers ---------------------------------------------------------------

int cameraExchange() {
    SerialPort* port = menuMode.menuSerialPort;
    debugText("Starting camera process\r\n");
    platform::sleepMs(0);

    uint8_t answer[kAnswerLimit + 4];
    answer[0] = 0xFF;
    answer[1] = 0x37;
    int p = 2;
    int m = 0;
    bool done = false;
    while (!done && p < kAnswerLimit) {
        uint8_t b = 0;
        if (port != nullptr && port->readByte(b)) {
            debugText("Camera Sent a ");
            debugNumber(b);
            debugText("\r\n");
            if (b == 0xFF) {
                answer[p] = 0xFF;
                answer[p + 1] = 0xFF;
                p += 2;
            } else {
                answer[p] = b;
                p += 1;
                if (b == ':') done = true;
            }
        } else {
            followDriveWatch();
            platform::sleepMs(0);
            m += 1;
            if (m % 500 == 0) platform::sleepMs(10);
            if (m >= kEmptyPollLimit) done = true;
        }
    }
    answer[p] = 0xFF;
    answer[p + 1] = 0x37;

    if (m < kEmptyPollLimit) {
        debugText("\r\nCamera returned ");
        debugBytes(answer + 2, p - 2);
        debugText("\r\n");
        push(menuMode.tcpip5000Queue, answer, p + 2, &noopHandler);
    } else {
        // 0xFF 0x37, "TIMEOUT CAMERA ", the collected bytes, 0xFF 0x37: framed like an answer.
        uint8_t message[kTimeoutTextLength + kAnswerLimit + 4];
        std::memcpy(message, kTimeoutText, kTimeoutTextLength);
        std::memcpy(message + kTimeoutTextLength, answer + 2, static_cast<size_t>(p - 2));
        debugBytes(message, kTimeoutTextLength + p - 2);
        debugText("\r\n");
        message[0] = 0xFF;
        message[1] = 0x37;
        int length = kTimeoutTextLength + p - 2;
        message[length] = 0xFF;
        message[length + 1] = 0x37;
        push(menuMode.tcpip5000Queue, message, length + 2, &noopHandler);
    }
    return 0;
}

int followLoop() {
    // followStop is not cleared here: a STOP pressed during the camera set-up ends the loop at once.
    pushText(menuMode.tcpip5000Queue, "starting camera follow process\r\n", &noopHandler);
    SerialPort* port = menuMode.menuSerialPort;
    while (port != nullptr && !followEnded()) {
        if (!synchronise(*port)) break;
        uint8_t d[6];
        bool complete = true;
        for (uint8_t& byte : d) {
            if (!takeByte(*port, byte)) {
                complete = false;
                break;
            }
        }
        if (!complete) break;
        if (followTargetSeen(d)) followTargetConfirmed();
        int s = static_cast<int>(d[0]) + static_cast<int>(d[2]) - 80;
        int v = s > 0 ? s / 5 : s / 5 - 1;
        queueSteer(static_cast<uint8_t>(v & 0xFF), &noopHandler);
        char line[64];
        std::snprintf(line, sizeof line, "Got input of %d %d %d %d %d %d\r\n", static_cast<int8_t>(d[0]),
                      static_cast<int8_t>(d[1]), static_cast<int8_t>(d[2]), static_cast<int8_t>(d[3]),
                      static_cast<int8_t>(d[4]), static_cast<int8_t>(d[5]));
        pushText(menuMode.tcpip5000Queue, line, &noopHandler);
    }
    queueCom2Packet(0, 0, 0, 150, 120, &noopHandler);
    return 0;
}

void followDriveWatch() {
    if (!menuMode.followDriving.load()) return;
    // Another speed (STOP's, Exit's) took the drive over: nothing of Follow's is left to watch.
    if (!menuMode.driveMayRun.load()) {
        followDriveForgotten();
        return;
    }
    if (platform::monotonicUs() - menuMode.followConfirmedUs.load() <= kFollowHoldUs) return;
    {
        std::lock_guard<std::mutex> hold(menuMode.driveOrder);
        if (!menuMode.followDriving.load()) return;
        queueSpeed(0, &noopHandler);
        menuMode.followDriving.store(false);
        // A STOP meanwhile ends the follow loop; otherwise the next sight of the target drives
        // again.
        menuMode.followHeld.store(!followEnded());
    }
    debugText("No target for a second: drive stopped\r\n");
}

bool followTargetSeen(const uint8_t data[6]) { return data[4] != 0 && data[5] != 0; }

int flushHandler() {
    if (menuMode.menuSerialPort != nullptr) menuMode.menuSerialPort->flush();
    return 0;
}

int noopHandler() { return 0; }

// ---- debug output ----------------------------------------------------------------------

namespace {

// True while the debug port has a client; a client that went away is noticed here, so that
// the next one can connect.
bool debugClient() {
    TcpEndpoint* endpoint = menuMode.debugEndpoint;
    if (endpoint == nullptr) return false;
    uint8_t* ignored = nullptr;
    endpoint->receive(&ignored);
    return endpoint->connected.load();
}

}  // namespace

void debugText(const char* text) {
    if (debugClient()) menuMode.debugEndpoint->sendText(text);
}

void debugBytes(const uint8_t* bytes, int count) {
    if (debugClient()) menuMode.debugEndpoint->sendBytes(bytes, count);
}

void debugNumber(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%d", static_cast<int8_t>(value));
    debugText(text);
}
