// An adapter pulled out and put back while the poll thread reads five
// devices through a link: from the port's return to the first answered
// request, and the process's CPU time while the port is away.
#include "pollrig.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rounds = 7;
    QTemporaryDir dir;
    PollRig rig;
    bool lost = false;
    QObject::connect(&rig.thread, &QReadThread::portLost, &app, [&lost] { lost = true; });
    if (!rig.start({1, 2, 3, 4, 5}, dir.filePath("ttyUSB0")))
        return 1;
    std::vector<double> resumeMs, lostMs, cpuShare;
    QElapsedTimer clock;
    for (int round = 0; round < rounds; ++round) {
        waitMs(1200);
        clock.start();
        lost = false;
        rig.sim.unplug();
        while (!lost && clock.elapsed() < 5000)
            waitMs(1);
        if (!lost)
            return 1;
        lostMs.push_back(clock.elapsed());
        // Away for three seconds: what the retries cost.
        const double cpu = cpuSeconds();
        clock.restart();
        waitMs(3000);
        cpuShare.push_back((cpuSeconds() - cpu) / (clock.elapsed() / 1000.0));
        const uint64_t answered = rig.sim.framesAnswered();
        rig.sim.plug();
        clock.restart();
        while (rig.sim.framesAnswered() == answered)
            waitMs(1);
        resumeMs.push_back(msSince(clock));
    }
    std::printf("%d rounds: pulled out -> all offline (portLost): median %.0f ms\n", rounds, median(lostMs));
    std::printf("port back -> polling resumed (first answer): median %.0f ms, max %.0f ms\n", median(resumeMs),
                *std::max_element(resumeMs.begin(), resumeMs.end()));
    std::printf("CPU while the port is away: median %.2f %% of a core\n", median(cpuShare) * 100);
}
