#include "net/tcp_endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/hooks.h"

namespace {

// A send waits at most this long in all for room in a full socket, then goes on.
constexpr uint32_t kSendTimeoutMs = 3000;

constexpr platform::TcpLiveness kLiveness{KEEPALIVE_IDLE_S, KEEPALIVE_INTERVAL_S, KEEPALIVE_PROBES, USER_TIMEOUT_MS};

void showError(const char* format, int code) {
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    platform::messageBox(text, "Error");
}

}  // namespace

TcpEndpoint::TcpEndpoint(int portNumber) : port(portNumber) {
    uint16_t portBits = static_cast<uint16_t>(port & 0xFFFF);
    platform::Socket s = platform::tcpSocket();
    if (s == platform::INVALID_SOCKET_VALUE) {
        showError("Allocating socket failed. Error: %d", platform::lastSocketError());
    } else if (!platform::tcpBind(s, portBits)) {
        showError("Binding socket failed. Error: %d", platform::lastSocketError());
        platform::tcpCloseSocket(s);
    } else if (!platform::tcpListen(s, 4)) {
        showError("Listening to the client failed. Error: %d", platform::lastSocketError());
        platform::tcpCloseSocket(s);
    } else {
        listenSocket = s;
    }
    // The accept thread starts in every case, also after a failed set-up.
    if (!platform::startThread(&TcpEndpoint::acceptThread, this, &acceptor_)) {
        platform::messageBox("Unable to create the tcpip accept thread", "Error");
    }
}

TcpEndpoint::~TcpEndpoint() {
    stopListening();
    platform::joinThread(acceptor_);
    platform::tcpCloseSocket(clientSocket.exchange(platform::INVALID_SOCKET_VALUE));
    platform::tcpCloseSocket(listenSocket);
}

uint32_t TcpEndpoint::acceptThread(void* arg) {
    TcpEndpoint* endpoint = static_cast<TcpEndpoint*>(arg);
    while (!endpoint->closing.load()) {
        platform::sleepMs(500);
        if (endpoint->closing.load()) break;
        if (!endpoint->connected.load() && endpoint->acceptStep()) endpoint->connected.store(true);
    }
    return 0;
}

// A failed accept step leaves the endpoint unconnected, and the thread tries again at its next
// poll. The message is shown for the first failure of a run of failures only, so that a port
// whose set-up failed does not repeat it every half second.
bool TcpEndpoint::acceptStep() {
    platform::Socket client = platform::tcpAccept(listenSocket);
    if (closing.load()) {  // woken by the release of the endpoint
        platform::tcpCloseSocket(client);
        return false;
    }
    if (client == platform::INVALID_SOCKET_VALUE) {
        if (!lastAcceptFailed_)
            showError("Accepting connection with client failed. Error: %d", platform::lastSocketError());
        lastAcceptFailed_ = true;
        return false;
    }
    if (!platform::tcpSetNonBlocking(client)) {
        if (!lastAcceptFailed_) {
            platform::messageBox("Nonblocking failed!", "Socket");
        }
        lastAcceptFailed_ = true;
        platform::tcpCloseSocket(client);
        return false;
    }
    lastAcceptFailed_ = false;
    // A refused setting leaves a client that works but whose vanishing is noticed later (or
    // only through a send); it is served all the same.
    platform::tcpWatchPeer(client, kLiveness);
    // The socket of a client that was lost earlier goes now; nobody uses it any more.
    platform::tcpCloseSocket(clientSocket.exchange(client));
    return true;
}

int TcpEndpoint::receive(uint8_t** out) {
    if (!connected.load()) return -1;
    *out = receiveBuffer;
    std::memset(receiveBuffer, 0, sizeof receiveBuffer);
    long n = platform::tcpRecv(clientSocket.load(), receiveBuffer, RECEIVE_BUFFER_SIZE);
    if (n == 0) {  // the client closed the connection
        connected.store(false);
        return 0;
    }
    if (n < 0) {
        switch (platform::lastSocketError()) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                return 0;
            case ECONNRESET:
            // A client that vanished without closing: the keepalive probes or the user timeout
            // gave up, or the network said the peer cannot be reached.
            case ETIMEDOUT:
            case EHOSTUNREACH:
            case ENETUNREACH:
            case ENETDOWN: connected.store(false); return -2;
            case ENOTCONN: connected.store(false); return -3;
            case ESHUTDOWN:
            case EPIPE: connected.store(false); return -4;
            default: return -1;
        }
    }
    // Every received byte counts, zero bytes at the end included: a packet split right after a
    // zero byte must reach the deframer whole.
    record::portReceived(port, receiveBuffer, static_cast<int>(n));
    return static_cast<int>(n);
}

bool TcpEndpoint::sendText(const char* text) {
    return sendBytes(reinterpret_cast<const uint8_t*>(text), static_cast<int>(std::strlen(text)));
}

bool TcpEndpoint::sendBytes(const uint8_t* bytes, int count) {
    if (!connected.load()) return false;
    record::portSent(port, bytes, count);
    if (count > 0) platform::tcpSendAll(clientSocket.load(), bytes, static_cast<size_t>(count), kSendTimeoutMs);
    return true;
}

void TcpEndpoint::stopListening() {
    closing.store(true);
    platform::tcpWakeAccept(listenSocket);
}

void TcpEndpoint::close() {
    closing.store(true);
    connected.store(false);
    platform::tcpCloseSocket(clientSocket.exchange(platform::INVALID_SOCKET_VALUE));
}
