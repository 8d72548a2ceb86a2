// What halvoran-bridge adds between Halvoran and its viewers: the time from a tracking report
// sent on port 5002 to its message at each subscribed WebSocket client (median and p99, with 1
// and with 10 subscribers), and the bridge's share of one CPU while reports come at the
// camera's full rate (25 tracking packets a second, one report for every three) and at 1000 a
// second. This program plays Halvoran on ports 5000-5002 and starts the built bridge; run it in
// a network namespace of its own:
//
//   unshare -n sh -c 'ip link set lo up && build/bench/bench_bridge_latency'
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_util.h"
#include "client/lib/session.h"

using bench::percentile;

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

int listenOn(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
        std::perror("listen (run this inside unshare -n)");
        std::exit(1);
    }
    return s;
}

// The bridge as a child process; its first lines tell the WebSocket port.
struct Bridge {
    pid_t pid = -1;
    int port = 0;
    void start() {
        int out[2];
        if (pipe(out) != 0) std::exit(1);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(HALVORAN_BRIDGE_BIN, HALVORAN_BRIDGE_BIN, "--halvoran", "127.0.0.1", "--listen", "127.0.0.1:0",
                  "--http", "off", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char c;
        while (read(out[0], &c, 1) == 1) {
            text += c;
            auto at = text.find("ws://127.0.0.1:");
            if (at != std::string::npos && text.find(' ', at) != std::string::npos) {
                port = std::stoi(text.substr(at + 15));
                break;
            }
        }
        // The rest of its output is not needed; the pipe end stays open for its life.
        if (port == 0) {
            std::fprintf(stderr, "halvoran-bridge did not start\n");
            std::exit(1);
        }
    }
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string f;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14) utime = std::stoull(f);
            if (i == 15) stime = std::stoull(f);
        }
        return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    void stop() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// One subscriber: reads message data for the tracking channel and notes when each came.
struct Viewer {
    asio::io_context io;
    websocket::stream<tcp::socket> ws{io};
    std::thread reader;
    std::mutex mutex;
    std::vector<std::pair<int, Clock::time_point>> arrivals;  // report number (pixels), time

    void open(int port, uint32_t trackingChannel) {
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)));
        ws.next_layer().set_option(tcp::no_delay(true));
        ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
            request.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
        }));
        ws.handshake("127.0.0.1", "/");
        ws.text(true);
        ws.write(asio::buffer(
            nlohmann::json{{"op", "subscribe"}, {"subscriptions", {{{"id", 1}, {"channelId", trackingChannel}}}}}
                .dump()));
        reader = std::thread([this] {
            beast::flat_buffer buffer;
            for (;;) {
                beast::error_code ec;
                ws.read(buffer, ec);
                auto now = Clock::now();
                if (ec) return;
                if (!ws.got_text()) {
                    std::string data = beast::buffers_to_string(buffer.data());
                    auto message = nlohmann::json::parse(data.substr(13), nullptr, false);
                    if (message.is_object() && message.contains("pixels")) {
                        std::lock_guard lock(mutex);
                        arrivals.emplace_back(message["pixels"].get<int>() * 256 + message["confidence"].get<int>(),
                                              now);
                    }
                }
                buffer.consume(buffer.size());
            }
        });
    }
    bool has(int number) {
        std::lock_guard lock(mutex);
        for (auto& [n, t] : arrivals) {
            if (n == number) return true;
        }
        return false;
    }
    Clock::time_point at(int number) {
        std::lock_guard lock(mutex);
        for (auto& [n, t] : arrivals) {
            if (n == number) return t;
        }
        return {};
    }
    void close() {
        beast::error_code ec;
        ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
        if (reader.joinable()) reader.join();
    }
};

std::vector<uint8_t> report(int number) {
    // The report's number travels in its pixel count and confidence (each 1..255).
    return halvoran_client::frameReply({127, 127, 40, 72, 12, 20, uint8_t(number / 256), uint8_t(number % 256)});
}

int reportNumber(int i) { return (1 + i / 255) * 256 + 1 + i % 255; }

}  // namespace

int main() {
    int listeners[3] = {listenOn(5000), listenOn(5001), listenOn(5002)};
    Bridge bridge;
    bridge.start();
    int halvoran[3];
    for (int i = 0; i < 3; ++i) halvoran[i] = accept(listeners[i], nullptr, nullptr);
    int yes = 1;
    setsockopt(halvoran[2], IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::printf("halvoran-bridge: tracking report on port 5002 -> message at each subscriber (loopback)\n");

    int sequence = 0;
    for (int subscribers : {1, 10}) {
        std::vector<std::unique_ptr<Viewer>> viewers;
        for (int i = 0; i < subscribers; ++i) {
            viewers.push_back(std::make_unique<Viewer>());
            viewers.back()->open(bridge.port, 2);
        }
        // One report until every subscription is in place.
        for (;;) {
            int n = reportNumber(sequence++);
            auto frame = report(n);
            send(halvoran[2], frame.data(), frame.size(), 0);
            auto deadline = Clock::now() + std::chrono::milliseconds(200);
            bool all = false;
            while (!all && Clock::now() < deadline) {
                all = std::all_of(viewers.begin(), viewers.end(), [n](auto& v) { return v->has(n); });
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (all) break;
        }
        std::vector<double> each, last;
        constexpr int REPORTS = 1000;
        for (int i = 0; i < REPORTS; ++i) {
            int n = reportNumber(sequence++);
            auto frame = report(n);
            auto sent = Clock::now();
            send(halvoran[2], frame.data(), frame.size(), 0);
            while (!std::all_of(viewers.begin(), viewers.end(), [n](auto& v) { return v->has(n); })) {
                std::this_thread::yield();
            }
            double worst = 0;
            for (auto& v : viewers) {
                double us = std::chrono::duration<double, std::micro>(v->at(n) - sent).count();
                each.push_back(us);
                worst = std::max(worst, us);
            }
            last.push_back(worst);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::printf(
            "%2d subscriber(s), %d reports: each message median %.0f us, p99 %.0f us; "
            "the last subscriber's median %.0f us, p99 %.0f us\n",
            subscribers, REPORTS, percentile(each, 0.5), percentile(each, 0.99), percentile(last, 0.5),
            percentile(last, 0.99));

        if (subscribers == 10) {
            for (double rate : {25.0 / 3.0, 1000.0}) {
                double seconds = rate < 100 ? 6.0 : 3.0;
                double cpu0 = bridge.cpuSeconds();
                auto start = Clock::now();
                int count = int(rate * seconds);
                for (int i = 0; i < count; ++i) {
                    auto frame = report(reportNumber(sequence++));
                    send(halvoran[2], frame.data(), frame.size(), 0);
                    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>((i + 1) / rate)));
                }
                double wall = std::chrono::duration<double>(Clock::now() - start).count();
                double cpu = bridge.cpuSeconds() - cpu0;
                std::printf("10 subscribers, %.1f reports/s for %.0f s: the bridge used %.2f %% of one CPU\n", rate,
                            wall, 100.0 * cpu / wall);
            }
        }
        for (auto& v : viewers) v->close();
    }
    // Idle: no reports, no viewers.
    {
        double cpu0 = bridge.cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        std::printf("idle, no viewers: the bridge used %.2f %% of one CPU\n",
                    100.0 * (bridge.cpuSeconds() - cpu0) / 3.0);
    }
    // Halvoran's session ends first, so that the bridge does not wait for answers as it stops.
    for (int s : halvoran) close(s);
    for (int s : listeners) close(s);
    bridge.stop();
    return 0;
}
