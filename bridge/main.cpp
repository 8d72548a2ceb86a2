// halvoran-bridge: holds the one Halvoran session and serves it to many viewers and one driver
// over the Foxglove WebSocket protocol, and the web dashboard's files over HTTP.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "bridge/hub.h"
#include "bridge/robot_link.h"
#include "bridge/server.h"

using namespace bridge;

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
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

}  // namespace

int main(int argc, char** argv) {
    std::string host = envOr("HALVORAN_HOST", "127.0.0.1");
    std::string listen = envOr("HALVORAN_BRIDGE_LISTEN", "0.0.0.0:8765");
    std::string httpListen = envOr("HALVORAN_BRIDGE_HTTP", "0.0.0.0:8080");
    std::string webDir = envOr("HALVORAN_WEB", "");
    bool version = false;

    CLI::App app{"halvoran-bridge: Halvoran for many viewers and one driver, over the Foxglove WebSocket protocol"};
    app.add_option("--halvoran", host, "Halvoran's host (env HALVORAN_HOST)")->capture_default_str();
    app.add_option("--listen", listen, "ADDR:PORT of the WebSocket (env HALVORAN_BRIDGE_LISTEN)")
        ->capture_default_str();
    app.add_option("--http", httpListen,
                   "ADDR:PORT of the web dashboard and its WebSocket at /ws, or \"off\" "
                   "(env HALVORAN_BRIDGE_HTTP)")
        ->capture_default_str();
    app.add_option("--web", webDir, "the dashboard's folder (env HALVORAN_WEB)");
    app.add_flag("--version", version, "print the version and end");
    CLI11_PARSE(app, argc, argv);

    if (version) {
        std::cout << "halvoran-bridge " << HALVORAN_VERSION << std::endl;
        return 0;
    }

    Server::Options options;
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
    options.webDir = webDir.empty() ? defaultWebDir() : webDir;
    options.handleSignals = true;

    std::signal(SIGPIPE, SIG_IGN);
    Server server(options);
    std::string error;
    if (!server.open(error)) {
        std::cerr << "halvoran-bridge: " << error << std::endl;
        return 1;
    }
    std::printf("halvoran-bridge %s\n", HALVORAN_VERSION);
    std::printf("listening: ws://%s:%u (Foxglove WebSocket protocol)\n", options.ws.address.c_str(), server.wsPort());
    if (options.http) {
        std::printf("listening: http://%s:%u (dashboard from %s, WebSocket at /ws)\n", options.http->address.c_str(),
                    server.httpPort(), options.webDir.c_str());
    }
    std::printf("halvoran: %s\n", host.c_str());
    std::fflush(stdout);

    RobotLink link(host);
    Hub hub(server, link, std::string("halvoran-bridge ") + HALVORAN_VERSION, host);
    link.start(hub);
    server.run(hub);
    // Ctrl-C or SIGTERM: the drive stops and the session ends before the program does.
    link.stop();
    std::fprintf(stderr, "halvoran-bridge: stopped\n");
    return 0;
}
