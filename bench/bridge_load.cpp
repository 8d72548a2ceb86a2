// halvoran-bridge under load: does the person driving still get the drive while others abuse
// the bridge? The simulated robot, Halvoran and the built bridge run; a driver publishes a speed
// every 100 ms and notes the time to each drive reply. First alone (the clean run), then while
// these run beside it:
//   - viewers that watch everything (connection, tracking, drive status, picture, replies),
//   - a stalled client that stops reading and re-subscribes the camera picture every 100 ms,
//   - a client flooding camera lines (3,000 a second by default),
//   - idle connections that only answer the bridge's pings.
// It prints the driver's drive-reply latency (median, p99, worst) in both runs, the bridge's
// memory (RSS now and at its peak) and its share of one CPU. Timing goals are printed as
// numbers, never checked: median within 2 ms of the clean run, p99 <= 100 ms, RSS <= 64 MiB.
//
// Halvoran takes the fixed ports 5000-5002: run it in a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up && build/bench/bench_bridge_load'
// Options (all optional):
//   --seconds N        driving time of each run (20)
//   --viewers N        watching clients (100)
//   --idle N           idle connections (1000)
//   --flood-rate N     camera lines a second from the flooding client (3000)
//   --no-stalled, --no-flood, --no-capture (no picture is taken first, so re-subscribing the
//                      picture sends nothing)
//   --only-clean, --only-abusers
//   --token T          given as ?token=T on every connection (a bridge listening on loopback
//                      asks for none)
//   --bridge-arg A     passed on to halvoran-bridge (repeatable), e.g. a connection limit
// A connection the bridge refuses (for instance beyond its connection limit) is counted and
// printed, not an error.
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_util.h"
#include "tests/support/process.h"
#include "tests/support/robot_processes.h"
#include "tests/support/test_support.h"

using bench::ownCpuSeconds;
using bench::percentile;

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

namespace {

struct Options {
    int seconds = 20;
    int viewers = 100;
    int idle = 1000;
    int floodRate = 3000;
    bool stalled = true, flood = true, capture = true, clean = true, abusers = true;
    std::string token;
    std::vector<std::string> bridgeArgs;
};

std::string target(const Options& o) { return o.token.empty() ? "/" : "/?token=" + o.token; }

// One WebSocket client on an io_context shared with others: opened synchronously, then reading
// (and answering pings) asynchronously until told to stop; writes are queued.
class Client : public std::enable_shared_from_this<Client> {
public:
    explicit Client(asio::io_context& io) : ws_(io) {}
    std::function<void(bool text, std::string_view data)> onMessage;

    bool open(uint16_t port, const std::string& path) {
        beast::error_code ec;
        ws_.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
        if (ec) return false;
        ws_.next_layer().set_option(tcp::no_delay(true), ec);
        ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
            request.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
        }));
        ws_.handshake("127.0.0.1", path, ec);
        return !ec;
    }
    void startReading() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                self->closed = true;
                return;
            }
            if (self->onMessage) {
                std::string data = beast::buffers_to_string(self->buffer_.data());
                self->onMessage(self->ws_.got_text(), data);
            }
            self->buffer_.consume(self->buffer_.size());
            if (!self->stopReading) self->startReading();
        });
    }
    // On the io_context's thread.
    void send(std::string data, bool binary) {
        out_.emplace_back(std::move(data), binary);
        if (out_.size() == 1) write();
    }
    size_t queued() const { return out_.size(); }
    std::atomic<bool> stopReading{false};
    std::atomic<bool> closed{false};

private:
    void write() {
        ws_.binary(out_.front().second);
        ws_.async_write(asio::buffer(out_.front().first), [self = shared_from_this()](beast::error_code ec, size_t) {
            self->out_.pop_front();
            if (ec) {
                self->out_.clear();
                self->closed = true;
                return;
            }
            if (!self->out_.empty()) self->write();
        });
    }
    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<std::string, bool>> out_;
};

std::string clientData(uint32_t channel, const std::string& payload) {
    std::string frame(1, '\x01');
    for (int i = 0; i < 4; ++i) frame += static_cast<char>((channel >> (8 * i)) & 0xFF);
    return frame + payload;
}

std::string subscribe(std::initializer_list<std::pair<int, int>> subs) {
    json list = json::array();
    for (auto [id, channel] : subs) list.push_back({{"id", id}, {"channelId", channel}});
    return json{{"op", "subscribe"}, {"subscriptions", list}}.dump();
}

struct BridgeProcess {
    testing_support::ChildProcess process;
    uint16_t port = 0;
    bool start(const Options& o, const std::string& dir) {
        std::vector<std::string> argv = {HALVORAN_BRIDGE_BIN, "--halvoran", "127.0.0.1", "--listen",
                                         "127.0.0.1:0",       "--http",     "off"};
        argv.insert(argv.end(), o.bridgeArgs.begin(), o.bridgeArgs.end());
        std::string out = dir + "/bridge-output.txt";
        if (!process.start(argv, {}, dir + "/bridge-errors.txt", out)) return false;
        return testing_support::waitUntil(
            [&] {
                std::string text = testing_support::readFile(out);
                auto at = text.find("ws://127.0.0.1:");
                if (at == std::string::npos || text.find(' ', at) == std::string::npos) return false;
                port = static_cast<uint16_t>(std::stoi(text.substr(at + 15)));
                return true;
            },
            10000);
    }
    double cpuSeconds() {
        std::ifstream stat("/proc/" + std::to_string(process.pid()) + "/stat");
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
    // VmRSS or VmHWM in MiB.
    double memoryMiB(const char* field) {
        std::ifstream status("/proc/" + std::to_string(process.pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field) + 1)) / 1024.0;
        }
        return 0;
    }
};

// The driver: holds the drive with a speed every 100 ms and times each drive reply.
class Driver {
public:
    Driver(uint16_t port, const Options& o) : port_(port), options_(o) {}

    bool open() {
        client_ = std::make_shared<Client>(io_);
        if (!client_->open(port_, target(options_))) return false;
        client_->onMessage = [this](bool text, std::string_view data) { heard(text, data); };
        client_->startReading();
        thread_ = std::thread([this] { io_.run(); });
        post([this] {
            client_->send(
                json{{"op", "advertise"},
                     {"channels",
                      {{{"id", 10}, {"topic", "/halvoran/drive"}, {"encoding", "json"}, {"schemaName", ""}},
                       {{"id", 12}, {"topic", "/halvoran/capture"}, {"encoding", "json"}, {"schemaName", ""}}}}}
                    .dump(),
                false);
            client_->send(subscribe({{1, 1}, {6, 6}, {7, 7}}), false);
        });
        return testing_support::waitUntil([this] { return id_ != 0 && connected_; }, 15000);
    }
    // A picture, so that subscribing the camera picture sends one.
    bool capture() {
        post([this] { client_->send(clientData(12, "{}"), true); });
        return testing_support::waitUntil([this] { return captured_.load(); }, 30000);
    }
    struct Result {
        std::vector<double> ms;
        int failed = 0, unanswered = 0;
        std::string firstError;
    };
    Result drive(int seconds) {
        {
            std::lock_guard lock(mutex_);
            sent_.clear();
            result_ = Result{};
        }
        auto start = Clock::now();
        int speed = 20;
        for (int i = 0; Clock::now() - start < std::chrono::seconds(seconds); ++i) {
            speed = i % 50 == 0 ? -speed : speed;
            std::string frame = clientData(10, json{{"speed", speed}, {"servo0", 127}}.dump());
            post([this, frame] {
                {
                    std::lock_guard lock(mutex_);
                    sent_.push_back(Clock::now());
                }
                client_->send(frame, true);
            });
            std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (i + 1)));
        }
        // The last replies.
        testing_support::waitUntil(
            [this] {
                std::lock_guard lock(mutex_);
                return sent_.empty();
            },
            5000);
        std::lock_guard lock(mutex_);
        Result r = result_;
        r.unanswered = int(sent_.size());
        sent_.clear();
        // The stop's reply must not count as the next run's first.
        stopsPending_ = 1;
        post([this] { client_->send(clientData(10, R"({"stop":true})"), true); });
        return r;
    }
    void close() {
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }

private:
    void post(std::function<void()> f) { asio::post(io_, std::move(f)); }
    void heard(bool text, std::string_view data) {
        auto now = Clock::now();
        if (text) {
            json m = json::parse(data, nullptr, false);
            if (m.is_object() && m["op"] == "status" && m.value("id", "") == "halvoran.client-id") {
                id_ = std::stoi(m["message"].get<std::string>().substr(7));
            }
            return;
        }
        if (data.size() < 13) return;
        uint32_t sub = 0;
        for (int i = 0; i < 4; ++i) sub |= uint32_t(uint8_t(data[1 + i])) << (8 * i);
        json m = json::parse(data.substr(13), nullptr, false);
        if (!m.is_object()) return;
        if (sub == 1) connected_ = m.value("connected", false);
        if (sub == 6 && m.value("done", false)) captured_ = true;
        if (sub == 7 && m.value("clientId", 0) == id_ && m.value("topic", "") == "/halvoran/drive") {
            std::lock_guard lock(mutex_);
            if (stopsPending_ > 0) {
                --stopsPending_;
                return;
            }
            if (sent_.empty()) return;
            result_.ms.push_back(std::chrono::duration<double, std::milli>(now - sent_.front()).count());
            sent_.pop_front();
            if (!m.value("ok", false)) {
                if (result_.failed++ == 0)
                    result_.firstError = m["error"].is_string() ? m["error"].get<std::string>() : m.dump();
            }
        }
    }
    uint16_t port_;
    const Options& options_;
    asio::io_context io_;
    std::shared_ptr<Client> client_;
    std::thread thread_;
    std::atomic<int> id_{0};
    std::atomic<bool> connected_{false}, captured_{false};
    std::mutex mutex_;
    std::deque<Clock::time_point> sent_;
    Result result_;
    int stopsPending_ = 0;
};

// Everyone else, on one thread.
class Abusers {
public:
    Abusers(uint16_t port, const Options& o) : port_(port), options_(o) {}
    void open() {
        auto t0 = Clock::now();
        for (int i = 0; i < options_.viewers; ++i) {
            auto c = std::make_shared<Client>(io_);
            if (!c->open(port_, target(options_))) {
                ++refused_;
                continue;
            }
            c->send(subscribe({{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}}), false);
            c->startReading();
            clients_.push_back(c);
        }
        if (options_.stalled) {
            stalled_ = std::make_shared<Client>(io_);
            if (stalled_->open(port_, target(options_))) {
                stalled_->send(subscribe({{1, 4}}), false);
                stalled_->stopReading = true;  // reads once more, then never
                stalled_->startReading();
            } else {
                ++refused_;
                stalled_.reset();
            }
        }
        if (options_.flood) {
            flooder_ = std::make_shared<Client>(io_);
            if (flooder_->open(port_, target(options_))) {
                flooder_->send(
                    json{{"op", "advertise"},
                         {"channels",
                          {{{"id", 13}, {"topic", "/halvoran/camera_line"}, {"encoding", "json"}, {"schemaName", ""}}}}}
                        .dump(),
                    false);
                flooder_->startReading();
            } else {
                ++refused_;
                flooder_.reset();
            }
        }
        for (int i = 0; i < options_.idle; ++i) {
            auto c = std::make_shared<Client>(io_);
            if (!c->open(port_, target(options_))) {
                ++refused_;
                continue;
            }
            c->startReading();  // answers the bridge's pings, sends nothing
            clients_.push_back(c);
        }
        openSeconds_ = std::chrono::duration<double>(Clock::now() - t0).count();
        thread_ = std::thread([this] { io_.run(); });
        tick();
    }
    void close() {
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }
    int refused() const { return refused_; }
    size_t closedByBridge() const {
        size_t n = 0;
        for (auto& c : clients_) n += c->closed ? 1 : 0;
        return n;
    }
    double openSeconds() const { return openSeconds_; }
    long flooded() const { return flooded_; }

private:
    // Every 100 ms: the stalled client re-subscribes the picture, the flooder sends its share.
    void tick() {
        timer_.expires_after(std::chrono::milliseconds(100));
        timer_.async_wait([this](beast::error_code ec) {
            if (ec) return;
            if (stalled_ && !stalled_->closed && stalled_->queued() < 100) {
                stalled_->send(R"({"op":"unsubscribe","subscriptionIds":[1]})", false);
                stalled_->send(subscribe({{1, 4}}), false);
            }
            if (flooder_ && !flooder_->closed && flooder_->queued() < 10000) {
                for (int i = 0; i < options_.floodRate / 10; ++i) {
                    flooder_->send(clientData(13, R"({"line":"gv"})"), true);
                    ++flooded_;
                }
            }
            tick();
        });
    }
    uint16_t port_;
    const Options& options_;
    asio::io_context io_;
    asio::steady_timer timer_{io_};
    std::thread thread_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::shared_ptr<Client> stalled_, flooder_;
    int refused_ = 0;
    double openSeconds_ = 0;
    long flooded_ = 0;
};

void print(const char* name, const Driver::Result& r, double cpu, double wall, BridgeProcess& bridge, double own) {
    std::printf(
        "%-8s drive replies: %zu, median %.2f ms, p99 %.2f ms, worst %.2f ms; failed %d%s%s, unanswered %d; "
        "bridge CPU %.1f %% of one core, RSS %.1f MiB (peak %.1f MiB); the clients here used %.1f %% of one core\n",
        name, r.ms.size(), percentile(r.ms, 0.5), percentile(r.ms, 0.99), percentile(r.ms, 1.0), r.failed,
        r.failed ? ", first: " : "", r.firstError.c_str(), r.unanswered, 100.0 * cpu / wall, bridge.memoryMiB("VmRSS:"),
        bridge.memoryMiB("VmHWM:"), 100.0 * own / wall);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--seconds") o.seconds = std::stoi(value());
        else if (a == "--viewers") o.viewers = std::stoi(value());
        else if (a == "--idle") o.idle = std::stoi(value());
        else if (a == "--flood-rate") o.floodRate = std::stoi(value());
        else if (a == "--no-stalled") o.stalled = false;
        else if (a == "--no-flood") o.flood = false;
        else if (a == "--no-capture") o.capture = false;
        else if (a == "--only-clean") o.abusers = false;
        else if (a == "--only-abusers") o.clean = false;
        else if (a == "--token") o.token = value();
        else if (a == "--bridge-arg") o.bridgeArgs.push_back(value());
        else {
            std::fprintf(stderr, "unknown option %s (see the comment at the top of bench/bridge_load.cpp)\n",
                         a.c_str());
            return 2;
        }
    }
    // Two descriptors for each connection here and in the bridge, and some to spare.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    rlim_t wanted = rlim_t(o.viewers + o.idle) * 2 + 256;
    if (files.rlim_cur < wanted) {
        files.rlim_cur = std::min(wanted, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::printf("descriptor limit (the bridge inherits it): %llu\n", (unsigned long long)files.rlim_cur);

    testing_support::SimulatedRobot robot;
    std::string error;
    if (!robot.start(error)) {
        std::fprintf(stderr, "%s (run this inside unshare -n)\n", error.c_str());
        return 1;
    }
    BridgeProcess bridge;
    if (!bridge.start(o, robot.directory())) {
        std::fprintf(stderr, "halvoran-bridge did not start: %s\n",
                     testing_support::readFile(robot.directory() + "/bridge-errors.txt").c_str());
        return 1;
    }
    Driver driver(bridge.port, o);
    if (!driver.open()) {
        std::fprintf(stderr, "the driver did not get in, or Halvoran was not connected\n");
        return 1;
    }
    if (o.capture && !driver.capture()) std::fprintf(stderr, "the picture did not come; going on without\n");
    std::printf("driving %d s per run, a speed every 100 ms; %d viewers, %s, %s, %d idle connections\n", o.seconds,
                o.viewers, o.stalled ? "a stalled client" : "no stalled client",
                o.flood ? ("a client flooding " + std::to_string(o.floodRate) + " camera lines/s").c_str()
                        : "no flooding client",
                o.idle);

    if (o.clean) {
        double cpu0 = bridge.cpuSeconds(), own0 = ownCpuSeconds();
        auto t0 = Clock::now();
        auto r = driver.drive(o.seconds);
        print("clean", r, bridge.cpuSeconds() - cpu0, std::chrono::duration<double>(Clock::now() - t0).count(), bridge,
              ownCpuSeconds() - own0);
    }
    if (o.abusers) {
        Abusers abusers(bridge.port, o);
        abusers.open();
        std::printf("abusers connected in %.1f s; %d connections refused by the bridge\n", abusers.openSeconds(),
                    abusers.refused());
        std::this_thread::sleep_for(std::chrono::seconds(2));  // let the flood and the stall build up
        double cpu0 = bridge.cpuSeconds(), own0 = ownCpuSeconds();
        auto t0 = Clock::now();
        auto r = driver.drive(o.seconds);
        print("abusers", r, bridge.cpuSeconds() - cpu0, std::chrono::duration<double>(Clock::now() - t0).count(),
              bridge, ownCpuSeconds() - own0);
        std::printf("camera lines flooded: %ld; connections the bridge closed meanwhile: %zu\n", abusers.flooded(),
                    abusers.closedByBridge());
        abusers.close();
    }
    driver.close();
    bridge.process.stop();
    return 0;
}
