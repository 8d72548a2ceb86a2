// Serial lines on termios.
//
// The port names of the system map to devices through the environment: "COM1:" is
// $HALVORAN_COM1 (default /dev/ttyS0) and "COM2:" is $HALVORAN_COM2 (default /dev/ttyS1).
// A line is opened exclusively (flock, and TIOCEXCL for other programs), set raw at 115200
// 8N1 without flow control, DTR and RTS low, and low latency where the driver offers it.
#include "platform/platform.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {

struct SerialLine {
    int fd = -1;
    int wakeFd = -1;
    std::atomic<bool> interrupted{false};
    std::atomic<uint32_t> eventMask{0};
    std::atomic<bool> hungUp{false};
    SerialTimeouts timeouts{};
    bool modemLinesReadable = true;
    int modemLines = 0;
};

namespace {

// A hung-up device is looked at again after this pause, so that its reader does not spin.
constexpr int kHangUpRetryMs = 250;
// How often the modem lines are compared while a change of them is awaited.
constexpr int kModemPollMs = 50;

const char* devicePath(const char* portName) {
    const char* variable = nullptr;
    const char* fallback = nullptr;
    if (std::strcmp(portName, "COM1:") == 0) {
        variable = "HALVORAN_COM1";
        fallback = "/dev/ttyS0";
    } else if (std::strcmp(portName, "COM2:") == 0) {
        variable = "HALVORAN_COM2";
        fallback = "/dev/ttyS1";
    } else {
        return portName;  // a device path given as it is
    }
    const char* value = std::getenv(variable);
    return (value != nullptr && value[0] != '\0') ? value : fallback;
}

int modemEvents(int before, int after) {
    int changed = before ^ after;
    int events = 0;
    if (changed & TIOCM_CTS) events |= EV_CTS;
    if (changed & TIOCM_DSR) events |= EV_DSR;
    if (changed & TIOCM_CD) events |= EV_RLSD;
    if (changed & TIOCM_RI) events |= EV_RING;
    return events;
}

// Waits on the wake descriptor alone, for at most ms; true when interrupted.
bool pauseUnlessInterrupted(SerialLine* line, int ms) {
    pollfd wake{line->wakeFd, POLLIN, 0};
    poll(&wake, 1, ms);
    return line->interrupted.load();
}

}  // namespace

SerialLine* serialOpen(const char* portName) {
    const char* path = devicePath(portName);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // held by another process or object
        close(fd);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);  // keeps other programs out; a device without it still works
    SerialLine* line = new (std::nothrow) SerialLine;
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (line == nullptr || wakeFd < 0) {
        delete line;
        if (wakeFd >= 0) close(wakeFd);
        close(fd);
        return nullptr;
    }
    line->fd = fd;
    line->wakeFd = wakeFd;
    return line;
}

bool serialConfigure(SerialLine* line) {
    if (line == nullptr) return false;
    termios settings{};
    if (tcgetattr(line->fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    // With VMIN 0 a terminal reads 0 when no byte waits, which looks like a hang-up; with VMIN 1
    // the non-blocking read says EAGAIN then, and 0 only after a real hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0) return false;
    if (tcsetattr(line->fd, TCSANOW, &settings) != 0) return false;
    // tcsetattr succeeds when any change took; read back what the driver accepted.
    termios check{};
    if (tcgetattr(line->fd, &check) != 0) return false;
    if (cfgetospeed(&check) != B115200 || (check.c_cflag & CSIZE) != CS8 || (check.c_cflag & PARENB) != 0 ||
        (check.c_cflag & CRTSCTS) != 0) {
        return false;
    }
    // DTR and RTS held low; a pseudo-terminal has no modem lines, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(line->fd, TIOCMBIC, &lines);
    // A USB-serial adapter hands bytes on sooner when asked for low latency.
    serial_struct serial{};
    if (ioctl(line->fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(line->fd, TIOCSSERIAL, &serial);
    }
    int modem = 0;
    line->modemLinesReadable = ioctl(line->fd, TIOCMGET, &modem) == 0;
    line->modemLines = modem;
    return true;
}

bool serialSetTimeouts(SerialLine* line, const SerialTimeouts& timeouts) {
    if (line == nullptr) return false;
    line->timeouts = timeouts;
    return true;
}

bool serialSetEventMask(SerialLine* line, uint32_t mask) {
    if (line == nullptr) return false;
    line->eventMask.store(mask);
    return true;
}

bool serialWaitEvent(SerialLine* line, uint32_t* events) {
    *events = 0;
    for (;;) {
        if (line->interrupted.load()) return false;
        if (line->hungUp.exchange(false)) {
            // The device hung up (EIO, or the far end of a pseudo-terminal closed): look at it
            // again after a modest pause instead of spinning on it.
            if (pauseUnlessInterrupted(line, kHangUpRetryMs)) return false;
        }
        uint32_t mask = line->eventMask.load();
        bool watchModem = line->modemLinesReadable && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) != 0;
        pollfd fds[2] = {{line->fd, POLLIN, 0}, {line->wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, watchModem ? kModemPollMs : -1);
        if (line->interrupted.load()) return false;
        if (ready < 0 && errno != EINTR) {
            line->hungUp.store(true);
            return true;
        }
        if (watchModem) {
            int modem = 0;
            if (ioctl(line->fd, TIOCMGET, &modem) == 0) {
                uint32_t changes = static_cast<uint32_t>(modemEvents(line->modemLines, modem)) & mask;
                line->modemLines = modem;
                *events |= changes;
            } else {
                line->modemLinesReadable = false;
            }
        }
        if (ready > 0 && (fds[0].revents & POLLIN) && (mask & EV_RXCHAR)) *events |= EV_RXCHAR;
        if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(*events & EV_RXCHAR)) {
            line->hungUp.store(true);
            return true;  // no event; the next wait pauses first
        }
        if (*events != 0) return true;
    }
}

int serialReadByte(SerialLine* line, uint8_t* byte) {
    if (line == nullptr) return 0;
    int timeoutMs =
        static_cast<int>(line->timeouts.readTotalTimeoutConstant + line->timeouts.readTotalTimeoutMultiplier);
    for (;;) {
        ssize_t n = read(line->fd, byte, 1);
        if (n == 1) return 1;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            line->hungUp.store(true);  // end of file or EIO: the device went away
            return 0;
        }
        if (n < 0 && errno == EINTR) continue;
        if (timeoutMs <= 0) return 0;
        pollfd fds[2] = {{line->fd, POLLIN, 0}, {line->wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, timeoutMs);
        timeoutMs = 0;  // one wait per read, as the read time-outs give
        if (ready <= 0 || line->interrupted.load()) return 0;
    }
}

bool serialWriteByte(SerialLine* line, uint8_t byte) {
    if (line == nullptr) return false;
    int timeoutMs =
        static_cast<int>(line->timeouts.writeTotalTimeoutConstant + line->timeouts.writeTotalTimeoutMultiplier);
    for (;;) {
        ssize_t n = write(line->fd, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        if (timeoutMs <= 0) return false;
        pollfd out{line->fd, POLLOUT, 0};
        int ready = poll(&out, 1, timeoutMs);
        timeoutMs = 0;
        if (ready <= 0) return false;
    }
}

void serialInterrupt(SerialLine* line) {
    if (line == nullptr) return;
    line->interrupted.store(true);
    uint64_t one = 1;
    ssize_t ignored = write(line->wakeFd, &one, sizeof one);
    (void)ignored;
}

void serialClose(SerialLine* line) {
    if (line == nullptr) return;
    // The exclusive flag stays on the device while anyone else keeps it open (a simulator
    // holding its end of a pseudo-terminal); a later open by this program must find it free.
    ioctl(line->fd, TIOCNXCL);
    close(line->fd);
    close(line->wakeFd);
    delete line;
}

bool serialHungUp(SerialLine* line) { return line != nullptr && line->hungUp.load(); }

}  // namespace platform
