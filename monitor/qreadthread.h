#ifndef QREADTHREAD_H
#define QREADTHREAD_H

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>

#include "modbus/modbus.h"
#include "readingstate.h"

class TempWidget;

// One device as the poll thread sees it.
struct PollEntry
{
    // The device's address as stored, not cut to 8 bits: the master refuses
    // one it cannot send, and the entry then stays offline.
    int slaveAddr = 0;
    quint16 regAddr = 0;
    quint16 value = 0; // last good reading; meaningless until online was once true
    bool online = false;
    Reading reading; // the device's part of every result: area, name, type, limits
};

// Reads one holding register of one device per cycle, round-robin, with a
// pause between requests. The GUI thread pulls results out with
// ReadPollEntry, which never waits for the serial line.
//
// Use: ConnectRtu, SetPollList, start, ResumePolling ... StopPolling, wait,
// CloseRtu. The destructor stops a running thread and closes the port.
class QReadThread : public QThread
{
    Q_OBJECT

public:
    QReadThread();
    ~QReadThread() override;

    // 1 when the port is open, -1 when it is not. An earlier connection is
    // closed first.
    int ConnectRtu(const QString &port, const QString &parity, int baud, int dataBits, int stopBits);
    // Stops the thread first if it still runs; always 1.
    int CloseRtu();
    // Only while the thread is not running. Entry i belongs to tiles[i].
    void SetPollList(const QList<TempWidget *> &tiles);
    void ResumePolling();
    void PausePolling();
    void StopPolling();
    // False without waiting while a request is in progress, or when index is
    // out of range; the outputs are then untouched.
    bool ReadPollEntry(int index, quint16 &value, bool &online);

    // Clears the stop flag before the thread exists, so that a StopPolling
    // right after start is never lost.
    void start(Priority priority = InheritPriority);

signals:
    // Every poll result, from the poll thread.
    void readingPolled(const Reading &reading);

protected:
    void run() override;

private:
    void pollOne(int &position);

    static constexpr int PauseMs = 500;

    QMutex mutex;
    modbus_t *context = nullptr;
    QList<PollEntry> pollList;
    std::atomic<bool> paused{true};
    std::atomic<bool> stop{false};
    QSemaphore wake; // released by StopPolling to cut the pause short
};

#endif
