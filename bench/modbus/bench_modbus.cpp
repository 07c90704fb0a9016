// Back-to-back one-register reads through our master: the cycle time of
// each transaction and the CPU time the process spent on them.
//
//   bench_modbus PORT BAUD PARITY SLAVE COUNT [--raw] [--single]
//
// With --raw the same exchange runs without the master: a write of the
// prepared request after the silence between frames, and plain reads until
// the 7 answer bytes are in, the floor that the pty and the simulator leave
// to any master. With --single
// each read comes after a pause, as a polled or human-paced one does, and
// only the read itself is timed.
// Prints one line of key=value figures for scripts/bench-modbus.
#include "modbus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

double nowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double cpuUs()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

double percentile(std::vector<double> sorted, double p)
{
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

// The same read without the master: the request built here, written once
// the line has been silent for 3.5 characters since the last answer (a plain
// sleep), and the 7 answer bytes read with plain system calls.
class RawExchange
{
public:
    RawExchange(const char *port, int baud, char parity, int slave)
        : fd(open(port, O_RDWR | O_NOCTTY)),
          silenceUs(baud > 19200 ? 1750.0 : 3.5 * (parity == 'N' ? 10 : 11) * 1e6 / baud)
    {
        request[0] = uint8_t(slave);
        uint16_t crc = 0xFFFF;
        for (int i = 0; i < 6; ++i) {
            crc ^= request[i];
            for (int b = 0; b < 8; ++b)
                crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        }
        request[6] = uint8_t(crc & 0xFF);
        request[7] = uint8_t(crc >> 8);
        const speed_t speed = baud == 9600 ? B9600 : baud == 19200 ? B19200 : baud == 115200 ? B115200 : B0;
        termios t;
        if (fd < 0 || speed == B0 || tcgetattr(fd, &t) < 0)
            return;
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ok = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    ~RawExchange()
    {
        if (fd >= 0)
            close(fd);
    }
    bool ok = false;

    bool operator()()
    {
        const double wait = lastByteUs + silenceUs - nowUs();
        if (wait > 0) {
            const timespec pause{0, long(wait * 1000)};
            nanosleep(&pause, nullptr);
        }
        uint8_t answer[7];
        if (write(fd, request, sizeof request) != ssize_t(sizeof request))
            return false;
        size_t got = 0;
        while (got < sizeof answer) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) != 1)
                return false;
            const ssize_t n = read(fd, answer + got, sizeof answer - got);
            if (n < 0)
                return false;
            got += size_t(n);
        }
        lastByteUs = nowUs();
        return answer[0] == request[0] && answer[1] == 0x03;
    }

private:
    int fd;
    double silenceUs, lastByteUs = 0;
    uint8_t request[8] = {0, 0x03, 0x00, 0x64, 0x00, 0x01, 0, 0};
};

} // namespace

int main(int argc, char **argv)
{
    bool rawMode = false, single = false;
    for (int i = 6; i < argc; ++i) {
        rawMode = rawMode || std::strcmp(argv[i], "--raw") == 0;
        single = single || std::strcmp(argv[i], "--single") == 0;
    }
    if (argc < 6 || argc != 6 + int(rawMode) + int(single)) {
        std::fprintf(stderr, "usage: bench_modbus PORT BAUD PARITY SLAVE COUNT [--raw] [--single]\n");
        return 2;
    }
    const int baud = std::atoi(argv[2]);
    const char parity = argv[3][0];
    const int slave = std::atoi(argv[4]);
    const int count = std::atoi(argv[5]);

    modbus_t *ctx = nullptr;
    std::unique_ptr<RawExchange> raw;
    if (rawMode) {
        raw = std::make_unique<RawExchange>(argv[1], baud, parity, slave);
        if (!raw->ok) {
            std::fprintf(stderr, "bench_modbus: %s: %s\n", argv[1], std::strerror(errno));
            return 1;
        }
    } else {
        ctx = modbus_new_rtu(argv[1], baud, parity, 8, 1);
        if (!ctx || modbus_set_slave(ctx, slave) < 0 || modbus_set_response_timeout(ctx, 1, 0) < 0
            || modbus_connect(ctx) < 0) {
            std::fprintf(stderr, "bench_modbus: %s: %s\n", argv[1], modbus_strerror(errno));
            return 1;
        }
    }
    uint16_t value;
    auto transaction = [&] { return raw ? (*raw)() : modbus_read_registers(ctx, 100, 1, &value) == 1; };

    for (int i = 0; i < 10; ++i) // warm-up: page faults, the simulator's first wake-ups
        transaction();

    std::vector<double> cycles;
    cycles.reserve(size_t(count));
    int errors = 0;
    const double cpu0 = cpuUs();
    double wall = 0;
    double t = nowUs();
    for (int i = 0; i < count; ++i) {
        if (single) {
            const timespec pause{0, 10000000}; // well past any silence between frames
            nanosleep(&pause, nullptr);
            t = nowUs();
        }
        if (!transaction() && ++errors == 10) {
            std::fprintf(stderr, "bench_modbus: no answers from station %d at %d baud\n", slave, baud);
            return 1;
        }
        const double t1 = nowUs();
        cycles.push_back(t1 - t);
        wall += t1 - t;
        t = t1;
    }
    const double cpu = cpuUs() - cpu0;
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
    }

    std::printf("tps=%.1f mean_us=%.1f p50_us=%.1f p99_us=%.1f cpu_us=%.2f errors=%d\n", count / (wall / 1e6),
                wall / count, percentile(cycles, 0.50), percentile(cycles, 0.99), cpu / count, errors);
    return 0;
}
