// halvoran-client as a process against a stand-in for Halvoran: what it sends, what it prints,
// and how it fails (nobody listening, a garbled reply, silence, error results by name).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "client/lib/requests.h"
#include "sim/frame_format.h"
#include "tests/e2e/client_fake_halvoran.h"
#include "tests/e2e/client_run.h"
#include "tests/e2e/client_tmux.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#ifdef HALVORAN_CLIENT_BIN

using client_tests::ClientRun;
using client_tests::FakeHalvoran;
using client_tests::linesOf;
using testing_support::hex;
using testing_support::readFile;
using testing_support::waitUntil;

namespace {

class ClientAgainstFake : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testing_support::makeTempDir("halvoran-client-e2e");
        ASSERT_FALSE(dir.empty());
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << taken;
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }

    // A fresh stand-in: like Halvoran it serves one session.
    void serve(FakeHalvoran::Handler handler) {
        fake_.reset();
        fake_ = std::make_unique<FakeHalvoran>();
        std::string error;
        ASSERT_TRUE(fake_->start(std::move(handler), error)) << error;
    }
    FakeHalvoran& fake() { return *fake_; }

    ClientRun run(const std::vector<std::string>& args, const std::string& stdinPath = "/dev/null") {
        // Never a client against whatever else holds the ports when the stand-in could not start.
        if (HasFatalFailure()) return {};
        ClientRun r = client_tests::runClient(HALVORAN_CLIENT_BIN, dir, args, stdinPath);
        EXPECT_NE(r.exitCode, -1) << "halvoran-client did not end";
        return r;
    }

    // Every error is one line on standard error.
    static void expectOneErrorLine(const ClientRun& r, const std::string& words) {
        EXPECT_EQ(linesOf(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    }

    std::string dir;
    std::unique_ptr<FakeHalvoran> fake_;
};

// The drive status of a robot whose modules answer.
const std::vector<uint8_t> DRIVE_DONE{0, 0x3A, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0};

TEST_F(ClientAgainstFake, NobodyListeningIsOneLineAndExitThree) {
    ClientRun r = run({"--connect-timeout", "200", "-c", "status"});
    EXPECT_EQ(r.exitCode, 3);
    expectOneErrorLine(r, "nobody listening on 127.0.0.1:5000");
}

TEST_F(ClientAgainstFake, GarbledReplyIsNamedAndTheSessionStillEnds) {
    serve([](FakeHalvoran& s, const std::vector<uint8_t>&) {
        s.send(0, testing_support::bytesOf("FF 38 00 3A 01 02 03 04 00 00 00 00 00 00 77 FF 37"));
    });
    ClientRun r = run({"-c", "status; drive --speed 10"});
    EXPECT_EQ(r.exitCode, 4);
    expectOneErrorLine(r, "status: a reply with a bad checksum came back");
    EXPECT_TRUE(waitUntil([&] { return fake().quitReceived(); }));
    // The second command is not sent after the first failed.
    EXPECT_EQ(fake().packets().size(), 1u);
}

TEST_F(ClientAgainstFake, NoReplyInTime) {
    serve(nullptr);
    ClientRun r = run({"--timeout", "300", "-c", "camera gm"});
    EXPECT_EQ(r.exitCode, 4);
    expectOneErrorLine(r, "camera: no reply from Halvoran within 300 ms");
}

TEST_F(ClientAgainstFake, ErrorResultsAreNamed) {
    auto answer = [](FakeHalvoran& s, const std::vector<uint8_t>& p) {
        switch (p[0]) {
            case 'P': s.reply(0, {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); break;
            case 'C': s.reply(0, {10, 0}); break;
            case 'Q': s.reply(0, {1}); break;
            default: s.reply(0, {2}); break;
        }
    };
    const std::pair<std::string, std::string> cases[] = {
        {"status", "status: the drive status could not be read (result 20)"},
        {"camera gm", "camera: no answer from the camera in time (result 10)"},
        {"raw Q 01 --checksum 00", "raw: Halvoran found the packet's checksum wrong (result 1)"},
        {"dump", "dump: Halvoran does not know this command (result 2)"},
    };
    for (const auto& [command, message] : cases) {
        serve(answer);
        ClientRun r = run({"-c", command});
        EXPECT_EQ(r.exitCode, 5) << command;
        expectOneErrorLine(r, message);
    }
}

TEST_F(ClientAgainstFake, DriveSendsTheFlagByteAndPrintsTheStatus) {
    serve([](FakeHalvoran& s, const std::vector<uint8_t>&) { s.reply(0, DRIVE_DONE); });
    ClientRun r = run({"-c", "drive --speed -20 --steer 100 --timeout 3; stop; quit"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(linesOf(r.out), (std::vector<std::string>{"done: servo module 58 (0x3A), drive status 01 02 03 04",
                                                        "done: servo module 58 (0x3A), drive status 01 02 03 04"}));
    auto packets = fake().packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(hex(packets[0]), "50 03 EC 64 00 00 07 AA");
    EXPECT_EQ(hex(packets[1]), "50 00 00 00 00 00 20 70");
    EXPECT_TRUE(fake().quitReceived());
}

TEST_F(ClientAgainstFake, ScriptOnStandardInputRunsLineByLineAndStopsAtAnError) {
    serve([](FakeHalvoran& s, const std::vector<uint8_t>& p) {
        if (p[0] == 'B') s.reply(0, {0, 3, 0x11, 0x22, '*'});
        else if (p[0] == 'C') s.reply(0, {0, 5, 'A', 'C', 'K', '\r', ':'});
        else s.reply(0, {2});
    });
    std::string script = dir + "/script.txt";
    {
        std::ofstream file(script);
        file << "# a comment\n\nmodules 02 02 1E 80\ncamera gm; raw t\nmodules 01\n";
    }
    ClientRun r = run({}, script);
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(linesOf(r.out), (std::vector<std::string>{"received 2 bytes: 11 22", "ACK", "reply: 02"}));
    expectOneErrorLine(r, "raw: Halvoran does not know this command (result 2)");
    auto packets = fake().packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(hex(packets[0]), "42 04 02 02 1E 80 E8");
    EXPECT_EQ(hex(packets[1]), "43 02 67 6D 19");
    EXPECT_EQ(hex(packets[2]), "74 74");
    EXPECT_TRUE(waitUntil([&] { return fake().quitReceived(); }));
}

TEST_F(ClientAgainstFake, TrackPrintsJsonLinesThenStopsTracking) {
    serve([](FakeHalvoran& s, const std::vector<uint8_t>& p) {
        if (p[0] == 'C') return s.reply(0, {0, 1, ':'});  // the camera's prompt, nothing streaming
        s.reply(0, {0});
        if (p[0] != 'U') return;
        for (uint8_t i = 0; i < 5; ++i) s.reply(2, {uint8_t(120 + i), 130, 40, 72, 12, 10, 0xFF, uint8_t(50 + i)});
    });
    ClientRun r = run({"-c", "track colour 0 255 150 255 0 255 --mode pan --count 3 --json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(linesOf(r.out),
              (std::vector<std::string>{
                  R"({"servo1":120,"servo2":130,"x":40,"y":72,"width":12,"height":10,"pixels":255,"confidence":50})",
                  R"({"servo1":121,"servo2":130,"x":40,"y":72,"width":12,"height":10,"pixels":255,"confidence":51})",
                  R"({"servo1":122,"servo2":130,"x":40,"y":72,"width":12,"height":10,"pixels":255,"confidence":52})"}));
    auto packets = fake().packets();
    // After 'N' an empty camera line, so that the camera's stream ends even when the last
    // following step left the link on the modules' channel.
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(hex(packets[0]), "55 00 FF 96 FF 00 FF E8");
    EXPECT_EQ(hex(packets[1]), "4E 4E");
    EXPECT_EQ(hex(packets[2]), "43 00 43");
}

TEST_F(ClientAgainstFake, TrackForSecondsWithoutReportsStillStops) {
    // A camera that still streams: the first empty line's answer holds the rest of a report, the
    // second one comes back empty, and no third is sent.
    std::atomic<int> lines{0};
    serve([&lines](FakeHalvoran& s, const std::vector<uint8_t>& p) {
        if (p[0] != 'C') return s.reply(0, {0});
        if (lines++ == 0) return s.reply(0, {0, 3, 0x41, 0x42, ':'});
        s.reply(0, {0, 1, ':'});
    });
    ClientRun r = run({"-c", "track window --mode report --seconds 0.3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "tracking stopped after 0 reports\n");
    auto packets = fake().packets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0][0], 'Z');
    EXPECT_EQ(packets[1][0], 'N');
    EXPECT_EQ(hex(packets[2]), "43 00 43");
    EXPECT_EQ(hex(packets[3]), "43 00 43");
}

TEST_F(ClientAgainstFake, DumpWritesThePictureAndTheRawBytes) {
    sim::frame::Image picture;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            uint8_t* p = picture.at(x, y);
            p[0] = uint8_t(16 + x);
            p[1] = uint8_t(16 + y);
            p[2] = 200;
        }
    }
    std::vector<uint8_t> stream{'A', 'C', 'K', '\r'};
    std::vector<uint8_t> frame = sim::frame::encode(picture);
    stream.insert(stream.end(), frame.begin(), frame.end());
    serve([stream](FakeHalvoran& s, const std::vector<uint8_t>& p) {
        s.reply(0, {0});
        if (p[0] != 'D') return;
        // In chunks, as Halvoran paces them.
        for (size_t at = 0; at < stream.size(); at += 2000) {
            s.send(1, std::vector<uint8_t>(stream.begin() + at, stream.begin() + std::min(at + 2000, stream.size())));
        }
    });
    std::string png = dir + "/frame.png", raw = dir + "/frame.bin";
    ClientRun r = run({"-c", "dump -o " + png + " --raw " + raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("frame: 34470 bytes"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(raw), std::string(stream.begin(), stream.end()));

    client_tests::Picture image = client_tests::readPicture(png);
    EXPECT_EQ(image.width, 160u);
    EXPECT_EQ(image.height, 143u);
    ASSERT_FALSE(image.rgb.empty());
    // Picture pixel (30, 100) is drawn twice across, at 60 and 61.
    for (int x : {60, 61}) {
        const uint8_t* p = image.at(unsigned(x), 100);
        EXPECT_EQ(hex({p, p + 3}), hex({16 + 30, 16 + 100, 200})) << x;
    }
}

TEST_F(ClientAgainstFake, DumpWithoutAFrameSaysSo) {
    serve([](FakeHalvoran& s, const std::vector<uint8_t>&) { s.reply(0, {0}); });
    std::string png = dir + "/frame.png";
    ClientRun r = run({"-c", "dump --wait 0.5 -o " + png});
    EXPECT_EQ(r.exitCode, 4);
    expectOneErrorLine(r, "dump: no frame came on the image port");
    EXPECT_FALSE(std::filesystem::exists(png));

    // Bytes that never end a frame are not collected for ever.
    serve([](FakeHalvoran& s, const std::vector<uint8_t>&) {
        s.reply(0, {0});
        for (int i = 0; i < 40; ++i) s.send(1, std::vector<uint8_t>(1000, ':'));
    });
    r = run({"-c", "dump -o " + png});
    EXPECT_EQ(r.exitCode, 4);
    expectOneErrorLine(r, "dump: more than 34646 bytes came on the image port without the end of a frame");
    EXPECT_FALSE(std::filesystem::exists(png));
}

TEST_F(ClientAgainstFake, TeleopDrivesAtASteadyRateAndStops) {
    if (!client_tests::TmuxTerminal::available()) GTEST_SKIP() << "tmux is not installed";
    ASSERT_NO_FATAL_FAILURE(serve([](FakeHalvoran& s, const std::vector<uint8_t>&) { s.reply(0, DRIVE_DONE); }));
    client_tests::TmuxTerminal terminal;
    ASSERT_TRUE(terminal.start(std::string(HALVORAN_CLIENT_BIN) + " teleop --period 100 --speed-step 10"));
    ASSERT_TRUE(waitUntil([&] { return terminal.screen().find("drive status 01 02 03 04") != std::string::npos; }))
        << terminal.screen();

    auto driving = [&] {
        size_t n = 0;
        for (const auto& p : fake().packets()) n += p.size() == 8 && p[6] == 0x02 && p[2] == 10;
        return n;
    };
    ASSERT_TRUE(terminal.sendKeys("Up"));
    ASSERT_TRUE(waitUntil([&] { return terminal.screen().find("speed 10 ") != std::string::npos; }))
        << terminal.screen();
    // The speed goes out again and again while the robot drives.
    ASSERT_TRUE(waitUntil([&] { return driving() >= 3; }, 10000));

    ASSERT_TRUE(terminal.sendKeys("Space"));
    ASSERT_TRUE(waitUntil([&] { return terminal.screen().find("speed 0 ") != std::string::npos; }))
        << terminal.screen();
    auto stoppedAfterDriving = [&] {
        auto packets = fake().packets();
        bool drove = false;
        for (const auto& p : packets) {
            if (p.size() == 8 && p[6] == 0x02) drove = true;
            if (drove && p.size() == 8 && p[6] == 0x20) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(stoppedAfterDriving));
    size_t drivingBefore = driving();

    ASSERT_TRUE(terminal.sendKeys("q"));
    ASSERT_TRUE(waitUntil([&] { return fake().quitReceived(); }));
    ASSERT_TRUE(waitUntil([&] { return !terminal.running(); }));
    // After the stop no further speed was sent.
    EXPECT_EQ(driving(), drivingBefore);
}

}  // namespace

#endif  // HALVORAN_CLIENT_BIN
