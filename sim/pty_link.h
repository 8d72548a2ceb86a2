// A pseudo-terminal that stands for one serial line of the simulated robot (halvoran-sim only).
//
// The simulator holds the master side and keeps a slave descriptor of its own open, set raw,
// so that the line and its settings survive Halvoran closing and reopening the slave. Closing
// the pseudo-terminal (hangUp) closes both, so that a reader of the slave sees the hang-up.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

class PtyLink {
public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Creates a fresh pseudo-terminal and, when linkPath is not empty, points the symlink
    // linkPath at its slave. False with a reason on failure.
    bool open(const std::string& linkPath, std::string& error);
    // Closes the master and the simulator's slave descriptor, and removes the symlink.
    void hangUp();
    bool isOpen() const { return master_ >= 0; }

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Reads what the host wrote (at most size bytes); 0 when nothing is there.
    size_t read(uint8_t* buffer, size_t size);
    // Queues bytes for the host and writes as much as the line takes now.
    void write(const uint8_t* data, size_t size);
    // Writes queued bytes; true while some are still waiting.
    bool flush();
    bool pending() const { return !out_.empty(); }
    // Bytes thrown away because the host did not read (the queue holds at most 64 KiB).
    uint64_t overrun() const { return overrun_; }

private:
    void removeLink();

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::deque<uint8_t> out_;
    uint64_t overrun_ = 0;
};

}  // namespace sim
