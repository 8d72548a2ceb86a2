#include "bridge/robot_link.h"

#include <cstdio>

#include "sim/frame_format.h"

namespace bridge {

using namespace halvoran_client;

namespace {
// The drive timeout every drive command from the bridge carries, in seconds.
constexpr int BRIDGE_DRIVE_TIMEOUT = 1;
// A dump that brought nothing this long after it was asked for, or fell silent this long.
constexpr auto CAPTURE_FIRST_BYTE = std::chrono::seconds(12);
constexpr auto CAPTURE_SILENCE = std::chrono::seconds(2);
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(100);
}  // namespace

void RobotLink::start(Hub& hub) {
    hub_ = &hub;
    worker_ = std::thread([this] { run(); });
}

void RobotLink::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

bool RobotLink::trySubmit(Command command, bool urgent) {
    {
        std::lock_guard lock(mutex_);
        // The senders of overtaken speeds are told by the worker: the hub may be calling with
        // its own lock held, and a reply goes through the hub.
        if (queue_.push(std::move(command), urgent, overtaken_) == CommandQueue::Push::Busy) return false;
    }
    wake_.notify_all();
    return true;
}

void RobotLink::failed(const Command& command, const std::string& why) {
    log_(std::string("failed ") + topicOf(command.kind),
         std::string(topicOf(command.kind)) + " of client " + std::to_string(command.client) + " failed: " + why);
}

void RobotLink::refuse(const Command& command, const std::string& why) {
    failed(command, why);
    if (command.client != 0) hub_->refuse(command, why);
}

void RobotLink::reply(const Command& command, bool ok, std::optional<int> result,
                      const std::optional<std::string>& answer, const std::optional<std::string>& error) {
    if (error) failed(command, *error);
    if (command.client == 0) return;  // the bridge's own repeats and stops
    uint64_t t = Hub::nowNs();
    hub_->publish(REPLY_CHANNEL, replyJson(command.client, topicOf(command.kind), ok, result, answer, error, t), t);
}

void RobotLink::refuseQueued(const std::string& why) {
    std::vector<Command> refused;
    {
        std::lock_guard lock(mutex_);
        refused = queue_.takeAll();
    }
    for (const Command& c : refused) refuse(c, why);
}

void RobotLink::run() {
    bool announced = false;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        auto attempt = Clock::now();
        std::string error;
        if (session_.connect(host_, CONNECT_TIMEOUT_MS, error)) {
            std::fprintf(stderr, "halvoran-bridge: connected to Halvoran on %s\n", host_.c_str());
            hub_->setConnected(true);
            serveSession();
            session_.close();
            hub_->setConnected(false);
            std::fprintf(stderr, "halvoran-bridge: Halvoran's session ended\n");
            refuseQueued("Halvoran is not connected");
            announced = false;
            continue;
        }
        if (!announced) {
            std::fprintf(stderr, "halvoran-bridge: waiting for Halvoran (%s)\n", error.c_str());
            announced = true;
        }
        refuseQueued("Halvoran is not connected");
        hub_->driveDue();  // lets a silent driver's hold run out meanwhile
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, attempt + RETRY_EVERY, [this] { return stopping_; });
    }
}

void RobotLink::serveSession() {
    lost_ = false;
    readersStop_ = false;
    speed_.reset();
    running_.reset();
    {
        std::lock_guard lock(captureMutex_);
        capturing_ = false;
    }
    std::thread tracking([this] { trackingLoop(); });
    std::thread image([this] { imageLoop(); });

    bool stopping = false;
    while (!lost_) {
        std::optional<Command> next = takeNext(stopping);
        if (stopping) break;
        if (next && !execute(*next)) break;
        if (auto due = hub_->driveDue()) {
            if (!execute(*due)) break;
        }
    }
    if (stopping && !lost_) {
        // Leaving: the drive stops before the session ends (Halvoran stops it too as it ends).
        Command halt;
        halt.stop = true;
        execute(halt);
        session_.sendQuit();
        session_.waitForClose(1000);
    }
    readersStop_ = true;
    tracking.join();
    image.join();
}

std::optional<Command> RobotLink::takeNext(bool& stopping) {
    std::optional<Command> next;
    std::vector<Command> overtaken, stale;
    // Asked before this side's lock is taken: the hub calls in here with its own lock held.
    std::optional<ClientId> driving = hub_->driving();
    {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(50),
                       [this, driving] { return stopping_ || queue_.ready(driving); });
        stopping = stopping_;
        // The age of a waiting drive command is judged now, just before it would be sent: after
        // the bridge itself was held up (a frozen process, a long capture), what waited is not
        // replayed.
        if (!stopping) next = queue_.next(clock_(), stale, driving);
        overtaken.swap(overtaken_);
    }
    for (const Command& c : overtaken) refuse(c, "overtaken by a stop or a newer drive command before it was sent");
    for (const Command& c : stale) refuse(c, "dropped: it waited more than 1 s for Halvoran");
    // A capture or tracking start that waited while someone else began to drive would hold the
    // driver up for seconds.
    if (next) {
        if (std::string refusal = hub_->refusalWhileDriving(*next); !refusal.empty()) {
            refuse(*next, refusal);
            next.reset();
        }
    }
    return next;
}

bool RobotLink::exchange(const std::vector<uint8_t>& packet, std::vector<uint8_t>& answer, std::string& error) {
    // A reply that came too late for an earlier command is not this command's answer.
    std::vector<uint8_t> stale;
    while (session_.readReply(stale, 0) == ReadStatus::Ok) {
        log_("late reply", "a late reply of " + std::to_string(stale.size()) + " bytes from Halvoran was dropped");
    }
    if (!session_.sendCommand(packet)) {
        lost_ = true;
        error = "Halvoran's session ended";
        return false;
    }
    ReadStatus status = session_.readReply(answer, REPLY_TIMEOUT_MS);
    if (status == ReadStatus::Closed) lost_ = true;
    if (status != ReadStatus::Ok) {
        error = std::string("Halvoran: ") + describe(status);
        return false;
    }
    if (answer.empty()) {
        error = "Halvoran sent an empty reply";
        return false;
    }
    return true;
}

bool RobotLink::execute(const Command& command) {
    switch (command.kind) {
        case Command::Kind::Drive: return executeDrive(command);
        case Command::Kind::Track: return executeTrack(command);
        case Command::Kind::Capture: return executeCapture(command);
        case Command::Kind::CameraLine: return executeCameraLine(command);
    }
    return true;
}

bool RobotLink::executeDrive(const Command& command) {
    std::vector<uint8_t> packet, answer;
    std::string error;
    DriveRequest request;
    request.timeout = BRIDGE_DRIVE_TIMEOUT;
    request.speed = command.speed;
    request.servo0 = command.servo0;
    request.servo1 = command.servo1;
    request.servo2 = command.servo2;
    request.stop = command.stop;
    if (!drivePacket(request, packet, error)) {
        reply(command, false, std::nullopt, std::nullopt, error);
        return true;
    }
    if (!exchange(packet, answer, error)) {
        reply(command, false, std::nullopt, std::nullopt, error);
        return !lost_;
    }
    DriveStatus status;
    if (!decodeDriveStatus(answer, status, error)) {
        reply(command, false, answer[0], std::nullopt, error);
        return true;
    }
    if (command.stop) {
        running_ = false;
        speed_.reset();
    } else if (command.speed) {
        running_ = true;
        speed_ = command.speed;
    }
    // The reply first: the driver waits for it, and the status goes to every viewer.
    reply(command, status.result == RESULT_DONE, status.result, describeDriveStatus(status), std::nullopt);
    uint64_t t = Hub::nowNs();
    hub_->publish(DRIVE_STATUS_CHANNEL, driveStatusJson(status, speed_, running_, t), t);
    return true;
}

bool RobotLink::setTrackingWindow(const Command& command, bool& sessionGoesOn) {
    std::vector<uint8_t> packet, answer;
    std::string error;
    const auto& b = *command.windowBox;
    std::string line = "sw " + std::to_string(b[0]) + " " + std::to_string(b[1]) + " " + std::to_string(b[2]) + " " +
                       std::to_string(b[3]);
    PassThroughAnswer camera;
    if (!cameraPacket(line, packet, error) || !exchange(packet, answer, error) ||
        !decodeCameraReply(answer, camera, error)) {
        reply(command, false, std::nullopt, std::nullopt, "the camera's window: " + error);
        sessionGoesOn = !lost_;
        return false;
    }
    if (camera.result != RESULT_DONE) {
        reply(command, false, camera.result, std::nullopt, std::string("the camera's window was not set"));
        sessionGoesOn = true;
        return false;
    }
    return true;
}

void RobotLink::endCameraStream() {
    // 'N' ends the camera's stream with a CR on whichever channel the link is on; after a step
    // of target following that is the modules', and the camera would go on streaming. An empty
    // camera line selects the camera and sends the CR there. Its answer ends at the first ':',
    // which may be a byte of a tracking packet still on its way; another empty line then takes
    // what is left, so that nothing of the stream stays in Halvoran's receive buffer to spoil
    // the next frame dump.
    std::vector<uint8_t> packet;
    std::string error;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<uint8_t> line;
        PassThroughAnswer camera;
        if (!cameraPacket("", packet, error) || !exchange(packet, line, error)) break;
        if (decodeCameraReply(line, camera, error) && camera.result == RESULT_DONE && camera.bytes.empty()) break;
    }
}

bool RobotLink::executeTrack(const Command& command) {
    if (command.trackStart && command.window && command.windowBox) {
        if (bool sessionGoesOn = true; !setTrackingWindow(command, sessionGoesOn)) return sessionGoesOn;
    }
    if (command.trackStart) {
        std::lock_guard lock(mutex_);
        tracking_.window = command.window;
        tracking_.mode = command.mode;
    }
    std::vector<uint8_t> packet = !command.trackStart ? stopTrackPacket()
                                  : command.window    ? windowTrackPacket(command.mode)
                                                      : colourTrackPacket(command.mode, command.bounds);
    std::vector<uint8_t> answer;
    std::string error;
    if (!exchange(packet, answer, error)) {
        reply(command, false, std::nullopt, std::nullopt, error);
        return !lost_;
    }
    uint8_t result = answer[0];
    if (!command.trackStart) {
        endCameraStream();
        if (lost_) return false;
    }
    reply(command, result == RESULT_DONE, result, std::nullopt, std::nullopt);
    return true;
}

bool RobotLink::executeCapture(const Command& command) {
    {
        std::lock_guard lock(captureMutex_);
        if (capturing_) {
            reply(command, false, std::nullopt, std::nullopt, std::string("a frame capture is already running"));
            return true;
        }
        capturing_ = true;
        frame_.clear();
        frameEnd_ = FrameEnd{};
        captureStart_ = lastProgress_ = Clock::now();
        lastImageByte_ = Clock::time_point{};
    }
    std::vector<uint8_t> answer;
    std::string error;
    bool sent = exchange({'D'}, answer, error);
    if (!sent || answer[0] != RESULT_DONE) {
        endCapture(sent ? std::optional<std::string>("Halvoran refused the frame dump") : error);
        reply(command, false, sent ? std::optional<int>(answer[0]) : std::nullopt, std::nullopt,
              sent ? std::nullopt : std::optional<std::string>(error));
        return !lost_;
    }
    // The drive stops for a dump.
    running_ = false;
    speed_.reset();
    reply(command, true, answer[0], std::nullopt, std::nullopt);
    return true;
}

bool RobotLink::executeCameraLine(const Command& command) {
    std::vector<uint8_t> packet, answer;
    std::string error;
    PassThroughAnswer camera;
    if (!cameraPacket(command.line, packet, error)) {
        reply(command, false, std::nullopt, std::nullopt, error);
        return true;
    }
    if (!exchange(packet, answer, error)) {
        reply(command, false, std::nullopt, std::nullopt, error);
        return !lost_;
    }
    if (!decodeCameraReply(answer, camera, error)) {
        reply(command, false, answer[0], std::nullopt, error);
        return true;
    }
    reply(command, camera.result == RESULT_DONE, camera.result, printableText(camera.bytes), std::nullopt);
    return true;
}

void RobotLink::trackingLoop() {
    while (!readersStop_) {
        std::array<uint8_t, 8> bytes{};
        ReadStatus status = session_.readTrackReport(bytes, 100);
        if (status == ReadStatus::Closed) {
            lost_ = true;
            wake_.notify_all();
            return;
        }
        if (status != ReadStatus::Ok) {
            if (status != ReadStatus::Timeout) log_("tracking port", std::string("tracking port: ") + describe(status));
            continue;
        }
        uint64_t t = Hub::nowNs();
        TrackReport report = trackReportOf(bytes);
        TrackingContext context;
        {
            std::lock_guard lock(mutex_);
            context = tracking_;
        }
        hub_->publish(TRACKING_CHANNEL, trackingJson(report, context, t), t);
        hub_->publish(ANNOTATIONS_CHANNEL, annotationsJson(report, t), t);
    }
}

void RobotLink::endCapture(const std::optional<std::string>& error) {
    std::lock_guard lock(captureMutex_);
    if (!capturing_) return;
    capturing_ = false;
    if (error) log_("capture", "the frame capture failed: " + *error);
    hub_->publish(FRAME_PROGRESS_CHANNEL, frameProgressJson(frame_.size(), FRAME_EXPECTED, true, error), Hub::nowNs());
}

void RobotLink::imageLoop() {
    std::vector<uint8_t> chunk;
    while (!readersStop_) {
        chunk.clear();
        long n = session_.readImageChunk(chunk, 4096, 100);
        if (n < 0) {
            lost_ = true;
            wake_.notify_all();
            return;
        }
        auto now = Clock::now();
        std::unique_lock lock(captureMutex_);
        if (!capturing_) {
            // Bytes nobody asked for.
            if (n > 0)
                log_("image port", std::to_string(n) + " bytes on the image port outside a capture were dropped");
            continue;
        }
        if (n > 0) {
            lastImageByte_ = now;
            frame_.insert(frame_.end(), chunk.begin(), chunk.end());
            if (frameEnd_.feed(chunk.data(), chunk.size())) {
                frame_.resize(frameEnd_.endOffset());  // what follows the prompt is not the frame's
                sim::frame::Image picture;
                std::string why;
                bool decoded = sim::frame::decode(frame_, picture, &why);
                lock.unlock();
                if (decoded) {
                    uint64_t t = Hub::nowNs();
                    hub_->publish(IMAGE_CHANNEL, rawImageJson(picture.rgb, t), t);
                    endCapture(std::nullopt);
                } else {
                    endCapture("the frame could not be read: " + why);
                }
                continue;
            }
            if (frame_.size() > FRAME_LIMIT) {
                lock.unlock();
                endCapture("the camera sent more than a frame");
                continue;
            }
        }
        if (lastImageByte_ == Clock::time_point{} ? now - captureStart_ > CAPTURE_FIRST_BYTE
                                                  : now - lastImageByte_ > CAPTURE_SILENCE) {
            lock.unlock();
            endCapture(frame_.empty() ? "no frame came" : "the frame stopped before its end");
            continue;
        }
        if (n > 0 && now - lastProgress_ >= PROGRESS_EVERY) {
            lastProgress_ = now;
            hub_->publish(FRAME_PROGRESS_CHANNEL, frameProgressJson(frame_.size(), FRAME_EXPECTED, false, std::nullopt),
                          Hub::nowNs());
        }
    }
}

}  // namespace bridge
