// Writes generated history into a new history.db: readings as the recorder
// stores them (on change, at least once a minute while polled) with a daily
// swing and a slow drift, excursions into abnormal and alarm, offline
// stretches, sensor errors, nights when monitoring was stopped, and the
// journal's events for all of it.
//   histgen [--data DATA.DB | --devices K] [--days N] [--extra-events N] [--seed S] HISTORY.DB
// --data takes the devices of a data.db, --devices makes K of its own.
// --extra-events adds N further short abnormal spells, for loading the journal.
// An existing HISTORY.DB is never touched.
#include "history/historyschema.h"
#include "history/readingstate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

struct Device
{
    QString area;
    QString name;
    int type;
    DeviceLimits limits;
};

struct Event
{
    qint64 t;
    qint64 lastT;
    int repeats;
    int kind;
    int device; // index + 1, 0 for the system
    int from;
    int to;
    double value;
    bool hasValue;
    QString text;
    QString ackUser;
    qint64 ackT;
};

const qint64 Second = 1000, Minute = 60 * Second, Hour = 60 * Minute, Day = 24 * Hour;
const qint64 PollMsecs = 10 * Second;

int eventKind(ReadingState to)
{
    switch (to) {
    case ReadingState::Alarm: return HistorySchema::Alarm;
    case ReadingState::Abnormal: return HistorySchema::Abnormal;
    case ReadingState::Offline: return HistorySchema::Offline;
    case ReadingState::SensorError: return HistorySchema::SensorError;
    case ReadingState::Normal: break;
    }
    return HistorySchema::BackToNormal;
}

bool fail(const QString &what)
{
    std::fprintf(stderr, "histgen: %s\n", qPrintable(what));
    return false;
}

bool readDevices(const QString &path, QVector<Device> *devices)
{
    if (!QFile::exists(path))
        return fail(QStringLiteral("no %1").arg(path));
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("data"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery q(db);
        ok = db.open()
            && q.exec(QStringLiteral("SELECT parent, name, Devicetype, MinTemp, MinUnnormalTemp, MaxUnnormalTemp,"
                                     " MaxTemp FROM Devices ORDER BY rowid"));
        while (ok && q.next())
            devices->append({q.value(0).toString(), q.value(1).toString(), q.value(2).toInt(),
                             {q.value(3).toDouble(), q.value(4).toDouble(), q.value(5).toDouble(),
                              q.value(6).toDouble()}});
        if (!ok)
            fail(QStringLiteral("%1: %2").arg(path, q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("data"));
    return ok;
}

class Generator
{
public:
    Generator(QSqlDatabase &db, const QVector<Device> &devices, qint64 from, qint64 to, unsigned seed)
        : db(db), devices(devices), from(from), to(to), random(seed)
    {
    }

    bool run(int extraEvents);

private:
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); }
    // The start of the next spell of something that happens every meanMsecs on average.
    qint64 next(qint64 t, qint64 meanMsecs) { return t + qint64(std::exponential_distribution<double>(1.0 / meanMsecs)(random)); }
    void stoppedNights();
    bool device(int index, QSqlQuery &insert);
    void addEvent(int device, qint64 t, ReadingState from, ReadingState to, bool hasValue, double value);
    bool polled(qint64 t) const;

    QSqlDatabase &db;
    const QVector<Device> &devices;
    qint64 from, to;
    std::mt19937 random;
    QVector<QPair<qint64, qint64>> stopped; // monitoring stopped: nothing polled
    QVector<Event> events;
};

bool Generator::polled(qint64 t) const
{
    for (const auto &s : stopped)
        if (t >= s.first && t < s.second)
            return false;
    return true;
}

void Generator::stoppedNights()
{
    const QString started = QStringLiteral("监控开始 tarvo ttyKT0 9600 8N1");
    events.append({from, from, 1, HistorySchema::System, 0, 0, 0, 0, false, started, QString(), 0});
    for (qint64 t = next(from, 7 * Day); t < to - Day; t = next(t, 7 * Day)) {
        const qint64 end = t + qint64(uniform(2, 8) * Hour);
        stopped.append({t, end});
        events.append({t, t, 1, HistorySchema::System, 0, 0, 0, 0, false, QStringLiteral("监控停止 tarvo"), QString(), 0});
        events.append({end, end, 1, HistorySchema::System, 0, 0, 0, 0, false, started, QString(), 0});
    }
}

void Generator::addEvent(int device, qint64 t, ReadingState fromState, ReadingState toState, bool hasValue,
                         double value)
{
    // A change back and forth within five minutes is one event, repeated.
    for (int i = events.size() - 1; i >= 0 && events.at(i).device == device && t - events.at(i).lastT < 5 * Minute;
         --i) {
        Event &e = events[i];
        if (e.from == int(fromState) && e.to == int(toState)) {
            e.lastT = t;
            ++e.repeats;
            return;
        }
    }
    Event e{t, t, 1, eventKind(toState), device, int(fromState), int(toState), value, hasValue,
            stateText(ReadingState(fromState)) + QStringLiteral(" → ") + stateText(ReadingState(toState)), QString(), 0};
    // Yesterday's alarms and older were mostly seen to.
    if (e.kind == HistorySchema::Alarm && t < to - Day && uniform(0, 1) < 0.9) {
        e.ackUser = QStringLiteral("tarvo");
        e.ackT = t + qint64(uniform(5, 60) * Minute);
    }
    events.append(e);
}

bool Generator::device(int index, QSqlQuery &insert)
{
    const Device &d = devices.at(index);
    const double mid = (d.limits.abnormalLow + d.limits.abnormalHigh) / 2;
    const double half = (d.limits.abnormalHigh - d.limits.abnormalLow) / 2;
    const double phase = uniform(0, Day);
    std::normal_distribution<double> step(0, half * 0.002);
    double drift = 0;
    qint64 nextExcursion = next(from, 2 * Day), excursionEnd = 0, excursionStart = 0;
    double excursionPeak = 0;
    qint64 nextOffline = next(from, 4 * Day), offlineEnd = 0;
    qint64 nextSensorError = next(from, 10 * Day), sensorErrorEnd = 0;

    ReadingState lastState = ReadingState::Offline;
    qint64 lastStored = 0;
    QVariant lastRaw;
    bool wasPolled = false;
    for (qint64 t = from; t < to; t += PollMsecs) {
        if (!polled(t)) {
            wasPolled = false;
            continue;
        }
        if (t >= nextExcursion) {
            excursionStart = t;
            excursionEnd = t + qint64(uniform(10, 40) * Minute);
            // Half of them stay abnormal, half pass the alarm limit; one in four goes low.
            const bool alarm = uniform(0, 1) < 0.5, low = uniform(0, 1) < 0.25;
            const double limit = low ? d.limits.abnormalLow : d.limits.abnormalHigh;
            const double band = low ? d.limits.alarmLow - d.limits.abnormalLow : d.limits.alarmHigh - d.limits.abnormalHigh;
            excursionPeak = limit + band * (alarm ? uniform(1.05, 1.3) : uniform(0.2, 0.8)) - mid;
            nextExcursion = next(excursionEnd, 2 * Day);
        }
        if (t >= nextOffline) {
            offlineEnd = t + qint64(uniform(5, 60) * Minute);
            nextOffline = next(offlineEnd, 4 * Day);
        }
        if (t >= nextSensorError) {
            sensorErrorEnd = t + qint64(uniform(2, 20) * Minute);
            nextSensorError = next(sensorErrorEnd, 10 * Day);
        }

        drift = drift * 0.999 + step(random);
        double v = mid + 0.35 * half * std::sin(2 * M_PI * (t + phase) / Day) + drift;
        if (t < excursionEnd)
            v += excursionPeak * std::sin(M_PI * (t - excursionStart) / (excursionEnd - excursionStart));

        Reading r;
        r.deviceType = d.type;
        r.limits = d.limits;
        r.ok = t >= offlineEnd;
        r.raw = t < sensorErrorEnd ? SensorErrorRaw : quint16(qint16(std::lround(d.type == 0 ? v * 10 : v)));
        judge(r);
        const QVariant raw = r.ok ? QVariant(int(r.raw)) : QVariant();
        const bool hasValue = r.ok && r.state != ReadingState::SensorError;
        if (!wasPolled || r.state != lastState || raw != lastRaw || t - lastStored >= Minute) {
            insert.addBindValue(index + 1);
            insert.addBindValue(t);
            insert.addBindValue(raw);
            insert.addBindValue(hasValue ? QVariant(r.value) : QVariant());
            insert.addBindValue(int(r.state));
            if (!insert.exec())
                return fail(insert.lastError().text());
            lastStored = t;
        }
        if (wasPolled && r.state != lastState)
            addEvent(index + 1, t, lastState, r.state, hasValue, r.value);
        lastState = r.state;
        lastRaw = raw;
        wasPolled = true;
    }
    return true;
}

bool Generator::run(int extraEvents)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA synchronous=OFF"));
    db.transaction();
    q.prepare(QStringLiteral("INSERT INTO devices (id, area, name, type, alarm_low, abnormal_low, abnormal_high,"
                             " alarm_high) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (int i = 0; i < devices.size(); ++i) {
        const Device &d = devices.at(i);
        for (const QVariant &v : {QVariant(i + 1), QVariant(d.area), QVariant(d.name), QVariant(d.type),
                                  QVariant(d.limits.alarmLow), QVariant(d.limits.abnormalLow),
                                  QVariant(d.limits.abnormalHigh), QVariant(d.limits.alarmHigh)})
            q.addBindValue(v);
        if (!q.exec())
            return fail(q.lastError().text());
    }
    stoppedNights();
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO readings (device, t, raw, value, state) VALUES (?, ?, ?, ?, ?)"));
    for (int i = 0; i < devices.size(); ++i)
        if (!device(i, insert))
            return false;
    for (int i = 0; i < extraEvents && !devices.isEmpty(); ++i) {
        const int d = std::uniform_int_distribution<int>(1, devices.size())(random);
        const qint64 t = qint64(uniform(from, to));
        const bool back = i % 2;
        const Device &dev = devices.at(d - 1);
        events.append({t, t, 1, back ? HistorySchema::BackToNormal : HistorySchema::Abnormal, d,
                       back ? 1 : 0, back ? 0 : 1, dev.limits.abnormalHigh, true,
                       stateText(ReadingState(back ? 1 : 0)) + QStringLiteral(" → ") + stateText(ReadingState(back ? 0 : 1)), QString(), 0});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.t < b.t; });
    q.prepare(QStringLiteral("INSERT INTO events (uid, t, last_t, repeats, kind, device, from_state, to_state, value,"
                             " text, user, ack_user, ack_t) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const Event &e : events) {
        const bool system = e.device == 0;
        for (const QVariant &v :
             {QVariant(QUuid::createUuid().toString(QUuid::WithoutBraces)), QVariant(e.t), QVariant(e.lastT),
              QVariant(e.repeats), QVariant(e.kind), system ? QVariant() : QVariant(e.device),
              system ? QVariant() : QVariant(e.from), system ? QVariant() : QVariant(e.to),
              e.hasValue ? QVariant(e.value) : QVariant(), QVariant(e.text),
              system ? QVariant(QStringLiteral("tarvo")) : QVariant(),
              e.ackUser.isEmpty() ? QVariant() : QVariant(e.ackUser), e.ackUser.isEmpty() ? QVariant() : QVariant(e.ackT)})
            q.addBindValue(v);
        if (!q.exec())
            return fail(q.lastError().text());
    }
    if (!db.commit())
        return fail(db.lastError().text());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString data, out;
    int syntheticDevices = 0, days = 7, extraEvents = 0;
    unsigned seed = 1;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--data") && !args.isEmpty())
            data = args.takeFirst();
        else if (a == QLatin1String("--devices") && !args.isEmpty())
            syntheticDevices = args.takeFirst().toInt();
        else if (a == QLatin1String("--days") && !args.isEmpty())
            days = args.takeFirst().toInt();
        else if (a == QLatin1String("--extra-events") && !args.isEmpty())
            extraEvents = args.takeFirst().toInt();
        else if (a == QLatin1String("--seed") && !args.isEmpty())
            seed = args.takeFirst().toUInt();
        else if (out.isEmpty() && !a.startsWith(QLatin1String("--")))
            out = a;
        else
            out.clear(), args.clear(), days = 0;
    }
    if (out.isEmpty() || days <= 0 || (data.isEmpty() == (syntheticDevices <= 0))) {
        std::fprintf(stderr, "usage: histgen [--data DATA.DB | --devices K] [--days N] [--extra-events N] [--seed S]"
                             " HISTORY.DB\n");
        return 2;
    }
    if (QFile::exists(out)) {
        fail(QStringLiteral("%1 exists; it is left as it is").arg(out));
        return 1;
    }

    QVector<Device> devices;
    if (!data.isEmpty() && !readDevices(data, &devices))
        return 1;
    for (int i = 0; i < syntheticDevices; ++i)
        devices.append({QStringLiteral("区域-%1").arg(i / 10 + 1), QStringLiteral("设备-%1").arg(i + 1, 3, 10, QLatin1Char('0')),
                        0, {5, 10, 28, 35}});

    // Written under another name and renamed when complete: an interrupted
    // run leaves no history.db that looks real.
    const QString partial = out + QStringLiteral(".part");
    QFile::remove(partial);
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("history"));
        db.setDatabaseName(partial);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        ok = db.open() && HistorySchema::create(db);
        if (!ok)
            fail(QStringLiteral("%1: %2").arg(partial, db.lastError().text()));
        else
            ok = Generator(db, devices, now - days * Day, now, seed).run(extraEvents);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("history"));
    if (!ok || !QFile::rename(partial, out)) {
        QFile::remove(partial);
        return 1;
    }
    return 0;
}
