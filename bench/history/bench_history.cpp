// The history recorder: the CPU its thread takes while readings come at the
// fastest pace a bus carries (and at four times that), every reading a new
// value so that every one is stored; the size of history.db per device-month
// for a flat, a drifting and a noisy value; and the longest wait of another
// writer (the log page, the push) while a pruning runs.
#include "bench.h"
#include "recorder.h"

#include <QtSql>

#include <atomic>
#include <random>
#include <thread>

namespace {

const qint64 DayMs = 24 * 3600 * 1000LL;

// A temperature device of ten areas, normal.
Reading device(int i)
{
    return {QString("Area-%1").arg(i % 10), QString("Device-%1").arg(i), 0, {-200, 0, 60, 80}, 0, true, 235};
}

// Runs a statement on a connection of its own (named `name`, for the thread
// it runs in) and gives the first column of its last row.
qint64 sql(const QString &path, const QString &statement, const QString &name = "count")
{
    qint64 value = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(path);
        db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
        QSqlQuery query(db);
        if (db.open() && query.exec(statement) && query.last())
            value = query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(name);
    return value;
}

// Readings through a queued call into the recorder's thread, as the poll
// thread sends them, for 20 s; the percentage of one core that thread used.
double recordingCost(int perSecond)
{
    QTemporaryDir dir;
    QThread thread;
    auto *recorder = new Recorder(dir.filePath("history.db"));
    recorder->runIn(thread);
    const auto cpu = [recorder] {
        double s = 0;
        QMetaObject::invokeMethod(recorder, [] { return cpuSeconds(CLOCK_THREAD_CPUTIME_ID); },
                                  Qt::BlockingQueuedConnection, &s);
        return s;
    };
    const double before = cpu(); // also waits until the file is open
    QElapsedTimer clock;
    clock.start();
    for (qint64 sent = 0; clock.elapsed() < 20000; waitMs(1)) {
        for (const qint64 due = clock.elapsed() * perSecond / 1000; sent < due; ++sent) {
            Reading r = device(sent % 100);
            r.msecs = QDateTime::currentMSecsSinceEpoch();
            r.raw = quint16(200 + sent / 100 % 50);
            judge(r);
            QMetaObject::invokeMethod(recorder, [recorder, r] { recorder->record(r); });
        }
    }
    const double used = (cpu() - before) / (clock.elapsed() / 1000.0);
    recorder->stop();
    thread.wait();
    return used * 100;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // 115200 baud: 15 bytes a transaction and two 1.75 ms gaps, about 5 ms
    // with the module's answer delay, so some 200 readings a second at most.
    std::printf("recorder thread CPU, every reading stored (100 devices):\n");
    for (int pace : {250, 1000})
        std::printf("  %4d readings/s: %.2f %% of a core\n", pace, recordingCost(pace));

    // A month of polls every 10 s (20 devices at the default 500 ms pause)
    // for four devices; a change every poll, every third poll or never.
    QTemporaryDir dir;
    const QString path = dir.filePath("history.db");
    std::printf("history.db per device-month, a poll every 10 s:\n");
    const char *const patterns[] = {"flat value (heartbeat only)", "drifting, a change every 3rd poll",
                                    "noisy, a change every poll"};
    for (int pattern = 0; pattern < 3; ++pattern) {
        QFile::remove(path);
        Reading list[] = {device(0), device(1), device(2), device(3)};
        std::mt19937 random(1);
        const qint64 start = QDateTime::currentMSecsSinceEpoch() - 30 * DayMs;
        {
            Recorder recorder(path);
            recorder.open();
            for (qint64 t = 0; t < 30 * DayMs; t += 10000) {
                for (Reading &r : list) {
                    if (pattern == 2 || (pattern == 1 && random() % 3 == 0))
                        r.raw = quint16(r.raw + (random() % 2 ? 1 : -1));
                    r.msecs = start + t;
                    judge(r);
                    recorder.record(r);
                }
                if (t % 1000000 == 0) // a second's worth
                    recorder.flush();
            }
        }
        std::printf("  %-34s %6.2f MB, %lld rows\n", patterns[pattern], QFileInfo(path).size() / 4e6,
                    sql(path, "SELECT count(*) FROM readings") / 4);
    }

    // Another writer takes the write lock every few milliseconds while the
    // recorder prunes 20 of the noisy month's 30 days.
    const QString old = QString("SELECT count(*) FROM readings WHERE t < %1").arg(QDateTime::currentMSecsSinceEpoch() - 10 * DayMs);
    const qint64 pruned = sql(path, old);
    std::atomic<bool> done{false};
    std::atomic<qint64> longest{0};
    std::thread other([&] {
        while (!done) {
            QElapsedTimer clock;
            clock.start();
            sql(path, "BEGIN IMMEDIATE", "other");
            longest = std::max<qint64>(longest, clock.nsecsElapsed());
            QThread::msleep(2);
        }
    });
    QElapsedTimer clock;
    clock.start();
    {
        Recorder recorder(path);
        recorder.setRetentionDays(10);
        recorder.open();
        while (sql(path, old) > 0)
            waitMs(100);
    }
    const double seconds = clock.elapsed() / 1000.0;
    done = true;
    other.join();
    std::printf("pruning %lld rows: %.1f s; another writer waited at most %.1f ms\n", pruned, seconds, longest / 1e6);
}
