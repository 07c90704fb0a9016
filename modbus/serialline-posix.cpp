// The serial line on POSIX: termios in raw mode, ppoll() for every wait.
#include "serialline-posix.h"
#include "serialline.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

int serialLineSetCustomSpeed(int fd, int baud);

namespace {

const int writeStallMs = 1000;

speed_t speedConstant(int baud)
{
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
    case 500000: return B500000;
    case 921600: return B921600;
    case 1000000: return B1000000;
#endif
    default: return B0; // no constant: set through the custom-speed path
    }
}

long long nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Unix98 pseudo-terminal slaves, which take no parity bit.
bool isPseudoTerminal(int fd)
{
#ifdef __linux__
    struct stat st{};
    if (fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
#else
    (void)fd;
    return false;
#endif
}

class PosixSerialLine final : public SerialLine
{
public:
    ~PosixSerialLine() override
    {
        if (fd_ >= 0) {
            restoreSettings();
            close();
        }
    }

    int open(const char *device) override
    {
        if (fd_ >= 0)
            return fail(EBUSY);
        const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return fail(errno);
        // flock keeps out every other opener, privileged or not; TIOCEXCL also
        // keeps out programs that do not lock.
        if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return fail(e);
        }
        if (tcgetattr(fd, &saved_) < 0) {
            const int e = errno;
            ::close(fd);
            return fail(e);
        }
        ioctl(fd, TIOCEXCL);
        fd_ = fd;
        return 0;
    }

    int configure(int baud, int dataBits, char parity, int stopBits) override
    {
        if (fd_ < 0)
            return fail(EBADF);
        if (apply(serialLineTermios(saved_, baud, dataBits, parity, stopBits)) < 0)
            return -1;
        if (speedConstant(baud) == B0 && serialLineSetCustomSpeed(fd_, baud) < 0)
            return fail(errno);
        return 0;
    }

    int read(uint8_t *buf, int max, long long timeoutUs) override
    {
        if (fd_ < 0)
            return fail(EBADF);
        const long long deadline = timeoutUs < 0 ? 0 : nowUs() + timeoutUs;
        int got = 0;
        while (got < max) {
            // Once the time is up, what is already there is still taken.
            timespec wait{}, *waitp = nullptr;
            if (timeoutUs >= 0) {
                const long long left = std::max(0LL, deadline - nowUs());
                wait = {time_t(left / 1000000), long(left % 1000000) * 1000};
                waitp = &wait;
            }
            pollfd p{fd_, POLLIN, 0};
            const int r = ppoll(&p, 1, waitp, nullptr);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return fail(errno);
            }
            if (r == 0)
                break;
            if (p.revents & POLLNVAL)
                return fail(EBADF);
            const ssize_t n = ::read(fd_, buf + got, size_t(max - got));
            if (n > 0) {
                got += int(n);
                continue;
            }
            // Ready but nothing to read: the other side hung up.
            if (n == 0)
                return lost(ECONNRESET);
            if (errno != EINTR && errno != EAGAIN)
                return lost(errno);
            if (p.revents & (POLLHUP | POLLERR))
                return lost(ECONNRESET);
        }
        return got;
    }

    int write(const uint8_t *buf, int len) override
    {
        if (fd_ < 0)
            return fail(EBADF);
        int done = 0;
        while (done < len) {
            const ssize_t n = ::write(fd_, buf + done, size_t(len - done));
            if (n > 0) {
                done += int(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return lost(errno);
            pollfd p{fd_, POLLOUT, 0};
            const int r = poll(&p, 1, writeStallMs);
            if (r < 0 && errno != EINTR)
                return fail(errno);
            if (r == 0)
                return done > 0 ? done : fail(ETIMEDOUT);
            if (r > 0 && (p.revents & POLLNVAL))
                return fail(EBADF);
            if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR)))
                return lost(ECONNRESET);
        }
        return done;
    }

    int discardInput() override
    {
        if (fd_ < 0)
            return fail(EBADF);
        return tcflush(fd_, TCIFLUSH) < 0 ? fail(errno) : 0;
    }

    int restoreSettings() override
    {
        if (fd_ < 0)
            return fail(EBADF);
        return tcsetattr(fd_, TCSANOW, &saved_) < 0 ? fail(errno) : 0;
    }

    int close() override
    {
        if (fd_ < 0)
            return fail(EBADF);
        ioctl(fd_, TIOCNXCL);
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc < 0 ? fail(errno) : 0;
    }

    bool isOpen() const override { return fd_ >= 0; }
    long lastSystemError() const override { return lastError_; }

private:
    // A pty takes PARENB once and drops it silently, then refuses it with
    // EINVAL. On a pty only, that refusal is answered by applying the same
    // settings without the parity bit: PARODD stays, so whoever holds the
    // other side still reads odd against not odd. A real port that refuses
    // parity fails as it should.
    int apply(termios t)
    {
        if (tcsetattr(fd_, TCSANOW, &t) == 0)
            return 0;
        if (errno == EINVAL && (t.c_cflag & PARENB) && isPseudoTerminal(fd_)) {
            t.c_cflag &= ~PARENB;
            t.c_iflag &= ~INPCK;
            if (tcsetattr(fd_, TCSANOW, &t) == 0)
                return 0;
        }
        return fail(errno);
    }

    int fail(int e)
    {
        lastError_ = e;
        errno = e;
        return -1;
    }

    // The device went away under us (unplugged adapter, closed pty): one
    // error number for all the ways the system says so.
    int lost(int e)
    {
        lastError_ = e;
        errno = (e == EIO || e == ENXIO || e == ENODEV) ? ECONNRESET : e;
        return -1;
    }

    int fd_ = -1;
    termios saved_{};
    long lastError_ = 0;
};

} // namespace

termios serialLineTermios(const termios &base, int baud, int dataBits, char parity, int stopBits)
{
    termios t = base;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
#ifdef CRTSCTS
    t.c_cflag &= ~CRTSCTS;
#endif
    t.c_cflag |= dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
    if (stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (parity != 'N') {
        t.c_cflag |= PARENB;
        if (parity == 'O')
            t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = speedConstant(baud);
    cfsetispeed(&t, speed == B0 ? B9600 : speed);
    cfsetospeed(&t, speed == B0 ? B9600 : speed);
    return t;
}

std::unique_ptr<SerialLine> createPlatformSerialLine()
{
    return std::unique_ptr<SerialLine>(new (std::nothrow) PosixSerialLine);
}
