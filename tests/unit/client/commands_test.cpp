// How lines typed at the prompt, given with -c or read from a script become commands.
#include <gtest/gtest.h>

#include "client/commands.h"
#include "tests/support/test_support.h"

using namespace halvoran_client;
using testing_support::hex;

namespace {

Command parsed(const std::string& text) {
    Command c;
    std::string error;
    EXPECT_TRUE(parseCommand(text, c, error)) << text << ": " << error;
    return c;
}

std::string refused(const std::string& text) {
    Command c;
    std::string error;
    EXPECT_FALSE(parseCommand(text, c, error)) << text;
    return error;
}

TEST(SessionLines, SplitAtSemicolonsOutsideQuotes) {
    EXPECT_EQ(splitCommands("drive --speed 10; sleep 500 ;quit"),
              (std::vector<std::string>{"drive --speed 10", "sleep 500", "quit"}));
    EXPECT_EQ(splitCommands("camera \"a;b\"; quit"), (std::vector<std::string>{"camera \"a;b\"", "quit"}));
    EXPECT_EQ(splitCommands("  ;  # a comment"), std::vector<std::string>{});
    EXPECT_EQ(splitCommands("status; # stop here"), std::vector<std::string>{"status"});
}

TEST(SessionLines, DriveOptionsBecomeOneDriveRequest) {
    Command c = parsed("drive --speed -20 --steer 100 --pan 90 --tilt 80 --timeout 3 --stop --reinit");
    ASSERT_EQ(c.kind, CommandKind::Drive);
    std::vector<uint8_t> packet;
    std::string error;
    ASSERT_TRUE(drivePacket(c.drive, packet, error));
    EXPECT_EQ(hex(packet), "50 03 EC 64 5A 50 7F");
    ASSERT_TRUE(drivePacket(parsed("status").drive, packet, error));
    EXPECT_EQ(hex(packet), "50 00 00 00 00 00 00");
    ASSERT_TRUE(drivePacket(parsed("stop").drive, packet, error));
    EXPECT_EQ(hex(packet), "50 00 00 00 00 00 20");
    ASSERT_TRUE(drivePacket(parsed("drive --servo0 1 --servo1 2 --servo2 3").drive, packet, error));
    EXPECT_EQ(hex(packet), "50 00 00 01 02 03 1C");
    EXPECT_NE(refused("drive --speed 128").find("--speed"), std::string::npos);
    EXPECT_NE(refused("drive --tilt 256").find("--tilt"), std::string::npos);
    EXPECT_NE(refused("drive --timeout -1").find("--timeout"), std::string::npos);
    EXPECT_NE(refused("drive --fast").find("--fast"), std::string::npos);
}

TEST(SessionLines, CameraTakesTheRestOfTheLineAsTyped) {
    EXPECT_EQ(parsed("camera tc 0 255 150 255 0 255").cameraLine, "tc 0 255 150 255 0 255");
    EXPECT_EQ(parsed("camera   \"gm  -x\"  ").cameraLine, "gm  -x");
    EXPECT_EQ(parsed("camera").cameraLine, "");
    Command echo = parsed("echo  Driving; forward\tnow ");
    EXPECT_EQ(echo.kind, CommandKind::Echo);
    EXPECT_EQ(echo.text, "Driving; forward\tnow");
    EXPECT_NE(refused("camera " + std::string(128, 'x')).find("at most 127"), std::string::npos);
}

TEST(SessionLines, TrackChoosesColourOrWindowModeAndEnd) {
    Command c = parsed("track colour 0 255 150 255 0 255 --mode tilt --count 3 --json");
    ASSERT_EQ(c.kind, CommandKind::Track);
    EXPECT_TRUE(c.colour);
    EXPECT_EQ(hex(colourTrackPacket(c.mode, c.bounds)), "56 00 FF 96 FF 00 FF");
    EXPECT_EQ(c.count, 3);
    EXPECT_FALSE(c.seconds.has_value());
    EXPECT_TRUE(c.json);
    c = parsed("track window --seconds 2.5");
    EXPECT_FALSE(c.colour);
    EXPECT_EQ(windowTrackLetter(c.mode), 'W');
    EXPECT_EQ(c.seconds, 2.5);
    EXPECT_FALSE(c.count.has_value());
    EXPECT_EQ(parsed("track color 1 2 3 4 5 6 --mode report").mode, TrackMode::Report);
    refused("track colour 1 2 3 4 5");
    refused("track colour 1 2 3 4 5 256");
    refused("track window 1 2 3 4 5 6");
    refused("track window --mode sideways");
    refused("track window --count 0");
    refused("track circle");
}

TEST(SessionLines, DumpRawSleepAndTheRest) {
    Command c = parsed("dump");
    EXPECT_EQ(c.pngPath, "frame.png");
    EXPECT_EQ(c.rawPath, "");
    c = parsed("dump --raw out.bin");
    EXPECT_EQ(c.pngPath, "");
    EXPECT_EQ(c.rawPath, "out.bin");
    c = parsed("dump -o a.png --raw b.bin");
    EXPECT_EQ(c.pngPath, "a.png");
    EXPECT_EQ(c.rawPath, "b.bin");

    c = parsed("raw t 01 ff");
    EXPECT_EQ(c.letter, 't');
    EXPECT_EQ(hex(c.bytes), "01 FF");
    EXPECT_FALSE(c.checksum.has_value());
    EXPECT_EQ(parsed("raw P --checksum 0x00").checksum, 0);
    refused("raw PP");
    refused("raw P --checksum 100");
    refused("raw P " + std::string(2 * 199, '1'));

    c = parsed("modules 02 02 1e 80");
    EXPECT_EQ(hex(c.bytes), "02 02 1E 80");
    refused("modules");

    EXPECT_EQ(parsed("sleep 250").sleepMs, 250);
    refused("sleep -1");
    refused("sleep");
    EXPECT_EQ(parsed("quit").kind, CommandKind::Quit);
    EXPECT_EQ(parsed("exit").kind, CommandKind::Quit);
    EXPECT_EQ(parsed("help").kind, CommandKind::Help);
    Command help = parsed("track --help");
    EXPECT_EQ(help.kind, CommandKind::Help);
    EXPECT_NE(help.helpText.find("--mode"), std::string::npos);
    EXPECT_EQ(refused("fly 10"), "unknown command \"fly\" (try help)");
}

// A line is refused with a reason that names what is wrong: a missing argument, a missing
// value, or a word after a command that belongs to no command (not a second command).
TEST(SessionLines, MissingAndStrayArgumentsAreNamed) {
    const std::pair<const char*, const char*> rows[] = {
        {"raw", "letter is required"},          {"track", "kind is required"},
        {"modules", "bytes is required"},       {"sleep", "ms is required"},
        {"drive --speed", "--speed"},           {"drive stop", "not expected: stop"},
        {"sleep 5 quit", "not expected: quit"}, {"status now", "not expected: now"},
        {"quit now", "not expected: now"},      {"exit 1", "not expected: 1"},
        {"Drive", "unknown command \"Drive\""}, {"-x", "unknown command \"-x\""},
    };
    for (auto [text, reason] : rows) EXPECT_NE(refused(text).find(reason), std::string::npos) << text;
}

// Every command with options answers "COMMAND --help" with its own usage, and a help option
// before the command asks for the same; help alone, "?", -h and --help give the overview,
// which lists every command.
TEST(SessionLines, HelpReachesEveryCommand) {
    const std::pair<const char*, const char*> rows[] = {
        {"drive --help", "Usage: drive"},     {"status --help", "Usage: status"}, {"stop -h", "Usage: stop"},
        {"modules --help", "Usage: modules"}, {"track --help", "Usage: track"},   {"dump --help", "Usage: dump"},
        {"raw --help", "Usage: raw"},         {"sleep --help", "Usage: sleep"},   {"quit --help", "Usage: quit"},
        {"exit --help", "Usage: exit"},       {"--help drive", "Usage: drive"},   {"-h sleep", "Usage: sleep"},
    };
    for (auto [text, usage] : rows) {
        const Command c = parsed(text);
        EXPECT_EQ(c.kind, CommandKind::Help) << text;
        EXPECT_NE(c.helpText.find(usage), std::string::npos) << text << ":\n" << c.helpText;
    }
    const std::string overview = commandSummary();
    for (const char* text : {"help", "?", "-h", "--help", "help drive"}) {
        const Command c = parsed(text);
        EXPECT_EQ(c.kind, CommandKind::Help) << text;
        EXPECT_EQ(c.helpText, overview) << text;
    }
    for (const char* name :
         {"drive", "status", "stop", "camera", "modules", "track", "dump", "raw", "sleep", "echo", "quit", "help"}) {
        EXPECT_NE(overview.find(std::string("\n  ") + name + " "), std::string::npos) << name;
    }
}

TEST(ExitStatus, TellsTheKindsOfFailureApart) {
    const Failure kinds[] = {Failure::None,   Failure::Usage,  Failure::Connection, Failure::Protocol,
                             Failure::Result, Failure::Output, Failure::Interrupted};
    std::vector<int> seen;
    for (Failure f : kinds) seen.push_back(exitStatusOf(f));
    EXPECT_EQ(seen, (std::vector<int>{0, 2, 3, 4, 5, 6, 130}));
}

}  // namespace
