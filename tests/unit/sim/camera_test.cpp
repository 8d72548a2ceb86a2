// The colour-tracking camera: command lines, the tracking stream and the frame dump.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/frame_format.h"
#include "tests/unit/sim/sim_rig.h"

using simtest::bytes;
using simtest::Rig;

namespace {

// Splits a tracking stream into packets at each 0xFF.
std::vector<std::vector<uint8_t>> packetsOf(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> packets;
    for (uint8_t b : stream) {
        if (b == 0xFF) packets.emplace_back();
        if (!packets.empty()) packets.back().push_back(b);
    }
    return packets;
}

TEST(Camera, AnswersEveryLineWithItsPrompt) {
    Rig rig;
    EXPECT_EQ(rig.askText("\r"), ":");
    EXPECT_EQ(rig.askText("   \r"), ":");
    EXPECT_EQ(rig.askText("nf 1\r"), "ACK\r:");
    EXPECT_EQ(rig.askText("GV\r"), "ACK\rHalvoran-sim camera 1.0\r:");
    EXPECT_EQ(rig.askText("xyzzy\r"), "NCK\r:");
    EXPECT_EQ(rig.askText("nf\r"), "NCK\r:");        // missing argument
    EXPECT_EQ(rig.askText("nf 256\r"), "NCK\r:");    // not a byte
    EXPECT_EQ(rig.askText("nf 1x\r"), "NCK\r:");     // not a number
    EXPECT_EQ(rig.askText("tc 1 2 3\r"), "NCK\r:");  // three of six numbers
    EXPECT_FALSE(rig.robot.camera().tracking());
    EXPECT_EQ(rig.robot.camera().acks(), 2u);
    EXPECT_EQ(rig.robot.camera().ncks(), 5u);
}

TEST(Camera, AnswerStartsAfterTheReplyDelay) {
    Rig rig;
    rig.sendText("\r");
    EXPECT_TRUE(rig.wait(1.9).empty());
    EXPECT_EQ(rig.waitText(0.1), ":");
}

TEST(Camera, ALineLongerThanTheBufferIsRefusedAndTheNextLineIsFine) {
    Rig rig;
    EXPECT_EQ(rig.askText(std::string(64, ' ') + "\r"), ":");  // exactly fills the buffer
    EXPECT_EQ(rig.askText("nf 1" + std::string(61, ' ') + "\r"), "NCK\r:");
    EXPECT_EQ(rig.askText("nf 1\r"), "ACK\r:");
}

TEST(Camera, AcceptsTheMenuModeSetUpLines) {
    Rig rig;
    for (const char* line : {"CR 18 40 17 2 19 33", "rm 1", "mm 0", "nf 1", "sw 1 1 80 40", "pm 0"})
        EXPECT_EQ(rig.askText(std::string(line) + "\r"), "ACK\r:") << line;
    const sim::Camera& cam = rig.robot.camera();
    EXPECT_EQ(cam.registers(), bytes({18, 40, 17, 2, 19, 33}));
    EXPECT_EQ(cam.window(), bytes({1, 1, 80, 40}));
    EXPECT_FALSE(cam.middleMass());
    EXPECT_EQ(cam.rawMode(), 1);
    EXPECT_EQ(rig.askText("tc 0 255 150 255 0 255\r", 3).substr(0, 4), "ACK\r");
    const std::array<uint8_t, 6> ranges{0, 255, 150, 255, 0, 255};
    EXPECT_EQ(cam.colourRanges(), ranges);
    EXPECT_TRUE(cam.tracking());
}

TEST(Camera, ColourTrackingStreamsTenBytePacketsUntilACarriageReturn) {
    Rig rig;
    EXPECT_EQ(rig.askText("tc 0 255 150 255 0 255\r", 3), "ACK\r");
    const std::vector<uint8_t> stream = rig.wait(1000);
    const auto packets = packetsOf(stream);
    EXPECT_GE(packets.size(), 24u);  // 25 a second
    EXPECT_LE(packets.size(), 26u);
    for (const auto& p : packets) {
        ASSERT_EQ(p.size(), 10u);
        EXPECT_EQ(p[1], 'M');
        EXPECT_EQ(std::count(p.begin(), p.end(), 0xFF), 1);
        // The green target straight ahead, seen in the middle of the picture.
        EXPECT_EQ(p[2], 41);
        EXPECT_EQ(p[3], 72);
        EXPECT_LT(p[4], p[6]);
        EXPECT_LT(p[5], p[7]);
        EXPECT_GT(p[8], 0);
        EXPECT_EQ(p[9], 100);
    }
    // Other bytes do not stop it; a CR does, and is answered with the prompt.
    rig.sendText("xyz");
    EXPECT_FALSE(rig.wait(100).empty());
    rig.sendText("\r");
    const std::vector<uint8_t> tail = rig.wait(100);
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), ':');
    EXPECT_FALSE(rig.robot.camera().tracking());
    EXPECT_TRUE(rig.wait(1000).empty());
}

// A command line that arrives while the camera streams stops the stream and is then carried
// out, so that a second tracking start takes effect.
TEST(Camera, ALineWhileStreamingStopsTheStreamAndIsThenCarriedOut) {
    struct Row {
        const char* line;
        const char* answerAfterPrompt;  // what follows the stream's ":"
        bool tracking;
        bool window;
        std::array<uint8_t, 6> ranges;
    };
    const std::array<uint8_t, 6> first{0, 255, 150, 255, 0, 255};
    const Row rows[] = {
        {"\r", "", false, false, first},
        {"   \r", "", false, false, first},
        {"tc 10 20 30 40 50 60\r", "ACK\r", true, false, {10, 20, 30, 40, 50, 60}},
        {"tw\r", "ACK\r", true, true, first},
        {"gv\r", "ACK\rHalvoran-sim camera 1.0\r:", false, false, first},
        {"tc 1 2\r", "NCK\r:", false, false, first},
        {"frobnicate\r", "NCK\r:", false, false, first},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Rig rig;
        ASSERT_EQ(rig.askText("tc 0 255 150 255 0 255\r", 3), "ACK\r");
        rig.wait(200);  // the stream runs
        // The line comes in pieces with stream packets between them.
        const std::string line = row.line;
        rig.sendText(line.substr(0, line.size() / 2));
        rig.wait(100);
        rig.sendText(line.substr(line.size() / 2));
        const std::string text = rig.waitText(5);
        // What went out after the last packet of the stream: the prompt, then the line's answer.
        const size_t lastPacket = text.rfind('\xFF');
        const std::string after = lastPacket == std::string::npos ? text : text.substr(lastPacket + 10);
        EXPECT_EQ(after, std::string(":") + row.answerAfterPrompt);
        EXPECT_EQ(rig.robot.camera().tracking(), row.tracking);
        EXPECT_EQ(rig.robot.camera().colourRanges(), row.ranges);
        if (row.tracking) {
            EXPECT_EQ(rig.robot.camera().windowTracking(), row.window);
            EXPECT_GE(packetsOf(rig.wait(200)).size(), 4u);  // the new stream runs
        } else {
            EXPECT_TRUE(rig.wait(200).empty());
        }
    }
}

TEST(Camera, TrackingRateIsConfigurable) {
    sim::Config config;
    config.trackingRateHz = 10;
    Rig rig(config);
    rig.askText("tw\r", 3);
    EXPECT_EQ(packetsOf(rig.wait(1000)).size(), 10u);
    EXPECT_TRUE(rig.robot.camera().windowTracking());
}

TEST(Camera, ATargetOfAnotherColourGivesZeros) {
    Rig rig;
    rig.askText("tc 0 0 0 0 0 0\r", 3);
    for (const auto& p : packetsOf(rig.wait(200))) EXPECT_EQ(p, bytes({0xFF, 'M', 0, 0, 0, 0, 0, 0, 0, 0}));
    // Window tracking follows the target whatever the ranges.
    rig.askText("\r", 3);
    rig.askText("tw\r", 3);
    for (const auto& p : packetsOf(rig.wait(200))) EXPECT_EQ(p[9], 100);
}

TEST(Camera, WithoutMiddleMassThePacketsAreTheMenuModesEightBytePackets) {
    Rig rig;
    rig.askText("mm 0\r");
    rig.askText("tc 0 255 150 255 0 255\r", 3);
    const auto packets = packetsOf(rig.wait(200));
    ASSERT_FALSE(packets.empty());
    for (const auto& p : packets) {
        ASSERT_EQ(p.size(), 8u);
        EXPECT_EQ(p[1], 'C');
        // The menu mode steers with x1 + x2 - 80: about zero for a centred target.
        EXPECT_NEAR(p[2] + p[4] - 80, 0, 3);
    }
}

TEST(Camera, PollModeSendsOnePacketAndThePrompt) {
    Rig rig;
    rig.askText("pm 1\r");
    const std::vector<uint8_t> out = rig.ask(std::vector<uint8_t>{'t', 'c', '\r'}, 500);
    ASSERT_EQ(out.size(), 4u + 10u + 1u);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(out.back(), ':');
    EXPECT_FALSE(rig.robot.camera().tracking());
}

// The frame dump as the system collects it: complete at the first ':' after an earlier 3.
size_t completeAt(const std::vector<uint8_t>& out) {
    bool sawEnd = false;
    for (size_t i = 0; i < out.size(); ++i) {
        if (sawEnd && out[i] == ':') return i + 1;
        if (out[i] == 3) sawEnd = true;
    }
    return 0;
}

TEST(Camera, FrameDumpEndsExactlyAtThePromptAfterByteThreeAndDecodes) {
    Rig rig;
    const std::vector<uint8_t> out = rig.ask(std::vector<uint8_t>{'d', 'f', '\r'}, 10);
    ASSERT_GT(out.size(), 4u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "ACK\r");
    EXPECT_EQ(completeAt(out), out.size());
    EXPECT_LE(out.size(), 34645u);
    EXPECT_EQ(out.size(), 4 + sim::frame::kFrameBytes);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xFF), 0);

    sim::frame::Image image;
    std::string error;
    ASSERT_TRUE(sim::frame::decode(out, image, &error)) << error;
    // The target is in the middle of the picture, in its colour; the corners are not.
    const uint8_t* middle = image.at(40, 71);
    EXPECT_EQ(middle[0], 60);
    EXPECT_EQ(middle[1], 200);
    EXPECT_EQ(middle[2], 80);
    EXPECT_NE(image.at(0, 0)[1], 200);
    EXPECT_NE(image.at(79, 142)[1], 200);
    EXPECT_EQ(rig.robot.camera().frameDumps(), 1u);
}

TEST(Camera, FrameDumpShowsTheTargetWhereTheCameraLooks) {
    Rig rig;
    rig.robot.setPath(*sim::parsePath("static 12 -6"));
    const std::vector<uint8_t> out = rig.ask(std::vector<uint8_t>{'d', 'f', '\r'}, 10);
    sim::frame::Image image;
    ASSERT_TRUE(sim::frame::decode(out, image));
    // Centroid of the target's colour in the picture against the tracking values.
    long sx = 0, sy = 0, n = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.at(x, y)[1] == 200 && image.at(x, y)[0] == 60) sx += x + 1, sy += y + 1, ++n;
    ASSERT_GT(n, 0);
    const sim::TrackView v = rig.robot.world().look(rig.t, 127, 127, 100);
    EXPECT_NEAR(double(sx) / n, v.middleX, 1.0);
    EXPECT_NEAR(double(sy) / n, v.middleY, 1.0);
    EXPECT_GT(v.middleX, 47);
    EXPECT_GT(v.middleY, 85);
}

TEST(Camera, PacedFrameDumpTakesTheLineTimeOf115200Baud) {
    sim::Config config;
    config.pacing = true;
    Rig rig(config);
    rig.sendText("df\r");
    const std::vector<uint8_t> first = rig.wait(1000);
    const std::vector<uint8_t> rest = rig.wait(3000);
    const size_t total = first.size() + rest.size();
    EXPECT_EQ(total, 4 + sim::frame::kFrameBytes);
    // 34470 bytes at 86.8 microseconds each is about 2.99 seconds.
    EXPECT_NEAR(double(first.size()), 1000.0 / 0.086806 - 23, 3);
}

TEST(FrameFormat, DecoderSkipsTextBeforeTheFrameAndToleratesShortRows) {
    const std::vector<uint8_t> dump = {'A', 'C', 'K', '\r', 1, 2, 100, 101, 102, 2, 50, 3, ':'};
    sim::frame::Image image;
    ASSERT_TRUE(sim::frame::decode(dump, image));
    EXPECT_EQ(image.at(0, 0)[0], 100);
    EXPECT_EQ(image.at(0, 0)[2], 102);
    EXPECT_EQ(image.at(1, 0)[0], 0);  // the rest of the short row is black
    EXPECT_EQ(image.at(0, 1)[0], 50);
    std::string error;
    EXPECT_FALSE(sim::frame::decode(bytes({'N', 'C', 'K', ':'}), image, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(sim::frame::decode(bytes({1, 3, ':'}), image, &error));
}

TEST(FrameFormat, PixelBytesAvoidTheMarkersAndThePrompt) {
    for (int v = -10; v < 300; ++v) {
        const uint8_t b = sim::frame::pixelByte(v);
        EXPECT_GE(b, 16);
        EXPECT_LE(b, 240);
        EXPECT_NE(b, ':');
    }
    sim::frame::Image image;
    for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = uint8_t(i * 7);
    const std::vector<uint8_t> encoded = sim::frame::encode(image);
    sim::frame::Image back;
    ASSERT_TRUE(sim::frame::decode(encoded, back));
    for (size_t i = 0; i < image.rgb.size(); ++i) ASSERT_EQ(back.rgb[i], sim::frame::pixelByte(image.rgb[i])) << i;
}

}  // namespace
