// What the client puts into command packets and how it reads the answers.
#include <gtest/gtest.h>

#include "client/lib/requests.h"
#include "tests/support/test_support.h"

using namespace halvoran_client;
using testing_support::bytesOf;
using testing_support::hex;

namespace {

std::string drive(const DriveRequest& r) {
    std::vector<uint8_t> packet;
    std::string error;
    if (!drivePacket(r, packet, error)) return "error: " + error;
    return hex(packet);
}

TEST(DriveRequest, EachFieldSetsItsFlagBitAndByte) {
    EXPECT_EQ(drive({}), "50 00 00 00 00 00 00");
    DriveRequest r;
    r.timeout = 5;
    r.speed = -128;
    EXPECT_EQ(drive(r), "50 05 80 00 00 00 03");
    r = {};
    r.servo0 = 10;
    r.servo1 = 200;
    r.servo2 = 255;
    EXPECT_EQ(drive(r), "50 00 00 0A C8 FF 1C");
    r = {};
    r.stop = true;
    r.speed = 20;
    EXPECT_EQ(drive(r), "50 00 14 00 00 00 22");
    r = {};
    r.reinit = true;
    r.speed = -1;
    EXPECT_EQ(drive(r), "50 00 FF 00 00 00 42");
    // A timeout of 0 is a value (it switches the drive timeout off), not an absent field.
    r = {};
    r.timeout = 0;
    EXPECT_EQ(drive(r), "50 00 00 00 00 00 01");
}

TEST(DriveRequest, ValuesOutsideTheirBytesAreRefused) {
    DriveRequest r;
    r.speed = 128;
    EXPECT_EQ(drive(r), "error: speed 128 is outside -128..127");
    r = {};
    r.servo1 = -1;
    EXPECT_EQ(drive(r), "error: servo 1 position -1 is outside 0..255");
    r = {};
    r.servo2 = 256;
    EXPECT_NE(drive(r).find("error"), std::string::npos);
    r = {};
    r.timeout = -129;
    EXPECT_NE(drive(r).find("error"), std::string::npos);
}

TEST(DriveStatus, DecodesTheTwelveByteReplyAndTheErrorReplies) {
    DriveStatus s;
    std::string error;
    ASSERT_TRUE(decodeDriveStatus(bytesOf("00 3A 0E 0F 12 13 00 00 00 00 00 00"), s, error)) << error;
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(describeDriveStatus(s), "servo module 58 (0x3A), drive status 0E 0F 12 13");
    ASSERT_TRUE(decodeDriveStatus(bytesOf("14 00 00 00 00 00 00 00 00 00 00 00"), s, error));
    EXPECT_EQ(s.result, RESULT_NO_DRIVE_STATUS);
    // The dispatcher's one-byte replies to a packet it could not take.
    ASSERT_TRUE(decodeDriveStatus(bytesOf("02"), s, error));
    EXPECT_EQ(s.result, RESULT_UNKNOWN_COMMAND);
    EXPECT_FALSE(decodeDriveStatus(bytesOf("00"), s, error));
    EXPECT_FALSE(decodeDriveStatus(bytesOf("00 3A 0E 0F 12 13 00 00 00 00 00"), s, error));
    EXPECT_EQ(error, "drive status reply of 11 bytes, not 12");
}

TEST(ResultCodes, AreNamedInWords) {
    EXPECT_EQ(resultText(1), "Halvoran found the packet's checksum wrong (result 1)");
    EXPECT_EQ(resultText(2), "Halvoran does not know this command (result 2)");
    EXPECT_EQ(resultText(10), "no answer from the camera in time (result 10)");
    EXPECT_EQ(resultText(20), "the drive status could not be read (result 20)");
    EXPECT_EQ(resultText(7), "unknown result 7");
}

TEST(PassThrough, PacketsCarryTheCountAndRefuseWhatDoesNotFit) {
    std::vector<uint8_t> packet;
    std::string error;
    ASSERT_TRUE(cameraPacket("gm", packet, error));
    EXPECT_EQ(hex(packet), "43 02 67 6D");
    ASSERT_TRUE(cameraPacket("", packet, error));
    EXPECT_EQ(hex(packet), "43 00");
    EXPECT_TRUE(cameraPacket(std::string(127, 'x'), packet, error));
    EXPECT_EQ(packet.size(), 129u);
    // 128 would arrive as a negative count and send nothing.
    EXPECT_FALSE(cameraPacket(std::string(128, 'x'), packet, error));
    EXPECT_FALSE(cameraPacket("gm\rdf", packet, error));
    ASSERT_TRUE(modulesPacket(bytesOf("02 02 1E 80"), packet, error));
    EXPECT_EQ(hex(packet), "42 04 02 02 1E 80");
    EXPECT_FALSE(modulesPacket(std::vector<uint8_t>(128, 0), packet, error));
}

TEST(PassThrough, CameraRepliesAreCheckedBeforeTheyAreBelieved) {
    PassThroughAnswer a;
    std::string error;
    ASSERT_TRUE(decodeCameraReply(bytesOf("00 01 3A"), a, error));
    EXPECT_EQ(a.result, 0);
    EXPECT_TRUE(a.bytes.empty());
    ASSERT_TRUE(decodeCameraReply(bytesOf("00 05 41 43 4B 0D 3A"), a, error));
    EXPECT_EQ(printableText(a.bytes), "ACK");
    ASSERT_TRUE(decodeCameraReply(bytesOf("0A 00"), a, error));
    EXPECT_EQ(a.result, RESULT_NO_CAMERA_ANSWER);
    ASSERT_TRUE(decodeCameraReply(bytesOf("02"), a, error));
    EXPECT_EQ(a.result, RESULT_UNKNOWN_COMMAND);
    // A count that disagrees with the length, a missing prompt, a cut reply.
    EXPECT_FALSE(decodeCameraReply(bytesOf("00 09 41 3A"), a, error));
    EXPECT_EQ(error, "reply says 9 bytes follow but 2 came");
    EXPECT_FALSE(decodeCameraReply(bytesOf("00 02 41 42"), a, error));
    EXPECT_FALSE(decodeCameraReply(bytesOf("00 00"), a, error));
    EXPECT_FALSE(decodeCameraReply(bytesOf("00"), a, error));
}

TEST(PassThrough, ModuleRepliesEndWithTheStar) {
    PassThroughAnswer a;
    std::string error;
    ASSERT_TRUE(decodeModulesReply(bytesOf("00 06 01 02 03 04 05 2A"), a, error));
    EXPECT_EQ(hex(a.bytes), "01 02 03 04 05");
    ASSERT_TRUE(decodeModulesReply(bytesOf("00 01 2A"), a, error));
    EXPECT_TRUE(a.bytes.empty());
    EXPECT_FALSE(decodeModulesReply(bytesOf("00 01 3A"), a, error));
}

TEST(PassThrough, AnswerTextIsMadeSafeToPrint) {
    EXPECT_EQ(printableText(bytesOf("41 43 4B 0D 4E 0D 0A")), "ACK\nN");
    EXPECT_EQ(printableText(bytesOf("41 1B 00 FF")), "A\\x1B\\x00\\xFF");
}

TEST(Tracking, ModesChooseTheLetters) {
    const std::pair<const char*, std::string> modes[] = {
        {"both", "TW"}, {"pan", "UX"}, {"tilt", "VY"}, {"report", "AZ"}};
    for (const auto& [name, letters] : modes) {
        TrackMode mode;
        ASSERT_TRUE(parseTrackMode(name, mode)) << name;
        EXPECT_EQ(std::string() + colourTrackLetter(mode) + windowTrackLetter(mode), letters) << name;
    }
    TrackMode mode;
    EXPECT_FALSE(parseTrackMode("Both", mode));
    EXPECT_EQ(hex(colourTrackPacket(TrackMode::Report, {0, 255, 150, 255, 0, 255})), "41 00 FF 96 FF 00 FF");
    EXPECT_EQ(hex(windowTrackPacket(TrackMode::Tilt)), "59");
    EXPECT_EQ(hex(stopTrackPacket()), "4E");
}

TEST(Tracking, ReportsPrintAsTextAndJson) {
    TrackReport r = trackReportOf({119, 133, 0x10, 0x20, 0x10, 0x20, 0x40, 200});
    EXPECT_EQ(formatTrackReport(r), "servo1 119 servo2 133 x 16 y 32 width 16 height 32 pixels 64 confidence 200");
    EXPECT_EQ(trackReportJson(r),
              "{\"servo1\":119,\"servo2\":133,\"x\":16,\"y\":32,\"width\":16,\"height\":32,\"pixels\":64,"
              "\"confidence\":200}");
}

TEST(HexBytes, AcceptsBytesAndRunsOfPairs) {
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(parseHexBytes({"02", "0x1f", "A", "02021E80"}, bytes, error));
    EXPECT_EQ(hex(bytes), "02 1F 0A 02 02 1E 80");
    ASSERT_TRUE(parseHexBytes({}, bytes, error));
    EXPECT_TRUE(bytes.empty());
    for (const char* bad : {"zz", "123", "0x", "0x123", "-1", ""}) {
        EXPECT_FALSE(parseHexBytes({bad}, bytes, error)) << bad;
    }
}

TEST(FrameEnd, IsTheFirstColonAfterAnEarlierByteThree) {
    FrameEnd end;
    // A ':' before any byte 3 is data.
    EXPECT_FALSE(end.feed(bytesOf("01 02 3A").data(), 3));
    EXPECT_TRUE(end.feed(bytesOf("03 3A 05").data(), 3));
    EXPECT_EQ(end.endOffset(), 5u);

    FrameEnd split;
    EXPECT_FALSE(split.feed(bytesOf("41 03").data(), 2));
    EXPECT_TRUE(split.feed(bytesOf("3A").data(), 1));
    EXPECT_EQ(split.endOffset(), 3u);

    // Text and a prompt but never a byte 3: no end.
    FrameEnd never;
    EXPECT_FALSE(never.feed(bytesOf("41 43 4B 0D 3A").data(), 5));
    EXPECT_FALSE(never.complete());
}

}  // namespace
