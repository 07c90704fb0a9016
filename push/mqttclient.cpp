#include "mqttclient.h"

#include <mosquitto.h>

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace {

const int KeepAliveSeconds = 15;
const int ConnectTimeoutMs = 10000;
const int MaxBackoffMs = 60000;

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

MqttClient::MqttClient(const PushSettings &settings, const QString &clientId, const QString &willTopic,
                       bool reconnect, QObject *parent)
    : QObject(parent), settings(settings), clientId(clientId), willTopic(willTopic), reconnect(reconnect)
{
    static const int libraryReady = mosquitto_lib_init();
    Q_UNUSED(libraryReady)

    misc = new QTimer(this);
    retry = new QTimer(this);
    connectTimeout = new QTimer(this);
    retry->setSingleShot(true);
    connectTimeout->setSingleShot(true);
    connect(misc, &QTimer::timeout, this, [this] {
        if (!mosq)
            return;
        mosquitto_loop_misc(mosq);
        service();
    });
    connect(retry, &QTimer::timeout, this, &MqttClient::connectToBroker);
    connect(connectTimeout, &QTimer::timeout, this, [this] { dropped(tr("服务器无应答")); });
    // After the owner has connected to our signals.
    QTimer::singleShot(0, this, &MqttClient::connectToBroker);
}

// A new libmosquitto client for every connection: whatever the last one had
// in flight is the owner's to send again, in its order.
QString MqttClient::createClient()
{
    if (mosq)
        mosquitto_destroy(mosq);
    mosq = mosquitto_new(clientId.toUtf8().constData(), true, this);
    if (!mosq)
        return tr("无法创建客户端");
    mosquitto_connect_callback_set(mosq, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(mosq, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(mosq, &MqttClient::onPublish);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.user.isEmpty())
        rc = mosquitto_username_pw_set(mosq, settings.user.toUtf8().constData(),
                                       settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !willTopic.isEmpty())
        rc = mosquitto_will_set(mosq, willTopic.toUtf8().constData(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
        if (settings.caFile.isEmpty())
            rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(mosq, settings.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr,
                                   nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq, settings.host.toUtf8().constData(), settings.port, KeepAliveSeconds);
    return rc == MOSQ_ERR_SUCCESS ? QString() : errorText(rc);
}

MqttClient::~MqttClient()
{
    delete reader;
    delete writer;
    if (mosq)
        mosquitto_destroy(mosq);
}

int MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!connected)
        return -1;
    int mid = 0;
    const int rc = mosquitto_publish(mosq, &mid, topic.toUtf8().constData(), payload.size(), payload.constData(),
                                     qos, retain);
    service();
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void MqttClient::connectToBroker()
{
    unwatch();
    const QString error = createClient();
    if (!error.isEmpty()) {
        dropped(error);
        return;
    }
    connectTimeout->start(ConnectTimeoutMs);
    misc->start(1000);
    service();
}

// The one place that drives libmosquitto's network loop.
void MqttClient::service()
{
    const int fd = mosq ? mosquitto_socket(mosq) : -1;
    if (fd < 0) {
        unwatch();
        return;
    }
    if (!reader) {
        reader = new QSocketNotifier(fd, QSocketNotifier::Read);
        writer = new QSocketNotifier(fd, QSocketNotifier::Write);
        connect(reader, &QSocketNotifier::activated, this, [this] {
            mosquitto_loop_read(mosq, 1);
            service();
        });
        connect(writer, &QSocketNotifier::activated, this, [this] {
            mosquitto_loop_write(mosq, 1);
            service();
        });
    }
    writer->setEnabled(mosquitto_want_write(mosq));
}

// Also from the notifiers' own signals, hence later deletion.
void MqttClient::unwatch()
{
    for (QSocketNotifier *notifier : {reader, writer}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    reader = writer = nullptr;
}

void MqttClient::dropped(const QString &reason)
{
    connected = false;
    connectTimeout->stop();
    emit connectedChanged(false, reason);
    if (!reconnect)
        return;
    retry->start(backoffMs);
    backoffMs = qMin(backoffMs * 2, MaxBackoffMs);
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc != 0) {
        // libmosquitto closes the connection next; keep the broker's reason.
        client->refusal = QString::fromUtf8(mosquitto_connack_string(rc));
        return;
    }
    client->connected = true;
    client->backoffMs = 1000;
    client->connectTimeout->stop();
    emit client->connectedChanged(true, QString());
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    const QString reason = client->refusal.isEmpty() ? errorText(rc) : client->refusal;
    client->refusal.clear();
    client->dropped(reason);
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    emit static_cast<MqttClient *>(self)->acknowledged(mid);
}
