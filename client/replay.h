// Replaying a recording as a regression test: the client packets that a recorded session sent
// on the command port go to a Halvoran again with their recorded spacing, and the bytes that
// Halvoran then wrote to its serial line are compared with the recorded ones. The new run's
// serial bytes come from its own recording: the replayed Halvoran records into a folder
// (HALVORAN_RECORD_DIR), and its file of this session is read once Halvoran has closed it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace halvoran_client {

// A recording as the replay sees it.
struct SerialByte {
    uint8_t byte;
    uint64_t monoNs;
    bool inSession;  // written after the session started
};

struct ReplayPacket {
    int port;  // 5000, 5001, 5002: bytes the client sent there
    uint64_t monoNs;
    uint64_t wallNs;  // when Halvoran received them, by the wall clock
    std::vector<uint8_t> bytes;
};

struct Recording {
    std::vector<ReplayPacket> sent;  // what the clients sent, in order
    // Bytes written to each serial line ('1' for COM1:), in order.
    std::vector<std::pair<char, std::vector<SerialByte>>> lines;
    uint64_t firstReplyNs = 0;    // Halvoran's first reply on the command port after the first packet
    uint64_t sessionStartNs = 0;  // 0: no session started
    uint64_t sessionEndNs = 0;    // the connection loss or the session's end; 0: none
    int lostPort = 0;             // the port whose client went away, 0: none
};

// Reads what the replay needs; false with the reason for a file that is not whole.
bool loadRecording(const std::string& path, Recording& recording, std::string& error);

struct Comparison {
    bool bytesMatch = false;
    std::string bytesReport;  // per line: counts and the first difference
    size_t pauses = 0;        // pauses compared
    size_t pausesOutside = 0;
    int64_t worstPauseDiffNs = 0;
    std::string worstPauseWhere;
    bool match() const { return bytesMatch && pausesOutside == 0; }
};

// Byte for byte per line, and each pause between two bytes (within the start-up and within the
// session, not across the session's start) against the tolerance.
Comparison compareRecordings(const Recording& expected, const Recording& actual, int64_t toleranceNs);

struct ReplaySettings {
    std::string host = "127.0.0.1";
    std::string recordDir;  // the replayed Halvoran's HALVORAN_RECORD_DIR
    int connectTimeoutMs = 3000;
    int settleMs = 500;  // after connecting: Halvoran takes up the session within this
    int recordingWaitMs = 15000;  // how long its file may take to appear whole
    int64_t toleranceNs = 20'000'000;
};

// The whole replay; prints the result to out and the reasons of failures to err. Returns the
// exit status: 0 match, 1 mismatch, others as the client's failures.
int runReplay(const std::string& file, const ReplaySettings& settings, std::ostream& out, std::ostream& err);

}  // namespace halvoran_client
