// The history recorder: the CPU its thread takes while readings come at the
// fastest pace a bus carries (and at four times that), every reading a new
// value so that every one is stored; the size of history.db per device-month
// for a flat, a drifting and a noisy value; and the longest wait of another
// writer (the log page, the push) while a pruning runs.
#include "recorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

namespace {

const qint64 DayMs = 24 * 3600 * 1000LL;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Temperatures of devices in ten areas, all normal.
std::vector<Reading> devices(int count)
{
    std::vector<Reading> list;
    for (int i = 0; i < count; ++i)
        list.push_back({QStringLiteral("Area-%1").arg(i % 10), QStringLiteral("Device-%1").arg(i), 0,
                        {-200, 0, 60, 80}, 0, true, 235});
    return list;
}

// Readings through a queued call into the recorder's thread, as the poll
// thread sends them; the percentage of one core the recorder's thread used.
double recordingCost(int perSecond, int seconds)
{
    QTemporaryDir dir;
    QThread thread;
    auto *recorder = new Recorder(dir.filePath(QStringLiteral("history.db")));
    recorder->runIn(thread);
    const auto cpu = [recorder] {
        double s = 0;
        QMetaObject::invokeMethod(recorder, &threadCpuSeconds, Qt::BlockingQueuedConnection, &s);
        return s;
    };
    std::vector<Reading> list = devices(100);
    const double before = cpu(); // also waits until the file is open
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    qint64 sent = 0;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        for (const qint64 due = clock.elapsed() * perSecond / 1000; sent < due; ++sent) {
            Reading r = list[sent % list.size()];
            r.msecs = QDateTime::currentMSecsSinceEpoch();
            r.raw = quint16(200 + (sent / qint64(list.size())) % 50);
            judge(r);
            QMetaObject::invokeMethod(recorder, [recorder, r] { recorder->record(r); });
        }
        if (clock.elapsed() >= seconds * 1000)
            loop.quit();
    });
    feed.start(1);
    loop.exec();
    const double used = cpu() - before;
    const double wall = clock.elapsed() / 1000.0;
    recorder->stop();
    thread.wait();
    return used / wall * 100;
}

enum class Pattern { Flat, Drifting, Noisy };

// A month of polls every 10 s (20 devices at the default 500 ms pause) for
// four devices; history.db's size per device.
qint64 monthPerDevice(const QString &path, Pattern pattern, qint64 *rows)
{
    const int count = 4;
    const int periodMs = 10000;
    std::vector<Reading> list = devices(count);
    std::mt19937 random(1);
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - 30 * DayMs;
    {
        Recorder recorder(path);
        recorder.open();
        int polls = 0;
        for (qint64 t = 0; t < 30 * DayMs; t += periodMs) {
            for (Reading &r : list) {
                if (pattern == Pattern::Noisy || (pattern == Pattern::Drifting && random() % 3 == 0))
                    r.raw = quint16(r.raw + (random() % 2 ? 1 : -1));
                r.msecs = start + t;
                judge(r);
                recorder.record(r);
            }
            if (++polls % 100 == 0) // a second's worth
                recorder.flush();
        }
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
    db.setDatabaseName(path);
    db.open();
    QSqlQuery query(QStringLiteral("SELECT count(*) FROM readings"), db);
    query.next();
    *rows = query.value(0).toLongLong() / count;
    query.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return QFileInfo(path).size() / count;
}

// Another writer takes the write lock every few milliseconds while the
// recorder prunes 20 of 30 days; the longest it waited, in ms.
double pruneWait(const QString &path, qint64 *pruned, double *seconds)
{
    std::atomic<bool> done{false};
    double longest = 0;
    std::thread other([&] {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
            db.setDatabaseName(path);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            db.open();
            QSqlQuery query(db);
            while (!done) {
                QElapsedTimer clock;
                clock.start();
                query.exec(QStringLiteral("BEGIN IMMEDIATE"));
                longest = std::max(longest, clock.nsecsElapsed() / 1e6);
                query.exec(QStringLiteral("ROLLBACK"));
                QThread::msleep(2);
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    });

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("watch"));
    db.setDatabaseName(path);
    db.open();
    const QString left = QStringLiteral("SELECT count(*) FROM readings WHERE t < %1")
                             .arg(QDateTime::currentMSecsSinceEpoch() - 10 * DayMs);
    QSqlQuery query(left, db);
    query.next();
    *pruned = query.value(0).toLongLong();
    query.finish();
    QElapsedTimer clock;
    clock.start();
    {
        Recorder recorder(path);
        recorder.setRetentionDays(10);
        recorder.open();
        QEventLoop loop;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            query.exec(left);
            query.next();
            if (query.value(0).toLongLong() == 0)
                loop.quit();
            query.finish();
        });
        watch.start(100);
        loop.exec();
    }
    *seconds = clock.elapsed() / 1000.0;
    done = true;
    other.join();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("watch"));
    return longest;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // 115200 baud: 15 bytes a transaction and two 1.75 ms gaps, about 5 ms
    // with the module's answer delay, so some 200 readings a second at most.
    std::printf("recorder thread CPU, every reading stored (100 devices):\n");
    for (int pace : {250, 1000})
        std::printf("  %4d readings/s: %.2f %% of a core\n", pace, recordingCost(pace, 20));

    QTemporaryDir dir;
    std::printf("history.db per device-month, a poll every 10 s:\n");
    const struct { Pattern pattern; const char *what; } patterns[] = {
        {Pattern::Flat, "flat value (heartbeat only)"},
        {Pattern::Drifting, "drifting, a change every 3rd poll"},
        {Pattern::Noisy, "noisy, a change every poll"}};
    QString noisy;
    for (const auto &p : patterns) {
        const QString path = dir.filePath(QStringLiteral("%1.db").arg(int(p.pattern)));
        qint64 rows = 0;
        const qint64 bytes = monthPerDevice(path, p.pattern, &rows);
        std::printf("  %-34s %6.2f MB, %lld rows\n", p.what, bytes / 1e6, rows);
        noisy = path;
    }

    qint64 pruned = 0;
    double seconds = 0;
    const double wait = pruneWait(noisy, &pruned, &seconds);
    std::printf("pruning %lld rows: %.1f s; another writer waited at most %.1f ms\n", pruned, seconds, wait);
    return 0;
}
