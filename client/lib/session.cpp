#include "client/lib/session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace halvoran_client {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A connected socket; -1 when nobody is listening, -2 when the host's address cannot be found.
int connectOnce(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -2;
    int s = -1;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) continue;
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) break;
        ::close(s);
        s = -1;
    }
    freeaddrinfo(found);
    if (s >= 0) {
        int yes = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    }
    return s;
}

bool sendAll(int s, const uint8_t* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = send(s, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<uint8_t> frameCommand(const std::vector<uint8_t>& packet) {
    return frameWithChecksum(packet, packetChecksum(packet.data(), static_cast<int>(packet.size())));
}

std::vector<uint8_t> frameWithChecksum(const std::vector<uint8_t>& packet, uint8_t checksum) {
    std::vector<uint8_t> body(packet);
    body.push_back(checksum);
    std::vector<uint8_t> frame{FRAME_ESCAPE, FRAME_START};
    for (uint8_t b : body) {
        frame.push_back(b);
        if (b == FRAME_ESCAPE) frame.push_back(FRAME_ESCAPE);
    }
    frame.push_back(FRAME_ESCAPE);
    frame.push_back(FRAME_END);
    return frame;
}

std::vector<uint8_t> frameReply(const std::vector<uint8_t>& payload) { return frameCommand(payload); }

std::vector<uint8_t> quitEscape() { return {FRAME_ESCAPE, FRAME_QUIT}; }

const char* describe(ReadStatus status) {
    switch (status) {
        case ReadStatus::Ok: return "ok";
        case ReadStatus::Timeout: return "no reply in time";
        case ReadStatus::Closed: return "connection closed by Halvoran";
        case ReadStatus::BadChecksum: return "reply with a bad checksum";
        case ReadStatus::Malformed: return "reply of an unexpected length";
    }
    return "?";
}

void ReplyReader::feed(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (deframeByte(deframer_, bytes[i]) == DeframeEvent::Packet) {
            int n = deframer_.count;
            const uint8_t* p = deframer_.packetBuffer;
            bool good = packetChecksum(p, n - 1) == p[n - 1];
            ready_.emplace_back(std::vector<uint8_t>(p, p + n - 1), good);
            deframer_.count = 0;
        }
    }
}

bool ReplyReader::next(std::vector<uint8_t>& payload, ReadStatus& status) {
    if (ready_.empty()) return false;
    payload = std::move(ready_.front().first);
    status = ready_.front().second ? ReadStatus::Ok : ReadStatus::BadChecksum;
    ready_.erase(ready_.begin());
    return true;
}

Session::~Session() { close(); }

bool Session::connect(const std::string& host, int timeoutMs, std::string& error) {
    const int ports[3] = {COMMAND_PORT, IMAGE_PORT, TRACKING_PORT};
    for (int i = 0; i < 3; ++i) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int s = -1;
        while ((s = connectOnce(host, ports[i])) == -1 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (s == -2) {
            error = "cannot find the address of " + host;
            close();
            return false;
        }
        if (s < 0) {
            error = "nobody listening on " + host + ":" + std::to_string(ports[i]);
            close();
            return false;
        }
        sockets_[i] = s;
    }
    return true;
}

bool Session::sendCommand(const std::vector<uint8_t>& packet) { return sendRaw(frameCommand(packet)); }

bool Session::sendRaw(const std::vector<uint8_t>& bytes) { return sendOn(0, bytes); }

bool Session::sendQuit() { return sendRaw(quitEscape()); }

bool Session::sendOn(int portIndex, const std::vector<uint8_t>& bytes) {
    if (portIndex < 0 || portIndex > 2 || sockets_[portIndex] < 0) return false;
    return sendAll(sockets_[portIndex], bytes.data(), bytes.size());
}

ReadStatus Session::readFramed(int portIndex, ReplyReader& reader, std::vector<uint8_t>& payload, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ReadStatus status = ReadStatus::Ok;
    for (;;) {
        if (reader.next(payload, status)) return status;
        if (sockets_[portIndex] < 0) return ReadStatus::Closed;
        pollfd in{sockets_[portIndex], POLLIN, 0};
        int ready = poll(&in, 1, msLeft(deadline));
        if (ready == 0) return ReadStatus::Timeout;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::Closed;
        }
        uint8_t buffer[4096];
        ssize_t n = recv(sockets_[portIndex], buffer, sizeof buffer, 0);
        if (n <= 0) return ReadStatus::Closed;
        reader.feed(buffer, static_cast<size_t>(n));
    }
}

ReadStatus Session::readReply(std::vector<uint8_t>& payload, int timeoutMs) {
    return readFramed(0, commandReader_, payload, timeoutMs);
}

ReadStatus Session::readTrackReport(std::array<uint8_t, TRACK_REPORT_SIZE>& report, int timeoutMs) {
    std::vector<uint8_t> payload;
    ReadStatus status = readFramed(2, trackingReader_, payload, timeoutMs);
    if (status != ReadStatus::Ok) return status;
    if (payload.size() != report.size()) return ReadStatus::Malformed;
    std::copy(payload.begin(), payload.end(), report.begin());
    return status;
}

size_t Session::readImage(std::vector<uint8_t>& out, size_t wanted, int quietMs) {
    size_t got = 0;
    while (got < wanted && sockets_[1] >= 0) {
        pollfd in{sockets_[1], POLLIN, 0};
        int ready = poll(&in, 1, quietMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        uint8_t buffer[4096];
        size_t room = std::min(sizeof buffer, wanted - got);
        ssize_t n = recv(sockets_[1], buffer, room, 0);
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
        got += static_cast<size_t>(n);
    }
    return got;
}

long Session::readImageChunk(std::vector<uint8_t>& out, size_t maxBytes, int timeoutMs) {
    if (sockets_[1] < 0) return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd in{sockets_[1], POLLIN, 0};
        int ready = poll(&in, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            if (msLeft(deadline) == 0) return 0;
            continue;
        }
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        uint8_t buffer[4096];
        size_t room = std::min(sizeof buffer, maxBytes);
        if (room == 0) return 0;
        ssize_t n = recv(sockets_[1], buffer, room, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        out.insert(out.end(), buffer, buffer + n);
        return n;
    }
}

int Session::discardPending() {
    int replies = 0;
    std::vector<uint8_t> payload;
    for (;;) {
        ReadStatus status = readReply(payload, 0);
        if (status == ReadStatus::Timeout || status == ReadStatus::Closed) break;
        ++replies;
    }
    for (;;) {
        ReadStatus status = readFramed(2, trackingReader_, payload, 0);
        if (status == ReadStatus::Timeout || status == ReadStatus::Closed) break;
    }
    std::vector<uint8_t> image;
    while (readImageChunk(image, 4096, 0) > 0) image.clear();
    return replies;
}

bool Session::waitForClose(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (sockets_[0] >= 0) {
        pollfd in{sockets_[0], POLLIN, 0};
        int ready = poll(&in, 1, msLeft(deadline));
        if (ready == 0) return false;
        if (ready < 0 && errno == EINTR) continue;
        uint8_t buffer[4096];
        ssize_t n = recv(sockets_[0], buffer, sizeof buffer, 0);
        if (n <= 0) return true;
        commandReader_.feed(buffer, static_cast<size_t>(n));
    }
    return true;
}

void Session::closePort(int portIndex, bool reset) {
    if (portIndex < 0 || portIndex > 2 || sockets_[portIndex] < 0) return;
    if (reset) {
        linger hard{1, 0};  // closing with a zero linger sends a reset
        setsockopt(sockets_[portIndex], SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(sockets_[portIndex]);
    sockets_[portIndex] = -1;
}

void Session::close() {
    for (int i = 0; i < 3; ++i) closePort(i);
}

}  // namespace halvoran_client
