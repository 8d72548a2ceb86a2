#include "bridge/server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <type_traits>

#include "bridge/send_queue.h"

namespace bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace ssl = asio::ssl;

namespace {
constexpr size_t MAX_STATIC_FILE = 32 * 1024 * 1024;
// A client that falls behind hears about its dropped messages at most this often.
constexpr auto DROP_WARNING_EVERY = std::chrono::seconds(10);
// After a failed accept (no descriptors left, say), the next one is tried after this pause.
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(500);
// Lines of the log in one second beyond which the rest of that second is only counted.
constexpr int LOG_LINES_PER_SECOND = 20;
// The pages that a visitor without a token may fetch: the login and what it shows.
constexpr const char* PUBLIC_FILES[] = {"/login.html", "/style.css", "/favicon.ico"};

bool offersSubprotocol(const std::string& header) {
    std::stringstream list(header);
    std::string item;
    while (std::getline(list, item, ',')) {
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        if (first != std::string::npos && item.substr(first, last - first + 1) == SUBPROTOCOL) return true;
    }
    return false;
}

std::string pathOf(const std::string& target) {
    size_t end = target.find_first_of("?#");
    return end == std::string::npos ? target : target.substr(0, end);
}

}  // namespace

bool parseEndpoint(const std::string& text, Endpoint& out) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string address = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    if (address.empty()) address = "0.0.0.0";
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long value = std::stoul(port);
    if (value > 65535) return false;
    boost::system::error_code ec;
    asio::ip::make_address(address, ec);
    if (ec) return false;
    out.address = address;
    out.port = static_cast<uint16_t>(value);
    return true;
}

const char* contentTypeOf(const std::string& path) {
    static const std::pair<const char*, const char*> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".woff2", "font/woff2"},
        {".webmanifest", "application/manifest+json"},
    };
    for (const auto& [ending, type] : types) {
        size_t n = std::strlen(ending);
        if (path.size() >= n && path.compare(path.size() - n, n, ending) == 0) return type;
    }
    return "application/octet-stream";
}

std::string staticFilePath(const std::string& webDir, const std::string& target) {
    std::string raw = pathOf(target);
    if (raw.empty() || raw[0] != '/') return {};
    std::string path;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%') {
            if (i + 2 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
                return {};
            }
            c = static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == 0x7F) return {};
        path += c;
    }
    // No segment may climb out of the folder.
    std::stringstream segments(path);
    std::string segment;
    while (std::getline(segments, segment, '/')) {
        if (segment == "..") return {};
    }
    if (path.back() == '/') path += "index.html";
    return webDir + path;
}


// ---- the log: one line per refusal or error, at most LOG_LINES_PER_SECOND a second ----

class LogBudget {
public:
    explicit LogBudget(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {
        if (!sink_) sink_ = [](const std::string& line) { std::fprintf(stderr, "halvoran-bridge: %s\n", line.c_str()); };
    }
    void operator()(const std::string& line) {
        auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        if (now - windowStart_ >= std::chrono::seconds(1)) {
            if (suppressed_ > 0) sink_(std::to_string(suppressed_) + " more lines left out");
            windowStart_ = now;
            lines_ = 0;
            suppressed_ = 0;
        }
        if (lines_ < LOG_LINES_PER_SECOND) {
            ++lines_;
            sink_(printableLogLine(line));
        } else {
            ++suppressed_;
        }
    }

private:
    std::function<void(const std::string&)> sink_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point windowStart_{};
    int lines_ = 0;
    size_t suppressed_ = 0;
};

// ---- the WebSocket connection ----

class WsSessionBase {
public:
    virtual ~WsSessionBase() = default;
    virtual void enqueue(std::string data, bool binary) = 0;
    virtual void goAway() = 0;
};

struct Listener {
    explicit Listener(asio::io_context& ioc) : acceptor(ioc), retry(ioc) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    bool httpPort = false;
    beast::error_code lastError;  // the last accept error told, until an accept succeeds
};

struct Server::Impl {
    explicit Impl(Options o) : options(std::move(o)), log(options.log) {}
    Options options;
    LogBudget log;
    asio::io_context ioc;
    Listener wsListener{ioc};
    Listener httpListener{ioc};
    asio::signal_set signals{ioc};
    asio::steady_timer stopTimer{ioc};
    std::optional<ssl::context> tls;
    ClientHandler* hub = nullptr;
    std::atomic<uint32_t> nextId{1};
    std::atomic<size_t> connections{0};
    std::atomic<size_t> lingering{0};  // turned away, their answer on the way
    bool goingAway = false;  // on the network thread

    std::mutex mutex;
    std::map<ClientId, std::weak_ptr<WsSessionBase>> sessions;

    void accept(Listener& listener);
    void queue(ClientId client, std::string data, bool binary);
    void goAway();
    void sessionGone(ClientId id);
};

// Holds one of the connections that the limit counts, for as long as the connection lives.
class ConnectionSlot {
public:
    explicit ConnectionSlot(Server::Impl& server) : server_(&server) { ++server.connections; }
    ConnectionSlot(ConnectionSlot&& other) noexcept : server_(std::exchange(other.server_, nullptr)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (server_) --server_->connections;
    }

private:
    Server::Impl* server_;
};

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class Stream>
class WsSession : public WsSessionBase, public std::enable_shared_from_this<WsSession<Stream>> {
public:
    WsSession(Stream&& stream, Server::Impl& server, ConnectionSlot slot, ClientId id, std::string name, Role role)
        : ws_(std::move(stream)),
          server_(server),
          slot_(std::move(slot)),
          id_(id),
          name_(std::move(name)),
          role_(role),
          out_(server.options.sendBudget) {}

    void accept(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(10);
        timeouts.idle_timeout = std::chrono::seconds(15);  // a peer that vanished is noticed
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::sec_websocket_protocol, SUBPROTOCOL);
            response.set(http::field::server, "halvoran-bridge");
        }));
        ws_.read_message_max(MAX_CLIENT_MESSAGE);
        ws_.async_accept(request, beast::bind_front_handler(&WsSession::onAccept, this->shared_from_this()));
    }

    // On the network thread.
    void enqueue(std::string data, bool binary) override {
        if (closed_) return;
        auto pushed = out_.push(std::move(data), binary);
        if (pushed.dropped > 0) {
            dropped_ += pushed.dropped;
            auto now = std::chrono::steady_clock::now();
            if (!warnedAt_ || now - *warnedAt_ >= DROP_WARNING_EVERY) {
                warnedAt_ = now;
                server_.log("client " + std::to_string(id_) + " (" + name_ + ") reads slower than its data comes: " +
                            std::to_string(dropped_) + " messages dropped");
                pushed = out_.push(statusJson(STATUS_WARNING,
                                              "this connection is too slow for the data: older messages were dropped",
                                              "halvoran.send-budget"),
                                   false);
            }
        }
        if (pushed.overBudget) {
            server_.log("client " + std::to_string(id_) + " (" + name_ + ") disconnected: it does not read what it is sent (" +
                        std::to_string(out_.bytes()) + " bytes waiting)");
            closed_ = true;
            out_.clear();
            // It does not read: no closing handshake, the connection just ends.
            beast::get_lowest_layer(ws_).close();
            return;
        }
        if (!writing_) write();
    }

    void goAway() override {
        if (closed_ || closing_) return;
        closing_ = true;
        ws_.async_close(websocket::close_reason(websocket::close_code::going_away, "the bridge is stopping"),
                        [self = this->shared_from_this()](beast::error_code) {});
    }

private:
    void onAccept(beast::error_code ec) {
        if (ec) {
            if (ec != asio::error::operation_aborted) server_.log("WebSocket handshake with " + name_ + " failed: " + ec.message());
            return;
        }
        {
            std::lock_guard lock(server_.mutex);
            server_.sessions[id_] = std::static_pointer_cast<WsSessionBase>(this->shared_from_this());
        }
        opened_ = true;
        server_.hub->open(id_, name_, role_);
        read();
    }

    void read() { ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::onRead, this->shared_from_this())); }

    void onRead(beast::error_code ec, size_t) {
        if (ec) {
            // Closed by the peer, a frame above the limit (closed with "message too big"), lost,
            // or closed here.
            if (ec != websocket::error::closed && ec != asio::error::operation_aborted && ec != asio::error::eof &&
                ec != beast::error::timeout && !closed_) {
                server_.log("client " + std::to_string(id_) + " (" + name_ + "): " + ec.message());
            }
            closed_ = true;
            out_.clear();
            server_.hub->close(id_);
            server_.sessionGone(id_);
            return;
        }
        std::string data = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (ws_.got_text()) server_.hub->handleText(id_, data);
        else server_.hub->handleBinary(id_, data);
        read();
    }

    void write() {
        writing_ = true;
        const auto& item = out_.front();
        ws_.text(!item.binary);
        ws_.async_write(asio::buffer(item.data),
                        beast::bind_front_handler(&WsSession::onWrite, this->shared_from_this()));
    }

    void onWrite(beast::error_code ec, size_t) {
        writing_ = false;
        if (closed_) return;  // cleared while the write was on its way
        out_.pop();
        if (ec) {
            closed_ = true;
            out_.clear();
            return;  // the read side notices the end and tells the hub
        }
        if (!out_.empty() && !closing_) write();
    }

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    Server::Impl& server_;
    ConnectionSlot slot_;
    ClientId id_;
    std::string name_;
    Role role_;
    SendQueue out_;
    bool writing_ = false;
    bool closed_ = false;
    bool closing_ = false;
    bool opened_ = false;
    size_t dropped_ = 0;
    std::optional<std::chrono::steady_clock::time_point> warnedAt_;
};

void Server::Impl::queue(ClientId client, std::string data, bool binary) {
    std::shared_ptr<WsSessionBase> session;
    {
        std::lock_guard lock(mutex);
        auto it = sessions.find(client);
        if (it == sessions.end()) return;
        session = it->second.lock();
    }
    if (!session) return;
    asio::post(ioc, [session, data = std::move(data), binary]() mutable { session->enqueue(std::move(data), binary); });
}

void Server::Impl::sessionGone(ClientId id) {
    bool none;
    {
        std::lock_guard lock(mutex);
        sessions.erase(id);
        none = sessions.empty();
    }
    if (goingAway && none) ioc.stop();
}

void Server::Impl::goAway() {
    if (goingAway) return;
    goingAway = true;
    beast::error_code ignored;
    wsListener.acceptor.close(ignored);
    httpListener.acceptor.close(ignored);
    wsListener.retry.cancel();
    httpListener.retry.cancel();
    std::vector<std::shared_ptr<WsSessionBase>> open;
    {
        std::lock_guard lock(mutex);
        for (auto& [id, weak] : sessions)
            if (auto session = weak.lock()) open.push_back(session);
    }
    if (open.empty()) return ioc.stop();
    for (auto& session : open) session->goAway();
    // Clients that do not answer the close are not waited for long.
    stopTimer.expires_after(std::chrono::seconds(1));
    stopTimer.async_wait([this](beast::error_code ec) {
        if (!ec) ioc.stop();
    });
}

// ---- HTTP: the access checks, the login, the upgrade to WebSocket, and the web folder ----

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    static constexpr bool TLS = std::is_same_v<Stream, TlsStream>;

    HttpSession(tcp::socket&& socket, Server::Impl& server, ConnectionSlot slot, bool httpPort)
        : stream_(makeStream(std::move(socket), server)), server_(server), slot_(std::move(slot)), httpPort_(httpPort) {
        beast::error_code ignored;
        auto remote = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored);
        name_ = ignored ? std::string("?") : remote.address().to_string() + ":" + std::to_string(remote.port());
    }

    void start() {
        if constexpr (TLS) {
            beast::get_lowest_layer(stream_).expires_after(server_.options.requestTimeout);
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec) {
                                            self->server_.log("TLS handshake with " + self->name_ + " failed: " + ec.message());
                                            return;
                                        }
                                        self->read();
                                    });
        } else {
            read();
        }
    }

private:
    static Stream makeStream(tcp::socket&& socket, Server::Impl& server) {
        if constexpr (TLS) return Stream(std::move(socket), *server.tls);
        else return Stream(std::move(socket));
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(4 * 1024);
        // The whole request within the time, however slowly its bytes come.
        beast::get_lowest_layer(stream_).expires_after(server_.options.requestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
    }

    void refuse(http::status status, const std::string& why, const http::request<http::string_body>& request,
                std::string body) {
        server_.log("refused " + name_ + " " + std::string(request.method_string()) + " " +
                    pathOf(std::string(request.target())) + ": " + why);
        respond(plain(status, std::move(body), request.version(), false));
    }

    void onRead(beast::error_code ec, size_t) {
        if (ec == http::error::end_of_stream) return closeStream();
        if (ec) {
            if (ec == beast::error::timeout) {
                server_.log("request from " + name_ + " not complete within the time: closed");
                return closeStream();
            }
            if (ec == asio::error::operation_aborted) return;
            // A request that is not HTTP, or too large: answer once and close.
            server_.log("bad request from " + name_ + ": " + ec.message());
            return respond(plain(http::status::bad_request, "bad request\n", 11, false));
        }
        http::request<http::string_body> request = parser_->release();
        const AccessPolicy& policy = server_.options.access;
        std::string target(request.target());
        std::string path = pathOf(target);
        std::string host(request[http::field::host]);
        if (!hostAllowed(policy, host)) {
            return refuse(http::status::forbidden, "Host \"" + host + "\" is not one of this bridge's names", request,
                          "this bridge does not answer to the name \"" + host + "\" (see --allow-host)\n");
        }
        Presented presented = presentedToken(target, std::string(request[http::field::authorization]),
                                             std::string(request[http::field::cookie]));
        if (websocket::is_upgrade(request)) return upgrade(std::move(request), path, host, presented);
        if (!httpPort_) {
            return respond(
                plain(http::status::upgrade_required,
                      std::string("this port speaks the Foxglove WebSocket protocol (") + SUBPROTOCOL + ")\n",
                      request.version(), request.keep_alive()));
        }
        if (path == "/login" && request.method() == http::verb::post) return login(request);
        if (presented.source == TokenSource::Query) {
            // The link with the token logs the browser in, and the token leaves the address bar.
            if (decideAccess(policy, presented) == Access::Refused) return refuseToken(request, presented);
            auto response = plain(http::status::see_other, "logged in\n", request.version(), request.keep_alive());
            response.set(http::field::location, targetWithout(target, TOKEN_PARAMETER));
            if (!policy.driverToken.empty()) response.set(http::field::set_cookie, loginCookie(presented.token, TLS));
            return respond(std::move(response));
        }
        bool isPublic = false;
        for (const char* file : PUBLIC_FILES) isPublic = isPublic || path == file;
        if (!isPublic && decideAccess(policy, presented) == Access::Refused) return refuseToken(request, presented);
        serveFile(request);
    }

    void refuseToken(const http::request<http::string_body>& request, const Presented& presented) {
        const char* why = presented.source == TokenSource::None ? "no token" : "wrong token";
        std::string path = pathOf(std::string(request.target()));
        bool page = path == "/" || path.ends_with(".html");
        if (page && request.method() == http::verb::get) {
            // A person at the door: the login page, with the refusal's status.
            std::string body;
            if (readWebFile("/login.html", body)) {
                server_.log("refused " + name_ + " GET " + path + ": " + why + " (sent the login page)");
                auto response = plain(http::status::unauthorized, std::move(body), request.version(), false);
                response.set(http::field::content_type, "text/html; charset=utf-8");
                response.set(http::field::cache_control, "no-store");
                return respond(std::move(response));
            }
        }
        refuse(http::status::unauthorized, why, request,
               std::string(why) + ": give the token as ?token=, as \"Authorization: Bearer\", or log in at /login.html\n");
    }

    void login(const http::request<http::string_body>& request) {
        Presented presented;
        if (auto token = formValue(request.body(), TOKEN_PARAMETER)) presented = {TokenSource::Query, *token};
        const AccessPolicy& policy = server_.options.access;
        if (decideAccess(policy, presented) == Access::Refused) {
            return refuse(http::status::unauthorized, presented.token.empty() ? "no token" : "wrong token", request,
                          "wrong token\n");
        }
        auto response = plain(http::status::see_other, "logged in\n", request.version(), request.keep_alive());
        response.set(http::field::location, "/");
        if (!policy.driverToken.empty()) response.set(http::field::set_cookie, loginCookie(presented.token, TLS));
        respond(std::move(response));
    }

    void upgrade(http::request<http::string_body> request, const std::string& path, const std::string& host,
                 const Presented& presented) {
        const AccessPolicy& policy = server_.options.access;
        if (httpPort_ && path != "/ws") {
            return respond(plain(http::status::not_found, "the WebSocket is at /ws\n", request.version(), false));
        }
        std::string origin(request[http::field::origin]);
        if (!originAllowed(policy, origin, host)) {
            return refuse(http::status::forbidden, "Origin \"" + origin + "\" is not allowed", request,
                          "a page from " + origin + " may not open this WebSocket (see --allow-origin)\n");
        }
        Access access = decideAccess(policy, presented);
        if (access == Access::Refused) {
            return refuse(http::status::unauthorized,
                          presented.source == TokenSource::None ? "no token" : "wrong token", request,
                          "a token is needed: give it as ?token=, as \"Authorization: Bearer\", or log in on the "
                          "dashboard\n");
        }
        if (!offersSubprotocol(std::string(request[http::field::sec_websocket_protocol]))) {
            return respond(plain(http::status::bad_request,
                                 std::string("the WebSocket subprotocol ") + SUBPROTOCOL + " is required\n",
                                 request.version(), false));
        }
        std::make_shared<WsSession<Stream>>(std::move(stream_), server_, std::move(slot_), server_.nextId++, name_,
                                            access == Access::Viewer ? Role::Viewer : Role::Driver)
            ->accept(std::move(request));
    }

    static http::response<http::string_body> plain(http::status status, std::string body, unsigned version,
                                                   bool keepAlive) {
        http::response<http::string_body> response{status, version};
        response.set(http::field::server, "halvoran-bridge");
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.keep_alive(keepAlive);
        response.body() = std::move(body);
        response.prepare_payload();
        return response;
    }

    // The file that a target names in the web folder, never one outside it.
    bool readWebFile(const std::string& target, std::string& body, std::string* file = nullptr) {
        std::string path = staticFilePath(server_.options.webDir, target);
        std::error_code fsError;
        namespace fs = std::filesystem;
        bool found = !path.empty() && fs::is_regular_file(path, fsError);
        if (found) {
            // A symbolic link inside the folder must not lead out of it either.
            auto root = fs::canonical(server_.options.webDir, fsError);
            auto real = fs::canonical(path, fsError);
            auto rel = real.lexically_relative(root);
            found = !fsError && !rel.empty() && *rel.begin() != "..";
        }
        if (found) {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            body = content.str();
            found = (in.good() || in.eof()) && body.size() <= MAX_STATIC_FILE;
        }
        if (file) *file = path;
        return found;
    }

    void serveFile(const http::request<http::string_body>& request) {
        bool head = request.method() == http::verb::head;
        if (request.method() != http::verb::get && !head) {
            auto response =
                plain(http::status::method_not_allowed, "only GET and HEAD\n", request.version(), request.keep_alive());
            response.set(http::field::allow, "GET, HEAD");
            return respond(std::move(response));
        }
        std::string body, file;
        if (!readWebFile(std::string(request.target()), body, &file))
            return respond(plain(http::status::not_found, "not found\n", request.version(), request.keep_alive()));
        http::response<http::string_body> response{http::status::ok, request.version()};
        response.set(http::field::server, "halvoran-bridge");
        response.set(http::field::content_type, contentTypeOf(file));
        response.set(http::field::cache_control, "no-cache");
        response.keep_alive(request.keep_alive());
        response.content_length(body.size());
        if (!head) response.body() = std::move(body);
        respond(std::move(response));
    }

    void respond(http::response<http::string_body> response) {
        auto message = std::make_shared<http::response<http::string_body>>(std::move(response));
        beast::get_lowest_layer(stream_).expires_after(server_.options.requestTimeout);
        http::async_write(stream_, *message, [self = this->shared_from_this(), message](beast::error_code ec, size_t) {
            if (ec || !message->keep_alive()) return self->closeStream();
            self->read();
        });
    }

    void closeStream() {
        beast::error_code ignored;
        if constexpr (TLS) {
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                beast::error_code ignored2;
                beast::get_lowest_layer(self->stream_).socket().shutdown(tcp::socket::shutdown_both, ignored2);
            });
        } else {
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Server::Impl& server_;
    ConnectionSlot slot_;
    bool httpPort_;
    std::string name_;
};

// Beyond the connection limit: a short answer, and the connection ends. What the client sent is
// read and dropped for a moment first (closing with its request unread would reset the connection
// and could lose the answer); only a few such connections linger at a time.
class TurnAway : public std::enable_shared_from_this<TurnAway> {
public:
    static constexpr size_t MAX_LINGERING = 64;
    TurnAway(tcp::socket&& socket, std::atomic<size_t>& lingering)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), lingering_(lingering) {
        ++lingering_;
    }
    ~TurnAway() { --lingering_; }

    void start() {
        static const std::string answer =
            "HTTP/1.1 503 Service Unavailable\r\nServer: halvoran-bridge\r\nContent-Type: text/plain; "
            "charset=utf-8\r\nContent-Length: 38\r\nRetry-After: 5\r\nConnection: close\r\n\r\n"
            "too many connections: try again later\n";
        beast::error_code ignored;
        socket_.non_blocking(true, ignored);
        // Whatever the socket takes at once; a client that does not read gets less, not a wait.
        socket_.write_some(asio::buffer(answer), ignored);
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        timer_.expires_after(std::chrono::milliseconds(500));
        timer_.async_wait([self = shared_from_this()](beast::error_code) {
            beast::error_code ignored2;
            self->socket_.close(ignored2);
        });
        drain();
    }

private:
    void drain() {
        socket_.async_read_some(asio::buffer(sink_), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                self->timer_.cancel();
                return;
            }
            self->drain();
        });
    }
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::atomic<size_t>& lingering_;
    char sink_[1024];
};

void Server::Impl::accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !listener.acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors, say: told once, tried again after a pause (not in a loop that
            // holds a core while the condition lasts).
            if (ec != listener.lastError) log("cannot accept connections: " + ec.message() + "; trying again");
            listener.lastError = ec;
            listener.retry.expires_after(ACCEPT_RETRY);
            listener.retry.async_wait([this, &listener](beast::error_code waited) {
                if (!waited) accept(listener);
            });
            return;
        }
        if (listener.lastError) {
            log("accepting connections again");
            listener.lastError = {};
        }
        if (connections >= options.maxConnections) {
            beast::error_code ignored;
            auto remote = socket.remote_endpoint(ignored);
            log("refused " + (ignored ? std::string("?") : remote.address().to_string()) + ": " +
                std::to_string(options.maxConnections) + " connections open already");
            if (lingering < TurnAway::MAX_LINGERING) {
                std::make_shared<TurnAway>(std::move(socket), lingering)->start();
            } else {
                socket.close(ignored);
            }
        } else {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            if (tls) {
                std::make_shared<HttpSession<TlsStream>>(std::move(socket), *this, ConnectionSlot(*this), listener.httpPort)
                    ->start();
            } else {
                std::make_shared<HttpSession<PlainStream>>(std::move(socket), *this, ConnectionSlot(*this),
                                                           listener.httpPort)
                    ->start();
            }
        }
        accept(listener);
    });
}

// ---- Server ----

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() = default;

namespace {
bool listenOn(tcp::acceptor& acceptor, const Endpoint& where, std::string& error) {
    beast::error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address(where.address, ec), where.port);
    if (ec) {
        error = "not an address: " + where.address;
        return false;
    }
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + where.address + ":" + std::to_string(where.port) + ": " + ec.message();
        return false;
    }
    return true;
}
}  // namespace

bool Server::open(std::string& error) {
    Options& options = impl_->options;
    if (!options.tlsCert.empty() || !options.tlsKey.empty()) {
        if (options.tlsCert.empty() || options.tlsKey.empty()) {
            error = "TLS needs both --tls-cert and --tls-key";
            return false;
        }
        impl_->tls.emplace(ssl::context::tls_server);
        auto& context = *impl_->tls;
        context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                            ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        beast::error_code ec;
        context.use_certificate_chain_file(options.tlsCert, ec);
        if (ec) {
            error = "cannot use the certificate " + options.tlsCert + ": " + ec.message();
            return false;
        }
        context.use_private_key_file(options.tlsKey, ssl::context::pem, ec);
        if (ec) {
            error = "cannot use the key " + options.tlsKey + ": " + ec.message();
            return false;
        }
        options.access.tls = true;
    }
    impl_->httpListener.httpPort = true;
    if (options.handleSignals) {
        // From here on, before the program says it listens: a signal that comes before run() is kept.
        impl_->signals.add(SIGINT);
        impl_->signals.add(SIGTERM);
    }
    if (!listenOn(impl_->wsListener.acceptor, options.ws, error)) return false;
    if (options.http && !listenOn(impl_->httpListener.acceptor, *options.http, error)) return false;
    options.access.ownPorts = {wsPort()};
    if (options.http) options.access.ownPorts.push_back(httpPort());
    return true;
}

uint16_t Server::wsPort() const {
    beast::error_code ec;
    return impl_->wsListener.acceptor.local_endpoint(ec).port();
}

uint16_t Server::httpPort() const {
    beast::error_code ec;
    return impl_->httpListener.acceptor.is_open() ? impl_->httpListener.acceptor.local_endpoint(ec).port() : 0;
}

void Server::run(ClientHandler& hub) {
    impl_->hub = &hub;
    impl_->accept(impl_->wsListener);
    if (impl_->httpListener.acceptor.is_open()) impl_->accept(impl_->httpListener);
    if (impl_->options.handleSignals) {
        impl_->signals.async_wait([this](beast::error_code ec, int) {
            if (!ec) impl_->goAway();
        });
    }
    impl_->ioc.run();
}

void Server::stop() { impl_->ioc.stop(); }

void Server::goAway() {
    asio::post(impl_->ioc, [this] { impl_->goAway(); });
}

void Server::sendText(ClientId client, std::string text) { impl_->queue(client, std::move(text), false); }

void Server::sendBinary(ClientId client, std::string frame) { impl_->queue(client, std::move(frame), true); }

}  // namespace bridge
