#include "client/replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "client/commands.h"
#include "client/lib/session.h"
#include "record/mcap_reader.h"
#include "record/topics.h"

namespace halvoran_client {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

bool number(const json& j, const char* key, uint64_t& v) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned()) return false;
    v = it->get<uint64_t>();
    return true;
}

std::string text(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string hexAround(const std::vector<SerialByte>& bytes, size_t at) {
    std::string s;
    size_t from = at >= 4 ? at - 4 : 0;
    for (size_t i = from; i < bytes.size() && i < at + 5; ++i) {
        char b[8];
        std::snprintf(b, sizeof b, i == at ? "[%02x] " : "%02x ", bytes[i].byte);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

std::string ms(int64_t ns) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", static_cast<double>(ns) / 1e6);
    return b;
}

// Sleeps until `when`, taking away whatever Halvoran sends meanwhile so that it never waits
// for us to read.
void waitUntil(Session& session, Clock::time_point when) {
    for (;;) {
        session.discardPending();
        auto now = Clock::now();
        if (now >= when) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(when - now, std::chrono::milliseconds(2)));
    }
}

// The recordings in dir written to since `since`, newest name (the latest start) first.
std::vector<std::string> recordingsIn(const std::string& dir, std::filesystem::file_time_type since) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code timeError;
        auto written = entry.last_write_time(timeError);
        if (entry.path().extension() == ".mcap" && !timeError && written >= since)
            names.push_back(entry.path().string());
    }
    std::sort(names.rbegin(), names.rend());
    return names;
}

}  // namespace

bool loadRecording(const std::string& path, Recording& recording, std::string& error) {
    mcap::ReadOptions options;
    options.topics = {"/halvoran/port/5000", "/halvoran/port/5001", "/halvoran/port/5002", topics::EVENTS.topic,
                      topics::SERIAL.topic};
    mcap::ReadResult r = mcap::readFile(path, options);
    if (!r.ok()) {
        error = path + ": " + (r.error.empty() ? "not a whole recording (no footer)" : r.error);
        return false;
    }
    recording = Recording{};
    std::vector<std::pair<char, std::vector<SerialByte>>>& lines = recording.lines;
    for (const mcap::ReadMessage& m : r.messages) {
        json j = json::parse(m.data, nullptr, false);
        uint64_t mono = 0;
        if (j.is_discarded() || !j.is_object() || !number(j, "mono_ns", mono)) {
            error = path + ": a message of " + r.channelOf(m)->topic + " is not what the recorder writes";
            return false;
        }
        const std::string& topic = r.channelOf(m)->topic;
        if (topic == topics::EVENTS.topic) {
            const std::string what = text(j, "event");
            uint64_t value = 0;
            number(j, "value", value);
            if (what == "session_start" && recording.sessionStartNs == 0) recording.sessionStartNs = mono;
            if (what == "connection_lost" && recording.sessionEndNs == 0) {
                recording.sessionEndNs = mono;
                recording.lostPort = static_cast<int>(value);
            }
            if (what == "session_end" && recording.sessionEndNs == 0) recording.sessionEndNs = mono;
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!topics::unbase64(text(j, "data"), bytes)) {
            error = path + ": bad base64 in " + topic;
            return false;
        }
        if (topic == topics::SERIAL.topic) {
            const std::string line = text(j, "line");
            auto offsets = j.find("offsets_ns");
            if (line.size() != 5 || offsets == j.end() || !offsets->is_array() || offsets->size() != bytes.size()) {
                error = path + ": a serial message without its line or byte times";
                return false;
            }
            if (text(j, "direction") != "tx") continue;
            auto it = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.first == line[3]; });
            if (it == lines.end()) it = lines.insert(lines.end(), {line[3], {}});
            for (size_t i = 0; i < bytes.size(); ++i) {
                const json& o = (*offsets)[i];
                if (!o.is_number_unsigned()) {
                    error = path + ": a serial byte time is not a number";
                    return false;
                }
                it->second.push_back(SerialByte{bytes[i], mono + o.get<uint64_t>(), false});
            }
        } else if (text(j, "direction") == "rx" && !bytes.empty()) {
            recording.sent.push_back(
                ReplayPacket{std::stoi(topic.substr(topic.rfind('/') + 1)), mono, m.logTime, std::move(bytes)});
        } else if (topic == "/halvoran/port/5000" && recording.firstReplyNs == 0 && recording.sent.size() == 1 &&
                   recording.sent.front().port == COMMAND_PORT) {
            recording.firstReplyNs = mono;
        }
    }
    std::stable_sort(recording.sent.begin(), recording.sent.end(),
                     [](const ReplayPacket& a, const ReplayPacket& b) { return a.monoNs < b.monoNs; });
    for (auto& [digit, bytes] : lines) {
        for (SerialByte& b : bytes) b.inSession = recording.sessionStartNs != 0 && b.monoNs >= recording.sessionStartNs;
    }
    return true;
}

Comparison compareRecordings(const Recording& expected, const Recording& actual, int64_t toleranceNs) {
    Comparison c;
    c.bytesMatch = true;
    std::vector<char> digits;
    for (const auto& l : expected.lines) digits.push_back(l.first);
    for (const auto& l : actual.lines)
        if (std::find(digits.begin(), digits.end(), l.first) == digits.end()) digits.push_back(l.first);
    static const std::vector<SerialByte> none;
    auto find = [](const Recording& r, char digit) -> const std::vector<SerialByte>& {
        for (const auto& l : r.lines)
            if (l.first == digit) return l.second;
        return none;
    };
    for (char digit : digits) {
        const std::vector<SerialByte>& e = find(expected, digit);
        const std::vector<SerialByte>& a = find(actual, digit);
        const std::string line = std::string("COM") + digit + ":";
        size_t same = 0;
        while (same < e.size() && same < a.size() && e[same].byte == a[same].byte) ++same;
        c.bytesReport += line + " " + std::to_string(e.size()) + " bytes recorded, " + std::to_string(a.size()) +
                         " written in the replay: ";
        if (same == e.size() && same == a.size()) {
            c.bytesReport += "identical\n";
        } else {
            c.bytesMatch = false;
            c.bytesReport += "first difference at byte " + std::to_string(same) + "\n  recorded: " + hexAround(e, same) +
                             "\n  replayed: " + hexAround(a, same) + "\n";
        }
        // The pauses between bytes that match, within one part of the run.
        for (size_t i = 1; i < same; ++i) {
            if (e[i].inSession != e[i - 1].inSession || a[i].inSession != a[i - 1].inSession) continue;
            const int64_t pe = static_cast<int64_t>(e[i].monoNs - e[i - 1].monoNs);
            const int64_t pa = static_cast<int64_t>(a[i].monoNs - a[i - 1].monoNs);
            const int64_t diff = pa > pe ? pa - pe : pe - pa;
            ++c.pauses;
            if (diff > toleranceNs) ++c.pausesOutside;
            if (diff > c.worstPauseDiffNs || c.worstPauseWhere.empty()) {
                c.worstPauseDiffNs = diff;
                c.worstPauseWhere = "before byte " + std::to_string(i) + " of " + line + " recorded " + ms(pe) +
                                    ", replayed " + ms(pa);
            }
        }
    }
    return c;
}

int runReplay(const std::string& file, const ReplaySettings& settings, std::ostream& out, std::ostream& err) {
    Recording recorded;
    std::string error;
    if (!loadRecording(file, recorded, error)) {
        err << "halvoran-client: replay: " << error << "\n";
        return exitStatusOf(Failure::Usage);
    }
    if (recorded.sessionStartNs == 0) {
        err << "halvoran-client: replay: " << file << " holds no session\n";
        return exitStatusOf(Failure::Usage);
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(settings.recordDir, ec)) {
        err << "halvoran-client: replay: " << settings.recordDir << " is not a folder\n";
        return exitStatusOf(Failure::Usage);
    }
    // Halvoran opens its file when it starts, maybe before the replay does, and closes it when
    // the session ends: the replayed session's file is the one written to after the connection.
    const auto connectedAt = std::filesystem::file_time_type::clock::now();

    Session session;
    if (!session.connect(settings.host, settings.connectTimeoutMs, error)) {
        err << "halvoran-client: replay: " << error << " (is Halvoran running?)\n";
        return exitStatusOf(Failure::Connection);
    }
    // Halvoran's time-outs count whole seconds of its clock, so when they fire depends on where
    // in its second a command came. Once Halvoran has taken up the session, the first packet
    // goes at the same fraction of a second as it came in the recording; the rest keep their
    // recorded distance from it, and the session ends as long after it as it did in the
    // recording. When the first packet was answered, the clock is set by that answer: the
    // packet was taken up as long before it as in the recording.
    if (!recorded.sent.empty()) {
        waitUntil(session, Clock::now() + std::chrono::milliseconds(settings.settleMs));
        constexpr int64_t second = 1'000'000'000;
        const int64_t nowWall =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const int64_t phase = static_cast<int64_t>(recorded.sent.front().wallNs % second);
        const int64_t wait = ((phase - nowWall % second) % second + second) % second;
        waitUntil(session, Clock::now() + std::chrono::nanoseconds(wait));
    }
    const uint64_t anchor = recorded.sent.empty() ? recorded.sessionStartNs : recorded.sent.front().monoNs;
    Clock::time_point t0 = Clock::now();
    auto at = [&](uint64_t mono) { return t0 + std::chrono::nanoseconds(mono > anchor ? mono - anchor : 0); };
    size_t sent = 0;
    bool lost = false;
    if (!recorded.sent.empty() && recorded.firstReplyNs != 0) {
        if (!session.sendRaw(recorded.sent.front().bytes)) {
            lost = true;
        } else {
            ++sent;
            std::vector<uint8_t> payload;
            ReadStatus status = session.readReply(payload, settings.recordingWaitMs);
            if (status == ReadStatus::Ok || status == ReadStatus::BadChecksum)
                t0 = Clock::now() - std::chrono::nanoseconds(recorded.firstReplyNs - anchor);
            else
                out << "replay: no answer to the first packet (" << describe(status) << "); timing from its sending\n";
        }
    }
    for (const ReplayPacket& p : recorded.sent) {
        if (lost) break;
        if (sent > 0 && &p == &recorded.sent.front()) continue;
        waitUntil(session, at(p.monoNs));
        const bool ok = p.port == COMMAND_PORT ? session.sendRaw(p.bytes) : session.sendOn(p.port - COMMAND_PORT, p.bytes);
        if (!ok) {
            lost = true;
            break;
        }
        ++sent;
    }
    if (!lost && recorded.sessionEndNs != 0) waitUntil(session, at(recorded.sessionEndNs));
    if (recorded.lostPort >= COMMAND_PORT && recorded.lostPort <= TRACKING_PORT) {
        session.closePort(recorded.lostPort - COMMAND_PORT);
    } else {
        session.waitForClose(settings.recordingWaitMs);
    }
    session.close();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    out << "replay: " << sent << " of " << recorded.sent.size() << " client packets sent over " << seconds << " s"
        << (lost ? " (Halvoran closed the connection early)" : "") << "\n";

    // The replayed Halvoran's file of this session: the newest one written to since the
    // connection, once it is whole (Halvoran closes it when the session ends).
    Recording replayed;
    std::string found;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.recordingWaitMs);
    for (;;) {
        std::vector<std::string> written = recordingsIn(settings.recordDir, connectedAt);
        if (!written.empty() && loadRecording(written.front(), replayed, error)) found = written.front();
        if (!found.empty() || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (found.empty()) {
        err << "halvoran-client: replay: no whole recording of the session in " << settings.recordDir << " within "
            << settings.recordingWaitMs << " ms (does the replayed Halvoran record there?)"
            << (error.empty() ? "" : ": " + error) << "\n";
        return exitStatusOf(Failure::Protocol);
    }
    out << "replayed session recorded in " << found << "\n";

    Comparison c = compareRecordings(recorded, replayed, settings.toleranceNs);
    out << c.bytesReport;
    out << "pauses: " << c.pauses << " compared, tolerance " << ms(settings.toleranceNs) << ", " << c.pausesOutside
        << " outside it";
    if (c.pauses > 0) out << "; largest difference " << ms(c.worstPauseDiffNs) << " (" << c.worstPauseWhere << ")";
    out << "\nresult: " << (c.match() ? "match" : "MISMATCH") << "\n";
    return c.match() ? 0 : 1;
}

}  // namespace halvoran_client
