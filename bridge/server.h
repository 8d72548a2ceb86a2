// The network side of the bridge, on Boost.Beast: the Foxglove WebSocket protocol on the
// WebSocket port (any path) and on the web port at /ws, the dashboard's static files and its
// login on the web port, one thread for all of it, over TLS when given a certificate. Every
// request passes the access checks (Host, Origin, token) first; each client's queue is held to a
// budget in bytes, and the number of connections to a limit. Frames for a client may be queued
// from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/access.h"
#include "bridge/hub.h"

namespace bridge {

struct Endpoint {
    std::string address;
    uint16_t port = 0;
};
// "ADDR:PORT", "[v6]:PORT" or ":PORT" (all addresses); false when it is none of these.
bool parseEndpoint(const std::string& text, Endpoint& out);

class Server : public ClientSink {
public:
    struct Options {
        Endpoint ws;
        std::optional<Endpoint> http;  // none: no web port
        std::string webDir;
        bool handleSignals = false;  // SIGINT and SIGTERM end run()
        AccessPolicy access;         // its ownPorts are filled in by open()
        size_t maxConnections = 64;  // beyond: HTTP 503
        size_t sendBudget = 8 * 1024 * 1024;
        std::chrono::milliseconds requestTimeout{10000};  // a request (or TLS handshake) half sent
        std::string tlsCert, tlsKey;                      // both given: https and wss only
        // Where refusals and errors are told, one line each (rate-limited); stderr by default.
        std::function<void(const std::string&)> log;
    };
    explicit Server(Options options);
    ~Server() override;

    // Opens the listening sockets (and reads the certificate); false with the reason when one
    // cannot be opened.
    bool open(std::string& error);
    // The ports actually bound (port 0 asks the system for a free one).
    uint16_t wsPort() const;
    uint16_t httpPort() const;
    // Serves on the calling thread until stop() (or a signal, when asked for).
    void run(ClientHandler& hub);
    // Ends run() at once. goAway(): closes every WebSocket with "going away" first (as a signal
    // does), and ends run() when they are closed, or after a second.
    void stop();
    void goAway();

    void sendText(ClientId client, std::string text) override;
    void sendBinary(ClientId client, std::string frame) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The Content-Type of a file served from the web folder, by its name's ending.
const char* contentTypeOf(const std::string& path);
// The file below webDir that a request target names ("/" is index.html); empty when the target
// must not be served (it climbs out of the folder, or holds bytes that no file name here has).
std::string staticFilePath(const std::string& webDir, const std::string& target);

}  // namespace bridge
