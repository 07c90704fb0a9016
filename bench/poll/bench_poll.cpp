// How often the live devices on a bus with switched-off ones are read: ten
// devices of which five never answer (response timeout 1 s, the default pause),
// against the five live ones alone. Also the page's display tick: how many of
// its read-outs got through.
//   bench_poll [SECONDS]
#include "pollrig.h"

namespace {

// The seconds between two reads of a live device, and the share of display
// ticks whose read-out got through.
std::pair<double, double> run(bool withSilent, int seconds, int warmupSeconds)
{
    PollRig rig;
    QList<int> stations; // live and silent alternate, as on a bus where every other module is off
    for (int a = 1; a <= 5; ++a)
        stations << a << (withSilent ? QList<int>{a + 5} : QList<int>{});
    if (!rig.start(stations))
        return {0, 0};
    waitMs(warmupSeconds * 1000);
    // The display tick as the page runs it: one read-out a second.
    int ticks = 0, through = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        quint16 value;
        bool online;
        ++ticks;
        through += rig.thread.ReadPollEntry(through % stations.size(), value, online);
    });
    tick.start(1000);
    const uint64_t answered = rig.sim.framesAnswered();
    QElapsedTimer clock;
    clock.start();
    waitMs(seconds * 1000);
    const uint64_t reads = rig.sim.framesAnswered() - answered;
    return {reads ? clock.elapsed() / 1000.0 * 5 / reads : 0, ticks ? double(through) / ticks : 0};
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 60;
    const auto mixed = run(true, seconds, 35);
    const auto alone = run(false, seconds, 5);
    std::printf("10 devices, 5 silent: a live device is read every %.2f s; display read-outs through: %.0f %%\n",
                mixed.first, mixed.second * 100);
    std::printf("the 5 live ones alone: every %.2f s; display read-outs through: %.0f %%\n", alone.first, alone.second * 100);
    std::printf("ratio: %.2f\n", alone.first > 0 ? mixed.first / alone.first : 0);
}
