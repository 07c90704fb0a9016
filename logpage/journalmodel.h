#ifndef JOURNALMODEL_H
#define JOURNALMODEL_H

#include <QAbstractTableModel>
#include <QSqlDatabase>
#include <QVector>

class QSqlQuery;

// What the journal shows: a time range and, optionally, one area or one
// device, one kind of event and only the alarms nobody acknowledged yet.
struct JournalFilter
{
    enum Kind { AnyKind = -1, AlarmKind, AbnormalKind, OfflineKind, SystemKind };
    qint64 from = 0; // milliseconds since the epoch, inclusive
    qint64 to = 0;   // exclusive
    QString area;    // empty: every area
    QString device;  // empty: every device of the area
    int kind = AnyKind;
    bool unacknowledgedOnly = false;
};

// The events of history.db newest first, read a page at a time: a million
// events cost no more to open than a hundred, and scrolling fetches the next
// page from where the last one ended (time, id), never by offset.
class JournalModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { TimeColumn, AreaColumn, DeviceColumn, EventColumn, ValueColumn, AckUserColumn, AckTimeColumn,
                  ColumnCount };
    static constexpr int PageSize = 200;

    explicit JournalModel(QObject *parent = nullptr);

    void setDatabase(const QSqlDatabase &db) { database = db; }
    // Starts over from the newest event that matches.
    void setFilter(const JournalFilter &filter);
    const JournalFilter &filter() const { return current; }

    // The selected rows' unacknowledged alarms get user and now; the others
    // are left as they are. Returns how many were acknowledged, -1 on a
    // database error.
    int acknowledge(const QModelIndexList &rows, const QString &user);
    // Every event that matches the filter, not only the pages fetched.
    bool exportCsv(const QString &path, QString *error) const;
    QString lastError() const { return error; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

private:
    struct Event
    {
        qint64 id;
        qint64 t;
        int repeats;
        int kind;
        QString area;
        QString device;
        int type;
        QVariant value;
        QString text;
        QString ackUser;
        QVariant ackT;
    };
    static QString cell(const Event &e, int column);
    // The filter's WHERE clause; continued: below the last event fetched.
    QString whereClause(bool continued) const;
    void bindFilter(QSqlQuery &q) const;

    QSqlDatabase database;
    JournalFilter current;
    QVector<Event> events;
    bool atEnd = true;
    QString error;
};

#endif
