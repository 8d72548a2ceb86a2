// TCP sockets on the BSD socket interface.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {
thread_local int lastError = 0;

template <typename T>
T remember(T result) {
    if (result < 0) lastError = errno;
    return result;
}
}  // namespace

int lastSocketError() { return lastError; }

Socket tcpSocket() { return remember(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

bool tcpBind(Socket s, uint16_t port) {
    // A restart right after a stop binds at once; a port that another listener holds still
    // fails here.
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    // $HALVORAN_LISTEN_ADDRESS: the one IPv4 address to listen on (127.0.0.1: this machine
    // only); unset, every address. One that is not an address fails the bind.
    const char* only = std::getenv("HALVORAN_LISTEN_ADDRESS");
    if (only != nullptr && *only != '\0' && inet_pton(AF_INET, only, &address.sin_addr) != 1) {
        lastError = EADDRNOTAVAIL;
        return false;
    }
    return remember(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address)) == 0;
}

bool tcpListen(Socket s, int backlog) { return remember(listen(s, backlog)) == 0; }

Socket tcpAccept(Socket listenSocket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    for (;;) {
        int client = accept4(listenSocket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (client >= 0) return client;
        if (errno == EINTR) continue;
        lastError = errno;
        return INVALID_SOCKET_VALUE;
    }
}

void tcpWakeAccept(Socket listenSocket) {
    // Shutting the listening socket down makes a blocked accept return at once.
    if (listenSocket != INVALID_SOCKET_VALUE) shutdown(listenSocket, SHUT_RDWR);
}

bool tcpSetNonBlocking(Socket s) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
        lastError = errno;
        return false;
    }
    // A small reply never waits for the peer's acknowledgement of the previous one.
    int yes = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return true;
}

bool tcpWatchPeer(Socket s, const TcpLiveness& liveness) {
    auto set = [s](int level, int name, int value) {
        if (setsockopt(s, level, name, &value, sizeof value) == 0) return true;
        lastError = errno;
        return false;
    };
    bool ok = set(SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = set(IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(liveness.keepAliveIdleS)) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(liveness.keepAliveIntervalS)) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPCNT, static_cast<int>(liveness.keepAliveProbes)) && ok;
    ok = set(IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(liveness.userTimeoutMs)) && ok;
    return ok;
}

long tcpRecv(Socket s, uint8_t* buffer, size_t length) {
    for (;;) {
        ssize_t n = recv(s, buffer, length, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) lastError = errno;
        return static_cast<long>(n);
    }
}

size_t tcpSendAll(Socket s, const uint8_t* data, size_t length, uint32_t timeoutMs) {
    size_t sent = 0;
    uint64_t deadline = monotonicUs() + static_cast<uint64_t>(timeoutMs) * 1000;
    while (sent < length) {
        ssize_t n = send(s, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError = errno;
            break;  // the connection is gone; receive will tell the owner
        }
        uint64_t now = monotonicUs();
        if (now >= deadline) break;
        pollfd out{s, POLLOUT, 0};
        poll(&out, 1, static_cast<int>((deadline - now + 999) / 1000));
    }
    return sent;
}

void tcpCloseSocket(Socket s) {
    if (s != INVALID_SOCKET_VALUE) close(s);
}

}  // namespace platform
