// A recording played back with its recorded timing: the file's chunks are found once at start
// and read one at a time while playing (a large file is never held whole), each message is sent
// when the playback position reaches its log time, the position running at `rate` times the
// clock. Pause, rate and seek come from the clients; the end of the file pauses there, or starts
// over with `loop`. The clock is given, so that tests run it on virtual time: poll() does what is
// due at the clock's present reading and says when it next has something to do; start() runs
// poll() on a thread of its own. All of it is safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/mcap_reader.h"

namespace bridge {

// A playback setting as the clients see it: "playback.paused" (boolean), "playback.rate" (number)
// or "playback.position" (number, seconds from the file's first message).
struct PlaybackParameter {
    std::string name;
    nlohmann::json value;
};

// Where the player's output goes (the playback hub, or a test's record). Called with the
// player's lock held: implementations must not call back into the player.
class PlaybackSink {
public:
    virtual ~PlaybackSink() = default;
    virtual void message(uint16_t channel, uint64_t logTime, const std::string& data) = 0;
    // The playback position, in the recording's log time.
    virtual void time(uint64_t logTime) = 0;
    virtual void parametersChanged(const std::vector<PlaybackParameter>& changed) = 0;
    // A seek: what was sent before no longer shows the present moment.
    virtual void seeked() = 0;
};

class Player {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double MIN_RATE = 0.1;
    static constexpr double MAX_RATE = 10.0;
    // Time goes to the clients at least this often while playing.
    static constexpr auto TIME_EVERY = std::chrono::milliseconds(100);
    static constexpr const char* PAUSED = "playback.paused";
    static constexpr const char* RATE = "playback.rate";
    static constexpr const char* POSITION = "playback.position";

    explicit Player(std::function<Clock::time_point()> clock = Clock::now);
    ~Player();

    // Indexes the file. False with the reason when it cannot be played at all (not an MCAP file,
    // no complete chunk with a message, a rate out of range). A file that is damaged or cut
    // short further on plays up to its last complete chunk: warning() then says why.
    bool open(const std::string& path, double rate, bool loop, std::string& error);
    const std::string& warning() const { return warning_; }
    const mcap::FileIndex& index() const { return index_; }
    uint64_t startTime() const { return start_; }
    uint64_t endTime() const { return end_; }

    // Where the output goes; set before the first poll() or start().
    void attach(PlaybackSink& sink);

    // The present values of all three settings.
    std::vector<PlaybackParameter> parameters();
    // Position in the recording's log time now.
    uint64_t position();
    // Each changes one setting, tells the sink the change and sends Time at once; a value out of
    // range gives the reason and changes nothing.
    std::string setPaused(bool paused);
    std::string setRate(double rate);
    std::string seek(double seconds);

    // Sends what is due now; returns when something will next be due (a far time when paused).
    Clock::time_point poll();

    void start();
    void stop();

private:
    // All below with mutex_ held.
    uint64_t positionLocked(Clock::time_point now) const;
    Clock::time_point pollLocked(Clock::time_point now);
    // The next message to send in log-time order, loading the chunks that may hold an earlier
    // one first (chunks may overlap in time); null at the end.
    const mcap::ReadMessage* nextMessage();
    // Adds a chunk's messages from `from` on to those waiting; false when it cannot be read.
    bool loadChunk(size_t chunk, uint64_t from);
    // Puts the cursor at `to`; withLatest: the last message of each channel at or before it
    // goes first, and messages at `to` itself count as sent.
    void moveTo(uint64_t to, Clock::time_point now, bool withLatest);
    void sendTime(Clock::time_point now);
    void changed(std::vector<PlaybackParameter> changed);
    PlaybackParameter pausedParameter() const;
    PlaybackParameter rateParameter() const;
    PlaybackParameter positionParameter(Clock::time_point now) const;

    std::function<Clock::time_point()> clock_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
    mcap::FileIndex index_;
    std::vector<size_t> order_;  // chunks with messages, by their first message's time
    std::string warning_;
    uint64_t start_ = 0, end_ = 0;
    bool loop_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    PlaybackSink* sink_ = nullptr;
    bool paused_ = false;
    bool atEnd_ = false;  // paused at the end of the file: playing again starts over
    double rate_ = 1.0;
    uint64_t anchorPosition_ = 0;       // the position at anchorTime_
    Clock::time_point anchorTime_{};
    Clock::time_point lastTime_{};      // when Time was last sent
    bool timeSent_ = false;
    size_t nextChunk_ = 0;                   // index into order_ of the next chunk to load
    std::vector<mcap::ReadMessage> waiting_;  // of the loaded chunks, in log-time order
    size_t next_ = 0;                        // the next of them to send
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace bridge
