#include "qreadthread.h"

#include "tempwidget.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <cerrno>

namespace {

// Failures in a row after which a device is read only every BackOffRounds rounds.
const int BackOffAfter = 3;
const int BackOffRounds = 10;
// Answering devices that fail in a row before the whole bus counts as lost.
const int SilentBusAfter = 3;

} // namespace

QReadThread::QReadThread()
{
    qRegisterMetaType<Reading>();
}

QReadThread::~QReadThread()
{
    CloseRtu();
}

int QReadThread::ConnectRtu(const QString &port, const QString &parity, int baud, int dataBits, int stopBits)
{
    CloseRtu(); // a second connect must not leave the first port open

    const QByteArray device = port.toUtf8();
    const QByteArray parityBytes = parity.toUtf8();
    const char parityChar = parityBytes.isEmpty() ? '\0' : parityBytes.at(0);

    context = modbus_new_rtu(device.constData(), baud, parityChar, dataBits, stopBits);
    if (!context)
        return -1;
    if (modbus_set_response_timeout(context, 1, 0) == -1 || modbus_connect(context) == -1) {
        modbus_free(context);
        context = nullptr;
        return -1;
    }
    portName = port;
    portGone = false;
    lostTold = false;
    return 1;
}

int QReadThread::CloseRtu()
{
    if (isRunning()) {
        StopPolling();
        wait();
    }
    if (context) {
        if (!portGone)
            modbus_close(context);
        modbus_free(context);
        context = nullptr;
    }
    return 1;
}

void QReadThread::SetPollList(const QList<TempWidget *> &tiles)
{
    pollList.clear();
    pollList.reserve(tiles.size());
    for (const TempWidget *tile : tiles) {
        PollEntry entry;
        entry.slaveAddr = tile->fullDeviceAddr();
        entry.regAddr = tile->regAddr();
        entry.reading.area = tile->area();
        entry.reading.name = tile->name();
        entry.reading.deviceType = tile->deviceType();
        entry.reading.limits = {tile->minTemp(), tile->minUnnormalTemp(), tile->maxUnnormalTemp(), tile->maxTemp()};
        pollList.append(entry);
    }
    round = 0;
    silentRun.clear();
}

void QReadThread::ResumePolling()
{
    paused = false;
}

void QReadThread::PausePolling()
{
    paused = true;
}

void QReadThread::StopPolling()
{
    stop = true;
    wake.release();
}

void QReadThread::SetPollPause(int ms)
{
    pauseMs = qBound(0, ms, 5000);
}

bool QReadThread::ReadPollEntry(int index, quint16 &value, bool &online)
{
    PollEntry entry;
    if (!ReadPollEntry(index, entry))
        return false;
    value = entry.value;
    online = entry.online;
    return true;
}

bool QReadThread::ReadPollEntry(int index, PollEntry &entry)
{
    if (!mutex.tryLock(0))
        return false;
    const bool inRange = index >= 0 && index < pollList.size();
    if (inRange)
        entry = pollList.at(index);
    mutex.unlock();
    return inRange;
}

void QReadThread::start(Priority priority)
{
    if (isRunning())
        return;
    stop = false;
    wake.tryAcquire(wake.available());
    QThread::start(priority);
}

void QReadThread::run()
{
    int position = 0;
    while (!stop) {
        int waitMs = pauseMs;
        if (paused || pollList.isEmpty()) {
            waitMs = DefaultPauseMs;
        } else if (portGone) {
            // One open() a second while the adapter is away.
            if (modbus_connect(context) == 0) {
                portGone = false;
                restore();
                waitMs = 0;
            } else {
                waitMs = ReopenMs;
            }
        } else {
            switch (pollOne(position)) {
            case Outcome::Idle:
            case Outcome::TimedOut: waitMs = 0; break; // the bus has just been quiet for a second
            case Outcome::Lost: waitMs = ReopenMs; break;
            case Outcome::Polled: break;
            }
        }
        // The pause holds no lock; a stop ends it early.
        if (waitMs > 0)
            wake.tryAcquire(1, waitMs);
    }
}

QReadThread::Outcome QReadThread::pollOne(int &position)
{
    // Only this thread changes the list while it runs, so it reads it without
    // the lock and takes the lock just to write: the transaction itself runs
    // unlocked, and the read-out gets through even at a pause of 0.
    if (position >= pollList.size())
        position = 0;

    PollEntry &entry = pollList[position];
    const auto advance = [&] {
        if (++position == pollList.size()) {
            position = 0;
            ++round;
        }
    };
    if (entry.failuresInRow >= BackOffAfter && round < entry.dueRound) {
        advance();
        return Outcome::Idle;
    }

    quint16 word = 0;
    QElapsedTimer clock;
    clock.start();
    // An address the master refuses (above 247) must not go out under the
    // previous device's address, nor as its low 8 bits: such an entry simply
    // stays offline.
    const bool addressed = modbus_set_slave(context, entry.slaveAddr) == 0;
    errno = 0;
    const bool ok = addressed && modbus_read_registers(context, entry.regAddr, 1, &word) == 1;
    const int error = errno;
    QMutexLocker locker(&mutex);
    const auto tell = [&] {
        Reading reading = entry.reading;
        reading.msecs = QDateTime::currentMSecsSinceEpoch();
        reading.ok = entry.online;
        reading.raw = entry.value;
        judge(reading);
        emit readingPolled(reading);
    };
    if (!ok && addressed && error == ECONNRESET) {
        // The port is gone; this device is read again first once it is back.
        entry.online = false;
        tell();
        modbus_close(context);
        portGone = true;
        lose(tr("%1: 设备已移除").arg(portName));
        return Outcome::Lost;
    }
    const bool wasOnline = entry.online;
    if (ok) {
        entry.value = word;
        entry.online = true;
        entry.lastGoodMsecs = QDateTime::currentMSecsSinceEpoch();
        entry.answerMs = int(clock.elapsed());
        entry.failuresInRow = 0;
        silentRun.clear();
        restore();
    } else {
        entry.online = false;
        ++entry.failedReads;
        // While the whole bus is silent the devices are not to blame.
        if (!lostTold && ++entry.failuresInRow >= BackOffAfter)
            entry.dueRound = round + BackOffRounds;
        if (wasOnline)
            silentRun.insert(position);
        if (silentRun.size() >= SilentBusAfter)
            lose(tr("%1: 总线无应答").arg(portName));
    }
    tell();
    advance();
    return !ok && error == ETIMEDOUT ? Outcome::TimedOut : Outcome::Polled;
}

void QReadThread::lose(const QString &reason)
{
    for (PollEntry &entry : pollList)
        entry.online = false;
    silentRun.clear();
    if (lostTold)
        return;
    lostTold = true;
    emit portLost(reason);
}

void QReadThread::restore()
{
    if (!lostTold)
        return;
    lostTold = false;
    emit portRestored();
}
