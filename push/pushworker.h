#ifndef PUSHWORKER_H
#define PUSHWORKER_H

#include "pushsettings.h"
#include "readingstate.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>

class MqttClient;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// The push thread's object. Drains history.db's outbox in id order into two
// sinks, each with its own progress (the last outbox id it has delivered,
// kept in history.db's push_progress), so a sink that is down holds back
// only itself; a row goes once every configured sink has it. MQTT keeps up
// to a window of events in flight and counts one delivered on its PUBACK;
// the webhook posts one at a time and counts it on a 2xx answer, retrying
// with back-off. Readings go out as retained states, never queued.
class PushWorker : public QObject
{
    Q_OBJECT

public:
    explicit PushWorker(const QString &historyPath, QObject *parent = nullptr);
    ~PushWorker() override;

public slots:
    void apply(const PushSettings &settings);
    void publishReading(const Reading &reading);
    // Connects and posts once with these settings, apart from the running push.
    void sendTest(const PushSettings &settings);

signals:
    // "未配置", "连接中", "已连接" or "连接失败: <reason>".
    void statusChanged(const QString &status);
    void testFinished(bool ok, const QString &message);

private:
    bool openDatabase();
    QList<QPair<qint64, QByteArray>> pending(qint64 after, int limit);
    qint64 progressOf(const QString &sink);
    void setDelivered(const QString &sink, qint64 id);
    void drain();
    void drainMqtt();
    void postNext();
    void mqttConnectedChanged(bool up, const QString &reason);
    void mqttAcknowledged(int mid);
    void webhookFinished(QNetworkReply *reply);
    void stopPosting();
    void updateStatus();
    QString topic(const QString &tail) const;

    QString historyPath;
    QString connectionName;
    QSqlDatabase db;
    PushSettings settings;
    QTimer *drainTimer;
    QTimer *webhookRetry;
    QNetworkAccessManager *network;

    MqttClient *mqtt = nullptr;
    QString mqttError;
    qint64 mqttSent = 0;        // the last id handed to libmosquitto
    QMap<qint64, int> inFlight; // outbox id -> message id
    QHash<QString, QByteArray> latestStates;

    QPointer<QNetworkReply> posting;
    qint64 postingId = 0;
    QString webhookError;
    int webhookBackoffMs = 1000;
};

// "HTTP 500 Internal Server Error" or the network's own error text.
QString replyError(QNetworkReply *reply);

#endif
