// How often the live devices on a bus with switched-off ones are read: ten
// devices of which five never answer (response timeout 1 s, the default pause),
// against the five live ones alone. Also the page's display tick: how many of
// its read-outs got through. Uses only the poll thread's oldest interface, so
// that the same source measures an earlier poll thread too.
//
// bench_poll [SECONDS [WARMUP_SECONDS]]
#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace {

// The seconds between two reads of a live device, and the share of display
// ticks whose read-out got through.
std::pair<double, double> run(bool withSilent, int seconds, int warmupSeconds)
{
    ktsim::Simulator sim;
    for (int a = 1; a <= 5; ++a)
        sim.addModule({ktsim::ModuleType::KT101, a});
    sim.start();
    QWidget parent;
    QList<TempWidget *> tiles;
    // Live and silent alternate, as on a bus where every other module is off.
    for (int a = 1; a <= 5; ++a)
        for (int station : withSilent ? QList<int>{a, a + 5} : QList<int>{a}) {
            tiles.append(new TempWidget(&parent));
            tiles.last()->setDeviceAddr(station);
            tiles.last()->setRegAddr(100);
        }
    QReadThread thread;
    if (thread.ConnectRtu(QString::fromStdString(sim.portPath()), "N", 9600, 8, 1) != 1)
        return {0, 0};
    thread.SetPollList(tiles);
    thread.start();
    thread.ResumePolling();
    QEventLoop loop;
    QTimer::singleShot(warmupSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    // The display tick as the page runs it: one read-out a second.
    int ticks = 0, through = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        quint16 value;
        bool online;
        ++ticks;
        through += thread.ReadPollEntry(through % tiles.size(), value, online);
    });
    tick.start(1000);
    const uint64_t answered = sim.framesAnswered();
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const uint64_t reads = sim.framesAnswered() - answered;
    thread.StopPolling();
    thread.wait();
    return {reads ? clock.elapsed() / 1000.0 * 5 / reads : 0, ticks ? double(through) / ticks : 0};
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 60;
    const auto mixed = run(true, seconds, argc > 2 ? atoi(argv[2]) : 35);
    const auto alone = run(false, seconds, 5);
    std::printf("10 devices, 5 silent: a live device is read every %.2f s; display read-outs through: %.0f %%\n",
                mixed.first, mixed.second * 100);
    std::printf("the 5 live ones alone: every %.2f s; display read-outs through: %.0f %%\n", alone.first, alone.second * 100);
    std::printf("ratio: %.2f\n", alone.first > 0 ? mixed.first / alone.first : 0);
    return 0;
}
