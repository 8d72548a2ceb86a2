// The session commands of halvoran-client: how a line of text becomes a command, and how a
// command runs on an open session and prints what came back.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "client/lib/requests.h"
#include "client/lib/session.h"

namespace halvoran_client {

// What went wrong, which also decides the exit status of the program.
enum class Failure {
    None,
    Usage,        // a command line that cannot be understood (exit 2)
    Connection,   // nobody listening, or the connection was lost (exit 3)
    Protocol,     // no reply in time, a bad checksum, a reply that cannot be read (exit 4)
    Result,       // Halvoran answered with an error result: 1, 2, 10 or 20 (exit 5)
    Output,       // a file could not be written, or a frame could not be decoded (exit 6)
    Interrupted,  // Ctrl-C (exit 130)
};
int exitStatusOf(Failure failure);

struct Outcome {
    Failure failure = Failure::None;
    std::string message;
    bool ok() const { return failure == Failure::None; }
};

enum class CommandKind { Drive, Camera, Modules, Track, Dump, Raw, Sleep, Echo, Quit, Help };

struct Command {
    CommandKind kind = CommandKind::Help;
    std::string name;  // as typed, for messages
    DriveRequest drive;
    std::string cameraLine;
    std::string text;                 // echo
    std::vector<uint8_t> bytes;       // modules: the bytes; raw: the parameters
    uint8_t letter = 0;               // raw
    std::optional<uint8_t> checksum;  // raw: sent instead of the right one
    bool colour = false;              // track: colour (true) or window tracking
    TrackMode mode = TrackMode::Both;
    std::array<uint8_t, 6> bounds{};
    std::optional<double> seconds;
    std::optional<long> count;
    bool json = false;
    std::string pngPath;                     // dump
    std::string rawPath;                     // dump
    std::optional<double> frameWaitSeconds;  // dump: how long the frame may take to come
    long sleepMs = 0;
    std::string helpText;
};

// Splits a line at semicolons that are not inside quotes; drops empty parts and comments
// (a part that starts with '#').
std::vector<std::string> splitCommands(const std::string& line);

// Parses one command. On failure error says why; "help" and "CMD --help" give a Help command.
bool parseCommand(const std::string& text, Command& command, std::string& error);

// The overview that "help" prints.
std::string commandSummary();

struct RunSettings {
    int replyTimeoutMs = 5000;  // how long a reply on the command port may take
    int frameWaitMs = 15000;    // how long the first byte of a frame dump may take
    int frameQuietMs = 3000;    // how long a frame dump may pause between bytes
    bool progress = false;      // draw a progress bar for frame dumps
};

// Sends one framed packet and reads its reply (stale replies are thrown away first). A
// Connection failure means the session is lost.
Outcome exchange(Session& session, const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply, int timeoutMs);

// A reply that must be the single byte 0 (done): otherwise the result by name.
Outcome expectDone(const std::vector<uint8_t>& reply);
// Stops tracking ('N', which must be done) and makes sure the camera's stream has ended: after a
// following step the link is on the modules' channel, so empty camera lines follow.
Outcome stopTracking(Session& session, int timeoutMs);

// Runs commands on one session, writing results to out and progress to err.
class Runner {
public:
    Runner(Session& session, std::ostream& out, std::ostream& err, RunSettings settings);
    Outcome run(const Command& command);
    // True once the session has ended (quit, or the connection was lost).
    bool ended() const { return ended_; }
    // Leaves the session with the quit escape unless it has ended already.
    void leave();

private:
    Outcome exchange(const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply);
    Outcome drive(const Command& c);
    Outcome camera(const Command& c);
    Outcome modules(const Command& c);
    Outcome track(const Command& c);
    Outcome dump(const Command& c);
    Outcome raw(const Command& c);
    Outcome sleep(const Command& c);
    Outcome quit();
    Outcome lost(const std::string& what);

    Session& session_;
    std::ostream& out_;
    std::ostream& err_;
    RunSettings settings_;
    bool ended_ = false;
};

// Ctrl-C: the handler only raises a flag; long commands (track, dump, sleep) look at it.
void installInterruptHandler();
bool interruptRequested();
void clearInterrupt();

}  // namespace halvoran_client
