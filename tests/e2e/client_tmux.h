// A terminal for halvoran-client teleop: a detached tmux session on a private server, driven
// with send-keys and read with capture-pane.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

namespace client_tests {

class TmuxTerminal {
public:
    static bool available() { return access("/usr/bin/tmux", X_OK) == 0; }

    // Starts command in a new 120 x 30 terminal.
    bool start(const std::string& command) {
        socket_ = "halvoran-client-test-" + std::to_string(getpid());
        return shell("new-session -d -s teleop -x 120 -y 30 " + quoted(command)).first == 0;
    }
    ~TmuxTerminal() {
        if (!socket_.empty()) shell("kill-server");
    }
    TmuxTerminal() = default;
    TmuxTerminal(const TmuxTerminal&) = delete;
    TmuxTerminal& operator=(const TmuxTerminal&) = delete;

    // keys as tmux names them: "Up", "Space", "q".
    bool sendKeys(const std::string& keys) { return shell("send-keys -t teleop " + keys).first == 0; }
    std::string screen() { return shell("capture-pane -p -t teleop").second; }
    bool running() { return shell("has-session -t teleop").first == 0; }

private:
    static std::string quoted(const std::string& s) {
        std::string out = "'";
        for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }

    std::pair<int, std::string> shell(const std::string& arguments) {
        std::string command = "/usr/bin/tmux -L " + socket_ + " " + arguments + " 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return {-1, ""};
        std::string output;
        std::array<char, 512> buffer{};
        size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
        return {pclose(pipe), output};
    }

    std::string socket_;
};

}  // namespace client_tests
