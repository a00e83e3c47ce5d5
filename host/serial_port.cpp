#include "host/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace tzv58 {
namespace {

speed_t speed_of(int baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

}  // namespace

bool make_raw(int fd, int baud, std::string& err) {
    const speed_t speed = speed_of(baud);
    if (speed == B0) {
        err = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        err = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        err = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int open_serial_port(const std::string& path, int baud, std::string& err) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        err = path + ": " + std::strerror(why);
        errno = why;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = path + ": port is busy (locked by another process)";
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        err = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!make_raw(fd, baud, err)) {
        err = path + ": " + err;
        ::close(fd);
        return -1;
    }
    return fd;
}

long write_all(int fd, const void* data, size_t n, int timeout_ms) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, timeout_ms) <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
    }
    return long(done);
}

void discard_input(int fd) {
    tcflush(fd, TCIFLUSH);
    char scratch[256];
    while (::read(fd, scratch, sizeof scratch) > 0) {}
}

LineWait wait_input(int fd, int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0) return errno == EINTR ? LineWait::interrupted : LineWait::hangup;
    if (r == 0) return LineWait::timeout;
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return LineWait::hangup;
    return LineWait::input;
}

}  // namespace tzv58
