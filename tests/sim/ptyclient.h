// A raw pty client for the simulator's tests: its own request builder and
// CRC, nothing shared with the master or the simulator.
#ifndef TARVO_TESTS_SIM_PTYCLIENT_H
#define TARVO_TESTS_SIM_PTYCLIENT_H

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline uint16_t crc(const Bytes &b, size_t n)
{
    uint16_t c = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= b[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
    }
    return c;
}

inline bool crcOk(const Bytes &b)
{
    return b.size() >= 4 && crc(b, b.size() - 2) == (b[b.size() - 2] | b[b.size() - 1] << 8);
}

inline Bytes withCrc(Bytes b)
{
    const uint16_t c = crc(b, b.size());
    b.push_back(uint8_t(c & 0xFF));
    b.push_back(uint8_t(c >> 8));
    return b;
}

// Request builder: address, function, two 16-bit words, optional payload (with byte count).
inline Bytes request(int slave, int fc, int a, int b, const Bytes &payload = {}, bool withCount = false)
{
    Bytes r{uint8_t(slave), uint8_t(fc), uint8_t(a >> 8), uint8_t(a), uint8_t(b >> 8), uint8_t(b)};
    if (withCount)
        r.push_back(uint8_t(payload.size()));
    r.insert(r.end(), payload.begin(), payload.end());
    return withCrc(r);
}

inline Bytes words(std::initializer_list<int> values)
{
    Bytes b;
    for (int v : values) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
    }
    return b;
}

inline uint16_t word(const Bytes &answer, int i) { return uint16_t(answer[3 + 2 * i] << 8 | answer[4 + 2 * i]); }

// Expected answer length from its first bytes; 0 when it cannot be told (noise, truncation).
inline size_t answerLength(const Bytes &b)
{
    if (b.size() < 3)
        return 0;
    if (b[1] & 0x80)
        return 5;
    if (b[1] >= 1 && b[1] <= 4)
        return 5 + b[2];
    if (b[1] == 5 || b[1] == 6 || b[1] == 0x0F || b[1] == 0x10)
        return 8;
    return 0;
}

struct Port
{
    int fd = -1;
    std::vector<Clock::time_point> byteTimes; // of the last answer, for the timing checks

    explicit Port(const std::string &path, speed_t speed = B9600, bool twoStops = false, bool odd = false)
    {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            setLine(speed, twoStops, odd);
    }
    ~Port()
    {
        if (fd >= 0)
            close(fd);
    }

    // As a master would set it; only the flags a pty keeps matter here.
    bool setLine(speed_t speed, bool twoStops = false, bool odd = false)
    {
        termios t{};
        if (tcgetattr(fd, &t) != 0)
            return false;
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        t.c_cflag &= ~tcflag_t(CSTOPB | PARODD | PARENB);
        t.c_cflag |= (twoStops ? CSTOPB : 0) | (odd ? PARODD : 0) | CLOCAL | CREAD;
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }

    bool send(const Bytes &raw)
    {
        tcflush(fd, TCIFLUSH);
        return write(fd, raw.data(), raw.size()) == ssize_t(raw.size());
    }

    // Collects an answer: complete by its length, or ended by quietMs of
    // silence, or nothing after firstMs.
    Bytes receive(int firstMs = 250, int quietMs = 120)
    {
        byteTimes.clear();
        Bytes in;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, in.empty() ? firstMs : quietMs) <= 0)
                break;
            uint8_t buf[300];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            in.insert(in.end(), buf, buf + n);
            byteTimes.insert(byteTimes.end(), size_t(n), Clock::now());
            const size_t want = answerLength(in);
            if (want && in.size() >= want && crcOk(Bytes(in.begin(), in.begin() + long(want))))
                break;
        }
        return in;
    }

    Bytes exchange(const Bytes &raw, int firstMs = 250) { return send(raw) ? receive(firstMs) : Bytes{}; }

    double msSince(Clock::time_point t, size_t byte) const
    {
        return std::chrono::duration<double, std::milli>(byteTimes[byte] - t).count();
    }
};

inline int exceptionOf(const Bytes &answer) { return answer.size() == 5 && (answer[1] & 0x80) && crcOk(answer) ? answer[2] : -1; }

#endif
