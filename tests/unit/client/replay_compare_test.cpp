// The replay's verdict: the serial bytes must be the same, and each pause between two bytes
// within the tolerance, except the pause across the session's start (when the clients
// connected is not part of what is replayed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/replay.h"

namespace {

using halvoran_client::compareRecordings;
using halvoran_client::Recording;
using halvoran_client::SerialByte;

// COM1 bytes at the given times (ms); bytes at or after `sessionMs` are in the session.
Recording line(const std::vector<uint8_t>& bytes, const std::vector<double>& ms, double sessionMs = 0) {
    Recording r;
    r.sessionStartNs = static_cast<uint64_t>(sessionMs * 1e6);
    std::vector<SerialByte> l;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t t = static_cast<uint64_t>(ms[i] * 1e6);
        l.push_back(SerialByte{bytes[i], t, t >= r.sessionStartNs});
    }
    r.lines.push_back({'1', l});
    return r;
}

TEST(ReplayComparison, BytesAndPausesDecideTheVerdict) {
    const Recording recorded = line({1, 2, 3, 4}, {1000, 1010, 1500, 1510}, 1200);
    struct Case {
        const char* name;
        Recording replayed;
        bool bytesMatch;
        size_t pausesOutside;
    };
    const std::vector<Case> cases = {
        {"the same", line({1, 2, 3, 4}, {5000, 5010, 5500, 5510}, 5200), true, 0},
        {"pauses just within 20 ms", line({1, 2, 3, 4}, {5000, 5029, 5500, 5490}, 5200), true, 0},
        {"a pause 25 ms longer", line({1, 2, 3, 4}, {5000, 5010, 5500, 5535}, 5200), true, 1},
        {"the session started later: the pause across its start is not compared",
         line({1, 2, 3, 4}, {5000, 5010, 9000, 9010}, 8800), true, 0},
        {"a byte differs", line({1, 2, 9, 4}, {5000, 5010, 5500, 5510}, 5200), false, 0},
        {"a byte more", line({1, 2, 3, 4, 5}, {5000, 5010, 5500, 5510, 5520}, 5200), false, 0},
        {"a byte less", line({1, 2, 3}, {5000, 5010, 5500}, 5200), false, 0},
        {"nothing written", Recording{}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        halvoran_client::Comparison r = compareRecordings(recorded, c.replayed, 20'000'000);
        EXPECT_EQ(r.bytesMatch, c.bytesMatch) << r.bytesReport;
        EXPECT_EQ(r.pausesOutside, c.pausesOutside) << r.worstPauseWhere;
        EXPECT_EQ(r.match(), c.bytesMatch && c.pausesOutside == 0);
    }
}

TEST(ReplayComparison, ALineOnlyTheReplayWroteIsADifference) {
    Recording replayed = line({1}, {0});
    replayed.lines.push_back({'2', {SerialByte{7, 0, true}}});
    halvoran_client::Comparison r = compareRecordings(line({1}, {0}), replayed, 20'000'000);
    EXPECT_FALSE(r.bytesMatch);
    EXPECT_NE(r.bytesReport.find("COM2:"), std::string::npos) << r.bytesReport;
}

}  // namespace
