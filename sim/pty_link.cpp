#include "sim/pty_link.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

namespace sim {

namespace {
constexpr size_t kMaxQueued = 64 * 1024;

std::string sysError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }
}  // namespace

PtyLink::~PtyLink() { hangUp(); }

bool PtyLink::open(const std::string& linkPath, std::string& error) {
    hangUp();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error = sysError("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        error = sysError("pseudo-terminal set-up");
        hangUp();
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        error = sysError("open slave");
        hangUp();
        return false;
    }
    termios tio{};
    if (::tcgetattr(slave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(slave_, TCSANOW, &tio);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);

    if (!linkPath.empty()) {
        struct stat st {};
        if (::lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = linkPath + " exists and is not a symlink";
            hangUp();
            return false;
        }
        const std::string tmp = linkPath + ".new";
        ::unlink(tmp.c_str());
        if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), linkPath.c_str()) != 0) {
            error = sysError(("symlink " + linkPath).c_str());
            ::unlink(tmp.c_str());
            hangUp();
            return false;
        }
        linkPath_ = linkPath;
    }
    return true;
}

void PtyLink::removeLink() {
    if (linkPath_.empty()) return;
    // Remove the symlink only while it is still ours.
    char target[256];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (slavePath_ == target) ::unlink(linkPath_.c_str());
    }
    linkPath_.clear();
}

void PtyLink::hangUp() {
    removeLink();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
    out_.clear();
}

size_t PtyLink::read(uint8_t* buffer, size_t size) {
    if (master_ < 0) return 0;
    const ssize_t n = ::read(master_, buffer, size);
    return n > 0 ? size_t(n) : 0;
}

void PtyLink::write(const uint8_t* data, size_t size) {
    if (master_ < 0) return;
    out_.insert(out_.end(), data, data + size);
    while (out_.size() > kMaxQueued) {
        out_.pop_front();
        ++overrun_;
    }
    flush();
}

bool PtyLink::flush() {
    if (master_ < 0) {
        out_.clear();
        return false;
    }
    std::vector<uint8_t> chunk;
    while (!out_.empty()) {
        const size_t n = std::min<size_t>(out_.size(), 4096);
        chunk.assign(out_.begin(), out_.begin() + long(n));
        const ssize_t w = ::write(master_, chunk.data(), n);
        if (w <= 0) break;  // EAGAIN: the line is full for now
        out_.erase(out_.begin(), out_.begin() + w);
    }
    return !out_.empty();
}

}  // namespace sim
