#ifndef QREADTHREAD_H
#define QREADTHREAD_H

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
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
    // Health since the list was set.
    qint64 lastGoodMsecs = 0; // when the last good reading came, ms since the epoch; 0: never
    int answerMs = -1; // how long the last answer took; -1: none yet
    int failedReads = 0;
    int failuresInRow = 0;
    int dueRound = 0; // a device that keeps failing is not read before this round
    Reading reading; // the device's part of every result: area, name, type, limits
};

// Reads one holding register of one device per cycle, round-robin, with a
// pause after each answered request. The GUI thread pulls results out with
// ReadPollEntry, which never waits for the serial line.
//
// The thread outlives the bus: a port that vanishes (an adapter pulled out)
// is reopened by name once a second, and a bus on which three answering
// devices in a row fall silent counts as lost too; both are told by portLost
// and, once an answer comes again, portRestored. A device that fails three
// times in a row is read only every tenth round until it answers, so that
// switched-off modules do not slow the others.
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
    // The pause after each transaction, 0 to 5000 ms; takes effect at the next one.
    void SetPollPause(int ms);
    // Never waits for the serial line: the entry as the last transaction left
    // it. False when index is out of range, or at the rare moment the thread
    // writes a result; the outputs are then untouched.
    bool ReadPollEntry(int index, quint16 &value, bool &online);
    bool ReadPollEntry(int index, PollEntry &entry);

    // Clears the stop flag before the thread exists, so that a StopPolling
    // right after start is never lost.
    void start(Priority priority = InheritPriority);

    static constexpr int DefaultPauseMs = 500;
    static constexpr int ReopenMs = 1000;

signals:
    // reason: the port and what happened, for the event journal.
    void portLost(const QString &reason);
    void portRestored();
    // Every poll result, from the poll thread.
    void readingPolled(const Reading &reading);

protected:
    void run() override;

private:
    enum class Outcome { Idle, Polled, TimedOut, Lost };
    Outcome pollOne(int &position);
    // Every entry offline and, once per loss, portLost.
    void lose(const QString &reason);
    void restore();

    QMutex mutex; // held only while a result is written
    modbus_t *context = nullptr;
    QString portName;
    QList<PollEntry> pollList;
    int round = 0; // full passes over the list
    QSet<int> silentRun; // answering devices that failed in a row since the last answer
    bool portGone = false; // the port vanished and is not open again yet
    bool lostTold = false; // portLost emitted, portRestored not yet
    std::atomic<bool> paused{true};
    std::atomic<bool> stop{false};
    std::atomic<int> pauseMs{DefaultPauseMs};
    QSemaphore wake; // released by StopPolling to cut a pause short
};

#endif
