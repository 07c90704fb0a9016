#ifndef ALARMPUSH_H
#define ALARMPUSH_H

#include "pushsettings.h"
#include "readingstate.h"

#include <QObject>
#include <QThread>

class PushWorker;

// The alarm push as the GUI thread sees it: every call returns at once and
// is carried out in the push thread, which alone talks to the broker, the
// webhook server and the outbox of history.db.
class AlarmPush : public QObject
{
    Q_OBJECT

public:
    explicit AlarmPush(const QString &historyPath, QObject *parent = nullptr);
    // Ends the thread; the broker then publishes the console's "offline".
    ~AlarmPush() override;

    void apply(const PushSettings &settings);
    void publishReading(const Reading &reading);
    void sendTest(const PushSettings &settings);

signals:
    void statusChanged(const QString &status);
    void testFinished(bool ok, const QString &message);

private:
    QThread thread;
    PushWorker *worker;
};

#endif
