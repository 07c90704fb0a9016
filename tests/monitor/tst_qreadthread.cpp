#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

namespace {

// A simulated bus (9600 8N1, a KT101 at station 1 unless told otherwise) and
// a poll thread on it, polling (station, register) pairs through tiles. The
// thread goes first on the way out, while the bus still serves.
struct Rig
{
    explicit Rig(std::initializer_list<ktsim::ModuleSpec> modules = {{}})
    {
        for (const auto &m : modules)
            sim.addModule(m);
        sim.start();
    }
    bool connect(QReadThread &t) const { return t.ConnectRtu(QString::fromStdString(sim.portPath()), "N", 9600, 8, 1) == 1; }
    // Connected and polling these (station, register) pairs.
    void poll(std::initializer_list<QPair<int, int>> devices, bool run = true)
    {
        QList<TempWidget *> tiles;
        for (const auto &d : devices) {
            tiles.append(new TempWidget(&parent));
            tiles.last()->setDeviceAddr(d.first);
            tiles.last()->setRegAddr(d.second);
        }
        thread->SetPollList(tiles);
        QVERIFY(connect(*thread));
        if (run) {
            thread->start();
            thread->ResumePolling();
        }
    }
    // True once the bus has seen more than `seen` requests; with a silent
    // station the master is then inside its transaction for a second.
    bool awaitRequest(uint64_t seen) const
    {
        for (int ms = 0; sim.framesReceived() <= seen && ms < 15000; ++ms)
            QThread::msleep(1);
        return sim.framesReceived() > seen;
    }
    int failedReads(int index)
    {
        PollEntry e;
        while (!thread->ReadPollEntry(index, e))
            QThread::msleep(1);
        return e.failedReads;
    }
    // "value" when online, "-" when offline, "none" when nothing was read
    // (the outputs then keep what they held).
    QString entry(int index)
    {
        quint16 value = 4242;
        bool online = true;
        if (!thread->ReadPollEntry(index, value, online))
            return value == 4242 && online ? "none" : "touched";
        return online ? QString::number(value) : "-";
    }

    ktsim::Simulator sim;
    QWidget parent;
    QScopedPointer<QReadThread> thread{new QReadThread};
};

} // namespace

class TstQReadThread : public QObject
{
    Q_OBJECT

private slots:
    void connectFailures()
    {
        Rig rig;
        const QString port = QString::fromStdString(rig.sim.portPath());
        const struct { QString port, parity; int baud; } bad[] = {
            {"/dev/tarvo-no-such-port", "N", 9600}, {port, "N", 0}, {port, "S", 9600}, {port, "", 9600}};
        for (const auto &b : bad)
            QVERIFY2(rig.thread->ConnectRtu(b.port, b.parity, b.baud, 8, 1) == -1, qPrintable(b.port + b.parity));
        // Failures leave nothing open; connecting again releases the port held before.
        QVERIFY(rig.connect(*rig.thread) && rig.connect(*rig.thread));
        QReadThread other;
        QVERIFY(!rig.connect(other)); // the port is busy
    }

    void lifecycle()
    {
        Rig rig;
        // Out of range leaves the outputs alone; a new list replaces the old.
        rig.poll({{1, 1}, {1, 1}, {1, 1}}, false);
        QVERIFY(rig.entry(3) == "none" && rig.entry(-1) == "none" && rig.entry(2) == "-");
        rig.poll({{1, 1}, {248, 1}}, false);
        QCOMPARE(rig.entry(2), QString("none"));
        rig.thread->PausePolling();
        rig.thread->start();
        QTest::qWait(1200); // more than two cycles of the paused thread
        QCOMPARE(rig.sim.framesReceived(), uint64_t(0));
        rig.thread->ResumePolling();
        // 248 is refused by the master: it must not go out under station 1's address.
        QVERIFY(rig.awaitRequest(2));
        QTRY_VERIFY(rig.entry(0) == "1" && rig.entry(1) == "-");

        // A station that falls silent goes offline; while it times out the
        // read-out gives its last state at once.
        rig.sim.setFault(1, ktsim::Fault::Silence);
        QTRY_COMPARE_WITH_TIMEOUT(rig.entry(0), QString("-"), 10000);
        QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.entry(0), QString("-"));
        QVERIFY2(clock.elapsed() < 100, "the read-out waited for the serial line");
        // A stop ends the thread within the response timeout, the pause and a margin.
        rig.thread->StopPolling();
        QVERIFY(rig.thread->wait(1000 + 500 + 2000));
        // Destroyed in the middle of a request, the thread stops and closes the port.
        rig.thread->start();
        QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
        rig.thread.reset();
        QReadThread other;
        QVERIFY(rig.connect(other));
    }

    void silentBusAndDevices()
    {
        // Three answering devices falling silent in a row are a silent bus:
        // all go offline at once, and the first answer ends it.
        Rig rig({{}, {ktsim::ModuleType::Voltage, 2}, {ktsim::ModuleType::Humidity, 3}, {ktsim::ModuleType::Current, 4}});
        QSignalSpy lost(rig.thread.data(), &QReadThread::portLost);
        QSignalSpy restored(rig.thread.data(), &QReadThread::portRestored);
        rig.thread->SetPollPause(0);
        rig.poll({{1, 100}, {2, 100}, {3, 100}, {4, 100}, {9, 100}});
        QTRY_VERIFY_WITH_TIMEOUT(rig.entry(3) != "-" && rig.entry(3) != "none", 10000);
        for (int station = 1; station <= 4; ++station)
            rig.sim.setFault(station, ktsim::Fault::Silence);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
        QVERIFY(lost.at(0).at(0).toString().endsWith(": 总线无应答"));
        for (int i = 0; i < 4; ++i)
            QVERIFY(rig.entry(i) == "-" || rig.entry(i) == "none");
        for (int station = 1; station <= 4; ++station)
            rig.sim.setFault(station, ktsim::Fault::None);
        QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, 10000);
        QCOMPARE(lost.size(), 1);
        // Station 9 never answered: after three failures it is read only every
        // tenth round, so twenty rounds take at most two of its.
        QTRY_VERIFY_WITH_TIMEOUT(rig.failedReads(4) >= 3, 15000);
        const int before = rig.failedReads(4);
        QVERIFY(rig.awaitRequest(rig.sim.framesReceived() + 5 * 20));
        QVERIFY2(rig.failedReads(4) - before <= 3, qPrintable(QString::number(rig.failedReads(4) - before)));
    }

    void startStopStress()
    {
        // Most cycles stop the thread right after starting it: a stop that
        // comes before the new thread runs must not be lost.
        Rig rig({{}, {ktsim::ModuleType::Voltage, 2}});
        rig.poll({{1, 1}, {2, 1}, {3, 1}});
        int reads = 0;
        for (int cycle = 0; cycle < 150; ++cycle) {
            if (cycle % 10 == 0) // now and then let a request go out
                QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
            for (int i = 0; i < 3; ++i) {
                reads += rig.entry(i) == QString::number(i + 1);
                QVERIFY(QStringList({"none", "-", QString::number(i + 1)}).contains(rig.entry(i)));
            }
            rig.thread->StopPolling();
            QVERIFY2(rig.thread->wait(5000), qPrintable(QString::number(cycle)));
            rig.thread->start();
        }
        QVERIFY(reads > 0);
    }
};

QTEST_MAIN(TstQReadThread)
#include "tst_qreadthread.moc"
