// A stand-in for Halvoran on the loopback ports 5000, 5001 and 5002, so that halvoran-client can
// be shown answers that the real program would never give (a bad checksum, silence, any result
// code) and so that the bytes it sends can be checked. It serves one client, like Halvoran.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace client_tests {

class FakeHalvoran {
public:
    // Called on the server's thread for each command packet (letter, parameters, checksum);
    // answers with send().
    using Handler = std::function<void(FakeHalvoran& server, const std::vector<uint8_t>& packet)>;

    FakeHalvoran() = default;
    ~FakeHalvoran();
    FakeHalvoran(const FakeHalvoran&) = delete;
    FakeHalvoran& operator=(const FakeHalvoran&) = delete;

    // Listens on the three ports; false (with the reason) when one cannot be taken.
    bool start(Handler handler, std::string& error);

    // Sends bytes on port index 0 (command), 1 (image) or 2 (tracking).
    void send(int port, const std::vector<uint8_t>& bytes);
    // A reply framed as Halvoran frames it.
    void reply(int port, const std::vector<uint8_t>& payload);

    // What the client has sent so far.
    std::vector<std::vector<uint8_t>> packets();
    bool quitReceived() const { return quit_.load(); }
    bool clientGone() const { return gone_.load(); }

private:
    void serve();

    Handler handler_;
    int listeners_[3] = {-1, -1, -1};
    int clients_[3] = {-1, -1, -1};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> quit_{false};
    std::atomic<bool> gone_{false};
    std::mutex mutex_;  // guards packets_ and the client sockets' sends
    std::vector<std::vector<uint8_t>> packets_;
};

}  // namespace client_tests
