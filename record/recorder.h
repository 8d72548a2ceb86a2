// The flight recorder: a writer thread that takes the hooks' records out of their queues, turns
// them into the topics of one MCAP file per session (halvoran-YYYYmmdd-HHMMSS.mcap in the
// recording folder) and keeps the folder under its size cap by removing the oldest files.
//
// Everything that touches the disk happens on the writer thread, so a stalled or full disk
// never holds up the program: the queues fill, the hooks drop and count, and the file says how
// many records were lost. A folder that cannot be written, a full disk or a failed write is
// reported once on standard error and ends the recording; the program goes on without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "record/records.h"

namespace record {

struct Settings {
    std::string directory;              // empty: recording off
    uint64_t maxBytes = 1024ULL << 20;  // the folder's cap
    bool syncChunks = true;             // fsync each chunk
    size_t chunkBytes = 1 << 20;        // a chunk closes at this size (or after 1 s)
};

// HALVORAN_RECORD_DIR (unset or empty: off) and HALVORAN_RECORD_MAX_MB (a whole number of MiB,
// 1024 when unset; an unreadable value keeps 1024 and says so).
Settings settingsFromEnvironment();

// The name of a session's file started at `wallSeconds` (local time).
std::string sessionFileName(int64_t wallSeconds);

class Recorder {
public:
    // Records into `queues` (they must outlive the writer thread).
    Recorder(Settings settings, Queues& queues);
    // Stops (see stop).
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Turns the hooks on for the calling thread as the main thread and starts the writer
    // thread, which creates the file. False when the thread could not start.
    bool start();
    // Turns the hooks off, lets the writer take what is queued and close the file, and waits at
    // most waitMs for it. A writer stuck in the kernel (a stalled disk) is left behind: true
    // when it finished.
    bool stop(int waitMs = 3000);

    // The file's path, once chosen (the writer thread chooses it at its start).
    std::string path() const;
    // Records lost so far because a queue was full.
    uint64_t dropped() const;
    // Set once the recording ended on an error (the message was printed then).
    bool failed() const { return failed_.load(); }

private:
    struct State;
    void run();

    Settings settings_;
    Queues& queues_;
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    bool started_ = false;
};

// The program's recorder: started at start-up from the environment (nothing when recording is
// off), stopped at the end of the session.
void startRecording();
void stopRecording();

}  // namespace record
