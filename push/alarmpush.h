#ifndef ALARMPUSH_H
#define ALARMPUSH_H

#include "pushworker.h"

#include <QThread>

// The push thread and its worker, which alone talks to the broker, the
// webhook server and the outbox of history.db. Reach the worker through
// queued connections only (its signals come back queued likewise), so the
// GUI thread never waits on it.
class AlarmPush : public QObject
{
    Q_OBJECT

public:
    explicit AlarmPush(const QString &historyPath, QObject *parent = nullptr);
    // Ends the thread; the broker then publishes the console's "offline".
    ~AlarmPush() override;

    PushWorker *worker() const { return pushWorker; }

private:
    QThread thread;
    PushWorker *pushWorker;
};

#endif
