// The menu mode against the simulated camera and drive device, in virtual time.
//
// Most tests create the mode's objects on the test's thread and send the queued items from it
// (sendOldest), so that the handlers run in virtual time, in a known order; the last ones run
// the mode's own threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "menu/menu_mode.h"
#include "net/tcp_endpoint.h"
#include "platform/virtual/virtual_time.h"
#include "sim/com2_device.h"
#include "sim/robot.h"
#include "tests/support/scripted_device.h"
#include "tests/support/sim_far_end.h"
#include "tests/support/test_support.h"

using testing_support::bytesOf;
using testing_support::hex;
using testing_support::text;
using testing_support::waitUntil;

namespace {

// The drive packets of the menu mode: Follow's speed 100, the follow loop's last packet (value 1
// not flagged) and the flagged speed 0 of STOP.
constexpr const char* kFollowSpeed = "FF 64 00 00 96 5A 19 6D FF";
constexpr const char* kLoopEnd = "FF 00 00 00 96 78 18 26 FF";
constexpr const char* kStopSpeed = "FF 00 00 00 00 00 01 01 FF";

struct Queued {
    std::vector<uint8_t> bytes;
    QueueHandler handler;
};

std::vector<Queued> contents(OutQueue* queue) {
    std::vector<Queued> items;
    std::lock_guard<std::mutex> hold(*queue->lock);
    for (OutQueueItem* item = queue->head; item != nullptr; item = item->next) {
        items.push_back({std::vector<uint8_t>(item->data, item->data + item->length), item->handler});
    }
    return items;
}

std::vector<std::string> hexOf(const std::vector<Queued>& items) {
    std::vector<std::string> out;
    for (const Queued& item : items) out.push_back(hex(item.bytes));
    return out;
}

std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A camera that answers every line (at its carriage return) with `answer`.
void answerEveryLine(testing_support::ScriptedDevice& camera, const std::vector<uint8_t>& answer) {
    camera.answer(
        [answer](const std::vector<uint8_t>& received) {
            return received.back() == '\r' ? answer : std::vector<uint8_t>{};
        },
        2000);
}

class MenuModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset();
        vt::attach("COM2:", &com2Far);
    }
    void TearDown() override {
        if (watcher.joinable()) watcher.join();
        stopMenuMode();
    }
    // The objects as the set-up thread makes them, on this thread, without the senders' threads.
    void create(vt::FarEnd* camera) {
        vt::attach("COM1:", camera);
        createMenuObjects();
        menuMode.phase.store(MenuModeState::Ready);
    }
    int connectDebugClient() {
        int client = vt::connectClient(DEBUG_PORT);
        EXPECT_TRUE(waitUntil([] { return menuMode.debugEndpoint->connected.load(); }));
        return client;
    }
    // Sends one camera line through the sender of "com1_queue" (its handler runs here).
    void exchange(const char* line, QueueHandler handler = &cameraExchange) {
        menuMode.com1Queue->pushText(line, handler);
        ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));
    }

    sim::Com2Device com2;
    SimCom2FarEnd com2Far{com2};
    testing_support::ScriptedDevice camera;
    sim::Robot robot;
    SimFarEnd simCamera{robot};
    std::thread watcher;
};

TEST_F(MenuModeTest, FollowQueuesTheDrivePacketThenTheTenCameraLinesWithTheirHandlers) {
    create(&camera);
    camera.sendAt(0, text("left over"));
    vt::deliverDue();
    followLine();

    std::vector<Queued> drive = contents(menuMode.com2Queue);
    ASSERT_EQ(drive.size(), 1u);
    EXPECT_EQ(hex(drive[0].bytes), "FF 64 00 00 96 5A 19 6D FF");  // 100 0 0 150 90, flags 25, sum 109
    EXPECT_EQ(drive[0].handler, &noopHandler);

    std::vector<Queued> lines = contents(menuMode.com1Queue);
    const std::vector<std::string> expected = {
        "\r",     "CR 18 40 17 2 19 33\r",    "rm 1\r", "mm 0\r", "nf 1\r", "sw 1 1 80 40\r", "\r",
        "pm 0\r", "tc 0 255 150 255 0 255\r", "\r\r\r"};
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(textOf(lines[i].bytes), expected[i]) << "line " << i + 1;
        QueueHandler handler = i == 8 ? &followLoop : i == 9 ? &flushHandler : &cameraExchange;
        EXPECT_EQ(lines[i].handler, handler) << "line " << i + 1;
    }
    uint8_t byte = 0;
    EXPECT_FALSE(menuMode.menuSerialPort->readByte(byte));  // what had arrived was flushed
}

TEST_F(MenuModeTest, TheCamerasAnswerIsFramedForTheClientAndTracedOnTheDebugPort) {
    create(&camera);
    answerEveryLine(camera, text("OK\r:"));
    int debug = connectDebugClient();
    exchange("gv\r");

    EXPECT_EQ(vt::written("COM1:"), text("gv\r"));
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(hex(answers[0].bytes), "FF 37 4F 4B 0D 3A FF 37");
    EXPECT_EQ(answers[0].handler, &noopHandler);
    EXPECT_EQ(textOf(vt::clientReceived(debug)),
              "Starting camera process\r\n"
              "Camera Sent a 79\r\nCamera Sent a 75\r\nCamera Sent a 13\r\nCamera Sent a 58\r\n"
              "\r\nCamera returned OK\r:\r\n");
}

TEST_F(MenuModeTest, A0xFFInTheAnswerIsDoubledAndPrintedAsMinusOne) {
    create(&camera);
    answerEveryLine(camera, bytesOf("41 FF 3A"));
    int debug = connectDebugClient();
    exchange("gv\r");
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(hex(answers[0].bytes), "FF 37 41 FF FF 3A FF 37");
    EXPECT_NE(textOf(vt::clientReceived(debug)).find("Camera Sent a -1\r\n"), std::string::npos);
}

TEST_F(MenuModeTest, WithoutADebugClientTheAnswerIsQueuedAllTheSame) {
    create(&camera);
    answerEveryLine(camera, text("ACK\r:"));
    exchange("rm 1\r");
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].bytes, bytesOf("FF 37 41 43 4B 0D 3A FF 37"));
}

TEST_F(MenuModeTest, ALongAnswerIsCutAfter94BytesOr95WithADoubled0xFFAtTheEnd) {
    create(&camera);
    answerEveryLine(camera, std::vector<uint8_t>(200, 'a'));
    exchange("df\r");
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].bytes.size(), 98u);  // 0xFF 0x37, 94 bytes, 0xFF 0x37
    EXPECT_EQ(std::vector<uint8_t>(answers[0].bytes.begin() + 2, answers[0].bytes.end() - 2),
              std::vector<uint8_t>(94, 'a'));

    std::vector<uint8_t> endsIn0xFF(93, 'b');
    endsIn0xFF.push_back(0xFF);
    endsIn0xFF.push_back(':');
    answerEveryLine(camera, endsIn0xFF);
    menuMode.menuSerialPort->drain();
    exchange("df\r");
    answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1].bytes.size(), 99u);  // 93 bytes and the doubled 0xFF: the ':' is not taken
    EXPECT_EQ(hex(std::vector<uint8_t>(answers[1].bytes.end() - 4, answers[1].bytes.end())), "FF FF FF 37");
}

TEST_F(MenuModeTest, ASilentCameraTimesOutAfter10000EmptyPolls) {
    create(&camera);
    int debug = connectDebugClient();
    vt::clearTrace();
    exchange("gv\r");
    // 10000 empty polls of 0 ms and a 10 ms pause after every 500th.
    std::string pauses;
    for (int i = 0; i < 20; ++i) pauses += " (10)";
    EXPECT_EQ(vt::traceText(), "67 76 0D" + pauses);
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].bytes, bytesOf("FF 37 54 49 4D 45 4F 55 54 20 43 41 4D 45 52 41 20 FF 37"));
    EXPECT_EQ(textOf(vt::clientReceived(debug)), "Starting camera process\r\n  TIMEOUT CAMERA \r\n");
}

TEST_F(MenuModeTest, TheTimeoutMessageCarriesWhatTheCameraDidSend) {
    create(&camera);
    answerEveryLine(camera, bytesOf("41 FF 42"));  // no prompt
    int debug = connectDebugClient();
    exchange("gv\r");
    std::vector<Queued> answers = contents(menuMode.tcpip5000Queue);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(hex(answers[0].bytes), "FF 37 " + hex(text("TIMEOUT CAMERA ")) + " 41 FF FF 42 FF 37");
    std::string debugText = textOf(vt::clientReceived(debug));
    EXPECT_NE(debugText.find("  TIMEOUT CAMERA A\xFF\xFF"
                             "B\r\n"),
              std::string::npos)
        << debugText;
}

TEST_F(MenuModeTest, DrivePacketsCarryTheirFlagsAndChecksum) {
    create(&camera);
    queueSteer(200, &noopHandler);
    queueSteer(0, &noopHandler);
    queueSpeed(0, &noopHandler);
    queueSpeed(7, &flushHandler);
    queueCom2Packet(200, 200, 200, 200, 200, &noopHandler);  // the checksum wraps
    queueCom2PacketRaw(1, 2, 3, 4, 5, 0xE0, &noopHandler);
    std::vector<Queued> packets = contents(menuMode.com2Queue);
    EXPECT_EQ(hexOf(packets), (std::vector<std::string>{
                                  "FF 00 C8 00 00 00 02 CA FF",
                                  "FF 00 00 00 00 00 02 02 FF",
                                  "FF 00 00 00 00 00 01 01 FF",
                                  "FF 07 00 00 00 00 01 08 FF",
                                  "FF C8 C8 C8 C8 C8 1F 07 FF",
                                  "FF 01 02 03 04 05 E0 EF FF",
                              }));
    EXPECT_EQ(packets[3].handler, &flushHandler);
    // The drive device takes every one of them as a packet.
    while (sendOldest(menuMode.senders[SENDER_COM2])) {
    }
    std::lock_guard<std::mutex> hold(com2Far.mutex());
    EXPECT_EQ(com2.packets().size(), 6u);
    EXPECT_EQ(com2.badPackets(), 0u);
}

TEST_F(MenuModeTest, StopQueuesTheStopPacket) {
    create(&camera);
    stopFollowLine();
    EXPECT_TRUE(menuMode.followStop.load());
    EXPECT_EQ(hexOf(contents(menuMode.com2Queue)), (std::vector<std::string>{"FF 00 00 00 00 00 01 01 FF"}));
    EXPECT_TRUE(vt::messages().empty());
}

TEST_F(MenuModeTest, FollowAndStopBeforeStartOnlyShowAMessage) {
    startFollowLine();
    stopFollowLine();
    EXPECT_EQ(vt::messages(), (std::vector<std::string>{
                                  "Error: The menu mode is not started: choose Start first",
                                  "Error: The menu mode is not started: choose Start first",
                              }));
    EXPECT_FALSE(menuMode.followStop.load());
    EXPECT_EQ(menuMode.followLineThread.impl, nullptr);
}

TEST_F(MenuModeTest, TheFollowLoopSteersFromEachTrackingPacket) {
    create(&camera);
    // d1 and d3 give s = d1 + d3 - 80: 0, 10, 120, -5, 4.
    camera.sendAt(1000, bytesOf("3A 0D FF 43 28 00 28 00 00 00"));
    camera.sendAt(5000, bytesOf("FF 43 2D 01 2D 02 03 04"));
    camera.sendAt(9000, bytesOf("FF 43 C8 05 00 06 07 08"));
    camera.sendAt(13000, bytesOf("FF 43 00 00 4B 00 00 00"));
    camera.sendAt(17000, bytesOf("FF 41 FF 43 00 00 54 00 00 00"));
    watcher = std::thread([] {
        // One steering packet per tracking packet; then the loop waits for the next one.
        waitUntil([] { return menuMode.com2Queue->queued() == 5; }, 20000);
        menuMode.followStop.store(true);
    });
    exchange("tc 0 255 150 255 0 255\r", &followLoop);
    watcher.join();

    EXPECT_EQ(hexOf(contents(menuMode.com2Queue)), (std::vector<std::string>{
                                                       "FF 00 FF 00 00 00 02 01 FF",  // s = 0: 255
                                                       "FF 00 02 00 00 00 02 04 FF",  // s = 10: 2
                                                       "FF 00 18 00 00 00 02 1A FF",  // s = 120: 24
                                                       "FF 00 FE 00 00 00 02 00 FF",  // s = -5: 254
                                                       "FF 00 00 00 00 00 02 02 FF",  // s = 4: 0
                                                       "FF 00 00 00 96 78 18 26 FF",  // the last packet
                                                   }));
    std::vector<std::string> lines;
    for (const Queued& item : contents(menuMode.tcpip5000Queue)) lines.push_back(textOf(item.bytes));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "starting camera follow process\r\n",
                         "Got input of 40 0 40 0 0 0\r\n",
                         "Got input of 45 1 45 2 3 4\r\n",
                         "Got input of -56 5 0 6 7 8\r\n",
                         "Got input of 0 0 75 0 0 0\r\n",
                         "Got input of 0 0 84 0 0 0\r\n",
                     }));
}

TEST_F(MenuModeTest, TheFollowLoopNeverTakesABytePassedInTheRingForANewOne) {
    create(&camera);
    SerialPort& port = *menuMode.menuSerialPort;
    // A 'C' from an earlier lap of the ring lies right behind the last byte that arrives.
    int32_t at = port.writeIndex.load();
    port.ring[(at + 1) % RING_SIZE].store('C');
    camera.sendAt(1000, bytesOf("FF"));
    camera.sendAt(5000, bytesOf("28 00 28 00 00 00 FF 43 2D 00 2D 00 00 00"));
    watcher = std::thread([] {
        waitUntil([] { return menuMode.com2Queue->queued() == 1; }, 20000);
        menuMode.followStop.store(true);
    });
    exchange("tc\r", &followLoop);
    watcher.join();
    // Only the packet that really began with 0xFF 'C' steers.
    std::vector<std::string> packets = hexOf(contents(menuMode.com2Queue));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], "FF 00 02 00 00 00 02 04 FF");
}

TEST_F(MenuModeTest, TheWholeFollowSequenceRunsAgainstTheSimulatedCamera) {
    create(&simCamera);
    followLine();
    ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM2]));  // the drive packet
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));
    watcher = std::thread([] {
        waitUntil([] { return menuMode.com2Queue->queued() >= 3; }, 20000);
        stopFollowLine();  // STOP, from another thread as the window's would be
    });
    ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));  // "tc ...": follows until STOP
    watcher.join();
    ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));  // "\r\r\r" ends tracking
    EXPECT_EQ(menuMode.com1Queue->queued(), 0);

    std::string written = textOf(vt::written("COM1:"));
    EXPECT_EQ(written, "\rCR 18 40 17 2 19 33\rrm 1\rmm 0\rnf 1\rsw 1 1 80 40\r\rpm 0\rtc 0 255 150 255 0 255\r\r\r\r");
    {
        std::lock_guard<std::mutex> hold(simCamera.mutex());
        EXPECT_FALSE(robot.camera().tracking());
        EXPECT_FALSE(robot.camera().middleMass());
        EXPECT_EQ(robot.camera().colourRanges(), (std::array<uint8_t, 6>{0, 255, 150, 255, 0, 255}));
        EXPECT_EQ(robot.camera().ncks(), 0u);
    }

    // The answers of the eight set-up lines, then the follow loop's lines.
    std::vector<Queued> toClient = contents(menuMode.tcpip5000Queue);
    ASSERT_GE(toClient.size(), 10u);
    EXPECT_EQ(hex(toClient[0].bytes), "FF 37 3A FF 37");
    EXPECT_EQ(toClient[1].bytes, bytesOf("FF 37 41 43 4B 0D 3A FF 37"));
    EXPECT_EQ(textOf(toClient[8].bytes), "starting camera follow process\r\n");

    // One steering packet per tracking packet, from its first and third data byte; STOP's
    // packet among them; the follow loop's last packet after every steering packet. STOP runs on
    // another thread: its packet may come before or after the loop's last one, and the loop may
    // see STOP between a steering packet and its "Got input" line.
    std::vector<Queued> packets = contents(menuMode.com2Queue);
    ASSERT_GE(packets.size(), 4u);
    int stops = 0, finals = 0;
    std::vector<std::vector<uint8_t>> steering;
    for (const Queued& packet : packets) {
        std::string text = hex(packet.bytes);
        if (text == "FF 00 00 00 00 00 01 01 FF") {
            ++stops;
        } else if (text == "FF 00 00 00 96 78 18 26 FF") {
            ++finals;
        } else {
            EXPECT_EQ(finals, 0) << "a steering packet after the follow loop's last one";
            steering.push_back(packet.bytes);
        }
    }
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(finals, 1);
    size_t lines = toClient.size() - 9;
    ASSERT_TRUE(steering.size() == lines || steering.size() == lines + 1) << steering.size() << " " << lines;
    for (size_t i = 0; i < lines; ++i) {
        int d[6] = {};
        ASSERT_EQ(std::sscanf(textOf(toClient[9 + i].bytes).c_str(), "Got input of %d %d %d %d %d %d", &d[0], &d[1],
                              &d[2], &d[3], &d[4], &d[5]),
                  6);
        int s = (d[0] & 0xFF) + (d[2] & 0xFF) - 80;
        int v = (s > 0 ? s / 5 : s / 5 - 1) & 0xFF;
        EXPECT_EQ(steering[i][2], v) << "packet " << i;
        EXPECT_TRUE(d[0] != 0 || d[2] != 0) << "the target is in view";
    }
}

TEST_F(MenuModeTest, ExitBeforeStartOnlyPausesFor750Milliseconds) {
    stopMenuMode();
    EXPECT_EQ(vt::traceText(), "(250) (500)");
    EXPECT_EQ(vt::nowMs(), 750u);
    EXPECT_TRUE(vt::messages().empty());
}

TEST_F(MenuModeTest, ExitClosesAndReleasesEveryObjectOfTheMode) {
    create(&camera);
    for (int port : {4999, 5000, 5001, 5002, 5003}) EXPECT_TRUE(vt::listening(uint16_t(port))) << port;
    menuMode.com1Queue->pushText("left in the queue\r", &cameraExchange);
    vt::clearTrace();
    stopMenuMode();
    EXPECT_EQ(vt::traceText(), "(250) (500)");
    for (int port : {4999, 5000, 5001, 5002, 5003}) EXPECT_FALSE(vt::listening(uint16_t(port))) << port;
    EXPECT_EQ(menuMode.menuSerialPort, nullptr);
    EXPECT_EQ(menuMode.com2Port, nullptr);
    EXPECT_EQ(menuMode.com1Queue, nullptr);
    EXPECT_EQ(menuMode.phase.load(), MenuModeState::Stopped);
    SerialPort again("COM1:");  // the port is free again
    EXPECT_TRUE(again.isOpen);
    EXPECT_TRUE(vt::messages().empty());
}

// ---- with the mode's own threads -----------------------------------------------------------

TEST_F(MenuModeTest, StartRunsTheSetUpOnItsThreadAndASecondStartIsRefused) {
    vt::attach("COM1:", &camera);
    startMenuMode();
    ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; }));
    EXPECT_TRUE(menuMode.menuSerialPort->isOpen);
    EXPECT_TRUE(menuMode.com2Port->isOpen);
    for (int port : {4999, 5000, 5001, 5002, 5003}) EXPECT_TRUE(vt::listening(uint16_t(port))) << port;
    SerialPort* first = menuMode.menuSerialPort;
    startMenuMode();
    EXPECT_EQ(vt::messages(), (std::vector<std::string>{"Error: The menu mode is already started"}));
    EXPECT_EQ(menuMode.menuSerialPort, first);
}

TEST_F(MenuModeTest, ExitWhileTheFollowLoopWaitsEndsItAndTheDriveGetsTheLastPacket) {
    // A camera that answers every line with its prompt but never sends a tracking packet.
    answerEveryLine(camera, text(":"));
    vt::attach("COM1:", &camera);
    startMenuMode();
    ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; }));
    startFollowLine();
    // The sender writes the set-up lines; the answers reach it as time goes on here. Then it
    // has written the tracking line and runs the follow loop, which waits for packets.
    ASSERT_TRUE(waitUntil(
        [] {
            vt::advanceMs(1);
            return textOf(vt::written("COM1:")).find("tc 0 255") != std::string::npos;
        },
        20000));
    stopMenuMode();
    // The follow set-up's speed 100, the follow loop's last packet, and the flagged speed 0 that
    // stops the drive.
    EXPECT_EQ(hex(vt::written("COM2:")), std::string(kFollowSpeed) + " " + kLoopEnd + " " + kStopSpeed);
    for (int port : {4999, 5000, 5001, 5002, 5003}) EXPECT_FALSE(vt::listening(uint16_t(port))) << port;
}

// The drive packets that COM2 got, one string each.
std::vector<std::string> com2Packets() {
    std::vector<uint8_t> bytes = vt::written("COM2:");
    std::vector<std::string> packets;
    for (size_t at = 0; at + 9 <= bytes.size(); at += 9) {
        packets.push_back(hex(std::vector<uint8_t>(bytes.begin() + long(at), bytes.begin() + long(at) + 9)));
    }
    return packets;
}

TEST_F(MenuModeTest, ExitAndTheProgramsEndLeaveTheDriveDeviceStopped) {
    struct Case {
        const char* name;
        bool follow;                        // Follow, and wait until the follow loop runs
        bool followAndGo;                   // Follow, and end at once while the camera set-up runs
        bool stopFirst;                     // STOP before the end
        void (*end)();                      // Exit, or the program's end
        std::vector<std::string> expected;  // empty: checked by the row's own rule below
    };
    const Case cases[] = {
        {"Exit while following", true, false, false, &stopMenuMode, {kFollowSpeed, kLoopEnd, kStopSpeed}},
        {"program's end while following", true, false, false, &endMenuMode, {kFollowSpeed, kLoopEnd, kStopSpeed}},
        {"Exit during the follow set-up", false, true, false, &stopMenuMode, {}},
        {"Exit after STOP", true, false, true, &stopMenuMode, {}},
        {"Exit without Follow", false, false, false, &stopMenuMode, {}},
        {"program's end without Follow", false, false, false, &endMenuMode, {}},
    };
    for (const Case& c : cases) {
        vt::reset();
        vt::attach("COM2:", &com2Far);
        testing_support::ScriptedDevice prompting;
        answerEveryLine(prompting, text(":"));
        vt::attach("COM1:", &prompting);
        startMenuMode();
        ASSERT_TRUE(waitUntil([] { return menuMode.phase.load() == MenuModeState::Ready; })) << c.name;
        if (c.follow || c.followAndGo) startFollowLine();
        if (c.follow) {
            ASSERT_TRUE(waitUntil(
                [] {
                    vt::advanceMs(1);
                    return textOf(vt::written("COM1:")).find("tc 0 255") != std::string::npos;
                },
                20000))
                << c.name;
        }
        if (c.stopFirst) stopFollowLine();
        c.end();
        std::vector<std::string> packets = com2Packets();
        if (!c.expected.empty()) {
            EXPECT_EQ(packets, c.expected) << c.name;
        } else if (c.followAndGo) {
            // Whether the follow loop started or not, the drive's last packet is the stop.
            ASSERT_GE(packets.size(), 2u) << c.name;
            EXPECT_EQ(packets.front(), kFollowSpeed) << c.name;
            EXPECT_EQ(packets.back(), kStopSpeed) << c.name;
        } else if (c.stopFirst) {
            // STOP's packet and the loop's last one, in either order; Exit adds no second stop.
            ASSERT_EQ(packets.size(), 3u) << c.name;
            EXPECT_EQ(packets[0], kFollowSpeed) << c.name;
            EXPECT_EQ(std::count(packets.begin(), packets.end(), kStopSpeed), 1) << c.name;
            EXPECT_EQ(std::count(packets.begin(), packets.end(), kLoopEnd), 1) << c.name;
        } else {
            EXPECT_TRUE(packets.empty()) << c.name;  // the drive never got a speed
        }
        EXPECT_EQ(menuMode.phase.load(), MenuModeState::Stopped) << c.name;
    }
}

TEST_F(MenuModeTest, AStopDuringTheFollowSetUpEndsTheFollowLoopAsItStarts) {
    create(&simCamera);
    followLine();
    ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM2]));  // speed 100
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));
    stopFollowLine();  // the camera is set up, tracking not yet started
    // A loop that forgot the STOP would steer for ever: it is ended from outside after a while.
    watcher = std::thread([] {
        waitUntil([] { return menuMode.com2Queue->queued() >= 4; }, 2000);
        menuMode.stopping.store(true);
    });
    ASSERT_TRUE(sendOldest(menuMode.senders[SENDER_COM1]));  // "tc ...": the follow loop
    menuMode.stopping.store(true);
    watcher.join();
    menuMode.stopping.store(false);
    // STOP's packet, then the loop's last one: not one steering packet between them.
    EXPECT_EQ(hexOf(contents(menuMode.com2Queue)), (std::vector<std::string>{kStopSpeed, kLoopEnd}));
}

TEST_F(MenuModeTest, AStopBeforeFollowQueuesItsDrivePacketKeepsTheDriveFromStarting) {
    create(&camera);
    menuMode.followStop.store(true);  // STOP came while the follow-line thread was starting
    followLine();
    EXPECT_TRUE(contents(menuMode.com2Queue).empty());
    EXPECT_EQ(contents(menuMode.com1Queue).size(), 10u);  // the camera set-up itself goes on
}

TEST_F(MenuModeTest, FollowWhileTheSetUpStillRunsSaysSo) {
    menuMode.phase.store(MenuModeState::Starting);
    startFollowLine();
    menuMode.phase.store(MenuModeState::Stopped);
    EXPECT_EQ(vt::messages(),
              (std::vector<std::string>{"Error: The menu mode is still starting: try again once it has started"}));
}

}  // namespace
