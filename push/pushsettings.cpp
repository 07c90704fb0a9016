#include "pushsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QSettings>

namespace {

QSettings *store()
{
    return new QSettings(QStringLiteral("KRM-Qt"), QStringLiteral("tarvo"));
}

} // namespace

QList<HistorySchema::EventKind> PushSettings::outboxKinds() const
{
    return mqttEnabled() || webhookEnabled() ? kinds : QList<HistorySchema::EventKind>();
}

PushSettings PushSettings::load()
{
    QScopedPointer<QSettings> settings(store());
    settings->beginGroup(QStringLiteral("Push"));
    PushSettings s;
    s.host = settings->value(QStringLiteral("host")).toString();
    s.port = settings->value(QStringLiteral("port"), s.port).toInt();
    // Also for a field left empty, which the client library refuses.
    s.clientId = settings->value(QStringLiteral("clientId")).toString().trimmed();
    if (s.clientId.isEmpty())
        s.clientId = QStringLiteral("tarvo-") + QHostInfo::localHostName();
    s.user = settings->value(QStringLiteral("user")).toString();
    s.password = settings->value(QStringLiteral("password")).toString();
    s.prefix = settings->value(QStringLiteral("prefix"), s.prefix).toString();
    s.tls = settings->value(QStringLiteral("tls"), false).toBool();
    s.caFile = settings->value(QStringLiteral("caFile")).toString();
    s.webhookUrl = settings->value(QStringLiteral("webhookUrl")).toString();
    if (settings->contains(QStringLiteral("kinds"))) {
        s.kinds.clear();
        for (const QVariant &kind : settings->value(QStringLiteral("kinds")).toList())
            s.kinds << HistorySchema::EventKind(kind.toInt());
    }
    s.publishReadings = settings->value(QStringLiteral("publishReadings"), false).toBool();
    s.webhookTimeoutMs = settings->value(QStringLiteral("webhookTimeoutMs"), s.webhookTimeoutMs).toInt();
    return s;
}

bool PushSettings::save() const
{
    QScopedPointer<QSettings> settings(store());
#ifdef Q_OS_UNIX
    // Made private before the password goes in; QSettings keeps the mode
    // when it rewrites the file. (The Windows registry is per user already.)
    QFile file(settings->fileName());
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (!file.exists() && !file.open(QIODevice::WriteOnly))
        return false;
    file.close();
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return false;
#endif
    settings->beginGroup(QStringLiteral("Push"));
    settings->setValue(QStringLiteral("host"), host);
    settings->setValue(QStringLiteral("port"), port);
    settings->setValue(QStringLiteral("clientId"), clientId);
    settings->setValue(QStringLiteral("user"), user);
    settings->setValue(QStringLiteral("password"), password);
    settings->setValue(QStringLiteral("prefix"), prefix);
    settings->setValue(QStringLiteral("tls"), tls);
    settings->setValue(QStringLiteral("caFile"), caFile);
    settings->setValue(QStringLiteral("webhookUrl"), webhookUrl);
    QVariantList kindList;
    for (HistorySchema::EventKind kind : kinds)
        kindList << int(kind);
    settings->setValue(QStringLiteral("kinds"), kindList);
    settings->setValue(QStringLiteral("publishReadings"), publishReadings);
    settings->setValue(QStringLiteral("webhookTimeoutMs"), webhookTimeoutMs);
    settings->endGroup();
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString topicLevel(const QString &name)
{
    QString level = name;
    for (QChar &c : level) {
        if (c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    return level;
}

QString prefixedTopic(const QString &prefix, const QString &tail)
{
    QStringList levels;
    for (const QString &level : prefix.split(QLatin1Char('/')))
        levels << topicLevel(level);
    return levels.join(QLatin1Char('/')) + QLatin1Char('/') + tail;
}
