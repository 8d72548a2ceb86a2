// One listening TCP port that serves at most one client at a time.
//
// Construction starts listening on all local addresses and starts the accept thread, which
// waits for a client and switches its socket to non-blocking mode. The owner polls with
// receive, which never waits, and reads `connected` directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr int RECEIVE_BUFFER_SIZE = 1000;

// A client whose link drops without closing is noticed: after 2 s without traffic the kernel
// probes it every second, and three unanswered probes end the connection; data (replies,
// tracking reports, frames) that stays unacknowledged for 5 s ends it too. The next receive
// then reports the connection lost, so the program ends with the robot stopped.
constexpr uint32_t KEEPALIVE_IDLE_S = 2;
constexpr uint32_t KEEPALIVE_INTERVAL_S = 1;
constexpr uint32_t KEEPALIVE_PROBES = 3;
constexpr uint32_t USER_TIMEOUT_MS = 5000;

class TcpEndpoint {
public:
    // Always returns an endpoint; a failed set-up step is shown in a message box and the
    // endpoint then never gets a client.
    explicit TcpEndpoint(int port);
    // Ends the accept thread and waits for it, then closes the listening socket. Only owners
    // that release their endpoints need it (the main program keeps its three for the run).
    ~TcpEndpoint();
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    // Takes at most 1000 waiting bytes into receiveBuffer and points *out at it. Returns the
    // number of bytes received (zero bytes included), 0 when nothing waits or the client closed
    // (then connected becomes 0), -1 when not connected or on another error, -2 on a reset,
    // -3 when the socket is not connected, -4 when it was shut down. A connection that timed out
    // or whose peer became unreachable (a vanished client) counts as reset: -2, connected 0.
    int receive(uint8_t** out);
    // Send the bytes (the string without its terminating zero) to the client: true when a
    // client was connected and the bytes were handed to the socket, false when not connected.
    bool sendText(const char* text);
    bool sendBytes(const uint8_t* bytes, int count);
    // Stops serving: no more accepts, the client's socket closed, connected 0.
    void close();
    // Takes no more clients at all: a waiting accept returns and new connections are refused.
    // The accept thread ends within its next poll; the release waits for it.
    void stopListening();

    std::atomic<platform::Socket> clientSocket{platform::INVALID_SOCKET_VALUE};
    platform::Socket listenSocket = platform::INVALID_SOCKET_VALUE;
    int port;
    uint8_t receiveBuffer[RECEIVE_BUFFER_SIZE] = {};
    std::atomic<bool> connected{false};
    std::atomic<bool> closing{false};

private:
    static uint32_t acceptThread(void* arg);
    bool acceptStep();
    platform::ThreadHandle acceptor_{};
    bool lastAcceptFailed_ = false;  // accept thread only
};
