#include "pushworker.h"

#include "mqttclient.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

namespace {

const int MqttWindow = 20;
const int MaxBackoffMs = 60000;
const int TestTimeoutMs = 15000;
const char *const MqttSink = "mqtt";
const char *const WebhookSink = "webhook";

QString localTime(qint64 msecs)
{
    QDateTime time = QDateTime::fromMSecsSinceEpoch(msecs);
    time.setOffsetFromUtc(time.offsetFromUtc());
    return time.toString(Qt::ISODateWithMs);
}

QNetworkRequest jsonRequest(const PushSettings &settings)
{
    QNetworkRequest request(QUrl(settings.webhookUrl));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(settings.webhookTimeoutMs);
    return request;
}

} // namespace

QString replyError(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QObject::tr("超时");
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0)
        return QStringLiteral("HTTP %1 %2")
            .arg(status)
            .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    return reply->errorString();
}

PushWorker::PushWorker(const QString &historyPath, QObject *parent)
    : QObject(parent), historyPath(historyPath),
      connectionName(QStringLiteral("push-%1").arg(quintptr(this), 0, 16))
{
    drainTimer = new QTimer(this);
    webhookRetry = new QTimer(this);
    webhookRetry->setSingleShot(true);
    network = new QNetworkAccessManager(this);
    // The recorder fills the outbox at most once a second.
    connect(drainTimer, &QTimer::timeout, this, &PushWorker::drain);
    connect(webhookRetry, &QTimer::timeout, this, &PushWorker::postNext);
}

PushWorker::~PushWorker()
{
    delete mqtt;
    stopPosting();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

bool PushWorker::openDatabase()
{
    if (db.isOpen())
        return true;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(historyPath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=200"));
    QSqlQuery query(db);
    return db.open() && HistorySchema::create(db)
           && query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS push_progress ("
                                        " sink TEXT PRIMARY KEY, delivered INTEGER NOT NULL)"));
}

void PushWorker::apply(const PushSettings &newSettings)
{
    settings = newSettings;
    delete mqtt;
    mqtt = nullptr;
    inFlight.clear();
    latestStates.clear();
    mqttError.clear();
    stopPosting();
    webhookRetry->stop();
    webhookError.clear();
    webhookBackoffMs = 1000;

    if (settings.mqttEnabled()) {
        const QString clientId = topicLevel(settings.clientId);
        mqtt = new MqttClient(settings, settings.clientId, topic(QStringLiteral("console/") + clientId), true, this);
        connect(mqtt, &MqttClient::connectedChanged, this, &PushWorker::mqttConnectedChanged);
        connect(mqtt, &MqttClient::acknowledged, this, &PushWorker::mqttAcknowledged);
    }
    if (settings.mqttEnabled() || settings.webhookEnabled()) {
        drainTimer->start(1000);
        drain();
    } else {
        drainTimer->stop();
    }
    updateStatus();
}

QString PushWorker::topic(const QString &tail) const
{
    return prefixedTopic(settings.prefix, tail);
}

void PushWorker::stopPosting()
{
    // Cleared first: abort() finishes the reply at once.
    if (QNetworkReply *reply = posting) {
        posting = nullptr;
        reply->abort();
    }
}

QList<QPair<qint64, QByteArray>> PushWorker::pending(qint64 after, int limit)
{
    QList<QPair<qint64, QByteArray>> rows;
    if (!openDatabase())
        return rows;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, payload FROM outbox WHERE id > ? ORDER BY id LIMIT ?"));
    query.addBindValue(after);
    query.addBindValue(limit);
    if (query.exec()) {
        while (query.next())
            rows.append({query.value(0).toLongLong(), query.value(1).toString().toUtf8()});
    }
    return rows;
}

qint64 PushWorker::progressOf(const QString &sink)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT delivered FROM push_progress WHERE sink = ?"));
    query.addBindValue(sink);
    return query.exec() && query.next() ? query.value(0).toLongLong() : 0;
}

void PushWorker::setDelivered(const QString &sink, qint64 id)
{
    if (!openDatabase() || !db.transaction())
        return;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO push_progress(sink, delivered) VALUES(?, ?)"));
    query.addBindValue(sink);
    query.addBindValue(id);
    query.exec();
    // A row goes once every configured sink has delivered it.
    qint64 done = id;
    if (settings.mqttEnabled())
        done = qMin(done, progressOf(QLatin1String(MqttSink)));
    if (settings.webhookEnabled())
        done = qMin(done, progressOf(QLatin1String(WebhookSink)));
    query.prepare(QStringLiteral("DELETE FROM outbox WHERE id <= ?"));
    query.addBindValue(done);
    query.exec();
    db.commit();
}

void PushWorker::drain()
{
    drainMqtt();
    if (settings.webhookEnabled() && !posting && !webhookRetry->isActive())
        postNext();
}

void PushWorker::drainMqtt()
{
    if (!mqtt || !mqtt->isConnected() || inFlight.size() >= MqttWindow)
        return;
    const QString events = topic(QStringLiteral("events"));
    for (const auto &row : pending(mqttSent, MqttWindow - inFlight.size())) {
        const int mid = mqtt->publish(events, row.second, 1, false);
        if (mid < 0)
            return;
        inFlight.insert(row.first, mid);
        mqttSent = row.first;
    }
}

void PushWorker::mqttConnectedChanged(bool up, const QString &reason)
{
    mqttError = reason;
    // Each connection is a new libmosquitto client: what had no PUBACK goes
    // again, in order.
    inFlight.clear();
    mqttSent = openDatabase() ? progressOf(QLatin1String(MqttSink)) : 0;
    if (up) {
        const QString clientId = topicLevel(settings.clientId);
        mqtt->publish(topic(QStringLiteral("console/") + clientId), "online", 1, true);
        for (auto it = latestStates.cbegin(); it != latestStates.cend(); ++it)
            mqtt->publish(it.key(), it.value(), 0, true);
        drainMqtt();
    }
    updateStatus();
}

void PushWorker::mqttAcknowledged(int mid)
{
    for (auto it = inFlight.begin(); it != inFlight.end(); ++it) {
        if (it.value() == mid) {
            inFlight.erase(it);
            break;
        }
    }
    // Every row before the oldest one still in flight has its PUBACK.
    setDelivered(QLatin1String(MqttSink), inFlight.isEmpty() ? mqttSent : inFlight.firstKey() - 1);
    drainMqtt();
}

void PushWorker::postNext()
{
    if (!openDatabase())
        return;
    const auto rows = pending(progressOf(QLatin1String(WebhookSink)), 1);
    if (rows.isEmpty())
        return;
    postingId = rows.first().first;
    posting = network->post(jsonRequest(settings), rows.first().second);
    connect(posting, &QNetworkReply::finished, this, [this, reply = posting.data()] { webhookFinished(reply); });
}

void PushWorker::webhookFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != posting)
        return; // aborted by new settings
    posting = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && status / 100 == 2) {
        webhookError.clear();
        webhookBackoffMs = 1000;
        setDelivered(QLatin1String(WebhookSink), postingId);
        postNext();
    } else {
        webhookError = replyError(reply);
        webhookRetry->start(webhookBackoffMs);
        webhookBackoffMs = qMin(webhookBackoffMs * 2, MaxBackoffMs);
    }
    updateStatus();
}

void PushWorker::publishReading(const Reading &reading)
{
    if (!mqtt)
        return;
    const bool hasValue = reading.ok && reading.state != ReadingState::SensorError;
    const QJsonObject limits{{QStringLiteral("alarm_low"), reading.limits.alarmLow},
                             {QStringLiteral("abnormal_low"), reading.limits.abnormalLow},
                             {QStringLiteral("abnormal_high"), reading.limits.abnormalHigh},
                             {QStringLiteral("alarm_high"), reading.limits.alarmHigh}};
    const QJsonObject state{{QStringLiteral("area"), reading.area},
                            {QStringLiteral("device"), reading.name},
                            {QStringLiteral("state"), stateName(reading.state)},
                            {QStringLiteral("value"), hasValue ? QJsonValue(reading.value) : QJsonValue()},
                            {QStringLiteral("unit"), unitOf(reading.deviceType)},
                            {QStringLiteral("limits"), limits},
                            {QStringLiteral("time"), localTime(reading.msecs)}};
    const QByteArray payload = QJsonDocument(state).toJson(QJsonDocument::Compact);
    const QString device = topic(topicLevel(reading.area) + QLatin1Char('/') + topicLevel(reading.name));
    latestStates.insert(device + QStringLiteral("/state"), payload);
    if (!mqtt->isConnected())
        return;
    mqtt->publish(device + QStringLiteral("/state"), payload, 0, true);
    if (settings.publishReadings)
        mqtt->publish(device + QStringLiteral("/reading"), payload, 0, false);
}

void PushWorker::updateStatus()
{
    QString status;
    if (!settings.mqttEnabled() && !settings.webhookEnabled())
        status = tr("未配置");
    else if (mqtt && !mqtt->isConnected() && !mqttError.isEmpty())
        status = tr("连接失败: %1").arg(mqttError);
    else if (!webhookError.isEmpty())
        status = tr("连接失败: Webhook %1").arg(webhookError);
    else if (mqtt && !mqtt->isConnected())
        status = tr("连接中");
    else
        status = tr("已连接");
    emit statusChanged(status);
}

void PushWorker::sendTest(const PushSettings &test)
{
    if (!test.mqttEnabled() && !test.webhookEnabled()) {
        emit testFinished(false, tr("未配置"));
        return;
    }
    // One run: each sink reports once into `results`; the last one finishes.
    struct Run
    {
        int waiting = 0;
        bool ok = true;
        QStringList results;
    };
    auto run = QSharedPointer<Run>::create();
    auto *context = new QObject(this);
    auto report = [this, run, context](const QString &sink, bool ok, const QString &text) {
        run->ok = run->ok && ok;
        run->results << sink + QStringLiteral(": ") + (ok ? tr("成功") : text);
        if (--run->waiting == 0) {
            context->deleteLater();
            emit testFinished(run->ok, run->results.join(QLatin1Char('\n')));
        }
    };
    const QByteArray payload =
        QJsonDocument(QJsonObject{{QStringLiteral("kind"), QStringLiteral("test")},
                                  {QStringLiteral("time"), localTime(QDateTime::currentMSecsSinceEpoch())},
                                  {QStringLiteral("text"), tr("测试消息")}})
            .toJson(QJsonDocument::Compact);
    run->waiting = int(test.mqttEnabled()) + int(test.webhookEnabled());

    if (test.mqttEnabled()) {
        // Its own session, so the running one is not thrown off the broker.
        auto *client = new MqttClient(test, test.clientId + QStringLiteral("-test"), QString(), false, context);
        auto done = QSharedPointer<bool>::create(false);
        auto finish = [client, done, report](bool ok, const QString &text) {
            if (*done)
                return;
            *done = true;
            client->deleteLater();
            report(QStringLiteral("MQTT"), ok, text);
        };
        const QString testTopic =
            prefixedTopic(test.prefix, QStringLiteral("console/%1/test").arg(topicLevel(test.clientId)));
        connect(client, &MqttClient::connectedChanged, client,
                [client, finish, testTopic, payload](bool up, const QString &reason) {
                    if (!up)
                        finish(false, reason);
                    else if (client->publish(testTopic, payload, 1, false) < 0)
                        finish(false, tr("发送失败"));
                });
        connect(client, &MqttClient::acknowledged, client, [finish] { finish(true, QString()); });
        QTimer::singleShot(TestTimeoutMs, client, [finish] { finish(false, tr("服务器无应答")); });
    }
    if (test.webhookEnabled()) {
        QNetworkReply *reply = network->post(jsonRequest(test), payload);
        reply->setParent(context);
        connect(reply, &QNetworkReply::finished, reply, [reply, report] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            report(QStringLiteral("Webhook"), reply->error() == QNetworkReply::NoError && status / 100 == 2,
                   replyError(reply));
        });
    }
}
