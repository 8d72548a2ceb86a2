// halvoran-bridge: holds the one Halvoran session and serves it to many viewers and one driver
// over the Foxglove WebSocket protocol, and the web dashboard's files over HTTP.
#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/access.h"
#include "bridge/hub.h"
#include "bridge/playback_hub.h"
#include "bridge/player.h"
#include "bridge/robot_link.h"
#include "bridge/server.h"

using namespace bridge;

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

size_t sizeOr(const char* name, size_t fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(value, &end, 10);
    if (*end != '\0' || parsed == 0) {
        std::fprintf(stderr, "halvoran-bridge: %s is not a number: %s (using %zu)\n", name, value, fallback);
        return fallback;
    }
    return static_cast<size_t>(parsed);
}

// The dashboard's files: installed beside the program as ../share/halvoran/web, or else the
// source tree's bridge/web when the program runs from a build directory.
std::string defaultWebDir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        auto installed = exe.parent_path() / ".." / "share" / "halvoran" / "web";
        if (std::filesystem::is_directory(installed, ec)) return installed.lexically_normal().string();
    }
    return HALVORAN_WEB_SOURCE_DIR;
}

// A token from its file: the first line, without surrounding blanks. False with the reason.
bool readToken(const std::string& file, bool credential, std::string& token, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the token file " + file;
        return false;
    }
    std::getline(in, token);
    size_t first = token.find_first_not_of(" \t\r");
    size_t last = token.find_last_not_of(" \t\r");
    token = first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
    if (!usableToken(token)) {
        error = "the token in " + file +
                " is not usable: 16 to 512 visible characters without quotes, commas, semicolons or backslashes";
        return false;
    }
    struct stat info {};
    if (!credential && ::stat(file.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
        std::fprintf(stderr, "halvoran-bridge: warning: %s can be read by other users (chmod 600 it)\n", file.c_str());
    }
    return true;
}

// The token from --token-file (or its variable), else from the systemd credential of that name.
bool findToken(const std::string& file, const char* credentialName, std::string& token, std::string& from,
               std::string& error) {
    if (!file.empty()) {
        from = file;
        return readToken(file, false, token, error);
    }
    const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
    if (directory != nullptr && *directory != '\0') {
        std::string path = std::string(directory) + "/" + credentialName;
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            from = "the credential " + std::string(credentialName);
            return readToken(path, true, token, error);
        }
    }
    return true;
}

bool isLoopback(const std::string& address) {
    boost::system::error_code ec;
    auto parsed = boost::asio::ip::make_address(address, ec);
    return !ec && parsed.is_loopback();
}

bool isAnyAddress(const std::string& address) { return address == "0.0.0.0" || address == "::"; }

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

std::string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string text(name);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = envOr("HALVORAN_HOST", "127.0.0.1");
    // Unset: every address when a token guards the door, the loopback address when none does.
    std::string listen = envOr("HALVORAN_BRIDGE_LISTEN", "");
    std::string httpListen = envOr("HALVORAN_BRIDGE_HTTP", "");
    std::string webDir = envOr("HALVORAN_WEB", "");
    std::string tokenFile = envOr("HALVORAN_BRIDGE_TOKEN_FILE", "");
    std::string viewerTokenFile = envOr("HALVORAN_BRIDGE_VIEWER_TOKEN_FILE", "");
    std::vector<std::string> allowOrigins = splitList(envOr("HALVORAN_BRIDGE_ALLOW_ORIGIN", ""));
    std::vector<std::string> allowHosts = splitList(envOr("HALVORAN_BRIDGE_ALLOW_HOST", ""));
    std::string tlsCert = envOr("HALVORAN_BRIDGE_TLS_CERT", "");
    std::string tlsKey = envOr("HALVORAN_BRIDGE_TLS_KEY", "");
    size_t maxConnections = sizeOr("HALVORAN_BRIDGE_MAX_CONNECTIONS", 64);
    size_t sendBudget = sizeOr("HALVORAN_BRIDGE_SEND_BUDGET", 8 * 1024 * 1024);
    bool noAuth = envOr("HALVORAN_BRIDGE_NO_AUTH", "") == "1";
    bool version = false;
    std::string playFile;
    double rate = 1.0;
    bool loop = false;

    CLI::App app{"halvoran-bridge: Halvoran for many viewers and one driver, over the Foxglove WebSocket protocol"};
    app.add_option("--halvoran", host, "Halvoran's host (env HALVORAN_HOST)")->capture_default_str();
    app.add_option("--listen", listen,
                   "ADDR:PORT of the WebSocket (env HALVORAN_BRIDGE_LISTEN; default 0.0.0.0:8765 with a token, "
                   "127.0.0.1:8765 without)");
    app.add_option("--http", httpListen,
                   "ADDR:PORT of the web dashboard and its WebSocket at /ws, or \"off\" "
                   "(env HALVORAN_BRIDGE_HTTP; default 0.0.0.0:8080 with a token, 127.0.0.1:8080 without)");
    app.add_option("--web", webDir, "the dashboard's folder (env HALVORAN_WEB)");
    app.add_option("--token-file", tokenFile,
                   "the file holding the driver's token (env HALVORAN_BRIDGE_TOKEN_FILE; under systemd the "
                   "credential \"token\")");
    app.add_option("--viewer-token-file", viewerTokenFile,
                   "the file holding a token that may watch but not drive (env HALVORAN_BRIDGE_VIEWER_TOKEN_FILE; "
                   "the credential \"viewer-token\")");
    app.add_flag("--no-auth", noAuth,
                 "no token, on every address: anyone who reaches the ports may drive (closed networks only; "
                 "env HALVORAN_BRIDGE_NO_AUTH=1)");
    app.add_option("--allow-origin", allowOrigins,
                   "a web origin (scheme://host[:port]) whose pages may open the WebSocket; repeatable "
                   "(env HALVORAN_BRIDGE_ALLOW_ORIGIN, comma-separated)");
    app.add_option("--allow-host", allowHosts,
                   "a host name the bridge answers to besides addresses, localhost and this machine's name; "
                   "repeatable (env HALVORAN_BRIDGE_ALLOW_HOST, comma-separated)");
    app.add_option("--tls-cert", tlsCert, "certificate chain (PEM): https and wss on the same ports (env HALVORAN_BRIDGE_TLS_CERT)");
    app.add_option("--tls-key", tlsKey, "the certificate's private key (PEM) (env HALVORAN_BRIDGE_TLS_KEY)");
    app.add_option("--max-connections", maxConnections,
                   "connections served at once; more are answered 503 (env HALVORAN_BRIDGE_MAX_CONNECTIONS)")
        ->capture_default_str()
        ->check(CLI::Range(size_t{1}, size_t{100000}));
    app.add_option("--send-budget", sendBudget,
                   "bytes waiting for one client beyond which its oldest data is dropped "
                   "(env HALVORAN_BRIDGE_SEND_BUDGET)")
        ->capture_default_str()
        ->check(CLI::Range(size_t{64 * 1024}, size_t{1} << 32));
    CLI::Option* play = app.add_option("--play", playFile,
                                       "serve this recording (.mcap) instead of Halvoran, with its recorded timing; "
                                       "nothing can drive")
                            ->check(CLI::ExistingFile);
    app.add_option("--rate", rate, "with --play: the speed of playback, 0.1 to 10")
        ->capture_default_str()
        ->check(CLI::Range(Player::MIN_RATE, Player::MAX_RATE))
        ->needs(play);
    app.add_flag("--loop", loop, "with --play: start over at the end instead of pausing there")->needs(play);
    app.add_flag("--version", version, "print the version and end");
    CLI11_PARSE(app, argc, argv);

    if (version) {
        std::cout << "halvoran-bridge " << HALVORAN_VERSION << std::endl;
        return 0;
    }

    Server::Options options;
    std::string error;
    std::string driverFrom, viewerFrom;
    if (!findToken(tokenFile, "token", options.access.driverToken, driverFrom, error) ||
        !findToken(viewerTokenFile, "viewer-token", options.access.viewerToken, viewerFrom, error)) {
        std::cerr << "halvoran-bridge: " << error << std::endl;
        return 2;
    }
    bool guarded = !options.access.driverToken.empty();
    if (!guarded && !options.access.viewerToken.empty()) {
        std::cerr << "halvoran-bridge: a viewer token needs a driver token too (--token-file)" << std::endl;
        return 2;
    }
    if (guarded && noAuth) {
        std::cerr << "halvoran-bridge: --no-auth and a token (" << driverFrom << ") exclude each other" << std::endl;
        return 2;
    }
    if (guarded && options.access.driverToken == options.access.viewerToken) {
        std::cerr << "halvoran-bridge: the viewer token must differ from the driver's" << std::endl;
        return 2;
    }
    bool reachable = guarded || noAuth;
    if (listen.empty()) listen = reachable ? "0.0.0.0:8765" : "127.0.0.1:8765";
    if (httpListen.empty()) httpListen = reachable ? "0.0.0.0:8080" : "127.0.0.1:8080";
    if (!parseEndpoint(listen, options.ws)) {
        std::cerr << "halvoran-bridge: --listen: not ADDR:PORT: " << listen << std::endl;
        return 2;
    }
    if (httpListen != "off") {
        Endpoint http;
        if (!parseEndpoint(httpListen, http)) {
            std::cerr << "halvoran-bridge: --http: not ADDR:PORT: " << httpListen << std::endl;
            return 2;
        }
        options.http = http;
    }
    if (!reachable) {
        for (const Endpoint* e : {&options.ws, options.http ? &*options.http : nullptr}) {
            if (e != nullptr && !isLoopback(e->address)) {
                std::cerr << "halvoran-bridge: refusing to listen on " << e->address
                          << " without a token: anyone there could drive the robot. Give the token's file with "
                             "--token-file FILE (or --no-auth on a closed network)."
                          << std::endl;
                return 2;
            }
        }
    }
    options.webDir = webDir.empty() ? defaultWebDir() : webDir;
    options.handleSignals = true;
    options.access.allowOrigins = allowOrigins;
    std::string machine = machineName();
    options.access.allowHosts = allowHosts;
    options.access.allowHosts.push_back(machine);
    if (machine.find('.') == std::string::npos) options.access.allowHosts.push_back(machine + ".local");
    options.maxConnections = maxConnections;
    options.sendBudget = sendBudget;
    options.tlsCert = tlsCert;
    options.tlsKey = tlsKey;

    // A recording is read and checked before any port opens: a file that cannot be played is said
    // at once.
    Player player;
    if (!playFile.empty()) {
        if (!player.open(playFile, rate, loop, error)) {
            std::cerr << "halvoran-bridge: --play: " << error << std::endl;
            return 2;
        }
        if (!player.warning().empty()) std::cerr << "halvoran-bridge: " << playFile << ": " << player.warning() << std::endl;
    }

    std::signal(SIGPIPE, SIG_IGN);
    Server server(options);
    if (!server.open(error)) {
        std::cerr << "halvoran-bridge: " << error << std::endl;
        return 1;
    }
    bool tls = !tlsCert.empty();
    std::printf("halvoran-bridge %s\n", HALVORAN_VERSION);
    std::printf("listening: %s://%s:%u (Foxglove WebSocket protocol)\n", tls ? "wss" : "ws", options.ws.address.c_str(),
                server.wsPort());
    if (options.http) {
        std::printf("listening: %s://%s:%u (dashboard from %s, WebSocket at /ws)\n", tls ? "https" : "http",
                    options.http->address.c_str(), server.httpPort(), options.webDir.c_str());
    }
    if (playFile.empty()) {
        std::printf("halvoran: %s\n", host.c_str());
    } else {
        std::printf("playing: %s (%.3f s, rate %g%s)\n", playFile.c_str(),
                    static_cast<double>(player.endTime() - player.startTime()) / 1e9, rate, loop ? ", loop" : "");
    }
    if (guarded) {
        std::printf("access: driver token from %s%s%s\n", driverFrom.c_str(),
                    viewerFrom.empty() ? "" : ", viewer token from ", viewerFrom.c_str());
        const Endpoint& shown = options.http ? *options.http : options.ws;
        std::string where = isAnyAddress(shown.address) ? (machine.find('.') == std::string::npos ? machine + ".local" : machine)
                            : shown.address.find(':') != std::string::npos ? "[" + shown.address + "]"
                                                                            : shown.address;
        if (options.http) {
            std::printf("dashboard: %s://%s:%u/?token=%s\n", tls ? "https" : "http", where.c_str(), server.httpPort(),
                        options.access.driverToken.c_str());
        }
        std::printf("foxglove: %s://%s:%u/?token=%s\n", tls ? "wss" : "ws", where.c_str(), server.wsPort(),
                    options.access.driverToken.c_str());
    } else if (noAuth) {
        std::printf("WARNING: --no-auth: no token is asked; anyone who reaches these ports can watch and drive the "
                    "robot\n");
    } else {
        std::printf("access: no token given, so only this machine may connect (loopback); give one with --token-file "
                    "to open the bridge to the network\n");
    }
    std::fflush(stdout);

    std::string name = std::string("halvoran-bridge ") + HALVORAN_VERSION;
    if (!playFile.empty()) {
        PlaybackHub hub(server, player, name, std::filesystem::path(playFile).filename().string());
        player.attach(hub);
        player.start();
        server.run(hub);
        player.stop();
        std::fprintf(stderr, "halvoran-bridge: stopped\n");
        return 0;
    }
    RobotLink link(host);
    Hub hub(server, link, name, host);
    link.start(hub);
    server.run(hub);
    // Ctrl-C or SIGTERM: the drive stops and the session ends before the program does.
    link.stop();
    std::fprintf(stderr, "halvoran-bridge: stopped\n");
    return 0;
}
