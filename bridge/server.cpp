#include "bridge/server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
// Message data frames queued for one connection beyond which newer ones are dropped (a viewer
// on a slow line sees fewer reports instead of holding the bridge's memory).
constexpr size_t MAX_QUEUED_FRAMES = 1024;
constexpr size_t MAX_STATIC_FILE = 32 * 1024 * 1024;
constexpr auto HTTP_READ_TIMEOUT = std::chrono::seconds(30);

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

// ---- the WebSocket connection ----

class WsSession;

struct Server::Impl {
    Options options;
    asio::io_context ioc;
    tcp::acceptor wsAcceptor{ioc};
    tcp::acceptor httpAcceptor{ioc};
    asio::signal_set signals{ioc};
    Hub* hub = nullptr;
    std::atomic<uint32_t> nextId{1};

    std::mutex mutex;
    std::map<ClientId, std::weak_ptr<WsSession>> sessions;

    void accept(tcp::acceptor& acceptor, bool httpPort);
    void queue(ClientId client, std::string data, bool binary);
};

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(tcp::socket&& socket, Server::Impl& server, ClientId id, std::string name)
        : ws_(std::move(socket)), server_(server), id_(id), name_(std::move(name)) {}

    void accept(http::request<http::string_body> request) {
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
        ws_.async_accept(request, beast::bind_front_handler(&WsSession::onAccept, shared_from_this()));
    }

    // On the network thread.
    void enqueue(std::string data, bool binary) {
        if (closed_) return;
        // A client that sends without reading cannot grow the queue without end either: past
        // twice the limit its status answers go too.
        if ((binary && out_.size() >= MAX_QUEUED_FRAMES) || out_.size() >= 2 * MAX_QUEUED_FRAMES) return;
        out_.emplace_back(std::move(data), binary);
        if (!writing_) write();
    }

private:
    void onAccept(beast::error_code ec) {
        if (ec) return;
        {
            std::lock_guard lock(server_.mutex);
            server_.sessions[id_] = weak_from_this();
        }
        server_.hub->open(id_, name_);
        read();
    }

    void read() { ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::onRead, shared_from_this())); }

    void onRead(beast::error_code ec, size_t) {
        if (ec) {
            // Closed by the peer, a frame above the limit (closed with "message too big"), or lost.
            closed_ = true;
            {
                std::lock_guard lock(server_.mutex);
                server_.sessions.erase(id_);
            }
            server_.hub->close(id_);
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
        ws_.text(!out_.front().second);
        ws_.async_write(asio::buffer(out_.front().first),
                        beast::bind_front_handler(&WsSession::onWrite, shared_from_this()));
    }

    void onWrite(beast::error_code ec, size_t) {
        out_.pop_front();
        if (ec) {
            writing_ = false;
            closed_ = true;
            out_.clear();
            return;  // the read side notices the end and tells the hub
        }
        if (out_.empty()) writing_ = false;
        else write();
    }

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    Server::Impl& server_;
    ClientId id_;
    std::string name_;
    std::deque<std::pair<std::string, bool>> out_;
    bool writing_ = false;
    bool closed_ = false;
};

void Server::Impl::queue(ClientId client, std::string data, bool binary) {
    std::shared_ptr<WsSession> session;
    {
        std::lock_guard lock(mutex);
        auto it = sessions.find(client);
        if (it == sessions.end()) return;
        session = it->second.lock();
    }
    if (!session) return;
    asio::post(ioc, [session, data = std::move(data), binary]() mutable { session->enqueue(std::move(data), binary); });
}

// ---- HTTP: the upgrade to WebSocket, and the web folder ----

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, Server::Impl& server, bool httpPort)
        : stream_(std::move(socket)), server_(server), httpPort_(httpPort) {}

    void read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(4 * 1024);
        stream_.expires_after(HTTP_READ_TIMEOUT);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
    }

private:
    void onRead(beast::error_code ec, size_t) {
        if (ec == http::error::end_of_stream) {
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
            return;
        }
        if (ec) {
            // A request that is not HTTP, or too large: answer once and close.
            if (ec != beast::error::timeout && ec != asio::error::operation_aborted) {
                respond(plain(http::status::bad_request, "bad request\n", 11, false));
            }
            return;
        }
        http::request<http::string_body> request = parser_->release();
        std::string path = pathOf(std::string(request.target()));
        if (websocket::is_upgrade(request)) {
            if (httpPort_ && path != "/ws") {
                return respond(plain(http::status::not_found, "the WebSocket is at /ws\n", request.version(), false));
            }
            if (!offersSubprotocol(std::string(request[http::field::sec_websocket_protocol]))) {
                return respond(plain(http::status::bad_request,
                                     std::string("the WebSocket subprotocol ") + SUBPROTOCOL + " is required\n",
                                     request.version(), false));
            }
            beast::error_code ignored;
            auto remote = stream_.socket().remote_endpoint(ignored);
            std::string name =
                ignored ? std::string("?") : remote.address().to_string() + ":" + std::to_string(remote.port());
            stream_.expires_never();
            std::make_shared<WsSession>(stream_.release_socket(), server_, server_.nextId++, name)
                ->accept(std::move(request));
            return;
        }
        if (!httpPort_) {
            return respond(
                plain(http::status::upgrade_required,
                      std::string("this port speaks the Foxglove WebSocket protocol (") + SUBPROTOCOL + ")\n",
                      request.version(), request.keep_alive()));
        }
        serveFile(request);
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

    void serveFile(const http::request<http::string_body>& request) {
        bool head = request.method() == http::verb::head;
        if (request.method() != http::verb::get && !head) {
            auto response =
                plain(http::status::method_not_allowed, "only GET and HEAD\n", request.version(), request.keep_alive());
            response.set(http::field::allow, "GET, HEAD");
            return respond(std::move(response));
        }
        std::string file = staticFilePath(server_.options.webDir, std::string(request.target()));
        std::error_code fsError;
        namespace fs = std::filesystem;
        bool found = !file.empty() && fs::is_regular_file(file, fsError);
        if (found) {
            // A symbolic link inside the folder must not lead out of it either.
            auto root = fs::canonical(server_.options.webDir, fsError);
            auto real = fs::canonical(file, fsError);
            auto rel = real.lexically_relative(root);
            found = !fsError && !rel.empty() && *rel.begin() != "..";
        }
        std::string body;
        if (found) {
            std::ifstream in(file, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            body = content.str();
            found = in.good() || in.eof();
            if (body.size() > MAX_STATIC_FILE) found = false;
        }
        if (!found)
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
        stream_.expires_after(HTTP_READ_TIMEOUT);
        http::async_write(stream_, *message, [self = shared_from_this(), message](beast::error_code ec, size_t) {
            if (ec || !message->keep_alive()) {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->read();
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Server::Impl& server_;
    bool httpPort_;
};

void Server::Impl::accept(tcp::acceptor& acceptor, bool httpPort) {
    acceptor.async_accept([this, &acceptor, httpPort](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<HttpSession>(std::move(socket), *this, httpPort)->read();
        }
        accept(acceptor, httpPort);
    });
}

// ---- Server ----

Server::Server(Options options) : impl_(std::make_unique<Impl>()) { impl_->options = std::move(options); }

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
    if (!listenOn(impl_->wsAcceptor, impl_->options.ws, error)) return false;
    if (impl_->options.http && !listenOn(impl_->httpAcceptor, *impl_->options.http, error)) return false;
    return true;
}

uint16_t Server::wsPort() const {
    beast::error_code ec;
    return impl_->wsAcceptor.local_endpoint(ec).port();
}

uint16_t Server::httpPort() const {
    beast::error_code ec;
    return impl_->httpAcceptor.is_open() ? impl_->httpAcceptor.local_endpoint(ec).port() : 0;
}

void Server::run(Hub& hub) {
    impl_->hub = &hub;
    impl_->accept(impl_->wsAcceptor, false);
    if (impl_->httpAcceptor.is_open()) impl_->accept(impl_->httpAcceptor, true);
    if (impl_->options.handleSignals) {
        impl_->signals.add(SIGINT);
        impl_->signals.add(SIGTERM);
        impl_->signals.async_wait([this](beast::error_code ec, int) {
            if (!ec) impl_->ioc.stop();
        });
    }
    impl_->ioc.run();
}

void Server::stop() { impl_->ioc.stop(); }

void Server::sendText(ClientId client, std::string text) { impl_->queue(client, std::move(text), false); }

void Server::sendBinary(ClientId client, std::string frame) { impl_->queue(client, std::move(frame), true); }

}  // namespace bridge
