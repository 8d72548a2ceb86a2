// The main loop's wait on the real machine: poll on the client sockets and one eventfd that
// any thread may signal.
#include "platform/platform.h"

#include <poll.h>
#include <time.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr int kMaxSockets = 8;

int wakeFd() {
    static const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

// Set by a wake-up that has not been taken yet: further wake-ups then cost no system call.
std::atomic<bool> wakePending{false};

bool spinning() {
    static const bool spin = [] {
        const char* value = std::getenv("HALVORAN_SPIN_LOOP");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return spin;
}

}  // namespace

void wakeMainLoop() {
    if (wakePending.exchange(true)) return;
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd(), &one, sizeof one);
    (void)ignored;
}

bool waitForWork(const Socket* sockets, int count, int64_t timeoutUs) {
    if (spinning()) return false;
    pollfd fds[kMaxSockets + 1] = {};
    int n = 0;
    for (int i = 0; i < count && n < kMaxSockets; ++i) {
        // A negative descriptor is left out by poll itself.
        fds[n++] = {sockets[i], static_cast<short>(POLLIN | POLLRDHUP), 0};
    }
    fds[n++] = {wakeFd(), POLLIN, 0};
    // ppoll takes the limit to the nanosecond, where poll's whole milliseconds would end a wait
    // for the next second up to a millisecond late.
    const timespec limit{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000L};
    int ready = ppoll(fds, static_cast<nfds_t>(n), timeoutUs < 0 ? nullptr : &limit, nullptr);
    if (ready < 0) return errno == EINTR;
    if (fds[n - 1].revents & POLLIN) {
        uint64_t count64 = 0;
        ssize_t ignored = read(wakeFd(), &count64, sizeof count64);
        (void)ignored;
    }
    // Taken after the descriptor is read: a wake-up given from here on signals it again. The
    // exchange also makes the bytes stored before a wake-up visible to the pass that follows.
    wakePending.exchange(false);
    return ready > 0;
}

}  // namespace platform
