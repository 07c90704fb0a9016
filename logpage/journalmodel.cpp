#include "journalmodel.h"

#include "csvfile.h"
#include "history/historyschema.h"
#include "history/readingstate.h"

#include <QBrush>
#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const char *const kSelect =
    "SELECT e.id, e.t, e.repeats, e.kind, d.area, d.name, d.type, e.value, e.text, e.ack_user, e.ack_t"
    " FROM events e LEFT JOIN devices d ON d.id = e.device";

QString displayTime(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

JournalModel::JournalModel(QObject *parent) : QAbstractTableModel(parent) {}

QString JournalModel::whereClause(bool continued) const
{
    using namespace HistorySchema;
    QString w = QStringLiteral(" WHERE e.t >= :from AND e.t < :to");
    if (!current.device.isEmpty())
        w += QStringLiteral(" AND e.device IN (SELECT id FROM devices WHERE area = :area AND name = :device)");
    else if (!current.area.isEmpty())
        w += QStringLiteral(" AND e.device IN (SELECT id FROM devices WHERE area = :area)");
    switch (current.kind) {
    case JournalFilter::AlarmKind: w += QStringLiteral(" AND e.kind = %1").arg(Alarm); break;
    case JournalFilter::AbnormalKind: w += QStringLiteral(" AND e.kind = %1").arg(Abnormal); break;
    case JournalFilter::OfflineKind: w += QStringLiteral(" AND e.kind IN (%1, %2)").arg(Offline).arg(SensorError); break;
    case JournalFilter::SystemKind: w += QStringLiteral(" AND e.kind = %1").arg(System); break;
    default: break;
    }
    if (current.unacknowledgedOnly)
        w += QStringLiteral(" AND e.kind = %1 AND e.ack_user IS NULL").arg(Alarm);
    if (continued)
        w += QStringLiteral(" AND (e.t < :afterT OR (e.t = :afterT AND e.id < :afterId))");
    return w;
}

void JournalModel::bindFilter(QSqlQuery &q) const
{
    q.bindValue(QStringLiteral(":from"), current.from);
    q.bindValue(QStringLiteral(":to"), current.to);
    if (!current.area.isEmpty())
        q.bindValue(QStringLiteral(":area"), current.area);
    if (!current.device.isEmpty())
        q.bindValue(QStringLiteral(":device"), current.device);
}

void JournalModel::setFilter(const JournalFilter &filter)
{
    beginResetModel();
    current = filter;
    events.clear();
    atEnd = false;
    endResetModel();
    fetchMore(QModelIndex());
}

bool JournalModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !atEnd;
}

void JournalModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid() || atEnd)
        return;
    const bool continued = !events.isEmpty();
    QSqlQuery q(database);
    q.setForwardOnly(true);
    q.prepare(QLatin1String(kSelect) + whereClause(continued)
              + QStringLiteral(" ORDER BY e.t DESC, e.id DESC LIMIT %1").arg(PageSize));
    bindFilter(q);
    if (continued) {
        q.bindValue(QStringLiteral(":afterT"), events.last().t);
        q.bindValue(QStringLiteral(":afterId"), events.last().id);
    }
    QVector<Event> page;
    if (!q.exec()) {
        error = q.lastError().text();
        atEnd = true;
        return;
    }
    while (q.next())
        page.append({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toInt(), q.value(3).toInt(),
                     q.value(4).toString(), q.value(5).toString(), q.value(6).toInt(), q.value(7),
                     q.value(8).toString(), q.value(9).toString(), q.value(10)});
    atEnd = page.size() < PageSize;
    if (page.isEmpty())
        return;
    beginInsertRows(QModelIndex(), events.size(), events.size() + page.size() - 1);
    events += page;
    endInsertRows();
}

int JournalModel::acknowledge(const QModelIndexList &rows, const QString &user)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QSqlQuery q(database);
    q.prepare(QStringLiteral("UPDATE events SET ack_user = ?, ack_t = ? WHERE id = ? AND kind = ? AND ack_user IS NULL"));
    int done = 0;
    database.transaction();
    for (const QModelIndex &index : rows) {
        Event &e = events[index.row()];
        if (e.kind != HistorySchema::Alarm || !e.ackUser.isEmpty())
            continue;
        q.addBindValue(user);
        q.addBindValue(now);
        q.addBindValue(e.id);
        q.addBindValue(int(HistorySchema::Alarm));
        if (!q.exec()) {
            error = q.lastError().text();
            database.rollback();
            return -1;
        }
        if (q.numRowsAffected() == 1) {
            e.ackUser = user;
            e.ackT = now;
            ++done;
        }
    }
    if (!database.commit()) {
        error = database.lastError().text();
        return -1;
    }
    if (done)
        emit dataChanged(index(0, AckUserColumn), index(events.size() - 1, AckTimeColumn));
    return done;
}

QString JournalModel::cell(const Event &e, int column)
{
    switch (column) {
    case TimeColumn: return displayTime(e.t);
    case AreaColumn: return e.area;
    case DeviceColumn: return e.device;
    case EventColumn: return e.repeats > 1 ? tr("%1 (%2 次)").arg(e.text).arg(e.repeats) : e.text;
    case ValueColumn: return e.value.isNull() ? QString() : valueText(e.type, e.value.toDouble()) + unitOf(e.type);
    case AckUserColumn: return e.ackUser;
    case AckTimeColumn: return e.ackT.isNull() ? QString() : displayTime(e.ackT.toLongLong());
    }
    return QString();
}

int JournalModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : events.size();
}

int JournalModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant JournalModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const Event &e = events.at(index.row());
    if (role == Qt::DisplayRole)
        return cell(e, index.column());
    if (role == Qt::ForegroundRole && e.kind == HistorySchema::Alarm && e.ackUser.isEmpty())
        return QBrush(Qt::red);
    return QVariant();
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    const QString titles[] = {tr("时间"), tr("区域"), tr("设备"), tr("事件"), tr("值"), tr("确认人"), tr("确认时间")};
    return section >= 0 && section < ColumnCount ? titles[section] : QVariant();
}

bool JournalModel::exportCsv(const QString &path, QString *errorText) const
{
    QSqlQuery q(database);
    q.setForwardOnly(true);
    q.prepare(QLatin1String(kSelect) + whereClause(false) + QStringLiteral(" ORDER BY e.t DESC, e.id DESC"));
    bindFilter(q);
    if (!q.exec()) {
        *errorText = q.lastError().text();
        return false;
    }
    CsvFile csv(path);
    if (!csv.open()) {
        *errorText = csv.errorString();
        return false;
    }
    csv.writeRow({QStringLiteral("time"), QStringLiteral("area"), QStringLiteral("device"), QStringLiteral("event"),
                  QStringLiteral("repeats"), QStringLiteral("value"), QStringLiteral("unit"),
                  QStringLiteral("ack_user"), QStringLiteral("ack_time")});
    while (q.next()) {
        const QVariant value = q.value(7), ackT = q.value(10);
        csv.writeRow({CsvFile::localTime(q.value(1).toLongLong()), q.value(4).toString(), q.value(5).toString(),
                      q.value(8).toString(), q.value(2).toString(),
                      value.isNull() ? QString() : valueText(q.value(6).toInt(), value.toDouble()),
                      value.isNull() ? QString() : unitOf(q.value(6).toInt()), q.value(9).toString(),
                      ackT.isNull() ? QString() : CsvFile::localTime(ackT.toLongLong())});
    }
    if (!csv.commit()) {
        *errorText = csv.errorString();
        return false;
    }
    return true;
}
