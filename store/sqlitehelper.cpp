#include "sqlitehelper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <atomic>

namespace {

const char *const kCreateTreeView =
    "CREATE TABLE TreeView (                            item VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             Level INTEGER NOT NULL)";
const char *const kCreateDevices =
    "CREATE TABLE Devices (                            name VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             DeviceAddr INTEGER NOT NULL,                             RegAddr INTEGER NOT NULL,                             MaxTemp INTEGER NOT NULL,                             MinTemp INTEGER NOT NULL,                             MaxUnnormalTemp INTEGER NOT NULL,                             MinUnnormalTemp INTEGER NOT NULL,                             Devicetype INTEGER NOT NULL)";

const char *const kDeviceColumns[] = {"name", "parent", "DeviceAddr", "RegAddr", "MaxTemp",
                                      "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp", "Devicetype"};

const char *const kInsertTreeRow = "INSERT INTO TreeView(item,parent,Level)VALUES (:item,:parent,:Level)";

// Set once at start when data.db cannot be read: every operation then fails at
// once, and the file is never touched.
std::atomic<bool> fileUnreadable{false};

QString text(const char *source)
{
    return QCoreApplication::translate("SqliteHelper", source);
}

// One operation's use of the database: opened on entry, closed on every way out.
class Session
{
public:
    Session() : db(SqliteHelper::openDatabase()) {}
    ~Session() { db.close(); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // A handle without a name, or a file that would not open, runs no SQL.
    bool usable() const { return !fileUnreadable && !db.connectionName().isEmpty() && db.isOpen(); }

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

// Runs a prepared statement with :name and :area bound.
bool execFor(QSqlQuery &query, const QString &statement, const QString &name, const QString &area)
{
    query.prepare(statement);
    query.bindValue(QStringLiteral(":name"), name);
    query.bindValue(QStringLiteral(":area"), area);
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
    const QFileInfo file(QStringLiteral("data.db"));
    const QString path = file.absoluteFilePath();
    if (file.isDir()) {
        fileUnreadable = true;
        m_problem = text("%1 是一个文件夹，不是数据文件").arg(path);
        return;
    }
    const bool readOnly = file.exists() && !file.isWritable();
    QSqlDatabase db = openDatabase();
    db.close();
    // A lock held by another process is reported at once, not waited for.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    const bool opened = db.open();
    {
        QSqlQuery query(db);
        if (!opened || !query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"))) {
            fileUnreadable = true;
            const QSqlError error = opened ? query.lastError() : db.lastError();
            const QString code = error.nativeErrorCode();
            m_problem = code == QLatin1String("5") || code == QLatin1String("6")
                            ? text("%1 被其他程序锁定，无法读取").arg(path)
                        : code == QLatin1String("11") || code == QLatin1String("26")
                            ? text("%1 已损坏或不是数据文件").arg(path)
                            : text("%1 无法读取: %2").arg(path, error.text());
        } else {
            QStringList tables;
            while (query.next())
                tables << query.value(0).toString();
            m_problem = readOnly ? text("%1 是只读文件，修改无法保存").arg(path) : checkTables(query, tables);
        }
    }
    db.close();
    db.setConnectOptions(QString());
}

QString SqliteHelper::checkTables(QSqlQuery &query, const QStringList &tables) const
{
    const QString path = QFileInfo(QStringLiteral("data.db")).absoluteFilePath();
    const struct { const char *name; const char *create; QStringList columns; } layout[] = {
        {"TreeView", kCreateTreeView, {"item", "parent", "Level"}},
        {"Devices", kCreateDevices, {"name", "parent", "DeviceAddr", "RegAddr", "MaxTemp", "MinTemp",
                                     "MaxUnnormalTemp", "MinUnnormalTemp", "Devicetype"}}};
    for (const auto &table : layout) {
        const QString name = QLatin1String(table.name);
        // A missing table is made as in a new file; one of another layout is left as it is.
        if (!tables.contains(name)) {
            if (!query.exec(QString::fromUtf8(table.create)))
                return text("%1 无法创建表 %2: %3").arg(path, name, query.lastError().text());
            continue;
        }
        QStringList missing = table.columns;
        query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(name));
        while (query.next())
            missing.removeAll(query.value(1).toString());
        if (!missing.isEmpty())
            return text("%1 中的表 %2 缺少列 %3，修改无法保存").arg(path, name, missing.join(QLatin1Char(',')));
    }
    return QString();
}

QString SqliteHelper::problem() const
{
    return m_problem;
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
    query.prepare(QStringLiteral("DELETE FROM Devices WHERE name = ?"));
    query.addBindValue(name);
    return query.exec();
}

bool SqliteHelper::deleteDeviceRows(const QString &name, const QString &area)
{
    Session session;
    if (!session.usable())
        return false;
    // A device that lost only its tree row would come back as a tile at the
    // next start; a device of the same name in another area stays.
    return inTransaction(session.db, [&name, &area](QSqlQuery &query) {
        return execFor(query, QStringLiteral("DELETE FROM TreeView WHERE item = :name AND Level = 2 AND parent = :area"),
                       name, area)
               && execFor(query, QStringLiteral("DELETE FROM Devices WHERE name = :name AND parent = :area"), name, area);
    });
}

int SqliteHelper::deleteArea(const QString &name)
{
    Session session;
    if (!session.usable())
        return -1;
    // Another copy of the program on the same file may have filled the area
    // since this one read the tree.
    bool holdsDevices = false;
    const bool deleted = inTransaction(session.db, [&name, &holdsDevices](QSqlQuery &query) {
        query.prepare(QStringLiteral("SELECT count(*) FROM Devices WHERE parent = :area"));
        query.bindValue(QStringLiteral(":area"), name);
        if (!query.exec() || !query.next())
            return false;
        holdsDevices = query.value(0).toInt() != 0;
        if (holdsDevices)
            return false;
        query.prepare(QStringLiteral("DELETE FROM TreeView WHERE item = :item AND Level = 1"));
        query.bindValue(QStringLiteral(":item"), name);
        return query.exec();
    });
    return deleted ? 1 : holdsDevices ? 0 : -1;
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
