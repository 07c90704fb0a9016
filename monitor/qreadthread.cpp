#include "qreadthread.h"

#include "tempwidget.h"

#include <QDateTime>

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
    return 1;
}

int QReadThread::CloseRtu()
{
    if (isRunning()) {
        StopPolling();
        wait();
    }
    if (context) {
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

bool QReadThread::ReadPollEntry(int index, quint16 &value, bool &online)
{
    if (!mutex.tryLock(0))
        return false;
    const bool inRange = index >= 0 && index < pollList.size();
    if (inRange) {
        value = pollList.at(index).value;
        online = pollList.at(index).online;
    }
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
        if (!paused)
            pollOne(position);
        // The pause holds no lock; a stop ends it early.
        wake.tryAcquire(1, PauseMs);
    }
}

void QReadThread::pollOne(int &position)
{
    QMutexLocker locker(&mutex);
    if (pollList.isEmpty())
        return;
    if (position >= pollList.size())
        position = 0;

    PollEntry &entry = pollList[position];
    quint16 word = 0;
    // An address the master refuses (above 247) must not go out under the
    // previous device's address, nor as its low 8 bits: such an entry simply
    // stays offline.
    if (modbus_set_slave(context, entry.slaveAddr) == 0
        && modbus_read_registers(context, entry.regAddr, 1, &word) == 1) {
        entry.value = word;
        entry.online = true;
    } else {
        entry.online = false;
    }
    Reading reading = entry.reading;
    reading.msecs = QDateTime::currentMSecsSinceEpoch();
    reading.ok = entry.online;
    reading.raw = entry.value;
    judge(reading);
    emit readingPolled(reading);
    position = (position + 1) % pollList.size();
}
