// The messages the tools draw: the camera's picture at true proportions, the tracking box in the
// picture's coordinates, and base64 as the RawImage's data needs it.
#include <gtest/gtest.h>

#include "bridge/messages.h"

using namespace bridge;

namespace {

std::vector<uint8_t> fromBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) break;
        bits = (bits << 6) | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(uint8_t(bits >> count));
        }
    }
    return out;
}

TEST(Base64, LengthsAroundThePadding) {
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [in, out] : rows) {
        EXPECT_EQ(base64(reinterpret_cast<const uint8_t*>(in.data()), in.size()), out) << out;
    }
}

TEST(RawImage, EachCameraColumnTwiceRowsTopToBottom) {
    std::vector<uint8_t> rgb(80 * 143 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7 + i / 240);
    json image = rawImageJson(rgb, 1'500'000'000'250'000'000ULL);
    EXPECT_EQ(image["width"], 160);
    EXPECT_EQ(image["height"], 143);
    EXPECT_EQ(image["step"], 480);
    EXPECT_EQ(image["encoding"], "rgb8");
    EXPECT_EQ(image["timestamp"]["sec"], 1'500'000'000);
    EXPECT_EQ(image["timestamp"]["nsec"], 250'000'000);
    std::vector<uint8_t> data = fromBase64(image["data"]);
    ASSERT_EQ(data.size(), 480u * 143u);
    for (int y : {0, 71, 142}) {
        for (int x : {0, 1, 40, 79}) {
            for (int c = 0; c < 3; ++c) {
                uint8_t want = rgb[(size_t(y) * 80 + x) * 3 + c];
                EXPECT_EQ(data[size_t(y) * 480 + (2 * x) * 3 + c], want) << x << "," << y;
                EXPECT_EQ(data[size_t(y) * 480 + (2 * x + 1) * 3 + c], want) << x << "," << y;
            }
        }
    }
}

TEST(Annotations, TheBoxInThePicturesCoordinatesOrNoneWhenNothingIsSeen) {
    struct Row {
        uint8_t x, y, width, height, pixels, confidence;
        size_t boxes;
        double left, top, right, bottom;
    };
    const Row rows[] = {
        // Middle x 40 is picture column 79 (camera column 40 covers 78..80).
        {40, 72, 10, 20, 50, 100, 1, 69, 61.5, 89, 81.5}, {1, 1, 0, 0, 1, 6, 1, 1, 0.5, 1, 0.5},
        {80, 143, 4, 2, 9, 1, 1, 155, 141.5, 163, 143.5}, {40, 72, 10, 20, 0, 100, 0, 0, 0, 0, 0},  // no pixels
        {40, 72, 10, 20, 50, 0, 0, 0, 0, 0, 0},                                                     // no confidence
    };
    for (const Row& r : rows) {
        halvoran_client::TrackReport report;
        report.middleX = r.x;
        report.middleY = r.y;
        report.width = r.width;
        report.height = r.height;
        report.pixels = r.pixels;
        report.confidence = r.confidence;
        json a = annotationsJson(report, 5);
        ASSERT_EQ(a["points"].size(), r.boxes) << int(r.x);
        EXPECT_TRUE(a["circles"].empty());
        if (r.boxes == 0) continue;
        const json& box = a["points"][0];
        EXPECT_EQ(box["type"], 2);  // a closed line round the corners
        ASSERT_EQ(box["points"].size(), 4u);
        EXPECT_DOUBLE_EQ(box["points"][0]["x"].get<double>(), r.left) << int(r.x);
        EXPECT_DOUBLE_EQ(box["points"][0]["y"].get<double>(), r.top) << int(r.x);
        EXPECT_DOUBLE_EQ(box["points"][2]["x"].get<double>(), r.right) << int(r.x);
        EXPECT_DOUBLE_EQ(box["points"][2]["y"].get<double>(), r.bottom) << int(r.x);
    }
}

TEST(TrackingReport, CarriesTheReportAndTheModeStarted) {
    halvoran_client::TrackReport report{130, 120, 41, 70, 12, 9, 77, 200};
    json r = trackingJson(report, TrackingContext{true, halvoran_client::TrackMode::Pan}, 3'000'000'001ULL);
    EXPECT_EQ(r["kind"], "window");
    EXPECT_EQ(r["mode"], "pan");
    EXPECT_EQ(r["servo1"], 130);
    EXPECT_EQ(r["servo2"], 120);
    EXPECT_EQ(r["x"], 41);
    EXPECT_EQ(r["y"], 70);
    EXPECT_EQ(r["confidence"], 200);
    EXPECT_EQ(r["timestamp"]["sec"], 3);
    EXPECT_EQ(r["timestamp"]["nsec"], 1);
}

}  // namespace

namespace {

Command driveCommand(std::optional<int> speed, bool stop, uint32_t client, std::optional<int> servo0 = std::nullopt) {
    Command c;
    c.kind = Command::Kind::Drive;
    c.speed = speed;
    c.stop = stop;
    c.client = client;
    c.servo0 = servo0;
    return c;
}

Command lineCommand(uint32_t client) {
    Command c;
    c.kind = Command::Kind::CameraLine;
    c.line = "gv";
    c.client = client;
    return c;
}

}  // namespace

namespace {

// The clients of what a queue hands out until it is empty, all judged at `now`.
std::vector<uint32_t> drain(CommandQueue& queue, CommandQueue::TimePoint now, std::vector<uint32_t>* stale = nullptr,
                            std::optional<uint32_t> driving = std::nullopt) {
    std::vector<uint32_t> order;
    std::vector<Command> dropped;
    while (auto c = queue.next(now, dropped, driving)) order.push_back(c->client);
    if (stale) {
        for (const Command& c : dropped) stale->push_back(c.client);
    }
    return order;
}

Command stamped(Command c, CommandQueue::TimePoint received) {
    c.received = received;
    return c;
}

Command captureCommand(uint32_t client) {
    Command c;
    c.kind = Command::Kind::Capture;
    c.client = client;
    return c;
}

const CommandQueue::TimePoint T0 = CommandQueue::TimePoint{} + std::chrono::hours(1);

}  // namespace

// A stop goes before everything that waits, and the speeds that wait behind it go: carried out
// after it they would start the drive again until Halvoran's drive timeout. Drive commands go
// before the other commands.
TEST(CommandQueue, AStopGoesFirstAndTakesTheWaitingSpeedsOut) {
    struct Row {
        const char* name;
        std::vector<Command> waiting;
        Command next;
        bool urgent;
        std::vector<uint32_t> expectedClients;  // the order served afterwards, by client
        std::vector<uint32_t> expectedOvertaken;
    };
    const std::vector<Row> rows = {
        {"a speed queues behind what waits",
         {driveCommand(30, false, 1)},
         driveCommand(40, false, 2),
         false,
         {1, 2},
         {}},
        {"a stop overtakes and removes waiting speeds",
         {driveCommand(30, false, 1), driveCommand(40, false, 1)},
         driveCommand(std::nullopt, true, 3),
         true,
         {3},
         {1, 1}},
        {"a stop keeps a waiting camera line and a servo move",
         {lineCommand(4), driveCommand(std::nullopt, false, 5, 90), driveCommand(20, false, 1)},
         driveCommand(std::nullopt, true, 3),
         true,
         {3, 5, 4},
         {1}},
        {"a stop keeps an earlier stop",
         {driveCommand(std::nullopt, true, 6)},
         driveCommand(std::nullopt, true, 3),
         true,
         {3, 6},
         {}},
        {"a stop into an empty queue", {}, driveCommand(std::nullopt, true, 3), true, {3}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CommandQueue queue;
        std::vector<Command> overtaken;
        for (const Command& c : row.waiting) queue.push(stamped(c, T0), false, overtaken);
        queue.push(stamped(row.next, T0), row.urgent, overtaken);
        std::vector<uint32_t> gone;
        for (const Command& c : overtaken) gone.push_back(c.client);
        EXPECT_EQ(drain(queue, T0), row.expectedClients);
        EXPECT_EQ(gone, row.expectedOvertaken);
    }
}

// Who is served in which order: drive commands first, then the clients in turn; a client's
// ninth waiting command is refused at once (a stop never is).
TEST(CommandQueue, DriveFirstThenTheClientsInTurnEachWithAtMostEightWaiting) {
    struct Row {
        const char* name;
        std::vector<Command> pushed;   // in this order, all received at T0
        std::vector<uint32_t> busy;    // the clients of the pushes refused, in order
        std::vector<uint32_t> served;  // then served, by client
        std::optional<uint32_t> driving = std::nullopt;
        std::vector<uint32_t> left = {};  // still waiting for the drive to stop
    };
    std::vector<Command> flood(300, lineCommand(2));
    flood.push_back(driveCommand(40, false, 1));
    std::vector<uint32_t> floodBusy(292, 2);
    std::vector<uint32_t> floodServed = {1, 2, 2, 2, 2, 2, 2, 2, 2};
    std::vector<Command> nine(9, lineCommand(3));
    std::vector<Command> nineThenStop(8, lineCommand(3));
    nineThenStop.push_back(driveCommand(std::nullopt, true, 3));
    std::vector<Command> mixed(7, lineCommand(3));
    mixed.push_back(driveCommand(20, false, 3));
    mixed.push_back(captureCommand(3));
    const std::vector<Row> rows = {
        {"a viewer's 300 camera lines do not delay the next drive command", flood, floodBusy, floodServed},
        {"the clients in turn",
         {lineCommand(2), lineCommand(2), lineCommand(2), lineCommand(3), lineCommand(3), lineCommand(4)},
         {},
         {2, 3, 4, 2, 3, 2}},
        {"a camera line never goes ahead of a drive command",
         {lineCommand(2), captureCommand(3), driveCommand(std::nullopt, false, 1, 40), driveCommand(20, false, 4)},
         {},
         {1, 4, 2, 3}},
        {"the ninth waiting command is busy", nine, {3}, std::vector<uint32_t>(8, 3)},
        {"drive commands and the others count together", mixed, {3}, std::vector<uint32_t>(8, 3)},
        {"a stop is taken beyond the limit", nineThenStop, {}, std::vector<uint32_t>(9, 3)},
        {"a client's newer speeds take the place of the waiting one, never busy",
         std::vector<Command>(30, driveCommand(20, false, 3)),
         {},
         {3}},
        {"while client 1 drives, only its own commands go besides the drive",
         {lineCommand(2), captureCommand(3), lineCommand(1), driveCommand(20, false, 1), lineCommand(2)},
         {},
         {1, 1},
         1,
         {2, 3, 2}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CommandQueue queue;
        std::vector<Command> overtaken;
        std::vector<uint32_t> busy;
        for (const Command& c : row.pushed) {
            bool stop = c.kind == Command::Kind::Drive && c.stop;
            if (queue.push(stamped(c, T0), stop, overtaken) == CommandQueue::Push::Busy) busy.push_back(c.client);
        }
        EXPECT_EQ(busy, row.busy);
        EXPECT_EQ(drain(queue, T0, nullptr, row.driving), row.served);
        EXPECT_FALSE(queue.ready(row.driving)) << "nothing more for now";
        EXPECT_EQ(drain(queue, T0), row.left) << "once the drive stopped";
        EXPECT_TRUE(queue.empty());
    }
}

// A speed or servo move that waited more than 1 s when it would be sent is dropped, never
// replayed; a stop and the other commands still go. The time is read when the command is taken
// out, so after the bridge was frozen everything that waited meanwhile is judged by its age.
TEST(CommandQueue, DriveCommandsOlderThanOneSecondAtSendingAreDropped) {
    using std::chrono::milliseconds;
    struct Row {
        const char* name;
        std::vector<std::pair<Command, milliseconds>> pushed;  // received at T0 + this
        milliseconds takenAt;
        std::vector<uint32_t> served, stale;
    };
    const std::vector<Row> rows = {
        {"a speed 1 s old still goes", {{driveCommand(30, false, 1), milliseconds(0)}}, milliseconds(1000), {1}, {}},
        {"a speed older than 1 s is dropped",
         {{driveCommand(30, false, 1), milliseconds(0)}},
         milliseconds(1001),
         {},
         {1}},
        {"a servo move older than 1 s is dropped",
         {{driveCommand(std::nullopt, false, 1, 90), milliseconds(0)}},
         milliseconds(1500),
         {},
         {1}},
        {"a stop is never too old",
         {{driveCommand(std::nullopt, true, 1), milliseconds(0)}},
         milliseconds(9000),
         {1},
         {}},
        {"after a freeze of 5 s the speeds that waited go, the young one and the camera line stay",
         {{driveCommand(30, false, 1), milliseconds(0)},
          {driveCommand(-30, false, 4), milliseconds(100)},
          {lineCommand(2), milliseconds(100)},
          {driveCommand(10, false, 3), milliseconds(4500)}},
         milliseconds(5000),
         {3, 2},
         {1, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CommandQueue queue;
        std::vector<Command> overtaken;
        for (const auto& [c, at] : row.pushed) queue.push(stamped(c, T0 + at), false, overtaken);
        std::vector<uint32_t> stale;
        EXPECT_EQ(drain(queue, T0 + row.takenAt, &stale), row.served);
        EXPECT_EQ(stale, row.stale);
    }
}

// A newer speed or servo move of the same client takes the place of the one still waiting; what
// only the older one set is kept. After a hold-up the driver's latest wish goes, not its past.
TEST(CommandQueue, ANewerDriveCommandTakesThePlaceOfTheSameClientsWaitingOne) {
    struct Served {
        uint32_t client;
        std::optional<int> speed, servo0;
        bool operator==(const Served&) const = default;
    };
    struct Row {
        const char* name;
        std::vector<Command> pushed;
        std::vector<Served> served;
        size_t overtaken;
    };
    const std::vector<Row> rows = {
        {"the newer speed", {driveCommand(30, false, 1), driveCommand(-40, false, 1)}, {{1, -40, {}}}, 1},
        {"the older servo move rides on the newer speed",
         {driveCommand(30, false, 1, 90), driveCommand(-40, false, 1)},
         {{1, -40, 90}},
         1},
        {"the older speed rides on the newer servo move",
         {driveCommand(30, false, 1), driveCommand(std::nullopt, false, 1, 10)},
         {{1, 30, 10}},
         1},
        {"another client's is not touched",
         {driveCommand(std::nullopt, false, 2, 50), driveCommand(30, false, 1)},
         {{2, {}, 50}, {1, 30, {}}},
         0},
        {"a waiting stop stays, the speed after it is replaced",
         {driveCommand(std::nullopt, true, 1), driveCommand(10, false, 1), driveCommand(20, false, 1)},
         {{1, {}, {}}, {1, 20, {}}},
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CommandQueue queue;
        std::vector<Command> overtaken, stale;
        for (const Command& c : row.pushed) queue.push(stamped(c, T0), false, overtaken);
        std::vector<Served> served;
        while (auto c = queue.next(T0, stale)) served.push_back({c->client, c->speed, c->servo0});
        EXPECT_TRUE(served == row.served);
        EXPECT_EQ(overtaken.size(), row.overtaken);
    }
}

TEST(RateLimitedLog, OneLinePerKindEveryTenSecondsWithTheCountOfThoseLeftOut) {
    auto now = T0;
    std::vector<std::string> lines;
    RateLimitedLog log([&](const std::string& line) { lines.push_back(line); }, [&] { return now; });
    log("a", "first a");
    now += std::chrono::seconds(1);
    log("a", "second a");
    log("a", "third a");
    log("b", "first b");
    now += std::chrono::seconds(9);
    log("a", "fourth a");
    EXPECT_EQ(lines, (std::vector<std::string>{"first a", "first b", "fourth a (and 2 more like it)"}));
    // A client's bytes cannot forge a line of their own, nor fill the log.
    lines.clear();
    log("c", "op \"x\nhalvoran-bridge: forged\r\x1b[2J\"");
    log("d", std::string(1000, 'y'));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "op \"x?halvoran-bridge: forged??[2J\"");
    EXPECT_EQ(lines[1], std::string(300, 'y') + "...");
}
