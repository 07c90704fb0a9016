#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QElapsedTimer>
#include <QtTest>

#include <climits>

using ktsim::Fault;
using ktsim::ModuleSpec;
using ktsim::ModuleType;

class TstQReadThread : public QObject
{
    Q_OBJECT

private slots:
    void connectFailures_data();
    void connectFailures();
    void readsSeveralStations();
    void silentStationKeepsItsValue();
    void nothingSentBeforeResume();
    void refusedAddressStaysOffline();
    void readOutOutOfRange();
    void timingOutStation();
    void emptyListIdles();
    void destroyedWhileRunning();
    void startStopStress();
};

namespace {

ModuleSpec station(int address, ModuleType type = ModuleType::KT101)
{
    ModuleSpec spec;
    spec.type = type;
    spec.address = address;
    return spec;
}

// A simulated bus (9600 8N1) and a poll thread connected to it, polling
// devices given as (station, register) pairs through tiles in page order.
// The thread goes first on the way out, while the bus still serves.
struct Rig
{
    explicit Rig(std::initializer_list<ModuleSpec> modules)
    {
        for (const ModuleSpec &m : modules)
            sim.addModule(m);
        started = sim.start();
    }
    QString port() const { return QString::fromStdString(sim.portPath()); }
    bool connect(QReadThread &t) const { return t.ConnectRtu(port(), QStringLiteral("N"), 9600, 8, 1) == 1; }
    void setDevices(std::initializer_list<QPair<int, int>> devices)
    {
        for (const auto &d : devices) {
            auto *tile = new TempWidget(&parent);
            tile->setDeviceAddr(d.first);
            tile->setRegAddr(d.second);
            tiles.append(tile);
        }
        thread.SetPollList(tiles);
    }
    bool run(std::initializer_list<QPair<int, int>> devices)
    {
        if (!started || !connect(thread))
            return false;
        setDevices(devices);
        thread.start();
        thread.ResumePolling();
        return true;
    }
    // Waits until the bus has seen more than `seen` requests; with a silent
    // station the master is then inside its transaction for a second.
    bool awaitRequest(uint64_t seen, int timeoutMs = 5000) const
    {
        QElapsedTimer clock;
        clock.start();
        while (sim.framesReceived() <= seen)
            if (clock.elapsed() > timeoutMs)
                return false;
            else
                QThread::usleep(200);
        return true;
    }

    ktsim::Simulator sim;
    bool started = false;
    QWidget parent;
    QList<TempWidget *> tiles;
    QReadThread thread;
};

struct Entry
{
    bool read = false;
    quint16 value = 0;
    bool online = false;
};

Entry entry(QReadThread &thread, int index)
{
    Entry e;
    e.read = thread.ReadPollEntry(index, e.value, e.online);
    return e;
}

} // namespace

void TstQReadThread::connectFailures_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("busy");
    QTest::newRow("empty port") << "" << "N" << 9600 << false;
    QTest::newRow("missing port") << "/dev/tarvo-no-such-port" << "N" << 9600 << false;
    QTest::newRow("baud 0") << "SIM" << "N" << 0 << false;
    QTest::newRow("parity S") << "SIM" << "S" << 9600 << false;
    QTest::newRow("parity M") << "SIM" << "M" << 9600 << false;
    QTest::newRow("no parity text") << "SIM" << "" << 9600 << false;
    QTest::newRow("port held by another") << "SIM" << "N" << 9600 << true;
}

void TstQReadThread::connectFailures()
{
    QFETCH(QString, port);
    QFETCH(QString, parity);
    QFETCH(int, baud);
    QFETCH(bool, busy);

    Rig rig({station(1)});
    QVERIFY(rig.started);
    if (port == QLatin1String("SIM"))
        port = rig.port();
    QReadThread holder;
    if (busy)
        QVERIFY(rig.connect(holder));

    QReadThread thread;
    QCOMPARE(thread.ConnectRtu(port, parity, baud, 8, 1), -1);
    // A failed connect can be retried at once, and connecting again
    // releases the port the thread held before.
    QCOMPARE(holder.CloseRtu(), 1);
    QVERIFY(rig.connect(thread));
    QVERIFY(rig.connect(thread));
}

void TstQReadThread::readsSeveralStations()
{
    Rig rig({station(1), station(2, ModuleType::KT104), station(3, ModuleType::Humidity)});
    rig.sim.setReg(1, 400, 0x1234);
    rig.sim.setReg(2, 100, 0xFFFF); // a KT104 channel without its sensor
    QVERIFY(rig.run({{1, 400}, {2, 100}, {3, 1}, {9, 1}, {2, 2}}));

    // The sixth request starts the second round: every entry has had its turn.
    QVERIFY(rig.awaitRequest(5, 15000));
    const struct { quint16 value; bool online; } expected[] = {
        {0x1234, true},
        {0xFFFF, true}, // a missing sensor is a reading, not a failure
        {3, true},      // station address register
        {0, false},     // nobody answers at 9
        {3, true},      // baud-rate code of 9600
    };
    for (int i = 0; i < 5; ++i) {
        Entry e;
        QTRY_VERIFY((e = entry(rig.thread, i)).read);
        QCOMPARE(e.online, expected[i].online);
        if (e.online)
            QCOMPARE(e.value, expected[i].value);
    }
}

void TstQReadThread::silentStationKeepsItsValue()
{
    Rig rig({station(7)});
    QVERIFY(rig.run({{7, 1}}));
    QTRY_VERIFY_WITH_TIMEOUT(entry(rig.thread, 0).online, 5000);
    QCOMPARE(entry(rig.thread, 0).value, quint16(7));
    // A single entry is read on every cycle.
    QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));

    rig.sim.setFault(7, Fault::Silence);
    QTRY_VERIFY_WITH_TIMEOUT(!entry(rig.thread, 0).online && entry(rig.thread, 0).read, 10000);
    QCOMPARE(entry(rig.thread, 0).value, quint16(7));

    rig.sim.setFault(7, Fault::None);
    QTRY_VERIFY_WITH_TIMEOUT(entry(rig.thread, 0).online, 10000);
}

void TstQReadThread::nothingSentBeforeResume()
{
    Rig rig({station(1)});
    QVERIFY(rig.started && rig.connect(rig.thread));
    rig.setDevices({{1, 1}});
    rig.thread.start();

    QTest::qWait(1200); // more than two cycles of the paused thread
    QCOMPARE(rig.sim.framesReceived(), uint64_t(0));
    QCOMPARE(entry(rig.thread, 0).online, false);

    rig.thread.ResumePolling();
    QTRY_VERIFY_WITH_TIMEOUT(entry(rig.thread, 0).online, 5000);
}

void TstQReadThread::refusedAddressStaysOffline()
{
    // 248 follows station 1: it must not be asked of station 1 instead.
    Rig rig({station(1)});
    QVERIFY(rig.run({{1, 1}, {248, 1}}));
    QVERIFY(rig.awaitRequest(1, 10000)); // station 1 again: entry 1 had its turn
    Entry e;
    QTRY_VERIFY((e = entry(rig.thread, 1)).read);
    QCOMPARE(e.online, false);
    QTRY_VERIFY((e = entry(rig.thread, 0)).read);
    QCOMPARE(e.online, true);
}

void TstQReadThread::readOutOutOfRange()
{
    QReadThread idle;
    quint16 value = 4242;
    bool online = true;
    QVERIFY(!idle.ReadPollEntry(0, value, online)); // no list yet

    QWidget parent;
    QList<TempWidget *> tiles{new TempWidget(&parent), new TempWidget(&parent)};
    idle.SetPollList(tiles);
    for (int index : {2, -1, INT_MIN})
        QVERIFY(!idle.ReadPollEntry(index, value, online));
    QCOMPARE(value, quint16(4242));
    QCOMPARE(online, true);
    QVERIFY(idle.ReadPollEntry(1, value, online));
    QCOMPARE(online, false);

    idle.SetPollList(tiles.mid(0, 1)); // a new list replaces the old one
    QVERIFY(!idle.ReadPollEntry(1, value, online));
}

void TstQReadThread::timingOutStation()
{
    Rig rig({station(1)});
    rig.sim.setFault(1, Fault::Silence);
    QVERIFY(rig.run({{1, 1}}));
    QVERIFY(rig.awaitRequest(0));

    // The read-out gives up at once instead of waiting out the transaction.
    quint16 value = 4242;
    bool online = true;
    QElapsedTimer clock;
    clock.start();
    const bool read = rig.thread.ReadPollEntry(0, value, online);
    const qint64 ns = clock.nsecsElapsed();
    qInfo("read-out during a transaction returned after %.3f ms", ns / 1e6);
    QVERIFY(!read);
    QCOMPARE(value, quint16(4242));
    QCOMPARE(online, true);
    QVERIFY2(ns < 100 * 1000 * 1000, "the read-out waited for the serial line");

    // A stop ends the thread once the request has timed out.
    clock.restart();
    rig.thread.StopPolling();
    QVERIFY(rig.thread.wait(10000));
    const qint64 ms = clock.elapsed();
    qInfo("stop during a timing-out request took %lld ms", ms);
    QVERIFY2(ms < 1000 + 500 + 2000, qPrintable(QString::number(ms)));
    QCOMPARE(rig.sim.framesReceived(), uint64_t(1));
    QCOMPARE(entry(rig.thread, 0).online, false);
}

void TstQReadThread::emptyListIdles()
{
    Rig rig({station(1)});
    QVERIFY(rig.run({}));
    QTest::qWait(700);
    rig.thread.StopPolling();
    QVERIFY(rig.thread.wait(5000));
    QCOMPARE(rig.sim.framesReceived(), uint64_t(0));
}

void TstQReadThread::destroyedWhileRunning()
{
    Rig rig({station(1)});
    rig.sim.setFault(1, Fault::Silence);
    {
        QReadThread thread;
        QVERIFY(rig.connect(thread));
        thread.SetPollList(QList<TempWidget *>{new TempWidget(&rig.parent)});
        thread.start();
        thread.ResumePolling();
        QVERIFY(rig.awaitRequest(0));
    } // in the middle of a timing-out request
    // The port was closed on the way out.
    QVERIFY(rig.connect(rig.thread));
}

void TstQReadThread::startStopStress()
{
    // Most cycles stop the thread right after starting it: a stop that comes
    // before the new thread runs must not be lost.
    Rig rig({station(1), station(2, ModuleType::Voltage)});
    QVERIFY(rig.run({{1, 1}, {2, 1}, {3, 1}}));
    int reads = 0;
    for (int cycle = 0; cycle < 150; ++cycle) {
        if (cycle % 10 == 0) // now and then let a request go out
            QVERIFY(rig.awaitRequest(rig.sim.framesReceived()));
        for (int i = 0; i < 4; ++i) {
            const Entry e = entry(rig.thread, i % 3);
            if (e.read && e.online) {
                QCOMPARE(e.value, quint16(i % 3 + 1));
                ++reads;
            }
        }
        rig.thread.StopPolling();
        QVERIFY2(rig.thread.wait(5000), qPrintable(QStringLiteral("cycle %1").arg(cycle)));
        rig.thread.SetPollList(rig.tiles);
        rig.thread.start();
        rig.thread.ResumePolling();
    }
    QVERIFY(reads > 0);
}

QTEST_MAIN(TstQReadThread)
#include "tst_qreadthread.moc"
