// Back-to-back one-register reads through our master: the cycle time of
// each transaction and the CPU time the process spent on them.
//   bench_modbus PORT BAUD PARITY SLAVE COUNT [--raw | --single]
// --raw: the same exchange without the master (the request written after the
// silence between frames, plain reads until the 7 answer bytes are in), the
// floor that the pty and the simulator leave to any master. --single: each
// read comes after a pause, as a polled or human-paced one does, and only the
// read itself is timed. Prints one line of key=value figures for run.py.
#include "bench.h"
#include "crc16.h"
#include "modbus.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct RawExchange
{
    int fd = -1;
    testcrc::Bytes request;
    std::chrono::duration<double, std::micro> silence{};
    Clock::time_point lastByte;

    bool open(const char *port, int baud, char parity, int slave)
    {
        request = testcrc::withCrc({uint8_t(slave), 0x03, 0x00, 0x64, 0x00, 0x01});
        silence = decltype(silence)(baud > 19200 ? 1750.0 : 3.5 * (parity == 'N' ? 10 : 11) * 1e6 / baud);
        const speed_t speed = baud == 9600 ? B9600 : baud == 19200 ? B19200 : baud == 115200 ? B115200 : B0;
        termios t;
        if ((fd = ::open(port, O_RDWR | O_NOCTTY)) < 0 || speed == B0 || tcgetattr(fd, &t) < 0)
            return false;
        cfmakeraw(&t);
        cfsetspeed(&t, speed);
        t.c_cc[VMIN] = t.c_cc[VTIME] = 0;
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }
    bool operator()()
    {
        std::this_thread::sleep_until(lastByte + silence);
        uint8_t answer[7];
        if (write(fd, request.data(), request.size()) != ssize_t(request.size()))
            return false;
        ssize_t n = 0;
        for (size_t got = 0; got < sizeof answer; got += size_t(n)) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) != 1 || (n = read(fd, answer + got, sizeof answer - got)) < 0)
                return false;
        }
        lastByte = Clock::now();
        return answer[0] == request[0] && answer[1] == 0x03;
    }
};

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc == 7 ? argv[6] : "";
    const bool raw = mode == "--raw", single = mode == "--single";
    if (argc < 6 || argc > 7 || (argc == 7 && !raw && !single)) {
        std::fprintf(stderr, "usage: bench_modbus PORT BAUD PARITY SLAVE COUNT [--raw | --single]\n");
        return 2;
    }
    const int baud = std::atoi(argv[2]), slave = std::atoi(argv[4]), count = std::atoi(argv[5]);
    RawExchange exchange;
    modbus_t *ctx = raw ? nullptr : modbus_new_rtu(argv[1], baud, argv[3][0], 8, 1);
    if (raw ? !exchange.open(argv[1], baud, argv[3][0], slave)
            : !ctx || modbus_set_slave(ctx, slave) < 0 || modbus_set_response_timeout(ctx, 1, 0) < 0
                || modbus_connect(ctx) < 0) {
        std::fprintf(stderr, "bench_modbus: %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    uint16_t value;
    auto transaction = [&] { return raw ? exchange() : modbus_read_registers(ctx, 100, 1, &value) == 1; };
    for (int i = 0; i < 10; ++i) // warm-up: page faults, the simulator's first wake-ups
        transaction();

    std::vector<double> cycles;
    int errors = 0;
    const double cpu0 = cpuSeconds();
    for (Clock::time_point t = Clock::now(); int(cycles.size()) < count;) {
        if (single) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // well past any silence between frames
            t = Clock::now();
        }
        if (!transaction() && ++errors == 10) {
            std::fprintf(stderr, "bench_modbus: no answers from station %d at %d baud\n", slave, baud);
            return 1;
        }
        const Clock::time_point t1 = Clock::now();
        cycles.push_back(std::chrono::duration<double, std::micro>(t1 - t).count());
        t = t1;
    }
    const double cpuUs = (cpuSeconds() - cpu0) * 1e6, wall = std::accumulate(cycles.begin(), cycles.end(), 0.0);
    modbus_close(ctx);
    modbus_free(ctx);
    std::sort(cycles.begin(), cycles.end());
    const auto percentile = [&cycles](double p) { return cycles[std::min(cycles.size() - 1, size_t(p * cycles.size()))]; };
    std::printf("tps=%.1f mean_us=%.1f p50_us=%.1f p99_us=%.1f cpu_us=%.2f errors=%d\n", count / (wall / 1e6),
                wall / count, percentile(0.50), percentile(0.99), cpuUs / count, errors);
}
