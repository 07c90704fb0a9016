// An adapter pulled out and put back while the poll thread reads five
// devices through a link: from the port's return to the first answered
// request, and the process's CPU time while the port is away.
//
// bench_reconnect [ROUNDS]
#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? atoi(argv[1]) : 7;
    QTemporaryDir dir;
    ktsim::Simulator sim;
    QWidget parent;
    QList<TempWidget *> tiles;
    for (int a = 1; a <= 5; ++a) {
        sim.addModule({ktsim::ModuleType::KT101, a});
        tiles.append(new TempWidget(&parent));
        tiles.last()->setDeviceAddr(a);
        tiles.last()->setRegAddr(100);
    }
    sim.start(dir.filePath("ttyUSB0").toStdString());
    QReadThread thread;
    if (thread.ConnectRtu(dir.filePath("ttyUSB0"), "N", 9600, 8, 1) != 1)
        return 1;
    QSignalSpy lost(&thread, &QReadThread::portLost);
    thread.SetPollList(tiles);
    thread.start();
    thread.ResumePolling();
    std::vector<double> resumeMs, lostMs, cpuShare;
    QElapsedTimer clock;
    for (int round = 0; round < rounds; ++round) {
        QTest::qWait(1200);
        clock.start();
        sim.unplug();
        if (!lost.wait(5000))
            return 1;
        lostMs.push_back(clock.elapsed());
        // Away for three seconds: what the retries cost.
        const double cpu = cpuSeconds();
        clock.restart();
        QTest::qWait(3000);
        cpuShare.push_back((cpuSeconds() - cpu) / (clock.elapsed() / 1000.0));
        const uint64_t answered = sim.framesAnswered();
        sim.plug();
        clock.restart();
        while (sim.framesAnswered() == answered)
            QTest::qWait(1);
        resumeMs.push_back(clock.nsecsElapsed() / 1e6);
    }
    thread.StopPolling();
    thread.wait();
    std::printf("%d rounds: pulled out -> all offline (portLost): median %.0f ms\n", rounds, median(lostMs));
    std::printf("port back -> polling resumed (first answer): median %.0f ms, max %.0f ms\n", median(resumeMs),
                *std::max_element(resumeMs.begin(), resumeMs.end()));
    std::printf("CPU while the port is away: median %.2f %% of a core\n", median(cpuShare) * 100);
    return 0;
}
