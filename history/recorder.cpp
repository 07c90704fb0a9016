#include "recorder.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <limits>

namespace {

const qint64 DayMs = 24 * 3600 * 1000LL;
const int WriteEveryMs = 1000;
// Others wait for our write lock through their busy timeout: a pruning batch
// aims at half of the 50 ms it may hold it, with a pause between batches.
const int PruneTargetMs = 25;
const int PrunePauseMs = 20;
const qint64 Never = std::numeric_limits<qint64>::max();

HistorySchema::EventKind kindOf(ReadingState state)
{
    switch (state) {
    case ReadingState::Normal: return HistorySchema::BackToNormal;
    case ReadingState::Abnormal: return HistorySchema::Abnormal;
    case ReadingState::Alarm: return HistorySchema::Alarm;
    case ReadingState::Offline: return HistorySchema::Offline;
    case ReadingState::SensorError: return HistorySchema::SensorError;
    }
    return HistorySchema::System;
}

bool sameLimits(const DeviceLimits &a, const DeviceLimits &b)
{
    return a.alarmLow == b.alarmLow && a.abnormalLow == b.abnormalLow && a.abnormalHigh == b.abnormalHigh
           && a.alarmHigh == b.alarmHigh;
}

bool hasValue(const Reading &reading)
{
    return reading.ok && reading.state != ReadingState::SensorError;
}

QString isoLocal(qint64 msecs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecs);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

enum class Trouble { Locked, ReadOnly, Full, Damaged, Other };

Trouble troubleOf(const QSqlError &error)
{
    // SQLite's result codes; extended codes carry the primary one in the low byte.
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return Trouble::Locked;
    case 8: return Trouble::ReadOnly;
    case 13: return Trouble::Full;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return Trouble::Damaged;
    default: return Trouble::Other;
    }
}

QString reasonOf(const QSqlError &error)
{
    switch (troubleOf(error)) {
    case Trouble::Locked: return QStringLiteral("文件被锁定");
    case Trouble::ReadOnly: return QStringLiteral("文件只读");
    case Trouble::Full: return QStringLiteral("磁盘已满");
    case Trouble::Damaged: return QStringLiteral("文件损坏，无法改名");
    case Trouble::Other: break;
    }
    const QString detail = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return QStringLiteral("无法写入：%1").arg(detail);
}

QVariant nullable(bool present, const QVariant &value)
{
    return present ? value : QVariant(value.type());
}

} // namespace

Recorder::Recorder(const QString &path, QObject *parent)
    : QObject(parent),
      path(path),
      connection(QStringLiteral("history-%1").arg(quintptr(this), 0, 16)),
      timer(new QTimer(this))
{
    // A coarse timer may be 5% late, and a kill would then cost more than a second.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &Recorder::tick);
}

Recorder::~Recorder()
{
    for (auto &entry : devices) {
        if (entry.second.returned)
            journalReturn(entry.second);
    }
    if (db.isValid())
        flush();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
}

void Recorder::runIn(QThread &thread)
{
    moveToThread(&thread);
    connect(&thread, &QThread::started, this, &Recorder::open);
    connect(&thread, &QThread::finished, this, &QObject::deleteLater);
    thread.start();
}

void Recorder::stop()
{
    QMetaObject::invokeMethod(this, [this] { thread()->quit(); }, Qt::QueuedConnection);
}

void Recorder::open()
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    // The log page and the push write now and then: wait for them a little, never long.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=250"));
    timer->start(WriteEveryMs);
    tick(); // opens the file at once, and prunes it
}

// ---- what happened ---------------------------------------------------------------

Recorder::Device &Recorder::deviceOf(const Reading &reading)
{
    const auto found = devices.try_emplace(reading.area + QChar(0x1f) + reading.name);
    Device &device = found.first->second;
    if (found.second || device.type != reading.deviceType || !sameLimits(device.limits, reading.limits)) {
        device.area = reading.area;
        device.name = reading.name;
        device.type = reading.deviceType;
        device.limits = reading.limits;
        device.dirty = true;
    }
    return device;
}

void Recorder::record(const Reading &reading)
{
    Device &device = deviceOf(reading);
    if (device.returned && reading.msecs - device.returned->msecs >= DitherMs)
        journalReturn(device);
    if (!device.state) {
        if (reading.state != ReadingState::Normal)
            addStateEvent(device, std::nullopt, reading);
    } else if (*device.state != reading.state) {
        stateChanged(device, *device.state, reading);
    }
    device.state = reading.state;

    const std::optional<Reading> &stored = device.stored;
    if (!stored || stored->state != reading.state || (reading.ok && stored->raw != reading.raw)
        || reading.msecs - stored->msecs >= HeartbeatMs)
        store(device, reading);
    device.latest = reading;
}

void Recorder::store(Device &device, const Reading &reading)
{
    device.stored = reading;
    if (readings.size() < PendingCap)
        readings.append({&device, reading});
    else
        ++dropped;
}

void Recorder::stateChanged(Device &device, ReadingState from, const Reading &reading)
{
    const EventPtr last = device.last;
    if (last && last->from) {
        const ReadingState left = *last->from;
        const ReadingState entered = last->reading.state;
        if (device.returned) {
            if (reading.state == entered && reading.msecs - device.returned->msecs <= DitherMs) {
                ++last->repeats;
                last->lastT = reading.msecs;
                device.returned.reset();
                if (last->id != 0 && !changedEvents.contains(last))
                    changedEvents.append(last);
                return;
            }
            journalReturn(device);
        } else if (from == entered && reading.state == left && reading.msecs - last->lastT <= DitherMs) {
            device.returned = reading;
            return;
        }
    }
    addStateEvent(device, from, reading);
}

void Recorder::addStateEvent(Device &device, std::optional<ReadingState> from, const Reading &reading)
{
    const QString to = stateText(reading.state);
    const EventPtr event =
        addEvent(kindOf(reading.state), reading.msecs, from ? stateText(*from) + QStringLiteral(" → ") + to : to);
    event->device = &device;
    event->reading = reading;
    event->from = from;
    device.last = event;
}

void Recorder::journalReturn(Device &device)
{
    const Reading back = *device.returned;
    device.returned.reset();
    addStateEvent(device, device.last->reading.state, back);
}

Recorder::EventPtr Recorder::addEvent(HistorySchema::EventKind kind, qint64 t, const QString &text,
                                      const QString &user)
{
    const auto event = std::make_shared<Event>();
    event->uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    event->t = event->lastT = t;
    event->kind = kind;
    event->text = text;
    event->user = user;
    newEvents.append(event);
    return event;
}

void Recorder::systemEvent(const QString &text, const QString &user)
{
    addEvent(HistorySchema::System, QDateTime::currentMSecsSinceEpoch(), text, user);
}

void Recorder::monitoringStarted(const QString &user, const QString &port, const QString &lineSettings)
{
    systemEvent(QStringLiteral("开始监控：%1 %2").arg(port, lineSettings), user);
}

void Recorder::monitoringStopped(const QString &user)
{
    // The last reading of each device is kept, so its line reaches the stop,
    // and the next run starts with a stored reading.
    for (auto &entry : devices) {
        Device &device = entry.second;
        if (device.returned)
            journalReturn(device);
        if (device.latest && device.latest->msecs > device.stored->msecs)
            store(device, *device.latest);
        device.stored.reset();
        device.latest.reset();
    }
    systemEvent(QStringLiteral("停止监控"), user);
}

void Recorder::portLost(const QString &reason)
{
    systemEvent(reason.isEmpty() ? QStringLiteral("串口断开") : QStringLiteral("串口断开：%1").arg(reason));
}

void Recorder::portRestored()
{
    systemEvent(QStringLiteral("串口恢复"));
}

void Recorder::deviceAdded(const QString &user, const QString &area, const QString &name)
{
    systemEvent(QStringLiteral("添加设备：%1/%2").arg(area, name), user);
}

void Recorder::deviceChanged(const QString &user, const QString &area, const QString &name)
{
    systemEvent(QStringLiteral("修改设备：%1/%2").arg(area, name), user);
}

void Recorder::deviceDeleted(const QString &user, const QString &area, const QString &name)
{
    systemEvent(QStringLiteral("删除设备：%1/%2").arg(area, name), user);
}

void Recorder::setOutboxKinds(const QList<HistorySchema::EventKind> &kinds)
{
    outboxKinds.clear();
    for (HistorySchema::EventKind kind : kinds)
        outboxKinds.insert(kind);
}

void Recorder::setRetentionDays(int days)
{
    retentionDays = days;
    if (nextPrune != Never) // not while a pruning runs
        nextPrune = 0;
}

QByteArray Recorder::payload(const Event &event) const
{
    const bool state = event.device != nullptr;
    const Reading &r = event.reading;
    const QJsonValue none(QJsonValue::Null);
    QJsonObject limits;
    if (state) {
        limits = {{QStringLiteral("alarm_low"), r.limits.alarmLow},
                  {QStringLiteral("abnormal_low"), r.limits.abnormalLow},
                  {QStringLiteral("abnormal_high"), r.limits.abnormalHigh},
                  {QStringLiteral("alarm_high"), r.limits.alarmHigh}};
    }
    const QJsonObject json{
        {QStringLiteral("id"), event.uid},
        {QStringLiteral("time"), isoLocal(event.t)},
        {QStringLiteral("kind"), state ? stateName(r.state) : QStringLiteral("system")},
        {QStringLiteral("area"), state ? QJsonValue(r.area) : none},
        {QStringLiteral("device"), state ? QJsonValue(r.name) : none},
        {QStringLiteral("from"), event.from ? QJsonValue(stateName(*event.from)) : none},
        {QStringLiteral("state"), state ? QJsonValue(stateName(r.state)) : none},
        {QStringLiteral("value"), state && hasValue(r) ? QJsonValue(r.value) : none},
        {QStringLiteral("unit"), state ? QJsonValue(unitOf(r.deviceType)) : none},
        {QStringLiteral("limits"), state ? QJsonValue(limits) : none},
        {QStringLiteral("text"), event.text},
        {QStringLiteral("repeats"), event.repeats},
    };
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

// ---- the file ------------------------------------------------------------------

bool Recorder::openFile(QSqlError &error)
{
    if (db.isOpen())
        return true;
    QSqlQuery query(db);
    if (!db.open()) {
        error = db.lastError();
        return false;
    }
    // WAL keeps every commit through a kill of the process; a power cut may
    // lose the last ones, never the file, and a commit waits for no disk.
    if (!HistorySchema::create(db, &error) || !query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        if (!error.isValid())
            error = query.lastError();
        db.close();
        return false;
    }
    loadDevices();
    return true;
}

void Recorder::loadDevices()
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("SELECT id, area, name, type, alarm_low, abnormal_low, abnormal_high, alarm_high,"
                              " (SELECT state FROM readings WHERE device = devices.id ORDER BY t DESC LIMIT 1)"
                              " FROM devices"));
    while (query.next()) {
        const QString area = query.value(1).toString();
        const QString name = query.value(2).toString();
        const auto found = devices.try_emplace(area + QChar(0x1f) + name);
        Device &device = found.first->second;
        device.id = query.value(0).toLongLong();
        if (!found.second)
            continue; // seen in this run: what it said then stays
        device.area = area;
        device.name = name;
        device.type = query.value(3).toInt();
        device.limits = {query.value(4).toDouble(), query.value(5).toDouble(), query.value(6).toDouble(),
                         query.value(7).toDouble()};
        device.dirty = false;
        if (!query.isNull(8))
            device.state = ReadingState(query.value(8).toInt());
    }
}

bool Recorder::flush()
{
    if (readings.isEmpty() && newEvents.isEmpty() && changedEvents.isEmpty() && db.isOpen())
        return true;
    QSqlError error;
    bool written = openFile(error) && write(error);
    if (!written && troubleOf(error) == Trouble::Damaged && setAside())
        written = openFile(error) && write(error);
    if (!written) {
        stopped(error);
        return false;
    }
    readings.clear();
    newEvents.clear();
    changedEvents.clear();
    if (!recording) {
        recording = true;
        reason.clear();
        systemEvent(dropped == 0 ? QStringLiteral("历史记录恢复")
                                 : QStringLiteral("历史记录恢复，%1 条读数未能保存").arg(dropped));
        dropped = 0;
        emit recordingChanged(true, QString());
    }
    return true;
}

bool Recorder::write(QSqlError &error)
{
    QSqlQuery query(db);
    // Ids given out in a transaction that then fails are taken back.
    QVector<qint64 *> given;
    const auto failed = [&](const QSqlQuery &statement) {
        error = statement.lastError();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        for (qint64 *id : given)
            *id = 0;
        return false;
    };
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failed(query);

    QSqlQuery device(db);
    device.prepare(QStringLiteral(
        "INSERT INTO devices (area, name, type, alarm_low, abnormal_low, abnormal_high, alarm_high)"
        " VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (area, name) DO UPDATE SET type = excluded.type,"
        " alarm_low = excluded.alarm_low, abnormal_low = excluded.abnormal_low,"
        " abnormal_high = excluded.abnormal_high, alarm_high = excluded.alarm_high"));
    QSqlQuery deviceId(db);
    deviceId.prepare(QStringLiteral("SELECT id FROM devices WHERE area = ? AND name = ?"));
    for (auto &entry : devices) {
        Device &d = entry.second;
        if (!d.dirty)
            continue;
        for (const QVariant &value : {QVariant(d.area), QVariant(d.name), QVariant(d.type),
                                      QVariant(d.limits.alarmLow), QVariant(d.limits.abnormalLow),
                                      QVariant(d.limits.abnormalHigh), QVariant(d.limits.alarmHigh)})
            device.addBindValue(value);
        if (!device.exec())
            return failed(device);
        deviceId.addBindValue(d.area);
        deviceId.addBindValue(d.name);
        if (!deviceId.exec() || !deviceId.next())
            return failed(deviceId);
        if (d.id == 0)
            given.append(&d.id);
        d.id = deviceId.value(0).toLongLong();
        deviceId.finish();
    }

    QSqlQuery event(db);
    event.prepare(QStringLiteral("INSERT INTO events (uid, t, last_t, repeats, kind, device, from_state, to_state,"
                                 " value, text, user) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    QSqlQuery outbox(db);
    outbox.prepare(QStringLiteral("INSERT INTO outbox (event, payload) VALUES (?, ?)"));
    for (const EventPtr &e : qAsConst(newEvents)) {
        const bool state = e->device != nullptr;
        for (const QVariant &value :
             {QVariant(e->uid), QVariant(e->t), QVariant(e->lastT), QVariant(e->repeats), QVariant(int(e->kind)),
              nullable(state, state ? e->device->id : 0),
              nullable(bool(e->from), int(e->from.value_or(ReadingState::Normal))),
              nullable(state, int(e->reading.state)), nullable(state && hasValue(e->reading), e->reading.value),
              QVariant(e->text), nullable(!e->user.isEmpty(), e->user)})
            event.addBindValue(value);
        if (!event.exec())
            return failed(event);
        given.append(&e->id);
        e->id = event.lastInsertId().toLongLong();
        if (outboxKinds.contains(e->kind)) {
            outbox.addBindValue(e->id);
            outbox.addBindValue(QString::fromUtf8(payload(*e)));
            if (!outbox.exec())
                return failed(outbox);
        }
    }

    QSqlQuery bump(db);
    bump.prepare(QStringLiteral("UPDATE events SET repeats = ?, last_t = ? WHERE id = ?"));
    QSqlQuery rewrite(db);
    rewrite.prepare(QStringLiteral("UPDATE outbox SET payload = ? WHERE event = ?"));
    for (const EventPtr &e : qAsConst(changedEvents)) {
        bump.addBindValue(e->repeats);
        bump.addBindValue(e->lastT);
        bump.addBindValue(e->id);
        if (!bump.exec())
            return failed(bump);
        // Still waiting to be pushed: it goes out with its count.
        rewrite.addBindValue(QString::fromUtf8(payload(*e)));
        rewrite.addBindValue(e->id);
        if (outboxKinds.contains(e->kind) && !rewrite.exec())
            return failed(rewrite);
    }

    QSqlQuery reading(db);
    reading.prepare(QStringLiteral("INSERT INTO readings (device, t, raw, value, state) VALUES (?, ?, ?, ?, ?)"));
    for (const Row &row : qAsConst(readings)) {
        const Reading &r = row.reading;
        reading.addBindValue(row.device->id);
        reading.addBindValue(r.msecs);
        reading.addBindValue(nullable(r.ok, int(r.raw)));
        reading.addBindValue(nullable(hasValue(r), r.value));
        reading.addBindValue(int(r.state));
        if (!reading.exec())
            return failed(reading);
    }

    if (!query.exec(QStringLiteral("COMMIT")))
        return failed(query);
    for (auto &entry : devices)
        entry.second.dirty = false;
    return true;
}

bool Recorder::setAside()
{
    db.close();
    const QFileInfo file(path);
    const QString aside = file.dir().filePath(
        QStringLiteral("%1-damaged-%2.db")
            .arg(file.completeBaseName(), QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    if (QFileInfo::exists(aside) || !QFile::rename(path, aside))
        return false;
    // Its journal may hold the last commits: it stays with it.
    QFile::rename(path + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));

    // Rows of the old file are gone from this one: devices are written again,
    // and events already written there take no more repeats.
    changedEvents.clear();
    for (auto &entry : devices) {
        Device &device = entry.second;
        if (device.returned)
            journalReturn(device);
        if (device.last && device.last->id != 0)
            device.last.reset();
        device.id = 0;
        device.dirty = true;
    }
    systemEvent(QStringLiteral("history.db 已损坏，已改名为 %1").arg(QFileInfo(aside).fileName()));
    return true;
}

void Recorder::stopped(const QSqlError &error)
{
    // Opened again at the next attempt, so a file made writable is seen.
    db.close();
    const QString now = reasonOf(error);
    if (recording) {
        recording = false;
        systemEvent(QStringLiteral("历史记录暂停：%1").arg(now));
    } else if (now == reason) {
        return;
    }
    reason = now;
    emit recordingChanged(false, reason);
}

// ---- once a second -----------------------------------------------------------

void Recorder::tick()
{
    flush();
    if (recording && retentionDays > 0 && QDateTime::currentMSecsSinceEpoch() >= nextPrune) {
        nextPrune = Never;
        pruneTable = 0;
        pruneBatch();
    }
}

void Recorder::pruneBatch()
{
    const char *const tables[] = {"readings", "events"};
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const int rows = pruneRows;
    QElapsedTimer clock;
    clock.start();
    QSqlQuery query(db);
    int deleted = -1;
    if (db.isOpen() && query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        if (query.exec(QStringLiteral("DELETE FROM %1 WHERE rowid IN (SELECT rowid FROM %1 WHERE t < %2 LIMIT %3)")
                           .arg(QLatin1String(tables[pruneTable]))
                           .arg(now - retentionDays * DayMs)
                           .arg(rows)))
            deleted = query.numRowsAffected();
        if (deleted < 0 || !query.exec(QStringLiteral("COMMIT"))) {
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            deleted = -1;
        }
    }
    if (deleted < 0) {
        nextPrune = now + 60 * 1000; // tried again in a minute
        return;
    }
    const qint64 ms = clock.elapsed();
    if (ms > PruneTargetMs)
        pruneRows = qMax(100, rows / 2);
    else if (ms < PruneTargetMs / 3 && deleted == rows)
        pruneRows = qMin(rows * 2, 100000);
    if (deleted < rows && ++pruneTable == 2) {
        nextPrune = now + DayMs;
        return;
    }
    QTimer::singleShot(PrunePauseMs, this, &Recorder::pruneBatch);
}
