// halvoran-client: drives Halvoran from a prompt, from -c "cmd; cmd", from a script on standard
// input, or from the keyboard (teleop). One run is one session: it connects to the command,
// image and tracking ports in that order and leaves with the quit escape, after which Halvoran
// stops the robot.
#include <CLI/CLI.hpp>

#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/replay.h"
#include "client/lib/session.h"
#include "client/teleop.h"

using namespace halvoran_client;

namespace {

constexpr const char* PROGRAM = "halvoran-client";

void reportError(const std::string& command, const std::string& message) {
    std::cerr << PROGRAM << ": " << (command.empty() ? "" : command + ": ") << message << std::endl;
}

std::string historyPath() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.halvoran_client_history" : "";
}

// Runs the commands of one line. Returns the failure that ends a non-interactive session.
Outcome runLine(Runner& runner, const std::string& line) {
    for (const std::string& text : splitCommands(line)) {
        if (runner.ended()) return {};
        Command command;
        std::string error;
        if (!parseCommand(text, command, error)) return Outcome{Failure::Usage, command.name + ": " + error};
        Outcome outcome = runner.run(command);
        if (!outcome.ok()) return Outcome{outcome.failure, command.name + ": " + outcome.message};
    }
    return {};
}

void report(const Outcome& outcome) { reportError("", outcome.message); }

int interactive(Runner& runner, const std::string& host) {
    std::cerr << "connected to Halvoran at " << host << "; type help for the commands, quit to end" << std::endl;
    std::string history = historyPath();
    using_history();
    if (!history.empty()) read_history(history.c_str());
    int status = 0;
    while (!runner.ended()) {
        clearInterrupt();
        char* input = readline("halvoran> ");
        if (input == nullptr && interruptRequested()) {  // Ctrl-C drops the line being typed
            std::cout << std::endl;
            continue;
        }
        if (input == nullptr) {  // end of input (Ctrl-D)
            std::cout << std::endl;
            break;
        }
        std::string line(input);
        std::free(input);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        add_history(line.c_str());
        Outcome outcome = runLine(runner, line);
        // At the prompt an error is reported and the session goes on, unless it was lost.
        if (!outcome.ok() && outcome.failure != Failure::Interrupted) report(outcome);
        if (runner.ended() && outcome.failure == Failure::Connection) status = exitStatusOf(outcome.failure);
    }
    if (!history.empty()) write_history(history.c_str());
    runner.leave();
    return status;
}

// Commands from -c or from a script: the first failure ends the session.
int batch(Runner& runner, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        Outcome outcome = runLine(runner, line);
        if (outcome.ok() && interruptRequested()) outcome = Outcome{Failure::Interrupted, "interrupted"};
        if (!outcome.ok()) {
            report(outcome);
            runner.leave();
            return exitStatusOf(outcome.failure);
        }
        if (runner.ended()) break;
    }
    runner.leave();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "halvoran-client: drive the robot through Halvoran.\n"
        "Without -c it reads commands from the prompt, or from standard input when that is not "
        "a terminal. Type help in a session for the commands."};
    std::string host = "127.0.0.1";
    std::string commands;
    int replyTimeoutMs = 5000;
    int connectTimeoutMs = 3000;
    app.add_option("--host", host, "Halvoran's address")->capture_default_str();
    app.add_option("-c,--commands", commands, "commands to run, separated by ';'");
    app.add_option("--timeout", replyTimeoutMs, "milliseconds a reply may take")
        ->capture_default_str()
        ->check(CLI::Range(1, 600000));
    app.add_option("--connect-timeout", connectTimeoutMs, "milliseconds to keep trying to connect")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000));

    TeleopSettings teleopSettings;
    CLI::App* teleop = app.add_subcommand("teleop", "drive from the keyboard");
    teleop->add_option("--period", teleopSettings.periodMs, "milliseconds between drive commands")
        ->capture_default_str()
        ->check(CLI::Range(50, 2000));
    teleop->add_option("--speed-step", teleopSettings.speedStep, "speed change per arrow key")
        ->capture_default_str()
        ->check(CLI::Range(1, 127));
    teleop->add_option("--servo-step", teleopSettings.servoStep, "servo change per key")
        ->capture_default_str()
        ->check(CLI::Range(1, 127));
    ReplaySettings replaySettings;
    std::string replayFile;
    double toleranceMs = 20;
    CLI::App* replay = app.add_subcommand(
        "replay",
        "send a recording's client packets to Halvoran with their recorded spacing and compare the bytes it "
        "writes to the serial line with the recorded ones.\n"
        "The replayed Halvoran must record too (HALVORAN_RECORD_DIR=DIR, given here as --record-dir): when the "
        "session ends, its file in DIR written since the replay connected is read and compared byte for "
        "byte, and every pause between two bytes within the tolerance. Exit status 0: match, 1: mismatch. Run it against Halvoran on halvoran-sim:\n"
        "  HALVORAN_RECORD_DIR=/tmp/rep HALVORAN_COM1=/tmp/halvoran-com1 HALVORAN_HEADLESS=1 halvoran &\n"
        "  halvoran-client replay FILE.mcap --record-dir /tmp/rep");
    replay->add_option("file", replayFile, "the recording (.mcap)")->required()->check(CLI::ExistingFile);
    replay->add_option("--record-dir", replaySettings.recordDir, "the replayed Halvoran's HALVORAN_RECORD_DIR")
        ->required();
    replay->add_option("--tolerance-ms", toleranceMs, "how far a pause may differ from the recorded one")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 600000.0));
    replay->add_option("--wait", replaySettings.recordingWaitMs,
                       "milliseconds the replayed session's recording may take to appear whole")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000));
    app.set_version_flag("--version", std::string("halvoran-client ") + HALVORAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help or --version: printed, and the end
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        reportError("", e.what());
        return exitStatusOf(Failure::Usage);
    }

    if (*replay) {
        replaySettings.host = host;
        replaySettings.connectTimeoutMs = connectTimeoutMs;
        replaySettings.toleranceNs = static_cast<int64_t>(toleranceMs * 1e6);
        return runReplay(replayFile, replaySettings, std::cout, std::cerr);
    }

    // Commands given with -c are checked before anything goes to the robot.
    std::vector<std::string> lines;
    std::string helpText;
    bool helpOnly = true;
    if (!commands.empty()) {
        for (const std::string& text : splitCommands(commands)) {
            Command command;
            std::string error;
            if (!parseCommand(text, command, error)) {
                reportError(command.name, error);
                return exitStatusOf(Failure::Usage);
            }
            lines.push_back(text);
            helpText += command.helpText;
            helpOnly = helpOnly && command.kind == CommandKind::Help;
        }
        // Help alone needs no robot.
        if (helpOnly && !lines.empty()) {
            std::cout << helpText;
            return 0;
        }
    }

    installInterruptHandler();
    Session session;
    std::string error;
    if (!session.connect(host, connectTimeoutMs, error)) {
        reportError("", error + " (is Halvoran running?)");
        return exitStatusOf(Failure::Connection);
    }

    if (*teleop) {
        teleopSettings.replyTimeoutMs = replyTimeoutMs;
        Outcome outcome = runTeleop(session, teleopSettings);
        if (!outcome.ok()) reportError("teleop", outcome.message);
        return exitStatusOf(outcome.failure);
    }

    RunSettings settings;
    settings.replyTimeoutMs = replyTimeoutMs;
    settings.progress = isatty(STDERR_FILENO) != 0;
    Runner runner(session, std::cout, std::cerr, settings);
    if (!commands.empty()) return batch(runner, lines);
    if (isatty(STDIN_FILENO) != 0) return interactive(runner, host);

    // A script on standard input, one command (or several separated by ';') a line, run as it
    // is read.
    std::string line;
    int status = 0;
    while (status == 0 && !runner.ended() && std::getline(std::cin, line)) {
        Outcome outcome = runLine(runner, line);
        if (outcome.ok() && interruptRequested()) outcome = Outcome{Failure::Interrupted, "interrupted"};
        if (!outcome.ok()) {
            report(outcome);
            status = exitStatusOf(outcome.failure);
        }
    }
    if (status == 0 && interruptRequested()) {
        report(Outcome{Failure::Interrupted, "interrupted"});
        status = exitStatusOf(Failure::Interrupted);
    }
    runner.leave();
    return status;
}
