// The bridge's network side on a loopback port the system chooses: the subprotocol is required,
// a frame above the limit closes only that connection, and the web folder's files are served
// without a way out of the folder.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <filesystem>
#include <fstream>
#include <thread>

#include "bridge/server.h"

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

        Server::Options options;
        options.ws = {"127.0.0.1", 0};
        options.http = Endpoint{"127.0.0.1", 0};
        options.webDir = web.string();
        server = std::make_unique<Server>(options);
        std::string error;
        ASSERT_TRUE(server->open(error)) << error;
        hub = std::make_unique<Hub>(*server, commands, "test", "127.0.0.1");
        thread = std::thread([this] { server->run(*hub); });
    }
    void TearDown() override {
        server->stop();
        if (thread.joinable()) thread.join();
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

    http::response<http::string_body> get(const std::string& target) {
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->httpPort()));
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, "127.0.0.1");
        request.keep_alive(false);
        http::write(socket, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response;
    }

    std::filesystem::path web;
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
