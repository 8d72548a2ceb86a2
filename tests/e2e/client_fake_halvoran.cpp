#include "tests/e2e/client_fake_halvoran.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/lib/session.h"
#include "protocol/framing.h"
#include "tests/support/process.h"

namespace client_tests {

FakeHalvoran::~FakeHalvoran() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    for (int i = 0; i < 3; ++i) {
        if (clients_[i] >= 0) close(clients_[i]);
        if (listeners_[i] >= 0) close(listeners_[i]);
    }
}

bool FakeHalvoran::start(Handler handler, std::string& error) {
    handler_ = std::move(handler);
    for (int i = 0; i < 3; ++i) {
        listeners_[i] = testing_support::listenTcp(5000 + i, false, error);
        if (listeners_[i] < 0) return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void FakeHalvoran::send(int port, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (clients_[port] < 0) return;
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(clients_[port], bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

void FakeHalvoran::reply(int port, const std::vector<uint8_t>& payload) {
    send(port, halvoran_client::frameReply(payload));
}

std::vector<std::vector<uint8_t>> FakeHalvoran::packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

void FakeHalvoran::serve() {
    // Like Halvoran: a client on 5000, then 5001, then 5002.
    for (int i = 0; i < 3; ++i) {
        while (!stop_.load()) {
            pollfd in{listeners_[i], POLLIN, 0};
            if (poll(&in, 1, 20) > 0) {
                int client = accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC);
                std::lock_guard<std::mutex> lock(mutex_);
                clients_[i] = client;
                break;
            }
        }
    }
    Deframer deframer;
    while (!stop_.load() && !quit_.load()) {
        pollfd in[3];
        for (int i = 0; i < 3; ++i) in[i] = pollfd{clients_[i], POLLIN, 0};
        if (poll(in, 3, 20) <= 0) continue;
        for (int i = 1; i < 3; ++i) {
            if ((in[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            uint8_t ignored[512];
            if (recv(clients_[i], ignored, sizeof ignored, 0) <= 0) gone_.store(true);
        }
        if ((in[0].revents & (POLLIN | POLLHUP)) == 0) continue;
        uint8_t buffer[512];
        ssize_t n = recv(clients_[0], buffer, sizeof buffer, 0);
        if (n <= 0) {
            gone_.store(true);
            break;
        }
        for (ssize_t k = 0; k < n; ++k) {
            DeframeEvent event = deframeByte(deframer, buffer[k]);
            if (event == DeframeEvent::Quit) {
                quit_.store(true);
                break;
            }
            if (event != DeframeEvent::Packet) continue;
            std::vector<uint8_t> packet(deframer.packetBuffer, deframer.packetBuffer + deframer.count);
            deframer.count = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                packets_.push_back(packet);
            }
            if (handler_) handler_(*this, packet);
        }
        if (gone_.load()) break;
    }
    // Like Halvoran, it ends the session by closing the ports.
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 3; ++i) {
        if (clients_[i] >= 0) close(clients_[i]);
        clients_[i] = -1;
    }
}

}  // namespace client_tests
