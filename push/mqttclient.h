#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include "pushsettings.h"

#include <QObject>

struct mosquitto;
class QSocketNotifier;
class QTimer;

// One libmosquitto client driven by the thread it lives in: its socket
// through notifiers, keep-alive and retries through a timer. It connects at
// once and, when asked to, again after every failure or loss with a back-off
// of 1 s doubling to 60 s. Messages in flight at a loss are forgotten: the
// owner knows which were acknowledged and sends the others again.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    // willTopic: retained "offline" there when the connection dies without a
    // DISCONNECT; empty for none.
    MqttClient(const PushSettings &settings, const QString &clientId, const QString &willTopic, bool reconnect,
               QObject *parent = nullptr);
    // Closes the socket without a DISCONNECT, so the broker publishes the will.
    ~MqttClient() override;

    bool isConnected() const { return connected; }
    // The message id, or -1 while not connected.
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);

signals:
    void connectedChanged(bool connected, const QString &reason);
    void acknowledged(int mid);

private:
    void connectToBroker();
    QString createClient();
    void service();
    void unwatch();
    void dropped(const QString &reason);

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);

    mosquitto *mosq = nullptr;
    PushSettings settings;
    QString clientId;
    QString willTopic;
    bool reconnect;
    bool connected = false;
    bool started = false;
    int backoffMs = 1000;
    QString refusal; // the broker's reason for refusing the last CONNECT
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QTimer *misc;
    QTimer *retry;
    QTimer *connectTimeout;
};

#endif
