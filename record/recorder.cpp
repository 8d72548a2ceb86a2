#include "record/recorder.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "client/lib/session.h"
#include "protocol/framing.h"
#include "protocol/wire.h"
#include "record/mcap_writer.h"
#include "record/topics.h"
#include "sim/frame_format.h"

namespace record {

namespace {

using topics::json;

constexpr uint64_t kChunkSpanNs = 1'000'000'000ULL;
// A serial message holds the bytes of one direction on one channel, at most this many and
// this long apart from its first byte; each byte keeps its own time.
constexpr size_t kSerialBatch = 256;
constexpr uint64_t kSerialBatchSpanNs = 100'000'000ULL;
// Records younger than this wait a little, so that the two threads' queues merge in time order.
constexpr uint64_t kMergeHorizonNs = 2'000'000ULL;
constexpr int kIdleSleepMs = 5;
constexpr uint64_t kCapCheckNs = 10'000'000'000ULL;

uint64_t wallNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

const char* eventName(Event e) {
    switch (e) {
        case Event::SessionStart: return "session_start";
        case Event::SessionEnd: return "session_end";
        case Event::ConnectionLost: return "connection_lost";
        case Event::TimeoutFired: return "timeout_fired";
        case Event::StopSent: return "stop_sent";
    }
    return "unknown";
}

bool isRecordingName(const char* name) {
    const size_t n = std::strlen(name);
    return std::strncmp(name, "halvoran-", 9) == 0 && n > 14 && std::strcmp(name + n - 5, ".mcap") == 0;
}

// The folder's recordings, oldest first (their names sort by time), with their sizes.
std::vector<std::pair<std::string, uint64_t>> listRecordings(const std::string& dir) {
    std::vector<std::pair<std::string, uint64_t>> files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return files;
    while (dirent* e = readdir(d)) {
        if (!isRecordingName(e->d_name)) continue;
        struct stat st {};
        std::string path = dir + "/" + e->d_name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.emplace_back(e->d_name, uint64_t(st.st_size));
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

Settings settingsFromEnvironment() {
    Settings s;
    const char* dir = std::getenv("HALVORAN_RECORD_DIR");
    if (dir != nullptr) s.directory = dir;
    if (const char* mb = std::getenv("HALVORAN_RECORD_MAX_MB"); mb != nullptr && *mb != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(mb, &end, 10);
        if (errno == 0 && *end == '\0' && v > 0 && v < (1ULL << 40)) s.maxBytes = v << 20;
        else
            std::fprintf(stderr, "Recording: HALVORAN_RECORD_MAX_MB=\"%s\" is not a size in MiB; the cap stays 1024\n",
                         mb);
    }
    return s;
}

std::string sessionFileName(int64_t wallSeconds) {
    time_t t = static_cast<time_t>(wallSeconds);
    struct tm local {};
    localtime_r(&t, &local);
    char name[64];
    std::strftime(name, sizeof name, "halvoran-%Y%m%d-%H%M%S.mcap", &local);
    return name;
}

// What the writer thread keeps: the file, its channels and the decoders of each stream.
struct Recorder::State {
    explicit State(const Settings& s)
        : settings(s), writer(mcap::WriterOptions{s.chunkBytes, kChunkSpanNs, true, s.syncChunks}) {}

    Settings settings;
    mcap::Writer writer;
    std::atomic<bool> done{false};
    mutable std::mutex pathLock;
    std::string path;
    std::string name;
    int64_t wallOffsetNs = 0;  // wall clock minus monotonic, taken at the start
    uint64_t startMono = 0;
    std::string baseName;  // the file's name, from the local start time
    uint64_t lastFlushMono = 0, lastCapCheckMono = 0;
    uint64_t droppedWritten = 0;

    std::map<std::string, uint16_t> channels;  // topic -> channel id
    std::map<uint16_t, uint64_t> lastLogTime;  // per channel: log times never go back

    struct Line {
        int channel = 0;  // the switch's channel: 0 not known yet
        bool escape = false;
        // The open message.
        bool open = false;
        bool tx = false;
        int batchChannel = 0;
        uint64_t firstMono = 0;
        std::vector<uint8_t> bytes;
        std::vector<uint64_t> offsets;
    };
    std::map<uint16_t, Line> lines;

    // Port bytes split over several records, put together again.
    std::vector<uint8_t> assembled;

    // The command port's streams and the tracking port's.
    Deframer commands;
    halvoran_client::ReplyReader replies;
    halvoran_client::ReplyReader tracking;
    std::deque<uint8_t> unanswered;  // letters of the commands not answered yet
    // A frame dump on the image port, from its 'D' to the camera's prompt.
    bool capturing = false;
    std::vector<uint8_t> frame;
    halvoran_client::FrameEnd frameEnd;
    bool trackWindow = false;
    halvoran_client::TrackMode trackMode = halvoran_client::TrackMode::Both;

    uint16_t channel(const topics::Topic& t, const std::string& topic) {
        auto it = channels.find(topic);
        if (it != channels.end()) return it->second;
        uint16_t schema = writer.addSchema(t.schemaName, topics::SCHEMA_ENCODING, t.schema);
        uint16_t id = writer.addChannel(schema, topic, topics::MESSAGE_ENCODING);
        channels.emplace(topic, id);
        return id;
    }
    uint64_t wallOf(uint64_t mono) const { return static_cast<uint64_t>(static_cast<int64_t>(mono) + wallOffsetNs); }
    void put(const topics::Topic& t, const std::string& topic, uint64_t mono, json message) {
        uint16_t id = channel(t, topic);
        uint64_t log = wallOf(mono);
        uint64_t& last = lastLogTime[id];
        if (log < last) log = last;
        last = log;
        if (!message.contains("timestamp")) message["timestamp"] = topics::timeJson(wallOf(mono));
        message["mono_ns"] = mono;
        writer.write(id, log, message.dump());
    }
    void putEvent(uint64_t mono, const char* what, int64_t value, const std::string& text, uint64_t dropped) {
        put(topics::EVENTS, topics::EVENTS.topic, mono,
            json{{"event", what}, {"value", value}, {"text", text}, {"dropped", dropped}});
    }

    void closeSerial(uint16_t digit, Line& line) {
        if (!line.open) return;
        char lineName[6] = {'C', 'O', 'M', static_cast<char>(digit), ':', 0};
        put(topics::SERIAL, topics::SERIAL.topic, line.firstMono,
            json{{"line", lineName},
                 {"direction", line.tx ? "tx" : "rx"},
                 {"channel", line.batchChannel},
                 {"data", topics::base64(line.bytes.data(), line.bytes.size())},
                 {"offsets_ns", line.offsets}});
        line.open = false;
        line.bytes.clear();
        line.offsets.clear();
    }
    void closeAllSerial() {
        for (auto& [digit, line] : lines) closeSerial(digit, line);
    }

    void serialByte(const Record& r) {
        Line& line = lines[r.source];
        const bool tx = r.kind == Kind::SerialWritten;
        const uint8_t byte = r.data[0];
        if (line.open && (line.tx != tx || line.batchChannel != line.channel || line.bytes.size() >= kSerialBatch ||
                          r.monoNs - line.firstMono > kSerialBatchSpanNs))
            closeSerial(r.source, line);
        if (!line.open) {
            line.open = true;
            line.tx = tx;
            line.batchChannel = line.channel;
            line.firstMono = r.monoNs;
        }
        line.bytes.push_back(byte);
        line.offsets.push_back(r.monoNs - line.firstMono);
        if (!tx) return;
        // The switch takes 0x5C and a channel's digit; the two bytes still belong to the old channel.
        if (line.escape && (byte == '1' || byte == '2')) {
            line.channel = byte - '0';
            line.escape = false;
        } else {
            line.escape = byte == 0x5C;
        }
    }

    void portBytes(Kind kind, uint16_t port, uint64_t mono, const std::vector<uint8_t>& bytes) {
        const bool rx = kind == Kind::PortReceived;
        put(topics::PORT_BYTES, std::string(topics::PORT_BYTES.topic) + std::to_string(port), mono,
            json{
                {"port", port}, {"direction", rx ? "rx" : "tx"}, {"data", topics::base64(bytes.data(), bytes.size())}});
        if (port == halvoran_client::COMMAND_PORT && rx) commandBytes(mono, bytes);
        if (port == halvoran_client::COMMAND_PORT && !rx) replyBytes(mono, bytes);
        if (port == halvoran_client::TRACKING_PORT && !rx) trackingBytes(mono, bytes);
        if (port == halvoran_client::IMAGE_PORT && !rx) imageBytes(mono, bytes);
    }

    void commandBytes(uint64_t mono, const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            DeframeEvent e = deframeByte(commands, b);
            if (e != DeframeEvent::Packet) continue;
            const int n = commands.count;
            commands.count = 0;
            if (n < 1) continue;
            const uint8_t* p = commands.packetBuffer;
            const bool ok = n >= 2 && packetChecksum(p, n - 1) == p[n - 1];
            const uint8_t letter = p[0];
            unanswered.push_back(letter);
            if (unanswered.size() > 64) unanswered.pop_front();
            noteTracking(letter);
            if (letter == COMMAND_FRAME_DUMP) {
                capturing = true;
                frame.clear();
                frameEnd = halvoran_client::FrameEnd{};
            }
            put(topics::COMMAND, topics::COMMAND.topic, mono,
                json{{"letter", std::string(1, static_cast<char>(letter))},
                     {"packet", topics::base64(p, static_cast<size_t>(n))},
                     {"checksumOk", ok}});
        }
    }

    void noteTracking(uint8_t letter) {
        using halvoran_client::TrackMode;
        switch (letter) {
            case COMMAND_TRACK_COLOUR_BOTH: trackWindow = false, trackMode = TrackMode::Both; break;
            case COMMAND_TRACK_COLOUR_SERVO1: trackWindow = false, trackMode = TrackMode::Pan; break;
            case COMMAND_TRACK_COLOUR_SERVO2: trackWindow = false, trackMode = TrackMode::Tilt; break;
            case COMMAND_TRACK_COLOUR_REPORT: trackWindow = false, trackMode = TrackMode::Report; break;
            case COMMAND_TRACK_WINDOW_BOTH: trackWindow = true, trackMode = TrackMode::Both; break;
            case COMMAND_TRACK_WINDOW_SERVO1: trackWindow = true, trackMode = TrackMode::Pan; break;
            case COMMAND_TRACK_WINDOW_SERVO2: trackWindow = true, trackMode = TrackMode::Tilt; break;
            case COMMAND_TRACK_WINDOW_REPORT: trackWindow = true, trackMode = TrackMode::Report; break;
            default: break;
        }
    }

    void replyBytes(uint64_t mono, const std::vector<uint8_t>& bytes) {
        replies.feed(bytes.data(), bytes.size());
        std::vector<uint8_t> payload;
        halvoran_client::ReadStatus status;
        while (replies.next(payload, status)) {
            json command = nullptr;
            uint8_t letter = 0;
            if (!unanswered.empty()) {
                letter = unanswered.front();
                unanswered.pop_front();
                command = std::string(1, static_cast<char>(letter));
            }
            json result = payload.empty() ? json(nullptr) : json(payload[0]);
            put(topics::COMMAND_REPLY, topics::COMMAND_REPLY.topic, mono,
                json{{"command", command},
                     {"result", result},
                     {"resultText", payload.empty() ? "" : halvoran_client::resultText(payload[0])},
                     {"payload", topics::base64(payload.data(), payload.size())}});
            halvoran_client::DriveStatus drive;
            std::string error;
            if (letter == COMMAND_DRIVE && status == halvoran_client::ReadStatus::Ok &&
                halvoran_client::decodeDriveStatus(payload, drive, error))
                put(topics::DRIVE_STATUS, topics::DRIVE_STATUS.topic, mono,
                    topics::driveStatusJson(drive, std::nullopt, std::nullopt, wallOf(mono)));
        }
    }

    void imageBytes(uint64_t mono, const std::vector<uint8_t>& bytes) {
        if (!capturing) return;
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        if (!frameEnd.feed(bytes.data(), bytes.size())) return;
        capturing = false;
        frame.resize(frameEnd.endOffset());  // what follows the prompt is not the frame's
        sim::frame::Image picture;
        if (sim::frame::decode(frame, picture))
            put(topics::CAMERA_IMAGE, topics::CAMERA_IMAGE.topic, mono,
                topics::rawImageJson(picture.rgb, wallOf(mono)));
    }

    void trackingBytes(uint64_t mono, const std::vector<uint8_t>& bytes) {
        tracking.feed(bytes.data(), bytes.size());
        std::vector<uint8_t> payload;
        halvoran_client::ReadStatus status;
        while (tracking.next(payload, status)) {
            if (status != halvoran_client::ReadStatus::Ok || payload.size() != TRACK_REPORT_SIZE) continue;
            std::array<uint8_t, TRACK_REPORT_SIZE> report{};
            std::copy(payload.begin(), payload.end(), report.begin());
            const halvoran_client::TrackReport decoded = halvoran_client::trackReportOf(report);
            put(topics::TRACKING, topics::TRACKING.topic, mono,
                topics::trackingJson(decoded, trackWindow, trackMode, wallOf(mono)));
            put(topics::CAMERA_ANNOTATIONS, topics::CAMERA_ANNOTATIONS.topic, mono,
                topics::annotationsJson(decoded, wallOf(mono)));
        }
    }

    void take(const Record& r) {
        switch (r.kind) {
            case Kind::SerialWritten:
            case Kind::SerialRead: serialByte(r); return;
            case Kind::PortReceived:
            case Kind::PortSent:
                if (r.part & PART_FIRST) assembled.clear();
                assembled.insert(assembled.end(), r.data, r.data + r.size);
                if (r.part & PART_LAST) portBytes(r.kind, r.source, r.monoNs, assembled);
                return;
            case Kind::Event: {
                const Event e = static_cast<Event>(r.source);
                putEvent(r.monoNs, eventName(e), r.value, "", droppedWritten);
                return;
            }
        }
    }
};

Recorder::Recorder(Settings settings, Queues& queues)
    : settings_(std::move(settings)), queues_(queues), state_(std::make_shared<State>(settings_)) {}

Recorder::~Recorder() { stop(); }

bool Recorder::start() {
    if (started_) return true;
    // The clocks and the file's name are taken here, at start-up: the writer thread never reads
    // the local time, whose lock the main thread's clock reading takes too.
    state_->startMono = monotonicNs();
    const uint64_t startWall = wallNs();
    state_->wallOffsetNs = static_cast<int64_t>(startWall) - static_cast<int64_t>(state_->startMono);
    state_->baseName = sessionFileName(static_cast<int64_t>(startWall / 1'000'000'000ULL));
    activate(&queues_);
    try {
        auto state = state_;
        thread_ = std::thread([this, state] {
            run();
            state->done.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        deactivate();
        std::fprintf(stderr, "Recording: the writer thread did not start; nothing is recorded\n");
        return false;
    }
    started_ = true;
    return true;
}

std::string Recorder::path() const {
    std::lock_guard<std::mutex> lock(state_->pathLock);
    return state_->path;
}

uint64_t Recorder::dropped() const {
    return queues_.main.dropped() + queues_.reader.dropped() + queues_.other.dropped() +
           queues_.otherDropped.load(std::memory_order_relaxed);
}

bool Recorder::stop(int waitMs) {
    if (!started_) return true;
    started_ = false;
    deactivate();
    stopping_.store(true);
    // A writer stuck in the kernel is given up on: the program ends without it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!state_->done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!state_->done.load(std::memory_order_acquire)) {
        std::fprintf(stderr, "Recording: the writer is stuck on the disk; the recording is left as it is\n");
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

void Recorder::run() {
    // Named, so that a look at the process (ps -L, top -H) tells the recorder from the robot.
    pthread_setname_np(pthread_self(), "recorder");
    State& s = *state_;
    auto report = [&](const std::string& what) {
        if (!failed_.exchange(true))
            std::fprintf(stderr, "Recording stopped: %s; Halvoran goes on without recording\n", what.c_str());
        deactivate();
    };
    // The file: the folder is created when missing; a name taken in the same second gets a suffix.
    const uint64_t startMono = s.startMono;
    if (::mkdir(s.settings.directory.c_str(), 0750) != 0 && errno != EEXIST) {
        report("cannot create " + s.settings.directory + ": " + std::strerror(errno));
        return;
    }
    const std::string& base = s.baseName;
    std::string name = base;
    for (int i = 1; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> lock(s.pathLock);
            s.path = s.settings.directory + "/" + name;
        }
        if (s.writer.open(s.path, "", "halvoran " HALVORAN_RECORD_VERSION)) break;
        if (s.writer.errorCode() != EEXIST) break;
        name = base.substr(0, base.size() - 5) + "-" + std::to_string(i) + ".mcap";
    }
    s.name = name;
    if (s.writer.failed()) {
        report(s.writer.error());
        return;
    }
    s.putEvent(startMono, "recording_start", 0, s.path, 0);
    s.lastFlushMono = s.lastCapCheckMono = startMono;

    auto enforceCap = [&]() -> bool {
        auto files = listRecordings(s.settings.directory);
        uint64_t total = 0;
        for (auto& f : files) total += f.first == s.name ? s.writer.fileSize() : f.second;
        for (auto& f : files) {
            if (total <= s.settings.maxBytes) break;
            if (f.first == s.name) continue;
            if (::unlink((s.settings.directory + "/" + f.first).c_str()) == 0) total -= f.second;
        }
        return s.writer.fileSize() <= s.settings.maxBytes;
    };
    if (!enforceCap()) {
        report("the recording folder's cap is smaller than a recording");
        s.writer.close();
        return;
    }

    Queues& q = queues_;
    for (;;) {
        const bool stopping = stopping_.load();
        const uint64_t now = monotonicNs();
        const uint64_t horizon = stopping ? UINT64_MAX : now - kMergeHorizonNs;
        size_t taken = 0;
        // The three queues merged by time; port bytes spread over several slots are taken whole.
        for (;;) {
            const Record* heads[3] = {q.main.front(), q.reader.front(), q.other.front()};
            int best = -1;
            for (int i = 0; i < 3; ++i)
                if (heads[i] != nullptr && heads[i]->monoNs <= horizon &&
                    (best < 0 || heads[i]->monoNs < heads[best]->monoNs))
                    best = i;
            if (best < 0) break;
            bool last = false;
            while (!last) {
                const Record* r = best == 0 ? q.main.front() : best == 1 ? q.reader.front() : q.other.front();
                if (r == nullptr) break;
                last = (r->part & PART_LAST) != 0;
                s.take(*r);
                if (best == 0) q.main.pop();
                else if (best == 1) q.reader.pop();
                else q.other.pop();
                ++taken;
            }
        }
        if (taken == 0) s.closeAllSerial();
        const uint64_t lost = dropped();
        if (lost != s.droppedWritten) {
            s.droppedWritten = lost;
            s.putEvent(now, "records_dropped", static_cast<int64_t>(lost), "the recorder could not keep up", lost);
        }
        if (now - s.lastFlushMono >= kChunkSpanNs) {
            s.closeAllSerial();
            s.writer.flush();
            s.lastFlushMono = now;
        }
        if (s.writer.failed()) {
            report(s.writer.error());
            s.writer.close();
            return;
        }
        if (now - s.lastCapCheckMono >= kCapCheckNs) {
            s.lastCapCheckMono = now;
            if (!enforceCap()) {
                report("the recording reached the folder's cap of " + std::to_string(s.settings.maxBytes >> 20) +
                       " MiB");
                s.writer.close();
                return;
            }
        }
        if (stopping && q.main.size() == 0 && q.reader.size() == 0 && q.other.size() == 0) break;
        if (taken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSleepMs));
    }
    s.closeAllSerial();
    const uint64_t lost = dropped();
    s.putEvent(monotonicNs(), "recording_end", static_cast<int64_t>(lost), "", lost);
    if (!s.writer.close()) report(s.writer.error());
    enforceCap();
}

namespace {
// The program's queues live as long as the program: a hook may still be running while the
// recording stops, and a writer stuck on a stalled disk may still hold them at exit.
Queues programQueues;
Recorder* programRecorder = nullptr;
}  // namespace

void startRecording() {
    if (programRecorder != nullptr) return;
    Settings settings = settingsFromEnvironment();
    if (settings.directory.empty()) return;
    // The queues' pages are touched now, so that no hook meets a first-touch page fault.
    std::memset(static_cast<void*>(&programQueues.main), 0, sizeof programQueues.main);
    std::memset(static_cast<void*>(&programQueues.reader), 0, sizeof programQueues.reader);
    std::memset(static_cast<void*>(&programQueues.other), 0, sizeof programQueues.other);
    programRecorder = new Recorder(settings, programQueues);
    if (!programRecorder->start()) {
        delete programRecorder;
        programRecorder = nullptr;
    }
}

void stopRecording() {
    if (programRecorder == nullptr) return;
    // A writer left behind keeps the recorder, which stays reachable here until the process
    // ends; one that finished lets it go.
    if (!programRecorder->stop()) return;
    delete programRecorder;
    programRecorder = nullptr;
}

}  // namespace record
