#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QElapsedTimer>
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
    QString port() const { return QString::fromStdString(sim.portPath()); }
    bool connect(QReadThread &t) const { return t.ConnectRtu(port(), "N", 9600, 8, 1) == 1; }
    bool start(std::initializer_list<QPair<int, int>> devices, bool resume = true)
    {
        for (const auto &d : devices) {
            tiles.append(new TempWidget(&parent));
            tiles.last()->setDeviceAddr(d.first);
            tiles.last()->setRegAddr(d.second);
        }
        thread->SetPollList(tiles);
        if (!connect(*thread))
            return false;
        thread->start();
        if (resume)
            thread->ResumePolling();
        return true;
    }
    // True once the bus has seen more than `seen` requests; with a silent
    // station the master is then inside its transaction for a second.
    bool awaitRequest(uint64_t seen) const
    {
        for (int ms = 0; sim.framesReceived() <= seen && ms < 15000; ++ms)
            QThread::msleep(1);
        return sim.framesReceived() > seen;
    }

    ktsim::Simulator sim;
    QWidget parent;
    QList<TempWidget *> tiles;
    QScopedPointer<QReadThread> thread{new QReadThread};
};

// One read-out; the outputs keep 4242 and true when nothing was read.
struct Entry
{
    bool read = false;
    quint16 value = 4242;
    bool online = true;
    bool up() const { return read && online; }
};

Entry entry(Rig &rig, int index)
{
    Entry e;
    e.read = rig.thread->ReadPollEntry(index, e.value, e.online);
    return e;
}

} // namespace

class TstQReadThread : public QObject
{
    Q_OBJECT

private slots:
    void connectFailures()
    {
        Rig rig;
        const struct { QString port, parity; int baud; } bad[] = {
            {"", "N", 9600}, {"/dev/tarvo-no-such-port", "N", 9600}, {rig.port(), "N", 0},
            {rig.port(), "S", 9600}, {rig.port(), "M", 9600}, {rig.port(), "", 9600}};
        for (const auto &b : bad)
            QVERIFY2(rig.thread->ConnectRtu(b.port, b.parity, b.baud, 8, 1) == -1, qPrintable(b.port + b.parity));
        // Failures leave nothing open, and connecting again releases the
        // port the thread held before.
        QVERIFY(rig.connect(*rig.thread));
        QVERIFY(rig.connect(*rig.thread));
        QReadThread other;
        QVERIFY(!rig.connect(other)); // the port is busy
    }

    void pollsStations()
    {
        // 248 is refused by the master: it must not go out under the
        // address of station 1, whose turn came just before.
        Rig rig({{}, {ktsim::ModuleType::KT104, 2}, {ktsim::ModuleType::Humidity, 3}});
        rig.sim.setReg(1, 400, 0x1234);
        rig.sim.setReg(2, 100, 0xFFFF); // a KT104 channel without its sensor
        QVERIFY(rig.start({{1, 400}, {248, 1}, {2, 100}, {3, 1}, {9, 1}, {2, 2}}, false));
        QTest::qWait(1200); // more than two cycles of the paused thread
        QCOMPARE(rig.sim.framesReceived(), uint64_t(0));

        rig.thread->ResumePolling();
        // The sixth request starts the second round: every entry has had its turn.
        QVERIFY(rig.awaitRequest(5));
        const struct { quint16 value; bool online; } expected[] = {
            {0x1234, true}, {0, false}, {0xFFFF, true}, {3, true}, {0, false}, {3, true}};
        Entry e;
        for (int i = 0; i < 6; ++i) {
            QTRY_VERIFY((e = entry(rig, i)).read);
            QCOMPARE(e.online, expected[i].online);
            QVERIFY2(!e.online || e.value == expected[i].value, qPrintable(QString::number(i)));
        }
    }

    void lifecycle()
    {
        Rig rig;
        QVERIFY(rig.start({}));
        QTest::qWait(700); // polling an empty list idles, and still stops
        rig.thread->StopPolling();
        QVERIFY(rig.thread->wait(5000));
        QCOMPARE(rig.sim.framesReceived(), uint64_t(0));

        // Out of range leaves the outputs alone; a new list replaces the old.
        rig.thread->SetPollList({new TempWidget(&rig.parent), new TempWidget(&rig.parent)});
        for (int index : {2, -1})
            QVERIFY(!entry(rig, index).read && entry(rig, index).value == 4242 && entry(rig, index).online);
        QVERIFY(entry(rig, 1).read && !entry(rig, 1).online);
        rig.thread->SetPollList({new TempWidget(&rig.parent)}); // station 1, register 1
        QVERIFY(!entry(rig, 1).read);
        rig.thread->start();

        // A station that falls silent keeps its value and goes offline.
        Entry e;
        QTRY_VERIFY_WITH_TIMEOUT((e = entry(rig, 0)).up(), 5000);
        QCOMPARE(e.value, quint16(1));
        rig.sim.setFault(1, ktsim::Fault::Silence);
        QTRY_VERIFY_WITH_TIMEOUT((e = entry(rig, 0)).read && !e.online, 10000);
        QCOMPARE(e.value, quint16(1));

        // While it times out, the read-out gives up at once.
        QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
        QElapsedTimer clock;
        clock.start();
        e = entry(rig, 0);
        const qint64 ns = clock.nsecsElapsed();
        qInfo("read-out during a transaction returned after %.3f ms", ns / 1e6);
        QVERIFY(!e.read && e.value == 4242 && e.online);
        QVERIFY2(ns < 100 * 1000 * 1000, "the read-out waited for the serial line");

        // A stop ends the thread once the request has timed out: within the
        // response timeout, the pause and a margin.
        rig.thread->StopPolling();
        QVERIFY(rig.thread->wait(1000 + 500 + 2000));

        // Destroyed in the middle of a timing-out request, the thread stops
        // and closes the port.
        rig.thread->start();
        QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
        rig.thread.reset();
        QReadThread other;
        QVERIFY(rig.connect(other));
    }

    void startStopStress()
    {
        // Most cycles stop the thread right after starting it: a stop that
        // comes before the new thread runs must not be lost.
        Rig rig({{}, {ktsim::ModuleType::Voltage, 2}});
        QVERIFY(rig.start({{1, 1}, {2, 1}, {3, 1}}));
        int reads = 0;
        for (int cycle = 0; cycle < 150; ++cycle) {
            if (cycle % 10 == 0) // now and then let a request go out
                QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
            for (int i = 0; i < 3; ++i) {
                const Entry e = entry(rig, i);
                QVERIFY(!e.up() || e.value == i + 1);
                reads += e.up();
            }
            rig.thread->StopPolling();
            QVERIFY2(rig.thread->wait(5000), qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            rig.thread->start();
        }
        QVERIFY(reads > 0);
    }
};

QTEST_MAIN(TstQReadThread)
#include "tst_qreadthread.moc"
