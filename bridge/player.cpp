#include "bridge/player.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace bridge {

namespace {

constexpr auto FAR_AWAY = std::chrono::hours(1);

}  // namespace

Player::Player(std::function<Clock::time_point()> clock) : clock_(std::move(clock)) {}

Player::~Player() { stop(); }

bool Player::open(const std::string& path, double rate, bool loop, std::string& error) {
    if (!std::isfinite(rate) || rate < MIN_RATE || rate > MAX_RATE) {
        error = "the rate must be within 0.1 to 10";
        return false;
    }
    index_ = mcap::indexFile(path);
    for (size_t i = 0; i < index_.chunks.size(); ++i) {
        if (index_.chunks[i].messages > 0) order_.push_back(i);
    }
    if (order_.empty()) {
        error = path + ": " + (index_.error.empty() ? "the recording holds no message" : index_.error);
        return false;
    }
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return index_.chunks[a].startTime < index_.chunks[b].startTime; });
    start_ = index_.chunks[order_.front()].startTime;
    for (size_t i : order_) end_ = std::max(end_, index_.chunks[i].endTime);
    if (!index_.error.empty()) {
        warning_ = index_.error + ": playing the " + std::to_string(order_.size()) + " complete chunks before it";
    }
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) {
        error = "cannot open " + path;
        return false;
    }
    rate_ = rate;
    loop_ = loop;
    std::lock_guard lock(mutex_);
    moveTo(start_, clock_(), false);
    return true;
}

void Player::attach(PlaybackSink& sink) {
    std::lock_guard lock(mutex_);
    sink_ = &sink;
}

uint64_t Player::positionLocked(Clock::time_point now) const {
    if (paused_ || now <= anchorTime_) return anchorPosition_;
    double ran = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - anchorTime_).count()) * rate_;
    double limit = static_cast<double>(end_ - anchorPosition_);
    return anchorPosition_ + static_cast<uint64_t>(std::min(ran, limit));
}

uint64_t Player::position() {
    std::lock_guard lock(mutex_);
    return positionLocked(clock_());
}

bool Player::loadChunk(size_t chunk, uint64_t from) {
    std::vector<mcap::ReadMessage> messages;
    std::string error;
    if (!mcap::readChunk(file_.get(), index_, index_.chunks[order_[chunk]], messages, error)) {
        // The file changed under the player: what cannot be read is left out.
        std::fprintf(stderr, "halvoran-bridge: %s\n", error.c_str());
        return false;
    }
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(next_));
    next_ = 0;
    for (mcap::ReadMessage& m : messages) {
        if (m.logTime >= from) waiting_.push_back(std::move(m));
    }
    std::stable_sort(waiting_.begin(), waiting_.end(),
                     [](const mcap::ReadMessage& a, const mcap::ReadMessage& b) { return a.logTime < b.logTime; });
    return true;
}

const mcap::ReadMessage* Player::nextMessage() {
    while (nextChunk_ < order_.size() &&
           (next_ >= waiting_.size() || index_.chunks[order_[nextChunk_]].startTime <= waiting_[next_].logTime)) {
        loadChunk(nextChunk_++, 0);
    }
    return next_ < waiting_.size() ? &waiting_[next_] : nullptr;
}

void Player::moveTo(uint64_t to, Clock::time_point now, bool withLatest) {
    anchorPosition_ = to;
    anchorTime_ = now;
    atEnd_ = false;
    waiting_.clear();
    next_ = 0;
    // The chunks that begin at or before `to` and still hold a message to come; the others
    // are loaded as the position reaches them.
    const uint64_t from = to + (withLatest ? 1 : 0);
    nextChunk_ = 0;
    while (nextChunk_ < order_.size() && index_.chunks[order_[nextChunk_]].startTime <= to) {
        if (index_.chunks[order_[nextChunk_]].endTime >= from) loadChunk(nextChunk_, from);
        ++nextChunk_;
    }
    if (!withLatest || sink_ == nullptr) return;
    sink_->seeked();
    // The last message of each channel at or before `to`: from the chunks that begin at or
    // before it, skipping those that end before every channel's latest found so far.
    std::map<uint16_t, mcap::ReadMessage> latest;
    std::vector<mcap::ReadMessage> messages;
    for (size_t k = nextChunk_; k-- > 0;) {
        const mcap::ChunkPlace& place = index_.chunks[order_[k]];
        if (latest.size() == index_.channels.size()) {
            uint64_t oldest = std::numeric_limits<uint64_t>::max();
            for (auto& [channel, m] : latest) oldest = std::min(oldest, m.logTime);
            if (place.endTime < oldest) continue;
        }
        std::string error;
        if (!mcap::readChunk(file_.get(), index_, place, messages, error)) continue;
        // Within a chunk the later of equal times wins; across chunks, one found in a chunk
        // that begins later stays unless this one is newer.
        std::map<uint16_t, mcap::ReadMessage*> here;
        for (mcap::ReadMessage& m : messages) {
            if (m.logTime <= to) here[m.channelId] = &m;
        }
        for (auto& [channel, m] : here) {
            auto found = latest.find(channel);
            if (found == latest.end()) latest.emplace(channel, std::move(*m));
            else if (m->logTime > found->second.logTime) found->second = std::move(*m);
        }
    }
    std::vector<const mcap::ReadMessage*> first;
    for (auto& [channel, m] : latest) first.push_back(&m);
    std::stable_sort(first.begin(), first.end(),
                     [](const mcap::ReadMessage* a, const mcap::ReadMessage* b) { return a->logTime < b->logTime; });
    for (const mcap::ReadMessage* m : first) sink_->message(m->channelId, m->logTime, m->data);
}

void Player::sendTime(Clock::time_point now) {
    lastTime_ = now;
    timeSent_ = true;
    if (sink_ != nullptr) sink_->time(positionLocked(now));
}

void Player::changed(std::vector<PlaybackParameter> changed) {
    if (sink_ != nullptr) sink_->parametersChanged(changed);
}

PlaybackParameter Player::pausedParameter() const { return {PAUSED, paused_}; }
PlaybackParameter Player::rateParameter() const { return {RATE, rate_}; }
PlaybackParameter Player::positionParameter(Clock::time_point now) const {
    return {POSITION, static_cast<double>(positionLocked(now) - start_) / 1e9};
}

std::vector<PlaybackParameter> Player::parameters() {
    std::lock_guard lock(mutex_);
    return {pausedParameter(), rateParameter(), positionParameter(clock_())};
}

std::string Player::setPaused(bool paused) {
    std::lock_guard lock(mutex_);
    if (paused == paused_) return {};
    Clock::time_point now = clock_();
    std::vector<PlaybackParameter> told;
    if (paused) {
        anchorPosition_ = positionLocked(now);
        anchorTime_ = now;
        paused_ = true;
        told = {pausedParameter(), positionParameter(now)};
    } else {
        paused_ = false;
        anchorTime_ = now;
        if (atEnd_) {
            if (sink_ != nullptr) sink_->seeked();
            moveTo(start_, now, false);
        }
        told = {pausedParameter(), positionParameter(now)};
    }
    changed(told);
    sendTime(now);
    wake_.notify_all();
    return {};
}

std::string Player::setRate(double rate) {
    if (!std::isfinite(rate) || rate < MIN_RATE || rate > MAX_RATE) return "playback.rate must be within 0.1 to 10";
    std::lock_guard lock(mutex_);
    Clock::time_point now = clock_();
    anchorPosition_ = positionLocked(now);
    anchorTime_ = now;
    rate_ = rate;
    changed({rateParameter()});
    sendTime(now);
    wake_.notify_all();
    return {};
}

std::string Player::seek(double seconds) {
    const double duration = static_cast<double>(end_ - start_) / 1e9;
    if (!std::isfinite(seconds) || seconds < 0 || seconds > duration) {
        return "playback.position must be within 0 to " + std::to_string(duration) + " seconds";
    }
    std::lock_guard lock(mutex_);
    Clock::time_point now = clock_();
    uint64_t to = std::min(end_, start_ + static_cast<uint64_t>(std::llround(seconds * 1e9)));
    moveTo(to, now, true);
    changed({positionParameter(now)});
    sendTime(now);
    wake_.notify_all();
    return {};
}

Player::Clock::time_point Player::poll() {
    std::lock_guard lock(mutex_);
    return pollLocked(clock_());
}

Player::Clock::time_point Player::pollLocked(Clock::time_point now) {
    if (sink_ == nullptr || paused_) return now + FAR_AWAY;
    uint64_t position = positionLocked(now);
    const mcap::ReadMessage* m = nextMessage();
    while (m != nullptr && m->logTime <= position) {
        sink_->message(m->channelId, m->logTime, m->data);
        ++next_;
        m = nextMessage();
    }
    if (m == nullptr) {
        if (loop_ && end_ > start_) {
            sink_->seeked();
            moveTo(start_, now, false);
            changed({positionParameter(now)});
            sendTime(now);
            // The messages at the start are due at once; a file that can no longer be read
            // pauses below instead of starting over without end.
            if (nextMessage() != nullptr) return now;
        }
        anchorPosition_ = end_;
        anchorTime_ = now;
        paused_ = true;
        atEnd_ = true;
        changed({pausedParameter(), positionParameter(now)});
        sendTime(now);
        return now + FAR_AWAY;
    }
    if (!timeSent_ || now - lastTime_ >= TIME_EVERY) sendTime(now);
    // When the position reaches the next message: its distance at this rate, rounded up.
    double wait = std::ceil(static_cast<double>(m->logTime - anchorPosition_) / rate_) + 1;
    Clock::time_point due = anchorTime_ + std::chrono::nanoseconds(static_cast<int64_t>(wait));
    return std::min(due, lastTime_ + TIME_EVERY);
}

void Player::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    stopping_ = false;
    // Playing starts now, not when the file was opened.
    if (!paused_) anchorTime_ = clock_();
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            Clock::time_point next = pollLocked(clock_());
            if (stopping_) break;
            wake_.wait_until(lock, next);
        }
    });
}

void Player::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

}  // namespace bridge
