#include "sqlitehelper.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

const char *const kCreateTreeView =
    "CREATE TABLE TreeView (                            item VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             Level INTEGER NOT NULL)";
const char *const kCreateDevices =
    "CREATE TABLE Devices (                            name VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             DeviceAddr INTEGER NOT NULL,                             RegAddr INTEGER NOT NULL,                             MaxTemp INTEGER NOT NULL,                             MinTemp INTEGER NOT NULL,                             MaxUnnormalTemp INTEGER NOT NULL,                             MinUnnormalTemp INTEGER NOT NULL,                             Devicetype INTEGER NOT NULL)";

const char *const kDeviceColumns[] = {"name", "parent", "DeviceAddr", "RegAddr", "MaxTemp",
                                      "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp", "Devicetype"};

const char *const kInsertTreeRow = "INSERT INTO TreeView(item,parent,Level)VALUES (:item,:parent,:Level)";
const char *const kDeleteTreeRow = "DELETE FROM TreeView WHERE item=:item AND Level=:Level";
const char *const kDeleteDevice = "DELETE FROM Devices WHERE name = ?";

// One operation's use of the database: opened on entry, closed on every way out.
class Session
{
public:
    Session() : db(SqliteHelper::openDatabase()) {}
    ~Session() { db.close(); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // A handle without a name, or a file that would not open, runs no SQL.
    bool usable() const { return !db.connectionName().isEmpty() && db.isOpen(); }

    QSqlDatabase db;
};

template <typename Keys>
bool hasKeys(const QMap<QString, QVariant> &record, const Keys &keys)
{
    for (const char *key : keys) {
        if (!record.contains(QLatin1String(key)))
            return false;
    }
    return true;
}

// Binds each device column's placeholder to the record value of that name.
void bindDevice(QSqlQuery &query, const DeviceRecord &record)
{
    for (const char *key : kDeviceColumns)
        query.bindValue(QLatin1Char(':') + QLatin1String(key), record.value(QLatin1String(key)));
}

// Runs a prepared count and tells whether it came to zero; a count that
// fails is not taken for zero.
bool countIsZero(QSqlQuery &query)
{
    return query.exec() && query.next() && query.value(0).toInt() == 0;
}

// Runs body's statements as one transaction: all of them or, on any failure,
// none, also when the process dies half-way.
template <typename Body>
bool inTransaction(QSqlDatabase &db, Body body)
{
    if (!db.transaction())
        return false;
    bool ok;
    { // the query is done with before the commit
        QSqlQuery query(db);
        ok = body(query);
    }
    if (ok)
        ok = db.commit();
    if (!ok)
        db.rollback();
    return ok;
}

bool deleteTreeRowIn(QSqlQuery &query, const QVariant &item, const QVariant &level)
{
    query.prepare(QLatin1String(kDeleteTreeRow));
    query.bindValue(QStringLiteral(":item"), item);
    query.bindValue(QStringLiteral(":Level"), level);
    return query.exec();
}

bool deleteDeviceIn(QSqlQuery &query, const QString &name)
{
    query.prepare(QLatin1String(kDeleteDevice));
    query.addBindValue(name);
    return query.exec();
}

} // namespace

SqliteHelper *SqliteHelper::instance()
{
    // A function-local static is built exactly once, also under concurrent first calls.
    static SqliteHelper helper;
    return &helper;
}

SqliteHelper::SqliteHelper()
{
    Session session;
    if (!session.usable())
        return;
    QSqlQuery query(session.db);
    // An empty or missing TreeView means a new file. The CREATE statements
    // fail harmlessly on tables that exist, so a file with rows is never touched.
    if (query.exec(QStringLiteral("select * from TreeView")) && query.next())
        return;
    query.exec(QString::fromUtf8(kCreateTreeView));
    query.exec(QString::fromUtf8(kCreateDevices));
}

QSqlDatabase SqliteHelper::openDatabase()
{
    // Registered once and reopened for every operation. A connection belongs
    // to the thread that registered it, so a thread that cannot use the
    // registration takes it over.
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    QSqlDatabase db;
    if (QSqlDatabase::contains(name))
        db = QSqlDatabase::database(name, false);
    if (!db.isValid()) {
        QSqlDatabase::removeDatabase(name);
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    }
    db.setDatabaseName(QStringLiteral("data.db"));
    db.open();
    return db;
}

bool SqliteHelper::insertArea(const TreeRowRecord &record)
{
    static const char *const keys[] = {"item", "parent", "Level"};
    if (!hasKeys(record, keys))
        return false;
    Session session;
    if (!session.usable())
        return false;
    QSqlQuery query(session.db);
    query.prepare(QStringLiteral("SELECT count(*) FROM TreeView WHERE item = :item"));
    query.bindValue(QStringLiteral(":item"), record.value(QStringLiteral("item")));
    if (!countIsZero(query))
        return false;
    query.prepare(QLatin1String(kInsertTreeRow));
    query.bindValue(QStringLiteral(":item"), record.value(QStringLiteral("item")));
    query.bindValue(QStringLiteral(":parent"), record.value(QStringLiteral("parent")));
    query.bindValue(QStringLiteral(":Level"), record.value(QStringLiteral("Level")));
    return query.exec();
}

bool SqliteHelper::deleteTreeRow(const TreeRowRecord &record)
{
    Session session;
    if (!session.usable())
        return false;
    QSqlQuery query(session.db);
    return deleteTreeRowIn(query, record.value(QStringLiteral("item")), record.value(QStringLiteral("Level")));
}

bool SqliteHelper::insertDevice(const DeviceRecord &record)
{
    if (!hasKeys(record, kDeviceColumns))
        return false;
    Session session;
    if (!session.usable())
        return false;
    // The device row and its tree row go in together or not at all.
    return inTransaction(session.db, [&record](QSqlQuery &query) {
        query.prepare(QStringLiteral("SELECT count(*) FROM Devices WHERE name = :name"));
        query.bindValue(QStringLiteral(":name"), record.value(QStringLiteral("name")));
        if (!countIsZero(query))
            return false;
        query.prepare(QStringLiteral(
            "INSERT INTO Devices(name,parent,DeviceAddr,RegAddr,MaxTemp,MinTemp,MaxUnnormalTemp,"
            "MinUnnormalTemp,Devicetype)VALUES (:name,:parent,:DeviceAddr,:RegAddr,:MaxTemp,"
            ":MinTemp,:MaxUnnormalTemp,:MinUnnormalTemp,:Devicetype)"));
        bindDevice(query, record);
        if (!query.exec())
            return false;
        query.prepare(QLatin1String(kInsertTreeRow));
        query.bindValue(QStringLiteral(":item"), record.value(QStringLiteral("name")));
        query.bindValue(QStringLiteral(":parent"), record.value(QStringLiteral("parent")));
        query.bindValue(QStringLiteral(":Level"), 2);
        return query.exec();
    });
}

bool SqliteHelper::updateDevice(const DeviceRecord &record)
{
    Session session;
    if (!session.usable())
        return false;
    QSqlQuery query(session.db);
    query.prepare(QStringLiteral(
        "UPDATE Devices SET DeviceAddr=:DeviceAddr,RegAddr=:RegAddr,                     MaxTemp=:MaxTemp,MinTemp=:MinTemp,MaxUnnormalTemp=:MaxUnnormalTemp,                    MinUnnormalTemp=:MinUnnormalTemp,Devicetype=:Devicetype WHERE name=:name AND parent=:parent"));
    bindDevice(query, record);
    return query.exec();
}

bool SqliteHelper::deleteDevice(const QString &name)
{
    Session session;
    if (!session.usable())
        return false;
    QSqlQuery query(session.db);
    return deleteDeviceIn(query, name);
}

bool SqliteHelper::deleteDeviceRows(const QString &name)
{
    Session session;
    if (!session.usable())
        return false;
    // A device that lost only its tree row would come back as a tile at the next start.
    return inTransaction(session.db, [&name](QSqlQuery &query) {
        return deleteTreeRowIn(query, name, 2) && deleteDeviceIn(query, name);
    });
}

DeviceRecord SqliteHelper::selectDevice(const TreeRowRecord &key)
{
    DeviceRecord result;
    Session session;
    if (!session.usable())
        return result;
    QSqlQuery query(session.db);
    query.prepare(QStringLiteral("SELECT * FROM Devices WHERE name = :item AND parent = :parent"));
    query.bindValue(QStringLiteral(":item"), key.value(QStringLiteral("item")));
    query.bindValue(QStringLiteral(":parent"), key.value(QStringLiteral("parent")));
    if (!query.exec())
        return result;
    // With several matches the last one wins.
    while (query.next()) {
        const QSqlRecord row = query.record();
        for (int i = 0; i < row.count(); ++i)
            result.insert(row.fieldName(i), row.value(i));
    }
    return result;
}

RowSet SqliteHelper::queryDataSet(const QString &sql)
{
    RowSet rows;
    Session session;
    if (!sql.contains(QLatin1String("select"), Qt::CaseInsensitive)) {
        qDebug() << "函数调用错误,方法queryDataSet()，限定于查询select";
        return rows;
    }
    if (!session.usable())
        return rows;
    QSqlQuery query(session.db);
    query.exec(sql);
    switch (query.lastError().type()) {
    case QSqlError::ConnectionError:
        qDebug() << "SqliteHelper::ConnectionError";
        return rows;
    case QSqlError::StatementError:
        qDebug() << QStringLiteral("SqliteHelper::SQL statement syntax error:%1").arg(sql);
        return rows;
    default:
        break;
    }
    while (query.next()) {
        const QSqlRecord row = query.record();
        QMap<QString, QVariant> map;
        for (int i = 0; i < row.count(); ++i)
            map.insert(row.fieldName(i), row.value(i));
        rows.append(map);
    }
    return rows;
}
