// The client side of Halvoran's three ports, as one session: connect to the command port
// (5000), the image port (5001) and the tracking port (5002) in that order, send framed
// command packets, read framed replies and tracking reports, read image bytes, and leave with
// the quit escape.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/framing.h"
#include "protocol/wire.h"

namespace halvoran_client {

constexpr int COMMAND_PORT = 5000;
constexpr int IMAGE_PORT = 5001;
constexpr int TRACKING_PORT = 5002;

// A packet (letter and parameters) with its checksum, framed and escaped for the wire.
std::vector<uint8_t> frameCommand(const std::vector<uint8_t>& packet);
// The same with a checksum of the caller's choice (to see how Halvoran answers a wrong one).
std::vector<uint8_t> frameWithChecksum(const std::vector<uint8_t>& packet, uint8_t checksum);
// A reply payload framed as Halvoran frames it (for tests and tools).
std::vector<uint8_t> frameReply(const std::vector<uint8_t>& payload);
// The quit escape.
std::vector<uint8_t> quitEscape();

// Malformed: a framed packet with a good checksum whose length does not fit what was asked for
// (a tracking report is always 8 bytes).
enum class ReadStatus { Ok, Timeout, Closed, BadChecksum, Malformed };
const char* describe(ReadStatus status);

// Takes framed packets out of a byte stream and checks their checksums.
class ReplyReader {
public:
    // Feeds bytes; complete packets (payload without checksum) are queued.
    void feed(const uint8_t* bytes, size_t count);
    // The oldest complete packet, if any; BadChecksum when its checksum did not match.
    bool next(std::vector<uint8_t>& payload, ReadStatus& status);

private:
    Deframer deframer_;
    std::vector<std::pair<std::vector<uint8_t>, bool>> ready_;
};

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects to the three ports in order, trying each for up to timeoutMs. On failure the
    // reason is in error ("nobody listening on 127.0.0.1:5000", ...).
    bool connect(const std::string& host, int timeoutMs, std::string& error);
    bool connected() const { return sockets_[0] >= 0; }

    // Sends a command packet (letter and parameters; the checksum is added).
    bool sendCommand(const std::vector<uint8_t>& packet);
    // Sends bytes on the command port as they are (split frames, the quit escape, garbage).
    bool sendRaw(const std::vector<uint8_t>& bytes);
    bool sendQuit();

    // The next reply on the command port.
    ReadStatus readReply(std::vector<uint8_t>& payload, int timeoutMs);
    // The next tracking report on the tracking port.
    ReadStatus readTrackReport(std::array<uint8_t, TRACK_REPORT_SIZE>& report, int timeoutMs);
    // Appends image-port bytes to out until `wanted` bytes have come or none came for
    // quietMs; returns how many were appended.
    size_t readImage(std::vector<uint8_t>& out, size_t wanted, int quietMs);
    // Appends what one receive on the image port gives, waiting at most timeoutMs for it.
    // Returns the number of bytes appended, 0 when none came in time, -1 when the port closed.
    long readImageChunk(std::vector<uint8_t>& out, size_t maxBytes, int timeoutMs);

    // Throws away what has already arrived and was not asked for: replies on the command port,
    // reports on the tracking port and bytes on the image port. Returns the number of replies
    // thrown away (late answers to an earlier command that ran out of time).
    int discardPending();
    // Sends bytes on the image or tracking port (Halvoran reads and discards them).
    bool sendOn(int portIndex, const std::vector<uint8_t>& bytes);

    // True when Halvoran closed the command port within timeoutMs.
    bool waitForClose(int timeoutMs);
    // Closes one port (0 command, 1 image, 2 tracking) or all; reset sends an RST.
    void closePort(int portIndex, bool reset = false);
    void close();

private:
    ReadStatus readFramed(int portIndex, ReplyReader& reader, std::vector<uint8_t>& payload, int timeoutMs);
    int sockets_[3] = {-1, -1, -1};
    ReplyReader commandReader_;
    ReplyReader trackingReader_;
};

}  // namespace halvoran_client
