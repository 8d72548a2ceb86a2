#include "client/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <ostream>
#include <thread>

#include "client/png_writer.h"
#include "sim/frame_format.h"

namespace halvoran_client {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> interruptFlag{false};

void onInterrupt(int) { interruptFlag.store(true); }

Outcome failure(Failure kind, std::string message) { return Outcome{kind, std::move(message)}; }

std::string trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

// The camera line is everything after the word "camera", as typed; one pair of quotes around
// the whole of it is taken away.
std::string cameraLineOf(const std::string& rest) {
    std::string line = trim(rest);
    if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') && line.back() == line.front()) {
        line = line.substr(1, line.size() - 2);
    }
    return line;
}

bool parseByte(const std::string& word, uint8_t& value) {
    std::vector<uint8_t> bytes;
    std::string ignored;
    if (!parseHexBytes({word}, bytes, ignored) || bytes.size() != 1) return false;
    value = bytes[0];
    return true;
}

// A frame dump of the simulated camera: the acknowledgement, then the frame. Used to size the
// progress bar; other cameras' frames may be shorter or longer.
constexpr size_t EXPECTED_FRAME_BYTES = 34470;
// Halvoran gives up on a camera frame longer than this, so no longer one can come.
constexpr size_t LONGEST_FRAME_BYTES = 34646;

void drawProgress(std::ostream& err, size_t bytes, bool done) {
    constexpr int width = 40;
    size_t shown = done ? EXPECTED_FRAME_BYTES : std::min(bytes, EXPECTED_FRAME_BYTES);
    int filled = static_cast<int>(shown * width / EXPECTED_FRAME_BYTES);
    err << "\rframe [" << std::string(size_t(filled), '#') << std::string(size_t(width - filled), '.') << "] " << bytes
        << " bytes" << (done ? "\n" : "") << std::flush;
}

}  // namespace

int exitStatusOf(Failure f) {
    switch (f) {
        case Failure::None: return 0;
        case Failure::Usage: return 2;
        case Failure::Connection: return 3;
        case Failure::Protocol: return 4;
        case Failure::Result: return 5;
        case Failure::Output: return 6;
        case Failure::Interrupted: return 130;
    }
    return 1;
}

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait in progress returns and looks at the flag
    sigaction(SIGINT, &action, nullptr);
}

bool interruptRequested() { return interruptFlag.load(); }

void clearInterrupt() { interruptFlag.store(false); }

std::vector<std::string> splitCommands(const std::string& line) {
    std::vector<std::string> parts;
    std::string current;
    char quote = 0;
    auto finish = [&] {
        std::string part = trim(current);
        if (!part.empty() && part[0] != '#') parts.push_back(part);
        current.clear();
    };
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            finish();
            continue;
        }
        current += c;
    }
    finish();
    return parts;
}

namespace {

// How reading a command's options ended.
enum class Read { Values, Help, Failed };

// A command with options is read by CLI11 as the one subcommand of an app that requires one.
// "COMMAND --help" gives the command's own help; a bare "--help" the overview.
Read readOptions(CLI::App& app, const std::string& line, Command& command, std::string& error) {
    try {
        app.parse(line, false);
        return Read::Values;
    } catch (const CLI::CallForHelp&) {
        command.kind = CommandKind::Help;
        for (CLI::App* sub : app.get_subcommands()) command.helpText = sub->help();
        if (command.helpText.empty()) command.helpText = commandSummary();
        return Read::Help;
    } catch (const CLI::ParseError& e) {
        error = app.get_subcommands().empty() ? "unknown command \"" + command.name + "\" (try help)" : e.what();
        return Read::Failed;
    }
}

struct SessionApp : CLI::App {
    SessionApp() : CLI::App("session commands") { require_subcommand(1, 1); }
};

bool parseDrive(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    int speed = 0, steer = 0, pan = 0, tilt = 0, timeout = 0;
    bool stop = false, reinit = false;
    CLI::App* drive = app.add_subcommand("drive", "drive and move the servos; prints the drive status");
    CLI::Option* speedOption =
        drive->add_option("-s,--speed", speed, "drive speed -128..127")->check(CLI::Range(-128, 127));
    CLI::Option* steerOption =
        drive->add_option("--steer,--servo0", steer, "servo 0 (steering) position 0..255")->check(CLI::Range(0, 255));
    CLI::Option* panOption =
        drive->add_option("--pan,--servo1", pan, "servo 1 (camera pan) position 0..255")->check(CLI::Range(0, 255));
    CLI::Option* tiltOption =
        drive->add_option("--tilt,--servo2", tilt, "servo 2 (camera tilt) position 0..255")->check(CLI::Range(0, 255));
    CLI::Option* timeoutOption = drive
                                     ->add_option("--timeout", timeout,
                                                  "drive timeout in seconds 0..127: the drive stops when no speed "
                                                  "came for this long; 0 switches it off")
                                     ->check(CLI::Range(0, 127));
    drive->add_flag("--stop", stop, "stop the drive (before a new speed, if one is given)");
    drive->add_flag("--reinit", reinit, "initialise the servo and drive modules again");
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;

    command.kind = CommandKind::Drive;
    DriveRequest& r = command.drive;
    if (*speedOption) r.speed = speed;
    if (*steerOption) r.servo0 = steer;
    if (*panOption) r.servo1 = pan;
    if (*tiltOption) r.servo2 = tilt;
    if (*timeoutOption) r.timeout = timeout;
    r.stop = stop;
    r.reinit = reinit;
    std::vector<uint8_t> packet;
    return drivePacket(r, packet, error);
}

// "status" and "stop": a drive command that asks for nothing but the status, or for a stop.
bool parseDriveShortcut(const std::string& line, Command& command, std::string& error, const char* name,
                        const char* description, bool stop) {
    SessionApp app;
    app.add_subcommand(name, description);
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;
    command.kind = CommandKind::Drive;
    command.drive.stop = stop;
    std::vector<uint8_t> packet;
    return drivePacket(command.drive, packet, error);
}

bool parseStatus(const std::string& line, Command& command, std::string& error) {
    return parseDriveShortcut(line, command, error, "status", "the drive status", false);
}

bool parseStop(const std::string& line, Command& command, std::string& error) {
    return parseDriveShortcut(line, command, error, "stop", "stop the drive", true);
}

// The camera line is the rest of the line as typed, not split into words.
bool parseCamera(const std::string& line, Command& command, std::string& error) {
    command.kind = CommandKind::Camera;
    command.cameraLine = cameraLineOf(line.substr(command.name.size()));
    std::vector<uint8_t> packet;
    return cameraPacket(command.cameraLine, packet, error);
}

bool parseModules(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    std::vector<std::string> hexWords;
    CLI::App* modules = app.add_subcommand("modules", "send bytes to the servo and drive modules");
    modules->add_option("bytes", hexWords, "bytes in hexadecimal, e.g. 02 02 1E 80")->required();
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;
    command.kind = CommandKind::Modules;
    std::vector<uint8_t> packet;
    return parseHexBytes(hexWords, command.bytes, error) && modulesPacket(command.bytes, packet, error);
}

bool parseTrack(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    std::string kind, mode = "both";
    std::vector<int> bounds;
    double seconds = 0;
    long count = 0;
    bool json = false;
    CLI::App* track = app.add_subcommand("track", "track a colour or the window's colour and print the reports");
    track->add_option("kind", kind, "colour or window")
        ->required()
        ->check(CLI::IsMember({"colour", "color", "window"}));
    track->add_option("bounds", bounds, "colour: R1 R2 G1 G2 B1 B2, each 0..255")->check(CLI::Range(0, 255));
    track->add_option("--mode", mode, "which servos follow: both, pan, tilt or report (none)")
        ->check(CLI::IsMember({"both", "pan", "tilt", "report"}));
    CLI::Option* secondsOption =
        track->add_option("--seconds", seconds, "stop after this many seconds")->check(CLI::Range(0.001, 1e6));
    CLI::Option* countOption =
        track->add_option("--count", count, "stop after this many reports")->check(CLI::PositiveNumber);
    track->add_flag("--json", json, "one JSON object a line");
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;

    command.kind = CommandKind::Track;
    command.colour = kind != "window";
    parseTrackMode(mode, command.mode);
    if (command.colour && bounds.size() != 6) {
        error = "colour tracking takes six values R1 R2 G1 G2 B1 B2, not " + std::to_string(bounds.size());
        return false;
    }
    if (!command.colour && !bounds.empty()) {
        error = "window tracking takes no colour values";
        return false;
    }
    for (size_t i = 0; i < bounds.size(); ++i) command.bounds[i] = static_cast<uint8_t>(bounds[i]);
    if (*secondsOption) command.seconds = seconds;
    if (*countOption) command.count = count;
    command.json = json;
    return true;
}

bool parseDump(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    std::string pngPath, rawPath;
    CLI::App* dump = app.add_subcommand("dump", "save one camera frame");
    dump->add_option("-o,--output", pngPath, "PNG file for the picture (default frame.png)");
    dump->add_option("--raw", rawPath, "file for the frame's bytes as the camera sent them");
    double frameWait = 0;
    CLI::Option* frameWaitOption =
        dump->add_option("--wait", frameWait, "seconds the frame may take to come (default 15)")
            ->check(CLI::Range(0.001, 3600.0));
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;

    command.kind = CommandKind::Dump;
    command.pngPath = pngPath;
    command.rawPath = rawPath;
    if (pngPath.empty() && rawPath.empty()) command.pngPath = "frame.png";
    if (*frameWaitOption) command.frameWaitSeconds = frameWait;
    return true;
}

bool parseRaw(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    std::string letter, checksum;
    std::vector<std::string> hexWords;
    CLI::App* raw = app.add_subcommand("raw", "send any packet and print the reply");
    raw->add_option("letter", letter, "the command letter")->required();
    raw->add_option("bytes", hexWords, "parameter bytes in hexadecimal");
    CLI::Option* checksumOption =
        raw->add_option("--checksum", checksum, "send this checksum instead of the right one");
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;

    command.kind = CommandKind::Raw;
    if (letter.size() != 1) {
        error = "the command letter is one character, not \"" + letter + "\"";
        return false;
    }
    command.letter = static_cast<uint8_t>(letter[0]);
    if (*checksumOption) {
        uint8_t value = 0;
        if (!parseByte(checksum, value)) {
            error = "\"" + checksum + "\" is not a hexadecimal byte";
            return false;
        }
        command.checksum = value;
    }
    if (!parseHexBytes(hexWords, command.bytes, error)) return false;
    // The packet (letter, parameters, checksum) must fit Halvoran's packet buffer.
    if (command.bytes.size() + 2 > 200) {
        error = "a packet holds at most 198 parameter bytes";
        return false;
    }
    return true;
}

bool parseSleep(const std::string& line, Command& command, std::string& error) {
    SessionApp app;
    long sleepMs = 0;
    CLI::App* sleep = app.add_subcommand("sleep", "wait");
    sleep->add_option("ms", sleepMs, "milliseconds")->required()->check(CLI::NonNegativeNumber);
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;
    command.kind = CommandKind::Sleep;
    command.sleepMs = sleepMs;
    return true;
}

bool parseEcho(const std::string& line, Command& command, std::string&) {
    command.kind = CommandKind::Echo;
    command.text = cameraLineOf(line.substr(command.name.size()));
    return true;
}

// "quit" and "exit" end the session.
bool parseQuitNamed(const std::string& line, Command& command, std::string& error, const char* name) {
    SessionApp app;
    app.add_subcommand(name, "end the session");
    const Read read = readOptions(app, line, command, error);
    if (read != Read::Values) return read == Read::Help;
    command.kind = CommandKind::Quit;
    return true;
}

bool parseQuit(const std::string& line, Command& command, std::string& error) {
    return parseQuitNamed(line, command, error, "quit");
}

bool parseExit(const std::string& line, Command& command, std::string& error) {
    return parseQuitNamed(line, command, error, "exit");
}

bool parseHelp(const std::string&, Command& command, std::string&) {
    command.kind = CommandKind::Help;
    command.helpText = commandSummary();
    return true;
}

// One command of a session: its name, its lines in the overview (none for a second name of a
// command), whether it takes the rest of the line as typed rather than as words and options,
// and its parser, which gets the whole line.
struct CommandRow {
    const char* name;
    const char* overview;
    bool wholeLine;
    bool (*parse)(const std::string& line, Command& command, std::string& error);
};

// In the order of the overview.
constexpr CommandRow commandTable[] = {
    {"drive",
     "  drive [--speed S] [--steer P] [--pan P] [--tilt P] [--timeout SEC] [--stop] [--reinit]\n"
     "                         drive and move servos 0 (steer), 1 (pan), 2 (tilt); prints the status\n",
     false, parseDrive},
    {"status", "  status                 the drive status alone (a drive command with nothing to do)\n", false,
     parseStatus},
    {"stop", "  stop                   stop the drive\n", false, parseStop},
    {"camera", "  camera LINE            send a line to the camera and print its answer\n", true, parseCamera},
    {"modules", "  modules HEX...         send bytes to the servo and drive modules, print what comes back\n", false,
     parseModules},
    {"track",
     "  track colour R1 R2 G1 G2 B1 B2 [--mode both|pan|tilt|report] [--seconds S] [--count N] [--json]\n"
     "  track window [--mode ...] [...]\n"
     "                         track and print each report until the time or count is up or Ctrl-C\n",
     false, parseTrack},
    {"dump",
     "  dump [-o frame.png] [--raw FILE] [--wait SEC]\n"
     "                         save one camera frame as a picture (and/or its raw bytes)\n",
     false, parseDump},
    {"raw",
     "  raw LETTER [HEX...] [--checksum HEX]\n"
     "                         send any packet and print the reply\n",
     false, parseRaw},
    {"sleep", "  sleep MS               wait\n", false, parseSleep},
    {"echo", "  echo TEXT              print the text (to narrate a script)\n", true, parseEcho},
    {"quit", "  quit                   end the session\n", false, parseQuit},
    {"help", "  help                   this list; COMMAND --help for a command's options\n", true, parseHelp},
    {"exit", "", false, parseExit},
    {"?", "", true, parseHelp},
};

const CommandRow* rowNamed(const std::string& name) {
    for (const CommandRow& row : commandTable) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

// The row of a line that does not start with a command's name as typed: the first word that
// names a command with options, as CLI11 splits the line (options may come before the name, and
// the name may be quoted).
const CommandRow* rowWithin(const std::string& line) {
    for (const std::string& word : CLI::detail::split_up(line)) {
        const CommandRow* row = rowNamed(word);
        if (row != nullptr && !row->wholeLine) return row;
    }
    return nullptr;
}

}  // namespace

std::string commandSummary() {
    std::string text = "Commands (several on one line are separated by ';'):\n";
    for (const CommandRow& row : commandTable) text += row.overview;
    return text;
}

bool parseCommand(const std::string& text, Command& command, std::string& error) {
    command = Command{};
    const std::string line = trim(text);
    command.name = line.substr(0, line.find_first_of(" \t"));
    const CommandRow* row = rowNamed(command.name);
    if (row == nullptr) row = rowWithin(line);
    if (row != nullptr) return row->parse(line, command, error);
    // No command at all; a bare --help still asks for the overview.
    SessionApp app;
    if (readOptions(app, line, command, error) == Read::Help) return true;
    error = "unknown command \"" + command.name + "\" (try help)";
    return false;
}

Runner::Runner(Session& session, std::ostream& out, std::ostream& err, RunSettings settings)
    : session_(session), out_(out), err_(err), settings_(settings) {}

Outcome Runner::run(const Command& c) {
    if (ended_ && c.kind != CommandKind::Help && c.kind != CommandKind::Echo)
        return failure(Failure::Connection, "the session has ended");
    switch (c.kind) {
        case CommandKind::Drive: return drive(c);
        case CommandKind::Camera: return camera(c);
        case CommandKind::Modules: return modules(c);
        case CommandKind::Track: return track(c);
        case CommandKind::Dump: return dump(c);
        case CommandKind::Raw: return raw(c);
        case CommandKind::Sleep: return sleep(c);
        case CommandKind::Quit: return quit();
        case CommandKind::Echo: out_ << c.text << std::endl; return {};
        case CommandKind::Help: out_ << c.helpText << std::flush; return {};
    }
    return {};
}

void Runner::leave() {
    if (ended_) return;
    quit();
}

Outcome Runner::lost(const std::string& what) {
    ended_ = true;
    session_.close();
    return failure(Failure::Connection, what);
}

Outcome exchange(Session& session, const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply, int timeoutMs) {
    // A reply that arrives after its command ran out of time must not pass for the next one's.
    session.discardPending();
    if (!session.sendRaw(frame)) return failure(Failure::Connection, "the connection to Halvoran was lost");
    ReadStatus status = session.readReply(reply, timeoutMs);
    switch (status) {
        case ReadStatus::Ok: break;
        case ReadStatus::Timeout:
            return failure(Failure::Protocol, "no reply from Halvoran within " + std::to_string(timeoutMs) + " ms");
        case ReadStatus::Closed: return failure(Failure::Connection, "Halvoran closed the connection");
        case ReadStatus::BadChecksum:
            return failure(Failure::Protocol, "a reply with a bad checksum came back (" + hexText(reply) + ")");
        case ReadStatus::Malformed: return failure(Failure::Protocol, "a reply of an unexpected length came back");
    }
    if (reply.empty()) return failure(Failure::Protocol, "an empty reply came back");
    return {};
}

Outcome Runner::exchange(const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply) {
    Outcome outcome = halvoran_client::exchange(session_, frame, reply, settings_.replyTimeoutMs);
    if (outcome.failure == Failure::Connection) return lost(outcome.message);
    return outcome;
}

Outcome stopTracking(Session& session, int timeoutMs) {
    std::vector<uint8_t> reply;
    Outcome outcome = exchange(session, frameCommand(stopTrackPacket()), reply, timeoutMs);
    if (outcome.ok()) outcome = expectDone(reply);
    if (!outcome.ok()) return outcome;
    // 'N' ends the camera's stream with a CR on whichever channel the link is on; after a step of
    // target following that is the modules', and the camera would stream on. An empty camera line
    // selects the camera and sends the CR there. Its answer ends at the first ':', which may be a
    // byte of a tracking packet still on its way; another empty line takes what is left.
    std::vector<uint8_t> packet;
    std::string error;
    cameraPacket("", packet, error);
    for (int attempt = 0; attempt < 3; ++attempt) {
        outcome = exchange(session, frameCommand(packet), reply, timeoutMs);
        if (outcome.failure == Failure::Connection) return outcome;
        PassThroughAnswer camera;
        if (outcome.ok() && decodeCameraReply(reply, camera, error) && camera.result == RESULT_DONE &&
            camera.bytes.empty()) {
            break;
        }
    }
    return {};
}

Outcome expectDone(const std::vector<uint8_t>& reply) {
    if (reply[0] != RESULT_DONE) return failure(Failure::Result, resultText(reply[0]));
    if (reply.size() != 1) {
        return failure(Failure::Protocol, "an unexpected reply came back (" + hexText(reply) + ")");
    }
    return {};
}

Outcome Runner::drive(const Command& c) {
    std::vector<uint8_t> packet, reply;
    std::string error;
    if (!drivePacket(c.drive, packet, error)) return failure(Failure::Usage, error);
    Outcome outcome = exchange(frameCommand(packet), reply);
    if (!outcome.ok()) return outcome;
    DriveStatus status;
    if (!decodeDriveStatus(reply, status, error)) return failure(Failure::Protocol, error);
    if (status.result != RESULT_DONE) return failure(Failure::Result, resultText(status.result));
    out_ << "done: " << describeDriveStatus(status) << std::endl;
    return {};
}

Outcome Runner::camera(const Command& c) {
    std::vector<uint8_t> packet, reply;
    std::string error;
    if (!cameraPacket(c.cameraLine, packet, error)) return failure(Failure::Usage, error);
    Outcome outcome = exchange(frameCommand(packet), reply);
    if (!outcome.ok()) return outcome;
    PassThroughAnswer answer;
    if (!decodeCameraReply(reply, answer, error)) return failure(Failure::Protocol, error);
    if (answer.result != RESULT_DONE) return failure(Failure::Result, resultText(answer.result));
    out_ << printableText(answer.bytes) << std::endl;
    return {};
}

Outcome Runner::modules(const Command& c) {
    std::vector<uint8_t> packet, reply;
    std::string error;
    if (!modulesPacket(c.bytes, packet, error)) return failure(Failure::Usage, error);
    Outcome outcome = exchange(frameCommand(packet), reply);
    if (!outcome.ok()) return outcome;
    PassThroughAnswer answer;
    if (!decodeModulesReply(reply, answer, error)) return failure(Failure::Protocol, error);
    if (answer.result != RESULT_DONE) return failure(Failure::Result, resultText(answer.result));
    if (answer.bytes.empty()) {
        out_ << "nothing came back" << std::endl;
    } else {
        out_ << "received " << answer.bytes.size() << (answer.bytes.size() == 1 ? " byte: " : " bytes: ")
             << hexText(answer.bytes) << std::endl;
    }
    return {};
}

Outcome Runner::track(const Command& c) {
    std::vector<uint8_t> reply;
    std::vector<uint8_t> start = c.colour ? colourTrackPacket(c.mode, c.bounds) : windowTrackPacket(c.mode);
    Outcome outcome = exchange(frameCommand(start), reply);
    if (!outcome.ok()) return outcome;
    outcome = expectDone(reply);
    if (!outcome.ok()) return outcome;

    // Reports until the time or the count is up, or Ctrl-C; a fault on the tracking port ends
    // the reports too, but tracking is stopped all the same.
    const bool timed = c.seconds.has_value();
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(c.seconds.value_or(0) * 1000));
    long reports = 0;
    Outcome trackingFault;
    bool interrupted = false;
    while (!c.count || reports < *c.count) {
        if (interruptRequested()) {
            interrupted = true;
            break;
        }
        int waitMs = 100;
        if (timed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            waitMs = static_cast<int>(std::min<long>(left, 100));
        }
        std::array<uint8_t, 8> bytes{};
        ReadStatus status = session_.readTrackReport(bytes, waitMs);
        if (status == ReadStatus::Timeout) continue;
        if (status == ReadStatus::Ok) {
            TrackReport report = trackReportOf(bytes);
            out_ << (c.json ? trackReportJson(report) : formatTrackReport(report)) << std::endl;
            ++reports;
            continue;
        }
        if (status == ReadStatus::Closed) return lost("Halvoran closed the tracking port");
        trackingFault = failure(Failure::Protocol, std::string("tracking port: ") + describe(status));
        break;
    }
    if (interrupted) clearInterrupt();

    outcome = stopTracking(session_, settings_.replyTimeoutMs);
    if (outcome.failure == Failure::Connection) return lost(outcome.message);
    if (!outcome.ok()) return outcome;
    if (!trackingFault.ok()) return trackingFault;
    if (!c.json) {
        out_ << "tracking stopped after " << reports << (reports == 1 ? " report" : " reports") << std::endl;
    }
    return {};
}

Outcome Runner::dump(const Command& c) {
    std::vector<uint8_t> reply;
    Outcome outcome = exchange(frameCommand({'D'}), reply);
    if (!outcome.ok()) return outcome;
    outcome = expectDone(reply);
    if (!outcome.ok()) return outcome;

    // The frame comes unframed on the image port once the camera has sent all of it; it is
    // complete at the first ':' after a byte 3.
    const int frameWaitMs = c.frameWaitSeconds ? static_cast<int>(*c.frameWaitSeconds * 1000) : settings_.frameWaitMs;
    std::vector<uint8_t> frame;
    FrameEnd end;
    auto lastByte = Clock::now();
    bool any = false;
    while (!end.complete()) {
        if (interruptRequested()) {
            clearInterrupt();
            if (settings_.progress) err_ << std::endl;
            return failure(Failure::Interrupted, "frame dump interrupted");
        }
        int allowed = any ? settings_.frameQuietMs : frameWaitMs;
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByte).count();
        if (waited >= allowed) {
            if (settings_.progress && any) err_ << std::endl;
            if (!any) {
                return failure(Failure::Protocol, "no frame came on the image port within " +
                                                      std::to_string(frameWaitMs) +
                                                      " ms (the camera sent no complete frame)");
            }
            return failure(Failure::Protocol, "the frame stopped after " + std::to_string(frame.size()) + " bytes");
        }
        size_t before = frame.size();
        long got = session_.readImageChunk(frame, 4096, static_cast<int>(std::min<long>(allowed - waited, 100)));
        if (got < 0) return lost("Halvoran closed the image port");
        if (got == 0) continue;
        any = true;
        lastByte = Clock::now();
        end.feed(frame.data() + before, static_cast<size_t>(got));
        if (settings_.progress) drawProgress(err_, frame.size(), false);
        if (!end.complete() && frame.size() >= LONGEST_FRAME_BYTES) {
            if (settings_.progress) err_ << std::endl;
            return failure(Failure::Protocol, "more than " + std::to_string(LONGEST_FRAME_BYTES) +
                                                  " bytes came on the image port without the end of a frame");
        }
    }
    frame.resize(end.endOffset());
    if (settings_.progress) drawProgress(err_, frame.size(), true);
    out_ << "frame: " << frame.size() << " bytes" << std::endl;

    if (!c.rawPath.empty()) {
        std::ofstream file(c.rawPath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        file.close();
        if (!file) return failure(Failure::Output, "cannot write " + c.rawPath + ": " + std::strerror(errno));
        out_ << "saved the raw bytes to " << c.rawPath << std::endl;
    }
    if (!c.pngPath.empty()) {
        sim::frame::Image image;
        std::string error;
        if (!sim::frame::decode(frame, image, &error)) {
            return failure(Failure::Output, "the frame is not in the simulated camera's format (" + error +
                                                "); keep its bytes with --raw FILE");
        }
        // The camera's pixels are about twice as wide as tall.
        constexpr int scaleX = 2;
        if (!writePng(c.pngPath, image.width, image.height, image.rgb, scaleX, error)) {
            return failure(Failure::Output, error);
        }
        out_ << "saved " << c.pngPath << " (" << image.width * scaleX << " x " << image.height << ")" << std::endl;
    }
    return {};
}

Outcome Runner::raw(const Command& c) {
    std::vector<uint8_t> packet(1 + c.bytes.size());
    packet[0] = c.letter;
    std::copy(c.bytes.begin(), c.bytes.end(), packet.begin() + 1);
    std::vector<uint8_t> reply;
    Outcome outcome = exchange(c.checksum ? frameWithChecksum(packet, *c.checksum) : frameCommand(packet), reply);
    if (!outcome.ok()) return outcome;
    out_ << "reply: " << hexText(reply) << std::endl;
    if (reply[0] != RESULT_DONE) return failure(Failure::Result, resultText(reply[0]));
    return {};
}

Outcome Runner::sleep(const Command& c) {
    auto deadline = Clock::now() + std::chrono::milliseconds(c.sleepMs);
    while (Clock::now() < deadline) {
        if (interruptRequested()) {
            clearInterrupt();
            return failure(Failure::Interrupted, "interrupted");
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(50)));
    }
    return {};
}

Outcome Runner::quit() {
    ended_ = true;
    if (session_.sendQuit()) {
        // Halvoran stops the robot and closes the ports; wait for that, but not for ever.
        session_.waitForClose(3000);
    }
    session_.close();
    return {};
}

}  // namespace halvoran_client
