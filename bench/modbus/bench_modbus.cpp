// Back-to-back one-register reads through our master: the cycle time of
// each transaction and the CPU time the process spent on them.
//
//   bench_modbus PORT BAUD PARITY SLAVE COUNT
//
// Prints one line of key=value figures for scripts/bench-modbus.
#include "modbus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_modbus PORT BAUD PARITY SLAVE COUNT\n");
        return 2;
    }
    const int baud = std::atoi(argv[2]);
    const char parity = argv[3][0];
    const int slave = std::atoi(argv[4]);
    const int count = std::atoi(argv[5]);

    modbus_t *ctx = modbus_new_rtu(argv[1], baud, parity, 8, 1);
    if (!ctx || modbus_set_slave(ctx, slave) < 0 || modbus_set_response_timeout(ctx, 1, 0) < 0
        || modbus_connect(ctx) < 0) {
        std::fprintf(stderr, "bench_modbus: %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }

    uint16_t value;
    for (int i = 0; i < 10; ++i) // warm-up: page faults, the simulator's first wake-ups
        modbus_read_registers(ctx, 100, 1, &value);

    std::vector<double> cycles;
    cycles.reserve(size_t(count));
    int errors = 0;
    const double cpu0 = cpuUs();
    const double start = nowUs();
    double t = start;
    for (int i = 0; i < count; ++i) {
        if (modbus_read_registers(ctx, 100, 1, &value) != 1)
            ++errors;
        const double t1 = nowUs();
        cycles.push_back(t1 - t);
        t = t1;
    }
    const double wall = t - start;
    const double cpu = cpuUs() - cpu0;
    modbus_close(ctx);
    modbus_free(ctx);

    std::printf("tps=%.1f mean_us=%.1f p50_us=%.1f p99_us=%.1f cpu_us=%.2f errors=%d\n", count / (wall / 1e6),
                wall / count, percentile(cycles, 0.50), percentile(cycles, 0.99), cpu / count, errors);
    return errors == count ? 1 : 0;
}
