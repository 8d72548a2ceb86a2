// The bridge's one Halvoran session: connects (again every 500 ms while Halvoran is away),
// carries out the clients' commands one at a time on its worker thread, reads the tracking port
// and the image port on a thread each, and hands everything it hears to the hub.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/hub.h"
#include "client/lib/requests.h"
#include "client/lib/session.h"

namespace bridge {

class RobotLink : public CommandSink {
public:
    static constexpr auto RETRY_EVERY = std::chrono::milliseconds(500);
    // How long one connection attempt waits for each port. Halvoran opens its ports in turn
    // after each client, and a session it had begun ends if the client gives up half-way, so
    // the image and tracking ports get time; meanwhile the command port is tried every 50 ms.
    static constexpr int CONNECT_TIMEOUT_MS = 3000;
    static constexpr int REPLY_TIMEOUT_MS = 3000;
    // The image port's bytes of one dump of a frame of 80 x 143 pixels.
    static constexpr size_t FRAME_EXPECTED = 34470;
    // Halvoran sends nothing of a dump longer than this; a longer stream is not a frame.
    static constexpr size_t FRAME_LIMIT = 34645;

    // clock: the monotonic clock against which a waiting drive command's age is judged.
    explicit RobotLink(std::string host, std::function<Clock::time_point()> clock = Clock::now,
                       std::function<void(const std::string&)> logLine = nullptr)
        : host_(std::move(host)), clock_(std::move(clock)), log_(std::move(logLine), clock_) {}
    ~RobotLink() override { stop(); }

    void start(Hub& hub);
    // Stops the drive, leaves the session with the quit escape and ends the threads.
    void stop();
    void submit(Command command, bool urgent) override { trySubmit(std::move(command), urgent); }
    bool trySubmit(Command command, bool urgent) override;

private:
    void run();
    void serveSession();
    // False when Halvoran's session ended under it.
    bool execute(const Command& command);
    bool executeDrive(const Command& command);
    bool executeTrack(const Command& command);
    bool executeCapture(const Command& command);
    bool executeCameraLine(const Command& command);
    // Sets the camera's window of a window tracking start; false when it was not set (the
    // sender has been told, and sessionGoesOn is what execute returns).
    bool setTrackingWindow(const Command& command, bool& sessionGoesOn);
    // Leaves no camera stream running after 'N' (see its use).
    void endCameraStream();
    bool exchange(const std::vector<uint8_t>& packet, std::vector<uint8_t>& reply, std::string& error);
    void reply(const Command& command, bool ok, std::optional<int> result, const std::optional<std::string>& answer,
               const std::optional<std::string>& error);
    void refuseQueued(const std::string& why);
    // A command the bridge does not carry out: told to its sender only.
    void refuse(const Command& command, const std::string& why);
    void trackingLoop();
    void imageLoop();
    void endCapture(const std::optional<std::string>& error);

    // The next command to carry out, if any (waits up to 50 ms); answers those that go instead.
    std::optional<Command> takeNext(bool& stopping);
    void failed(const Command& command, const std::string& why);

    std::string host_;
    std::function<Clock::time_point()> clock_;
    RateLimitedLog log_;
    Hub* hub_ = nullptr;
    std::thread worker_;

    std::mutex mutex_;  // guards queue_, overtaken_, stopping_, tracking_
    std::condition_variable wake_;
    CommandQueue queue_;
    std::vector<Command> overtaken_;  // speeds a stop took out of the queue, not answered yet
    bool stopping_ = false;
    TrackingContext tracking_;

    halvoran_client::Session session_;
    std::atomic<bool> lost_{false};
    std::atomic<bool> readersStop_{false};

    // The frame dump in progress (worker starts it, the image thread fills it).
    std::mutex captureMutex_;
    bool capturing_ = false;
    std::vector<uint8_t> frame_;
    halvoran_client::FrameEnd frameEnd_;
    Clock::time_point captureStart_{}, lastImageByte_{}, lastProgress_{};

    // What the bridge last commanded (worker only).
    std::optional<int> speed_;
    std::optional<bool> running_;
};

}  // namespace bridge
