// A recording played back on a clock the test moves: messages leave at their recorded spacing
// divided by the rate, pause holds them, a seek shows each channel's last message first, the end
// pauses or starts over, bad rates change nothing, and a file cut short plays its complete chunks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <limits>
#include <string>
#include <vector>

#include "bridge/player.h"
#include "record/mcap_writer.h"

using namespace bridge;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t T0 = 1'700'000'000'000'000'000ull;  // the recording's first log time
constexpr uint64_t MS = 1'000'000;

struct Sent {
    uint16_t channel;
    uint64_t logTime;
    std::string data;
    Player::Clock::duration at;  // when, from the start of the test
};

struct Record : PlaybackSink {
    Player::Clock::time_point* now = nullptr;
    Player::Clock::time_point origin{};
    std::vector<Sent> messages;
    std::vector<std::pair<Player::Clock::duration, uint64_t>> times;
    std::vector<PlaybackParameter> parameters;
    int seeks = 0;
    void message(uint16_t channel, uint64_t logTime, const std::string& data) override {
        messages.push_back({channel, logTime, data, *now - origin});
    }
    void time(uint64_t logTime) override { times.emplace_back(*now - origin, logTime); }
    void parametersChanged(const std::vector<PlaybackParameter>& changed) override {
        parameters.insert(parameters.end(), changed.begin(), changed.end());
    }
    void seeked() override { ++seeks; }
    std::vector<std::string> data() const {
        std::vector<std::string> out;
        for (const Sent& s : messages) out.push_back(s.data);
        return out;
    }
};

struct Message {
    int channel;  // 1 or 2
    uint64_t offsetMs;
    std::string data;
    bool endsChunk = false;
};

// A recording of two channels, its chunks ending where the messages say.
std::string writeRecording(const std::vector<Message>& messages) {
    static int count = 0;
    std::string path = (std::filesystem::temp_directory_path() / ("player_test_" + std::to_string(::getpid()) + "_" +
                                                                  std::to_string(++count) + ".mcap"))
                           .string();
    mcap::WriterOptions options;
    options.chunkSpanNs = uint64_t{1} << 62;
    options.syncChunks = false;
    mcap::Writer w(options);
    EXPECT_TRUE(w.open(path, "", "test"));
    uint16_t s = w.addSchema("halvoran.Test", "jsonschema", R"({"type":"object"})");
    uint16_t a = w.addChannel(s, "/a", "json");
    uint16_t b = w.addChannel(s, "/b", "json");
    for (const Message& m : messages) {
        EXPECT_TRUE(w.write(m.channel == 1 ? a : b, T0 + m.offsetMs * MS, m.data));
        if (m.endsChunk) {
            EXPECT_TRUE(w.flush());
        }
    }
    EXPECT_TRUE(w.close());
    return path;
}

// Four chunks: {a0 b0 a1} {a2} {b1} {a3 a4}.
const std::vector<Message> SAMPLE = {
    {1, 0, "a0"},         {2, 40, "b0"},  {1, 100, "a1", true}, {1, 350, "a2", true},
    {2, 600, "b1", true}, {1, 900, "a3"}, {1, 1000, "a4"},
};

// Moves the clock to each moment the player asks for, up to `end`. A player that keeps asking
// for a moment without doing anything fails here instead of spinning.
void playUntil(Player& player, Player::Clock::time_point& now, Player::Clock::time_point end) {
    for (int polls = 0;; ++polls) {
        ASSERT_LT(polls, 100000) << "the player keeps asking for the present moment";
        Player::Clock::time_point next = player.poll();
        if (next > end) break;
        ASSERT_GE(next, now) << "the player asked for a moment that has passed";
        now = next;
    }
    now = end;
    player.poll();
}

class PlayerTest : public ::testing::Test {
protected:
    PlayerTest() : player([this] { return now; }) {
        record.now = &now;
        record.origin = now;
    }
    ~PlayerTest() override {
        for (const std::string& p : files) std::filesystem::remove(p);
    }
    void open(const std::vector<Message>& messages, double rate = 1.0, bool loop = false) {
        files.push_back(writeRecording(messages));
        std::string error;
        ASSERT_TRUE(player.open(files.back(), rate, loop, error)) << error;
        player.attach(record);
    }
    // A new player of these messages, its output recorded afresh from now.
    std::unique_ptr<Player> fresh(const std::vector<Message>& messages, double rate = 1.0) {
        record = Record{};
        record.now = &now;
        record.origin = now;
        auto p = std::make_unique<Player>([this] { return now; });
        files.push_back(writeRecording(messages));
        std::string error;
        EXPECT_TRUE(p->open(files.back(), rate, false, error)) << error;
        p->attach(record);
        return p;
    }
    // Plays up to `until` from the start.
    void runUntil(Player::Clock::duration until) { playUntil(player, now, record.origin + until); }
    std::optional<nlohmann::json> lastParameter(const std::string& name) {
        for (auto p = record.parameters.rbegin(); p != record.parameters.rend(); ++p)
            if (p->name == name) return p->value;
        return std::nullopt;
    }

    Player::Clock::time_point now{std::chrono::seconds(1000)};
    Record record;
    Player player;
    std::vector<std::string> files;
};

TEST_F(PlayerTest, MessagesLeaveAtTheirRecordedSpacingDividedByTheRate) {
    for (double rate : {1.0, 2.0, 0.5, 10.0, 0.1}) {
        SCOPED_TRACE(rate);
        auto owned = fresh(SAMPLE, rate);
        Player& p = *owned;
        playUntil(p, now, now + std::chrono::seconds(20));
        ASSERT_EQ(record.messages.size(), SAMPLE.size());
        for (size_t i = 0; i < SAMPLE.size(); ++i) {
            EXPECT_EQ(record.messages[i].data, SAMPLE[i].data);
            EXPECT_EQ(record.messages[i].logTime, T0 + SAMPLE[i].offsetMs * MS);
            double expected = static_cast<double>(SAMPLE[i].offsetMs * MS) / rate;
            double at = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(record.messages[i].at).count());
            EXPECT_NEAR(at, expected, 3) << SAMPLE[i].data;
        }
    }
}

TEST_F(PlayerTest, TimeGoesOutAtLeastEveryTenthOfASecondWhilePlaying) {
    open({{1, 0, "a0"}, {1, 2000, "a1"}});
    runUntil(1500ms);
    ASSERT_GE(record.times.size(), 15u);
    for (size_t i = 1; i < record.times.size(); ++i) {
        EXPECT_LE(record.times[i].first - record.times[i - 1].first, Player::TIME_EVERY);
        // The position shown is the recording's log time at that moment.
        EXPECT_EQ(record.times[i].second,
                  T0 + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(record.times[i].first).count()));
    }
}

TEST_F(PlayerTest, EveryControlSendsTimeAtOnce) {
    struct Case {
        const char* what;
        std::function<std::string(Player&)> change;
        uint64_t position;  // of the Time sent at once, from the start
    };
    const std::vector<Case> cases = {
        {"pause", [](Player& p) { return p.setPaused(true); }, 30 * MS},
        {"rate", [](Player& p) { return p.setRate(2.0); }, 30 * MS},
        {"seek", [](Player& p) { return p.seek(0.5); }, 500 * MS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto owned = fresh(SAMPLE);
        Player& p = *owned;
        p.poll();
        now += 30ms;  // between two regular Times
        size_t before = record.times.size();
        ASSERT_EQ(c.change(p), "");
        ASSERT_EQ(record.times.size(), before + 1);
        EXPECT_EQ(record.times.back().second, T0 + c.position);
    }
}

TEST_F(PlayerTest, PauseHoldsTheMessagesAndPlayResumesWhereItStopped) {
    open(SAMPLE);
    runUntil(120ms);
    ASSERT_EQ(record.data(), (std::vector<std::string>{"a0", "b0", "a1"}));
    ASSERT_EQ(player.setPaused(true), "");
    EXPECT_EQ(lastParameter(Player::PAUSED), true);
    runUntil(60s);
    EXPECT_EQ(record.messages.size(), 3u) << "a paused playback sent a message";
    EXPECT_EQ(player.position(), T0 + 120 * MS);
    ASSERT_EQ(player.setPaused(false), "");
    // a2 is 230 ms of recording ahead of where it paused.
    runUntil(60s + 229ms);
    EXPECT_EQ(record.messages.size(), 3u);
    runUntil(60s + 231ms);
    ASSERT_EQ(record.messages.size(), 4u);
    EXPECT_EQ(record.messages.back().data, "a2");
}

TEST_F(PlayerTest, ASeekSendsTheLastMessageOfEachChannelFirst) {
    struct Case {
        double seconds;
        std::vector<std::string> first;  // at once, before the clock moves
        std::string next;                // the message that comes after
    };
    const std::vector<Case> cases = {
        // a2 lies two chunks back, b1 one back: both are found, sent in their order.
        {0.62, {"a2", "b1"}, "a3"},
        {0.6, {"a2", "b1"}, "a3"},   // b1 lies exactly there: it is shown, not sent again
        {0.02, {"a0"}, "b0"},        // no message of /b yet
        {0.0, {"a0"}, "b0"},
        {1.0, {"b1", "a4"}, ""},     // the end: nothing comes after
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        auto owned = fresh(SAMPLE);
        Player& p = *owned;
        ASSERT_EQ(p.setPaused(true), "");
        ASSERT_EQ(p.seek(c.seconds), "");
        EXPECT_EQ(record.seeks, 1);
        EXPECT_EQ(record.data(), c.first);
        ASSERT_EQ(p.setPaused(false), "");
        now += std::chrono::milliseconds(500);
        p.poll();
        if (c.next.empty()) {
            EXPECT_EQ(record.messages.size(), c.first.size());
        } else {
            ASSERT_GT(record.messages.size(), c.first.size());
            EXPECT_EQ(record.messages[c.first.size()].data, c.next);
        }
    }
}

TEST_F(PlayerTest, ChunksThatOverlapInTimePlayInLogTimeOrder) {
    // Chunk {a0 a1} spans 0..300 ms, chunk {b0 a0b b1 a2} 100..400 ms.
    const std::vector<Message> overlapping = {
        {1, 0, "a0"}, {1, 300, "a1", true}, {2, 100, "b0"}, {1, 150, "a0b"}, {2, 200, "b1"}, {1, 400, "a2"},
    };
    struct Case {
        double seek;  // < 0: none, play from the start
        std::vector<std::string> sent;
    };
    const std::vector<Case> cases = {
        {-1, {"a0", "b0", "a0b", "b1", "a1", "a2"}},
        {0.25, {"a0b", "b1", "a1", "a2"}},  // a0b is newer than a0 of the chunk before
        {0.35, {"b1", "a1", "a2"}},         // a1 of the earlier chunk is newer than a0b
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seek);
        auto owned = fresh(overlapping);
        Player& p = *owned;
        if (c.seek >= 0) {
            ASSERT_EQ(p.seek(c.seek), "");
        }
        playUntil(p, now, now + std::chrono::seconds(5));
        EXPECT_EQ(record.data(), c.sent);
    }
}

TEST_F(PlayerTest, TheEndPausesThereAndPlayingAgainStartsOver) {
    open(SAMPLE);
    runUntil(5s);
    ASSERT_EQ(record.messages.size(), SAMPLE.size());
    EXPECT_EQ(lastParameter(Player::PAUSED), true);
    EXPECT_DOUBLE_EQ(lastParameter(Player::POSITION)->get<double>(), 1.0);
    runUntil(30s);
    EXPECT_EQ(record.messages.size(), SAMPLE.size()) << "sent something after the end";
    ASSERT_EQ(player.setPaused(false), "");
    EXPECT_DOUBLE_EQ(lastParameter(Player::POSITION)->get<double>(), 0.0);
    runUntil(30s + 50ms);
    ASSERT_EQ(record.messages.size(), SAMPLE.size() + 2);
    EXPECT_EQ(record.messages[SAMPLE.size()].data, "a0");
}

TEST_F(PlayerTest, LoopStartsOverAtTheEnd) {
    open(SAMPLE, 1.0, true);
    runUntil(2500ms);
    // Two whole rounds and the start of the third, with no pause.
    std::vector<std::string> expected;
    for (int round = 0; round < 3; ++round)
        for (const Message& m : SAMPLE)
            if (round < 2 || m.offsetMs <= 400) expected.push_back(m.data);
    EXPECT_EQ(record.data(), expected);
    EXPECT_NE(lastParameter(Player::PAUSED), std::optional<nlohmann::json>(true));
    EXPECT_EQ(record.messages[SAMPLE.size()].at, std::chrono::seconds(1));
}

TEST_F(PlayerTest, ARateOutOfRangeIsRefusedAndChangesNothing) {
    open(SAMPLE);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double rate;
        bool ok;
    };
    for (const Case& c : std::vector<Case>{{0.1, true}, {10, true}, {3.5, true}, {0.09, false}, {10.01, false},
                                           {0, false}, {-1, false}, {nan, false}, {inf, false}}) {
        SCOPED_TRACE(c.rate);
        ASSERT_EQ(player.setRate(1.0), "");
        std::string why = player.setRate(c.rate);
        EXPECT_EQ(why.empty(), c.ok) << why;
        double rate = 0;
        for (const PlaybackParameter& p : player.parameters())
            if (p.name == Player::RATE) rate = p.value.get<double>();
        EXPECT_EQ(rate, c.ok ? c.rate : 1.0);
        Player other([this] { return this->now; });
        std::string error;
        EXPECT_EQ(other.open(files.back(), c.rate, false, error), c.ok) << error;
    }
}

TEST_F(PlayerTest, APositionOutsideTheRecordingIsRefused) {
    open(SAMPLE);
    for (double seconds : {-0.001, 1.001, std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(seconds);
        EXPECT_NE(player.seek(seconds), "");
        EXPECT_EQ(record.seeks, 0);
    }
}

TEST_F(PlayerTest, AFileCutShortPlaysUpToItsLastCompleteChunk) {
    std::string whole = writeRecording(SAMPLE);
    files.push_back(whole);
    mcap::FileIndex index = mcap::indexFile(whole);
    ASSERT_TRUE(index.complete) << index.error;
    ASSERT_EQ(index.chunks.size(), 4u);
    struct Case {
        const char* what;
        uint64_t cut;
        std::vector<std::string> played;  // empty: the file is refused
    };
    const auto& ch = index.chunks;
    const std::vector<Case> cases = {
        {"whole", std::filesystem::file_size(whole), {"a0", "b0", "a1", "a2", "b1", "a3", "a4"}},
        {"in the summary", ch[3].offset + ch[3].length + 20, {"a0", "b0", "a1", "a2", "b1", "a3", "a4"}},
        {"in the last chunk", ch[3].offset + ch[3].length / 2, {"a0", "b0", "a1", "a2", "b1"}},
        {"in the second chunk", ch[1].offset + 3, {"a0", "b0", "a1"}},
        {"in the first chunk", ch[0].offset + ch[0].length - 1, {}},
        {"in the header", 12, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string cut = whole + ".cut";
        files.push_back(cut);
        std::filesystem::copy_file(whole, cut, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(cut, c.cut);
        Record fresh;
        fresh.now = &now;
        fresh.origin = now;
        record = fresh;
        Player p([this] { return now; });
        std::string error;
        bool opened = p.open(cut, 1.0, false, error);
        ASSERT_EQ(opened, !c.played.empty()) << error;
        if (!opened) {
            EXPECT_NE(error, "");
            continue;
        }
        EXPECT_EQ(p.warning().empty(), std::string(c.what) == "whole");
        p.attach(record);
        playUntil(p, now, now + std::chrono::seconds(10));
        EXPECT_EQ(record.data(), c.played);
    }
}

TEST_F(PlayerTest, ChunksAreReadOneAtATime) {
    // Every chunk read back holds exactly the messages of its place in the index: what playing
    // needs in memory is one chunk, whatever the file's size.
    std::vector<Message> many;
    for (uint64_t i = 0; i < 400; ++i) many.push_back({int(i % 2) + 1, i * 10, std::to_string(i), i % 25 == 24});
    std::string path = writeRecording(many);
    files.push_back(path);
    mcap::FileIndex index = mcap::indexFile(path);
    ASSERT_TRUE(index.complete) << index.error;
    ASSERT_EQ(index.chunks.size(), 16u);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    size_t seen = 0;
    for (const mcap::ChunkPlace& place : index.chunks) {
        std::vector<mcap::ReadMessage> messages;
        std::string error;
        ASSERT_TRUE(mcap::readChunk(file.get(), index, place, messages, error)) << error;
        ASSERT_EQ(messages.size(), place.messages);
        EXPECT_EQ(messages.front().logTime, place.startTime);
        EXPECT_EQ(messages.back().logTime, place.endTime);
        for (const mcap::ReadMessage& m : messages) EXPECT_EQ(m.data, std::to_string(seen++));
    }
    EXPECT_EQ(seen, many.size());
}

}  // namespace
