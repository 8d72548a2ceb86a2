// The bridge's network side on a loopback port the system chooses: the subprotocol is required,
// a frame above the limit closes only that connection, and the web folder's files are served
// without a way out of the folder.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "bridge/server.h"
#include "tests/support/test_support.h"

using namespace bridge;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

struct NoCommands : CommandSink {
    std::atomic<int> count{0};
    void submit(Command, bool) override { ++count; }
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        web = std::filesystem::temp_directory_path() / ("halvoran-bridge-web-" + std::to_string(::getpid()));
        std::filesystem::create_directories(web / "js");
        std::ofstream(web / "index.html") << "<h1>robot</h1>";
        std::ofstream(web / "js" / "app.js") << "let a = 1;";
        std::ofstream(web.parent_path() / "halvoran-bridge-secret.txt") << "secret";

        std::ofstream(web / "login.html") << "<form id=login>";
        start(Server::Options{});
    }
    // (Re)starts the server with these options (addresses and web folder filled in).
    void start(Server::Options options) {
        if (server) {
            server->stop();
            thread.join();
            hub.reset();
            server.reset();
        }
        options.ws = {"127.0.0.1", 0};
        options.http = Endpoint{"127.0.0.1", 0};
        options.webDir = web.string();
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        };
        server = std::make_unique<Server>(options);
        std::string error;
        ASSERT_TRUE(server->open(error)) << error;
        hub = std::make_unique<Hub>(*server, commands, "test", "127.0.0.1");
        thread = std::thread([this] { server->run(*hub); });
    }
    // The line may come from the server's thread just after what the test saw (a closed
    // socket, a refused upgrade): it is waited for, with a bound.
    bool logged(const std::string& part) {
        return testing_support::waitUntil([&] {
            std::lock_guard lock(logMutex);
            for (const auto& line : log)
                if (line.find(part) != std::string::npos) return true;
            return false;
        });
    }
    void TearDown() override {
        server->stop();
        if (thread.joinable()) thread.join();
        hub.reset();
        server.reset();
        std::filesystem::remove_all(web);
        std::filesystem::remove(web.parent_path() / "halvoran-bridge-secret.txt");
    }

    // A WebSocket client; false when the handshake is refused.
    bool handshake(websocket::stream<tcp::socket>& ws, uint16_t port, const std::string& path, bool subprotocol) {
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        ws.set_option(websocket::stream_base::decorator([subprotocol](websocket::request_type& request) {
            if (subprotocol) request.set(http::field::sec_websocket_protocol, "foxglove.websocket.v1");
        }));
        beast::error_code ec;
        ws.handshake("127.0.0.1", path, ec);
        return !ec;
    }

    std::string readText(websocket::stream<tcp::socket>& ws) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        return beast::buffers_to_string(buffer.data());
    }

    http::response<http::string_body> get(const std::string& target, const std::string& cookie = "",
                                          const std::string& host = "127.0.0.1", http::verb verb = http::verb::get,
                                          const std::string& body = "") {
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->httpPort()));
        http::request<http::string_body> request{verb, target, 11};
        request.set(http::field::host, host);
        if (!cookie.empty()) request.set(http::field::cookie, cookie);
        if (!body.empty()) request.set(http::field::content_type, "application/x-www-form-urlencoded");
        request.body() = body;
        request.prepare_payload();
        request.keep_alive(false);
        http::write(socket, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response;
    }

    std::filesystem::path web;
    std::mutex logMutex;
    std::vector<std::string> log;
    NoCommands commands;
    std::unique_ptr<Server> server;
    std::unique_ptr<Hub> hub;
    std::thread thread;
    asio::io_context io;
};

TEST_F(ServerTest, TheHandshakeNeedsTheSubprotocolAndAnswersWithIt) {
    websocket::stream<tcp::socket> without(io);
    EXPECT_FALSE(handshake(without, server->wsPort(), "/", false));

    websocket::stream<tcp::socket> with(io);
    websocket::response_type response;
    with.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->wsPort()));
    with.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
        request.set(http::field::sec_websocket_protocol, "json, foxglove.websocket.v1");
    }));
    with.handshake(response, "127.0.0.1", "/anything");
    EXPECT_EQ(response[http::field::sec_websocket_protocol], "foxglove.websocket.v1");
    EXPECT_EQ(json::parse(readText(with))["op"], "serverInfo");
}

TEST_F(ServerTest, TheWebPortSpeaksTheProtocolAtSlashWsOnly) {
    websocket::stream<tcp::socket> elsewhere(io);
    EXPECT_FALSE(handshake(elsewhere, server->httpPort(), "/socket", true));
    websocket::stream<tcp::socket> ws(io);
    ASSERT_TRUE(handshake(ws, server->httpPort(), "/ws", true));
    EXPECT_EQ(json::parse(readText(ws))["op"], "serverInfo");
}

TEST_F(ServerTest, AFrameAboveTheLimitClosesThatConnectionOnly) {
    websocket::stream<tcp::socket> big(io), other(io);
    ASSERT_TRUE(handshake(big, server->wsPort(), "/", true));
    ASSERT_TRUE(handshake(other, server->wsPort(), "/", true));
    for (int i = 0; i < 3; ++i) {
        readText(big);
        readText(other);
    }
    big.binary(true);
    big.write(asio::buffer(std::string(MAX_CLIENT_MESSAGE + 1, '\x01')));
    beast::flat_buffer buffer;
    beast::error_code ec;
    big.read(buffer, ec);
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(big.reason().code, websocket::close_code::too_big);

    // The other connection goes on: a bad message there is still answered.
    other.text(true);
    other.write(asio::buffer(std::string("{\"op\":\"nonsense\"}")));
    json status = json::parse(readText(other));
    EXPECT_EQ(status["op"], "status");
    EXPECT_EQ(status["level"], STATUS_ERROR);
    EXPECT_EQ(commands.count, 0);
}

TEST_F(ServerTest, TheWebFolderIsServedAndNothingOutsideIt) {
    auto index = get("/");
    EXPECT_EQ(index.result(), http::status::ok);
    EXPECT_EQ(index.body(), "<h1>robot</h1>");
    EXPECT_EQ(index[http::field::content_type], "text/html; charset=utf-8");
    auto script = get("/js/app.js?v=2");
    EXPECT_EQ(script.result(), http::status::ok);
    EXPECT_EQ(script[http::field::content_type], "text/javascript; charset=utf-8");
    for (const char* target : {"/missing.html", "/../halvoran-bridge-secret.txt",
                               "/js/../../halvoran-bridge-secret.txt", "/%2e%2e/halvoran-bridge-secret.txt", "/js"}) {
        auto response = get(target);
        EXPECT_EQ(response.result(), http::status::not_found) << target;
        EXPECT_EQ(response.body().find("secret"), std::string::npos) << target;
    }
}

const std::string TOKEN = "0123456789abcdef0123456789abcdef";

// Reads from a socket until the peer ends the connection; false when that does not happen within
// a generous bound (the socket's receive timeout).
bool endsWithin(tcp::socket& socket, int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(socket.native_handle(), buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

TEST_F(ServerTest, TheTokenOnTheLinkBecomesTheLoginCookie) {
    Server::Options options;
    options.access.driverToken = TOKEN;
    start(options);
    struct Row {
        std::string what, target, cookie;
        http::verb verb;
        std::string body;
        http::status status;
    };
    const Row rows[] = {
        {"nothing", "/", "", http::verb::get, "", http::status::unauthorized},
        {"the login page", "/login.html", "", http::verb::get, "", http::status::ok},
        {"a script without the token", "/js/app.js", "", http::verb::get, "", http::status::unauthorized},
        {"a wrong cookie", "/", "halvoran_token=nope", http::verb::get, "", http::status::unauthorized},
        {"the cookie", "/js/app.js", "halvoran_token=" + TOKEN, http::verb::get, "", http::status::ok},
        {"a wrong token on the link", "/?token=nope", "", http::verb::get, "", http::status::unauthorized},
        {"a wrong token in the form", "/login", "", http::verb::post, "token=nope", http::status::unauthorized},
        {"the form without a token", "/login", "", http::verb::post, "user=x", http::status::unauthorized},
    };
    for (const Row& row : rows) {
        auto response = get(row.target, row.cookie, "127.0.0.1", row.verb, row.body);
        EXPECT_EQ(response.result(), row.status) << row.what;
        EXPECT_EQ(response[http::field::set_cookie], "") << row.what;
        if (row.status == http::status::unauthorized) {
            EXPECT_EQ(response.body().find("robot"), std::string::npos) << row.what;
        }
    }
    // A person without the token at the front page gets the login form.
    EXPECT_EQ(get("/").body(), "<form id=login>");

    for (const auto& [target, verb, body, location] :
         {std::tuple{"/?token=" + TOKEN + "&ws=x", http::verb::get, std::string(), "/?ws=x"},
          std::tuple{std::string("/login"), http::verb::post, "token=" + TOKEN, "/"}}) {
        auto in = get(target, "", "127.0.0.1", verb, body);
        EXPECT_EQ(in.result(), http::status::see_other) << target;
        EXPECT_EQ(in[http::field::location], location) << target;
        std::string cookie(in[http::field::set_cookie]);
        EXPECT_EQ(cookie.rfind("halvoran_token=" + TOKEN + ";", 0), 0u) << cookie;
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    }
    EXPECT_TRUE(logged("wrong token"));
}

TEST_F(ServerTest, AForeignHostNameIsRefusedOnEveryRequest) {
    EXPECT_EQ(get("/login.html", "", "evil.example:8080").result(), http::status::forbidden);
    EXPECT_EQ(get("/login.html", "", "localhost:8080").result(), http::status::ok);
    EXPECT_TRUE(logged("evil.example"));
}

TEST_F(ServerTest, BeyondTheConnectionLimitTheAnswerIs503) {
    Server::Options options;
    options.maxConnections = 2;
    start(options);
    auto endpoint = tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->httpPort());
    tcp::socket first(io), second(io);
    first.connect(endpoint);
    second.connect(endpoint);
    // The idle two hold the slots (they are counted once the bridge has accepted them).
    http::response<http::string_body> beyond;
    for (int i = 0; i < 1000 && beyond.result() != http::status::service_unavailable; ++i) beyond = get("/");
    EXPECT_EQ(beyond.result(), http::status::service_unavailable);
    EXPECT_TRUE(logged("2 connections open already"));
    // A slot given back is taken again.
    first.close();
    http::response<http::string_body> again = beyond;
    for (int i = 0; i < 1000 && again.result() == http::status::service_unavailable; ++i) again = get("/");
    EXPECT_EQ(again.result(), http::status::ok);
}

TEST_F(ServerTest, AHalfSentRequestIsClosedAfterTheTimeout) {
    Server::Options options;
    options.requestTimeout = std::chrono::milliseconds(200);
    start(options);
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->httpPort()));
    asio::write(socket, asio::buffer(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")));
    EXPECT_TRUE(endsWithin(socket, 30));
    EXPECT_TRUE(logged("not complete within the time"));
}

TEST_F(ServerTest, AClientThatDoesNotReadItsAnswersIsDisconnected) {
    Server::Options options;
    options.sendBudget = 64 * 1024;
    start(options);
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().open(tcp::v4());
    ws.next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
    ASSERT_TRUE(handshake(ws, server->wsPort(), "/", true));
    // Each message is answered with a status that this client never reads.
    ws.text(true);
    std::string bad = "{\"op\":\"nonsense\",\"padding\":\"" + std::string(1000, 'x') + "\"}";
    beast::error_code ec;
    // About 30,000 messages fill the budget and the system's buffers; ten times that is the bound.
    for (int i = 0; i < 300000 && !ec; ++i) ws.write(asio::buffer(bad), ec);
    EXPECT_TRUE(ec) << "still connected";
    EXPECT_TRUE(logged("does not read what it is sent"));
}

TEST_F(ServerTest, StoppingClosesEveryWebSocketWithGoingAway) {
    websocket::stream<tcp::socket> ws(io);
    ASSERT_TRUE(handshake(ws, server->wsPort(), "/", true));
    for (int i = 0; i < 3; ++i) readText(ws);
    server->goAway();
    beast::flat_buffer buffer;
    beast::error_code ec;
    while (!ec) ws.read(buffer, ec);
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(ws.reason().code, websocket::close_code::going_away);
    thread.join();  // run() has ended
}

TEST(StaticFilePath, TargetsAndWhatTheyName) {
    struct Row {
        const char* target;
        const char* file;  // "" when refused
    };
    const Row rows[] = {
        {"/", "/w/index.html"},
        {"/js/app.js?x=1#y", "/w/js/app.js"},
        {"/a%20b.css", "/w/a b.css"},
        {"/sub/", "/w/sub/index.html"},
        {"/..", ""},
        {"/a/../../b", ""},
        {"/%2E%2E/b", ""},
        {"/a%2", ""},
        {"/a%00b", ""},
        {"/a\\..\\b", ""},
        {"relative", ""},
        {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(staticFilePath("/w", row.target), row.file) << row.target;
}

TEST(ParseEndpoint, AddressesAndPorts) {
    struct Row {
        const char* text;
        bool ok;
        const char* address;
        uint16_t port;
    };
    const Row rows[] = {
        {"0.0.0.0:8765", true, "0.0.0.0", 8765},
        {"127.0.0.1:0", true, "127.0.0.1", 0},
        {":8080", true, "0.0.0.0", 8080},
        {"[::1]:9000", true, "::1", 9000},
        {"127.0.0.1", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:80x", false, "", 0},
        {"robot:80", false, "", 0},
        {"127.0.0.1:", false, "", 0},
    };
    for (const Row& row : rows) {
        Endpoint e;
        EXPECT_EQ(parseEndpoint(row.text, e), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(e.address, row.address) << row.text;
            EXPECT_EQ(e.port, row.port) << row.text;
        }
    }
}

}  // namespace
