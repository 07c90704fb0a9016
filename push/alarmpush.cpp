#include "alarmpush.h"

#include "pushworker.h"

AlarmPush::AlarmPush(const QString &historyPath, QObject *parent)
    : QObject(parent), worker(new PushWorker(historyPath))
{
    thread.setObjectName(QStringLiteral("push"));
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &PushWorker::statusChanged, this, &AlarmPush::statusChanged);
    connect(worker, &PushWorker::testFinished, this, &AlarmPush::testFinished);
    thread.start();
}

AlarmPush::~AlarmPush()
{
    thread.quit();
    thread.wait();
}

void AlarmPush::apply(const PushSettings &settings)
{
    QMetaObject::invokeMethod(worker, [w = worker, settings] { w->apply(settings); });
}

void AlarmPush::publishReading(const Reading &reading)
{
    QMetaObject::invokeMethod(worker, [w = worker, reading] { w->publishReading(reading); });
}

void AlarmPush::sendTest(const PushSettings &settings)
{
    QMetaObject::invokeMethod(worker, [w = worker, settings] { w->sendTest(settings); });
}
