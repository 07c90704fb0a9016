#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QElapsedTimer>
#include <QtTest>

#include <climits>
#include <memory>
#include <vector>

using ktsim::Fault;
using ktsim::ModuleSpec;
using ktsim::ModuleType;
using ktsim::Simulator;

class TstQReadThread : public QObject
{
    Q_OBJECT

private slots:
    void connectFailures_data();
    void connectFailures();
    void busyPort();
    void readsSeveralStations();
    void silentStationKeepsItsValue();
    void nothingSentBeforeResume();
    void refusedAddressStaysOffline();
    void readOutOutOfRange();
    void readOutNeverWaits();
    void stopWhileTimingOut();
    void stopRightAfterStart();
    void destroyedWhileRunning();
    void startStopStress();
};

namespace {

// Tiles standing for devices: (station, register) pairs in page order.
class Tiles
{
public:
    Tiles(std::initializer_list<QPair<int, int>> devices)
    {
        for (const auto &d : devices) {
            auto *tile = new TempWidget(&parent);
            tile->setDeviceAddr(d.first);
            tile->setRegAddr(d.second);
            list.append(tile);
        }
    }
    QWidget parent;
    QList<TempWidget *> list;
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

// A simulator serving the given stations (all 9600 8N1).
std::unique_ptr<Simulator> bus(std::initializer_list<ModuleSpec> modules)
{
    auto sim = std::make_unique<Simulator>();
    for (const ModuleSpec &m : modules)
        sim->addModule(m);
    if (!sim->start())
        return nullptr;
    return sim;
}

ModuleSpec station(int address, ModuleType type = ModuleType::KT101)
{
    ModuleSpec spec;
    spec.type = type;
    spec.address = address;
    return spec;
}

bool connectTo(QReadThread &thread, const Simulator &sim)
{
    return thread.ConnectRtu(QString::fromStdString(sim.portPath()), QStringLiteral("N"), 9600, 8, 1) == 1;
}

// Waits until the simulator has seen more frames than `seen`: the master is
// then inside a transaction until its response timeout when the station is
// silent.
bool awaitRequest(const Simulator &sim, uint64_t seen, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (sim.framesReceived() <= seen) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::usleep(200);
    }
    return true;
}

} // namespace

void TstQReadThread::connectFailures_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("baud");
    QTest::newRow("empty port") << "" << "N" << 9600;
    QTest::newRow("missing port") << "/dev/tarvo-no-such-port" << "N" << 9600;
    QTest::newRow("baud 0") << "SIM" << "N" << 0;
    QTest::newRow("parity S") << "SIM" << "S" << 9600;
    QTest::newRow("parity M") << "SIM" << "M" << 9600;
    QTest::newRow("no parity text") << "SIM" << "" << 9600;
}

void TstQReadThread::connectFailures()
{
    QFETCH(QString, port);
    QFETCH(QString, parity);
    QFETCH(int, baud);

    auto sim = bus({station(1)});
    QVERIFY(sim);
    if (port == QLatin1String("SIM"))
        port = QString::fromStdString(sim->portPath());

    QReadThread thread;
    QCOMPARE(thread.ConnectRtu(port, parity, baud, 8, 1), -1);
    // A failed connect leaves the thread usable: the right settings connect.
    QVERIFY(connectTo(thread, *sim));
    QCOMPARE(thread.CloseRtu(), 1);
}

void TstQReadThread::busyPort()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    QReadThread first, second;
    QVERIFY(connectTo(first, *sim));
    QVERIFY(!connectTo(second, *sim));
    first.CloseRtu();
    QVERIFY(connectTo(second, *sim));
}

void TstQReadThread::readsSeveralStations()
{
    auto sim = bus({station(1), station(2, ModuleType::KT104), station(3, ModuleType::Humidity)});
    QVERIFY(sim);
    sim->setReg(1, 400, 0x1234);
    sim->setReg(2, 100, 0xFFFF); // a KT104 channel without its sensor
    Tiles tiles({{1, 400}, {2, 100}, {3, 1}, {9, 1}, {2, 2}});

    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    for (int i = 0; i < tiles.list.size(); ++i)
        QCOMPARE(entry(thread, i).online, false);
    thread.start();
    thread.ResumePolling();

    // The sixth request starts the second round: every entry has had its turn.
    QVERIFY(awaitRequest(*sim, 5, 15000));

    const struct { int index; quint16 value; bool online; } expected[] = {
        {0, 0x1234, true},
        {1, 0xFFFF, true}, // the missing sensor is a reading, not a failure
        {2, 3, true},      // station address register
        {3, 0, false},     // nobody answers at 9
        {4, 3, true},      // baud-rate code of 9600
    };
    for (const auto &x : expected) {
        Entry e;
        QTRY_VERIFY((e = entry(thread, x.index)).read);
        QCOMPARE(e.online, x.online);
        if (x.online)
            QCOMPARE(e.value, x.value);
    }
    thread.StopPolling();
    QVERIFY(thread.wait(5000));
}

void TstQReadThread::silentStationKeepsItsValue()
{
    auto sim = bus({station(7)});
    QVERIFY(sim);
    Tiles tiles({{7, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    thread.start();
    thread.ResumePolling();

    QTRY_VERIFY_WITH_TIMEOUT(entry(thread, 0).online, 5000);
    QCOMPARE(entry(thread, 0).value, quint16(7));
    // A single entry is read on every cycle.
    const uint64_t seen = sim->framesReceived();
    QVERIFY(awaitRequest(*sim, seen + 1));

    sim->setFault(7, Fault::Silence);
    QTRY_VERIFY_WITH_TIMEOUT(!entry(thread, 0).online && entry(thread, 0).read, 10000);
    QCOMPARE(entry(thread, 0).value, quint16(7));

    sim->setFault(7, Fault::None);
    QTRY_VERIFY_WITH_TIMEOUT(entry(thread, 0).online, 10000);
}

void TstQReadThread::nothingSentBeforeResume()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    Tiles tiles({{1, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    thread.start();

    QTest::qWait(1200); // more than two cycles of the paused thread
    QCOMPARE(sim->framesReceived(), uint64_t(0));
    QCOMPARE(entry(thread, 0).online, false);

    thread.ResumePolling();
    QTRY_VERIFY_WITH_TIMEOUT(entry(thread, 0).online, 5000);

    // Paused again, it falls quiet after the request in progress.
    thread.PausePolling();
    QTest::qWait(700);
    const uint64_t seen = sim->framesReceived();
    QTest::qWait(1200);
    QCOMPARE(sim->framesReceived(), seen);
}

void TstQReadThread::refusedAddressStaysOffline()
{
    // 248 follows station 1; it must not be asked of station 1 instead.
    auto sim = bus({station(1)});
    QVERIFY(sim);
    Tiles tiles({{1, 1}, {248, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    thread.start();
    thread.ResumePolling();

    QVERIFY(awaitRequest(*sim, 1, 10000)); // station 1 twice: entry 1 had its turn
    Entry e;
    QTRY_VERIFY((e = entry(thread, 1)).read);
    QCOMPARE(e.online, false);
    QTRY_VERIFY((e = entry(thread, 0)).read);
    QCOMPARE(e.online, true);
}

void TstQReadThread::readOutOutOfRange()
{
    QReadThread idle;
    quint16 value = 4242;
    bool online = true;
    QVERIFY(!idle.ReadPollEntry(0, value, online)); // no list at all

    Tiles tiles({{1, 1}, {2, 1}});
    idle.SetPollList(tiles.list);
    QVERIFY(idle.ReadPollEntry(1, value, online));
    QCOMPARE(online, false);
    value = 4242;
    online = true;
    for (int index : {2, 3, -1, INT_MIN}) {
        QVERIFY(!idle.ReadPollEntry(index, value, online));
        QCOMPARE(value, quint16(4242));
        QCOMPARE(online, true);
    }
    // A new list replaces the old one.
    Tiles one({{5, 1}});
    idle.SetPollList(one.list);
    QVERIFY(!idle.ReadPollEntry(1, value, online));
}

void TstQReadThread::readOutNeverWaits()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    sim->setFault(1, Fault::Silence);
    Tiles tiles({{1, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    thread.start();
    thread.ResumePolling();

    QVERIFY(awaitRequest(*sim, 0));
    quint16 value = 4242;
    bool online = true;
    QElapsedTimer clock;
    clock.start();
    const bool read = thread.ReadPollEntry(0, value, online);
    const qint64 ns = clock.nsecsElapsed();
    qInfo("read-out during a transaction returned after %.3f ms", ns / 1e6);
    QVERIFY(!read);
    QCOMPARE(value, quint16(4242));
    QCOMPARE(online, true);
    // A blocking read-out would wait out the 1 s response timeout.
    QVERIFY2(ns < 100 * 1000 * 1000, "the read-out waited for the serial line");
}

void TstQReadThread::stopWhileTimingOut()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    sim->setFault(1, Fault::Silence);
    Tiles tiles({{1, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);
    thread.start();
    thread.ResumePolling();

    QVERIFY(awaitRequest(*sim, 0));
    QElapsedTimer clock;
    clock.start();
    thread.StopPolling();
    QVERIFY(thread.wait(10000));
    const qint64 ms = clock.elapsed();
    qInfo("stop during a timing-out request took %lld ms", ms);
    // Response timeout 1 s plus the 500 ms pause, with room for a loaded machine.
    QVERIFY2(ms < 3500, qPrintable(QString::number(ms)));
    QCOMPARE(sim->framesReceived(), uint64_t(1));
    QCOMPARE(entry(thread, 0).online, false);
}

void TstQReadThread::stopRightAfterStart()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    Tiles tiles({{1, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));
    thread.SetPollList(tiles.list);

    // A stop raised before the new thread gets going must still end it.
    for (int i = 0; i < 20; ++i) {
        thread.start();
        thread.ResumePolling();
        thread.StopPolling();
        QVERIFY2(thread.wait(5000), qPrintable(QStringLiteral("cycle %1").arg(i)));
    }
    // And a stopped thread starts again and polls.
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(entry(thread, 0).online, 5000);

    // An empty list idles and stays stoppable.
    thread.StopPolling();
    QVERIFY(thread.wait(5000));
    const uint64_t seen = sim->framesReceived();
    thread.SetPollList({});
    thread.start();
    QTest::qWait(700);
    thread.StopPolling();
    QVERIFY(thread.wait(5000));
    QCOMPARE(sim->framesReceived(), seen);
}

void TstQReadThread::destroyedWhileRunning()
{
    auto sim = bus({station(1)});
    QVERIFY(sim);
    sim->setFault(1, Fault::Silence);
    Tiles tiles({{1, 1}});
    {
        QReadThread thread;
        QVERIFY(connectTo(thread, *sim));
        thread.SetPollList(tiles.list);
        thread.start();
        thread.ResumePolling();
        QVERIFY(awaitRequest(*sim, 0));
    } // in the middle of a timing-out request
    // The port was closed on the way out.
    QReadThread next;
    QVERIFY(connectTo(next, *sim));
}

void TstQReadThread::startStopStress()
{
    auto sim = bus({station(1), station(2, ModuleType::Voltage)});
    QVERIFY(sim);
    Tiles tiles({{1, 1}, {2, 1}, {3, 1}});
    QReadThread thread;
    QVERIFY(connectTo(thread, *sim));

    int reads = 0;
    for (int cycle = 0; cycle < 150; ++cycle) {
        thread.SetPollList(tiles.list);
        thread.start();
        thread.ResumePolling();
        if (cycle % 10 == 0) // now and then let a request go out
            QVERIFY(awaitRequest(*sim, sim->framesReceived()));
        for (int i = 0; i < 4; ++i) {
            Entry e = entry(thread, i % 3);
            if (e.read && e.online) {
                QCOMPARE(e.value, quint16(i % 3 + 1));
                ++reads;
            }
        }
        thread.StopPolling();
        QVERIFY(thread.wait(5000));
        if (cycle % 2)
            QVERIFY(!entry(thread, 3).read);
    }
    QVERIFY(reads > 0);
    QCOMPARE(thread.CloseRtu(), 1);
}

QTEST_MAIN(TstQReadThread)
#include "tst_qreadthread.moc"
