#include "alarmpush.h"

AlarmPush::AlarmPush(const QString &historyPath, QObject *parent)
    : QObject(parent), pushWorker(new PushWorker(historyPath))
{
    qRegisterMetaType<PushSettings>();
    qRegisterMetaType<Reading>();
    thread.setObjectName(QStringLiteral("push"));
    pushWorker->moveToThread(&thread);
    connect(&thread, &QThread::finished, pushWorker, &QObject::deleteLater);
    thread.start();
}

AlarmPush::~AlarmPush()
{
    thread.quit();
    thread.wait();
}
