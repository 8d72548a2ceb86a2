#include "ui/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex lockGuard;
int heldFd = -1;  // the open lock file while this process holds the lock

}  // namespace

std::string instanceLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/halvoran.lock";
    return "/tmp/halvoran-" + std::to_string(getuid()) + ".lock";
}

InstanceLock takeInstanceLock(const std::string& path) {
    std::lock_guard<std::mutex> hold(lockGuard);
    if (heldFd >= 0) return InstanceLock::Taken;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return InstanceLock::Unavailable;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? InstanceLock::HeldByAnother : InstanceLock::Unavailable;
    }
    heldFd = fd;
    return InstanceLock::Taken;
}

void releaseInstanceLock() {
    std::lock_guard<std::mutex> hold(lockGuard);
    if (heldFd < 0) return;
    close(heldFd);
    heldFd = -1;
}
