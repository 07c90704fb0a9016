#include "sqlitehelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

using Rows = QList<QVariantList>;

// Runs SQL on a file through a connection of its own, apart from the store's.
// A failure comes back as one row saying so.
Rows sqlOn(const QString &file, const QString &sql)
{
    Rows rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(file);
        QSqlQuery query(db);
        if (!db.open() || !query.exec(sql))
            rows << QVariantList{"failed"};
        while (query.next()) {
            rows << QVariantList();
            for (int i = 0; i < query.record().count(); ++i)
                rows.last() << query.value(i);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    return rows;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList logged; // debug lines of the current case
QtMessageHandler qtestHandler = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        logged << message;
    else
        qtestHandler(type, context, message);
}

TreeRowRecord area(const QString &name)
{
    return {{"item", name}, {"parent", QStringLiteral("设备列表")}, {"Level", QStringLiteral("1")}};
}

DeviceRecord device(const QString &name, const QString &parent, double maxTemp = 37.5, double minTemp = 12.5)
{
    return {{"name", name}, {"parent", parent}, {"DeviceAddr", 3}, {"RegAddr", 100}, {"MaxTemp", maxTemp},
            {"MinTemp", minTemp}, {"MaxUnnormalTemp", 30.0}, {"MinUnnormalTemp", 15.0}, {"Devicetype", 0}};
}

} // namespace

class TestSqliteHelper : public QObject
{
    Q_OBJECT

    QTemporaryDir base;
    QScopedPointer<QTemporaryDir> work;
    QString db() const { return work->filePath(QStringLiteral("data.db")); }
    static SqliteHelper *store() { return SqliteHelper::instance(); }

private slots:
    void initTestCase()
    {
        // The first instance() of this process, in an empty folder: every
        // other case starts from a copy of the file it leaves.
        QVERIFY(QDir::setCurrent(base.path()));
        store();
        QVERIFY(QFile::rename(QStringLiteral("data.db"), QStringLiteral("pristine.db")));
        QCOMPARE(SqliteHelper::instance(), store());
        QVERIFY2(!QFile::exists(QStringLiteral("data.db")), "a second instance() ran SQL");
        qtestHandler = qInstallMessageHandler(&capture);
    }

    void init()
    {
        work.reset(new QTemporaryDir);
        QVERIFY(QFile::copy(base.filePath(QStringLiteral("pristine.db")), db()));
        QVERIFY(QDir::setCurrent(work->path()));
        logged.clear();
    }

    void firstUse_data()
    {
        // SQL, or "garbage" for a file that is no database, "folder" for a
        // folder of that name, "locked" for a file another process holds.
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<Rows>("schema"); // none: the file stays byte for byte
        QTest::addColumn<QString>("problem"); // said at start, %1 the file
        const QString treeView = QStringLiteral("CREATE TABLE TreeView(item TEXT, parent TEXT, Level INT)");
        const QString devices = "Devices, name VARCHAR(40) 10, parent VARCHAR(40) 10, DeviceAddr INTEGER 10, RegAddr "
                                "INTEGER 10, MaxTemp INTEGER 10, MinTemp INTEGER 10, MaxUnnormalTemp INTEGER 10, "
                                "MinUnnormalTemp INTEGER 10, Devicetype INTEGER 10";
        QTest::newRow("no file")
            << QStringList()
            << Rows{{devices.section(", ", 0, 0), devices.section(", ", 1)},
                    {"TreeView", "item VARCHAR(40) 10, parent VARCHAR(40) 10, Level INTEGER 10"}, {"rows", 0}} << "";
        QTest::newRow("empty TreeView, Devices with a row")
            << QStringList{treeView, "CREATE TABLE Devices(name TEXT)", "INSERT INTO Devices VALUES('kept')"}
            << Rows{{"Devices", "name TEXT 00"}, {"TreeView", "item TEXT 00, parent TEXT 00, Level INT 00"}, {"rows", 1}}
            << "%1 中的表 Devices 缺少列 parent,DeviceAddr,RegAddr,MaxTemp,MinTemp,MaxUnnormalTemp,MinUnnormalTemp,"
               "Devicetype，修改无法保存";
        QTest::newRow("TreeView with rows, no Devices")
            << QStringList{treeView, "INSERT INTO TreeView VALUES('A','设备列表',1)"}
            << Rows{{devices.section(", ", 0, 0), devices.section(", ", 1)},
                    {"TreeView", "item TEXT 00, parent TEXT 00, Level INT 00"}, {"rows", 1}} << "";
        QTest::newRow("not a database") << QStringList{"garbage"} << Rows() << "%1 已损坏或不是数据文件";
        QTest::newRow("a folder") << QStringList{"folder"} << Rows() << "%1 是一个文件夹，不是数据文件";
        QTest::newRow("locked") << QStringList{treeView, "locked"} << Rows() << "%1 被其他程序锁定，无法读取";
    }

    void firstUse()
    {
        QFETCH(QStringList, setup);
        QFETCH(Rows, schema);
        QFETCH(QString, problem);
        QVERIFY(QFile::remove(db()));
        QSqlDatabase lock = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
        lock.setDatabaseName(db());
        for (const QString &statement : setup) {
            if (statement == "garbage")
                QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), db()));
            else if (statement == "folder")
                QVERIFY(QDir(work->path()).mkdir("data.db"));
            else if (statement != "locked")
                QCOMPARE(sqlOn(db(), statement), Rows());
        }
        const QByteArray before = fileBytes(db());
        // Locked after the read: closing any descriptor of the file drops this process's locks.
        if (setup.contains("locked"))
            QVERIFY(lock.open() && QSqlQuery(lock).exec("BEGIN EXCLUSIVE"));

        // The store is one per process: a fresh copy of this program makes the first call.
        QProcess child;
        child.setWorkingDirectory(work->path());
        child.start(QCoreApplication::applicationFilePath(), {"--first"});
        QVERIFY(child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), problem.isEmpty() ? problem : problem.arg(db()));
        lock.close();
        lock = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("lock"));
        if (schema.isEmpty()) {
            QCOMPARE(fileBytes(db()), before);
            return;
        }
        // Per table each column's name, declared type, not null, part of a primary key; then the row count.
        QCOMPARE(sqlOn(db(), "SELECT n, group_concat(c, ', ') FROM (SELECT m.name n, p.name || ' ' || p.type || "
                             "' ' || p.\"notnull\" || p.pk c FROM sqlite_master m LEFT JOIN pragma_table_info(m.name) "
                             "p ORDER BY m.name, p.cid) GROUP BY n UNION ALL SELECT 'rows', (SELECT count(*) FROM "
                             "TreeView) + (SELECT count(*) FROM Devices)"),
                 schema);
    }

    void rowRules()
    {
        // Each step works on what the steps before it left, succeeds, and closes the database.
        const QList<std::pair<const char *, std::function<bool()>>> steps = {
            {"area", [] { return SqliteHelper::insertArea(area("A")); }},
            {"area row", [] { return store()->queryDataSet("select * from TreeView") == RowSet{area("A")}; }},
            {"device", [] { return SqliteHelper::insertDevice(device("D", "A")); }},
            {"select in capitals", [] { return store()->queryDataSet("SELECT * FROM TreeView").size() == 2; }},
            {"refused statement", [] { return store()->queryDataSet("DELETE FROM Devices").isEmpty(); }},
            {"select on a missing table", [] { return store()->queryDataSet("select * from Missing").isEmpty(); }},
            {"update of an unknown pair, and the refused statement, changed nothing", [] {
                 return SqliteHelper::updateDevice(device("D", "B", 99, 1))
                        && store()->selectDevice({{"item", "D"}, {"parent", "A"}}) == device("D", "A");
             }},
            {"delete by name, the tree row left to the caller", [] { return SqliteHelper::deleteDevice("D"); }},
        };
        for (const auto &step : steps) {
            QVERIFY2(step.second(), step.first);
            QVERIFY2(!QSqlDatabase::database(QSqlDatabase::defaultConnection, false).isOpen(), step.first);
        }
        QCOMPARE(sqlOn(db(), "SELECT item, parent, Level FROM TreeView"),
                 (Rows{{"A", "设备列表", 1}, {"D", "A", 2}}));
        QCOMPARE(sqlOn(db(), "SELECT * FROM Devices"), Rows());
        QCOMPARE(logged, (QStringList{"函数调用错误,方法queryDataSet()，限定于查询select",
                                      "\"SqliteHelper::SQL statement syntax error:select * from Missing\""}));
    }

    void insertDeviceIsAllOrNothing()
    {
        // The tree row is refused after the device row went in: the device row must go too.
        QCOMPARE(sqlOn(db(), "CREATE TRIGGER no BEFORE INSERT ON TreeView BEGIN SELECT RAISE(ABORT, 'no'); END"), Rows());
        QVERIFY(!SqliteHelper::insertDevice(device("D", "A")));
        QCOMPARE(sqlOn(db(), "SELECT count(*) FROM Devices"), Rows{{0}});
        // Nothing is left pending that would block the next insert.
        QCOMPARE(sqlOn(db(), "DROP TRIGGER no"), Rows());
        QVERIFY(SqliteHelper::insertDevice(device("D", "A")));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && argv[1] == QByteArray("--first")) {
        std::fputs(qPrintable(SqliteHelper::instance()->problem()), stdout);
        return 0;
    }
    TestSqliteHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sqlitehelper.moc"
