// What the benchmarks share; the Qt parts for those that link Qt.
#ifndef TARVO_BENCH_H
#define TARVO_BENCH_H

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double cpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

#ifdef QT_CORE_LIB
#include <QtCore>

inline double msSince(const QElapsedTimer &clock) { return clock.nsecsElapsed() / 1e6; }

inline void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
#endif
#ifdef QT_WIDGETS_LIB
#include <QtWidgets>
#endif

#endif
