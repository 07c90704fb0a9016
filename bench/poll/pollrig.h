// Five KT101 modules at stations 1 to 5 on the simulator, and the poll thread
// reading register 100 of the given stations at 9600 8N1. Only the poll
// thread's oldest interface, so that bench_poll builds against an earlier one.
#ifndef TARVO_POLLRIG_H
#define TARVO_POLLRIG_H

#include "bench.h"
#include "qreadthread.h"
#include "tempwidget.h"

#include "sim/simulator.h"

struct PollRig
{
    ktsim::Simulator sim;
    QWidget parent;
    QReadThread thread;

    bool start(const QList<int> &stations, const QString &link = {})
    {
        for (int a = 1; a <= 5; ++a)
            sim.addModule({ktsim::ModuleType::KT101, a});
        QList<TempWidget *> tiles;
        for (int station : stations) {
            tiles.append(new TempWidget(&parent));
            tiles.last()->setDeviceAddr(station);
            tiles.last()->setRegAddr(100);
        }
        if (!sim.start(link.toStdString())
            || thread.ConnectRtu(QString::fromStdString(sim.portPath()), "N", 9600, 8, 1) != 1)
            return false;
        thread.SetPollList(tiles);
        thread.start();
        thread.ResumePolling();
        return true;
    }
    ~PollRig()
    {
        thread.StopPolling();
        thread.wait();
    }
};

#endif
