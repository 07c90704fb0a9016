#include "sqlfile.h"
#include "sqlitehelper.h"

#include <QtTest>

class TestSqliteHelper : public QObject
{
    Q_OBJECT

    QTemporaryDir base;

private slots:
    void initTestCase()
    {
        // The first instance() of this process makes the file; a second one runs no SQL.
        QVERIFY(QDir::setCurrent(base.path()));
        SqliteHelper *store = SqliteHelper::instance();
        QVERIFY(QFile::remove("data.db"));
        QCOMPARE(SqliteHelper::instance(), store);
        QVERIFY(!QFile::exists("data.db"));
    }

    void firstUse_data()
    {
        // SQL, or "garbage" for a file that is no database, "folder" for a
        // folder of that name, "locked" for a file another process holds.
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("schema"); // none: the file stays byte for byte
        QTest::addColumn<QString>("problem"); // said at start, %1 the file
        const QString treeView = "CREATE TABLE TreeView(item TEXT, parent TEXT, Level INT)";
        const QString devices = "Devices|name VARCHAR(40) 10, parent VARCHAR(40) 10, DeviceAddr INTEGER 10, RegAddr "
                                "INTEGER 10, MaxTemp INTEGER 10, MinTemp INTEGER 10, MaxUnnormalTemp INTEGER 10, "
                                "MinUnnormalTemp INTEGER 10, Devicetype INTEGER 10";
        const QString ownTreeView = "TreeView|item TEXT 00, parent TEXT 00, Level INT 00";
        QTest::newRow("no file") << QStringList() << QStringList{devices, "TreeView|item VARCHAR(40) 10, parent VARCHAR(40) 10, Level INTEGER 10", "rows|0"} << "";
        QTest::newRow("empty TreeView, Devices with a row")
            << QStringList{treeView, "CREATE TABLE Devices(name TEXT)", "INSERT INTO Devices VALUES('kept')"}
            << QStringList{"Devices|name TEXT 00", ownTreeView, "rows|1"}
            << "%1 中的表 Devices 缺少列 parent,DeviceAddr,RegAddr,MaxTemp,MinTemp,MaxUnnormalTemp,MinUnnormalTemp,"
               "Devicetype，修改无法保存";
        QTest::newRow("TreeView with rows, no Devices") << QStringList{treeView, "INSERT INTO TreeView VALUES('A','设备列表',1)"} << QStringList{devices, ownTreeView, "rows|1"} << "";
        QTest::newRow("not a database") << QStringList{"garbage"} << QStringList() << "%1 已损坏或不是数据文件";
        QTest::newRow("a folder") << QStringList{"folder"} << QStringList() << "%1 是一个文件夹，不是数据文件";
        QTest::newRow("locked") << QStringList{treeView, "locked"} << QStringList() << "%1 被其他程序锁定，无法读取";
    }

    void firstUse()
    {
        QFETCH(QStringList, setup);
        QFETCH(QStringList, schema);
        QFETCH(QString, problem);
        QTemporaryDir work;
        const QString db = work.filePath("data.db");
        QVERIFY(QDir::setCurrent(work.path()));
        QSqlDatabase lock = QSqlDatabase::addDatabase("QSQLITE", "lock");
        lock.setDatabaseName(db);
        for (const QString &statement : setup) {
            if (statement == "garbage")
                QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), db));
            else if (statement == "folder")
                QVERIFY(QDir().mkdir("data.db"));
            else if (statement != "locked")
                QCOMPARE(sql(statement), QStringList());
        }
        QFile file(db);
        const QByteArray before = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        file.close();
        // Locked after the read: closing any descriptor of the file drops this process's locks.
        if (setup.contains("locked"))
            QVERIFY(lock.open() && QSqlQuery(lock).exec("BEGIN EXCLUSIVE"));
        // The store is one per process: a fresh copy of this program makes the first call.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--first"});
        QVERIFY(child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), problem.isEmpty() ? problem : problem.arg(db));
        lock.close();
        lock = QSqlDatabase();
        QSqlDatabase::removeDatabase("lock");
        if (schema.isEmpty()) {
            QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), before);
            return;
        }
        // Per table each column's name, declared type, not null, part of a primary key; then the row count.
        QCOMPARE(sql("SELECT n, group_concat(c, ', ') FROM (SELECT m.name n, p.name || ' ' || p.type || "
                             "' ' || p.\"notnull\" || p.pk c FROM sqlite_master m LEFT JOIN pragma_table_info(m.name) "
                             "p ORDER BY m.name, p.cid) GROUP BY n UNION ALL SELECT 'rows', (SELECT count(*) FROM "
                             "TreeView) + (SELECT count(*) FROM Devices)"),
                 schema);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && argv[1] == QByteArray("--first"))
        return QTextStream(stdout) << SqliteHelper::instance()->problem(), 0;
    TestSqliteHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sqlitehelper.moc"
