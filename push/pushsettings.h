#ifndef PUSHSETTINGS_H
#define PUSHSETTINGS_H

#include "historyschema.h"

#include <QList>
#include <QMetaType>
#include <QString>

// Where and what the alarm push sends. Kept in the user's settings store
// under "Push"; the password sits there in clear, so the file is made
// readable by its owner only.
struct PushSettings
{
    QString host; // empty: no MQTT
    int port = 1883;
    QString clientId;
    QString user;
    QString password;
    QString prefix = QStringLiteral("tarvo");
    bool tls = false;
    QString caFile;
    QString webhookUrl; // empty: no webhook
    QList<HistorySchema::EventKind> kinds{HistorySchema::Alarm, HistorySchema::Abnormal, HistorySchema::Offline,
                                          HistorySchema::BackToNormal, HistorySchema::SensorError};
    bool publishReadings = false;
    int webhookTimeoutMs = 10000; // in the settings file only

    bool mqttEnabled() const { return !host.isEmpty(); }
    bool webhookEnabled() const { return !webhookUrl.isEmpty(); }
    // The kinds the recorder is to put in the outbox: none while no sink is set.
    QList<HistorySchema::EventKind> outboxKinds() const;

    // The client id falls back to "tarvo-<host name>" so that two consoles
    // never share one session on the broker.
    static PushSettings load();
    bool save() const;
};

// A name as one topic level: "/", "+", "#" and control characters become "_".
QString topicLevel(const QString &name);

// prefix/tail, the prefix's levels made safe one by one.
QString prefixedTopic(const QString &prefix, const QString &tail);

Q_DECLARE_METATYPE(PushSettings)

#endif
