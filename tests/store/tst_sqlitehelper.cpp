#include "sqlitehelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The store is one per process: first-use and crash cases run in a fresh
// copy of this program, given its role as the only argument.
QProcess *startChild(const QString &role, const QString &dir)
{
    auto *child = new QProcess;
    child->setWorkingDirectory(dir);
    child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child->start(QCoreApplication::applicationFilePath(), {role});
    return child;
}

// Eight threads make the first call at once; all must get the one store.
int childFirstCalls()
{
    std::atomic<int> waiting{8};
    SqliteHelper *seen[8] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            for (--waiting; waiting > 0;) {
            }
            seen[i] = SqliteHelper::instance();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return seen[0] && std::count(seen, seen + 8, seen[0]) == 8 ? 0 : 2;
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

    void firstUseAndUnusableFiles_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<Rows>("schema"); // none: the file stays byte for byte and device operations fail
        QTest::addColumn<bool>("areasWork");
        const QString treeView = QStringLiteral("CREATE TABLE TreeView(item TEXT, parent TEXT, Level INT)");
        QTest::newRow("no file")
            << QStringList()
            << Rows{{"Devices", "name VARCHAR(40) 10, parent VARCHAR(40) 10, DeviceAddr INTEGER 10, RegAddr INTEGER 10, "
                                "MaxTemp INTEGER 10, MinTemp INTEGER 10, MaxUnnormalTemp INTEGER 10, MinUnnormalTemp "
                                "INTEGER 10, Devicetype INTEGER 10"},
                    {"TreeView", "item VARCHAR(40) 10, parent VARCHAR(40) 10, Level INTEGER 10"}, {"rows", 0}} << true;
        QTest::newRow("empty TreeView, Devices with a row")
            << QStringList{treeView, "CREATE TABLE Devices(name TEXT)", "INSERT INTO Devices VALUES('kept')"}
            << Rows{{"Devices", "name TEXT 00"}, {"TreeView", "item TEXT 00, parent TEXT 00, Level INT 00"}, {"rows", 1}}
            << true;
        QTest::newRow("TreeView with rows, no Devices")
            << QStringList{treeView, "INSERT INTO TreeView VALUES('A','设备列表',1)"} << Rows() << true;
        QTest::newRow("not a database") << QStringList{"garbage"} << Rows() << false;
        QTest::newRow("data.db is a folder") << QStringList{"folder"} << Rows() << false;
        QTest::newRow("read-only folder") << QStringList{"readonly"} << Rows() << false;
    }

    void firstUseAndUnusableFiles()
    {
        QFETCH(QStringList, setup);
        QFETCH(Rows, schema);
        QVERIFY(QFile::remove(db()));
        const QString kind = setup.value(0);
        if (kind == "garbage")
            QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), db()));
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(db()));
        else if (kind == "readonly" && geteuid() == 0)
            QSKIP("permissions do not bind root");
        else if (kind == "readonly")
            QVERIFY(QFile::setPermissions(work->path(), QFile::ReadOwner | QFile::ExeOwner));
        else
            for (const QString &statement : setup)
                QCOMPARE(sqlOn(db(), statement), Rows());
        const QByteArray before = fileBytes(db());

        // Eight threads of a fresh process make the first call at once.
        QScopedPointer<QProcess> child(startChild("--first", work->path()));
        QVERIFY(child->waitForFinished(30000));
        QVERIFY(child->exitStatus() == QProcess::NormalExit && child->exitCode() == 0);
        if (!schema.isEmpty()) {
            // Per table each column's name, declared type, not null, part of a primary key; then the row count.
            QCOMPARE(sqlOn(db(), "SELECT n, group_concat(c, ', ') FROM (SELECT m.name n, p.name || ' ' || p.type || "
                                 "' ' || p.\"notnull\" || p.pk c FROM sqlite_master m LEFT JOIN pragma_table_info(m.name) "
                                 "p ORDER BY m.name, p.cid) GROUP BY n UNION ALL SELECT 'rows', (SELECT count(*) FROM "
                                 "TreeView) + (SELECT count(*) FROM Devices)"),
                     schema);
            return;
        }
        QVERIFY(!SqliteHelper::insertDevice(device("D", "A")));
        QVERIFY(!SqliteHelper::updateDevice(device("D", "A")));
        QVERIFY(!SqliteHelper::deleteDevice("D"));
        QVERIFY(store()->selectDevice({{"item", "D"}, {"parent", "A"}}).isEmpty());
        QVERIFY(store()->queryDataSet("select * from Devices").isEmpty());
        QCOMPARE(fileBytes(db()), before);
        QTEST(SqliteHelper::insertArea(area("N")), "areasWork");
        QTEST(SqliteHelper::deleteTreeRow({{"item", "N"}, {"Level", 1}}), "areasWork");
    }

    void rowRules()
    {
        // Each step works on what the steps before it left, and closes the database.
        const QList<std::tuple<const char *, std::function<bool()>, bool>> steps = {
            {"select on an empty table", [] { return store()->queryDataSet("select * from TreeView").isEmpty(); }, true},
            {"area", [] { return SqliteHelper::insertArea(area("A")); }, true},
            {"area row", [] { return store()->queryDataSet("select * from TreeView") == RowSet{area("A")}; }, true},
            {"level written as text", [] { return store()->queryDataSet("select * from TreeView")[0]["Level"].userType() == QMetaType::LongLong; }, true},
            {"same area again", [] { return SqliteHelper::insertArea(area("A")); }, false},
            {"device", [] { return SqliteHelper::insertDevice(device("D", "A")); }, true},
            {"area named like a device", [] { return SqliteHelper::insertArea(area("D")); }, false},
            {"device named like an area", [] { return SqliteHelper::insertDevice(device("A", "A")); }, true},
            {"select in capitals", [] { return store()->queryDataSet("SELECT * FROM TreeView").size() == 3; }, true},
            {"refused statement", [] { return store()->queryDataSet("DELETE FROM Devices").isEmpty(); }, true},
            {"statement with the word", [] { return store()->queryDataSet("DELETE FROM Devices WHERE name IN (SeLeCt 'A')").isEmpty(); }, true},
            {"select on a missing table", [] { return store()->queryDataSet("select * from Missing").isEmpty(); }, true},
            {"device name taken in another area", [] { return SqliteHelper::insertDevice(device("D", "B")); }, false},
            {"update of an unknown pair", [] { return SqliteHelper::updateDevice(device("D", "B", 99, 1)); }, true},
            {"thresholds read back, refused statement ran nothing", [] { return store()->selectDevice({{"item", "D"}, {"parent", "A"}}) == device("D", "A"); }, true},
            {"update", [] { return SqliteHelper::updateDevice(device("D", "A", 80.25, -5)); }, true},
            {"update read back", [] { return store()->selectDevice({{"item", "D"}, {"parent", "A"}}) == device("D", "A", 80.25, -5); }, true},
            {"select of an unknown pair", [] { return store()->selectDevice({{"item", "D"}, {"parent", "B"}}).isEmpty(); }, true},
            {"delete of a missing tree row", [] { return SqliteHelper::deleteTreeRow({{"item", "X"}, {"Level", 1}}); }, true},
            {"delete of the area only", [] { return SqliteHelper::deleteTreeRow({{"item", "A"}, {"Level", 1}, {"parent", "-"}}); }, true},
            {"device of that name in a second area", [this] { return sqlOn(db(), "INSERT INTO Devices VALUES('D','B',4,1,1,0,1,0,1)").isEmpty(); }, true},
            {"delete by name across areas", [] { return SqliteHelper::deleteDevice("D"); }, true},
            {"delete of a missing device", [] { return SqliteHelper::deleteDevice("X"); }, true},
        };
        for (const auto &step : steps) {
            QVERIFY2(std::get<1>(step)() == std::get<2>(step), std::get<0>(step));
            QVERIFY2(!QSqlDatabase::database(QSqlDatabase::defaultConnection, false).isOpen(), std::get<0>(step));
        }
        // The tree rows of devices are the caller's to delete.
        QCOMPARE(sqlOn(db(), "SELECT item, parent, Level FROM TreeView"), (Rows{{"D", "A", 2}, {"A", "A", 2}}));
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

        // Killed at random moments while inserting, it leaves both rows of a device or neither.
        for (int kill = 0; kill < 30; ++kill) {
            QScopedPointer<QProcess> child(startChild("--insert", work->path()));
            QVERIFY2(child->waitForReadyRead(30000), "the inserting child never got going");
            usleep(QRandomGenerator::global()->bounded(20000));
            child->kill();
            QVERIFY(child->waitForFinished(30000));
        }
        QCOMPARE(sqlOn(db(), "PRAGMA integrity_check"), Rows{{"ok"}});
        const Rows devices = sqlOn(db(), "SELECT name, parent FROM Devices ORDER BY name");
        QVERIFY(devices.size() >= 30);
        QCOMPARE(sqlOn(db(), "SELECT item, parent FROM TreeView WHERE Level = 2 ORDER BY item"), devices);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && argv[1] == QByteArray("--first"))
        return childFirstCalls();
    if (argc == 2 && argv[1] == QByteArray("--insert")) {
        setvbuf(stdout, nullptr, _IONBF, 0);
        const QString prefix = QStringLiteral("d%1-").arg(QCoreApplication::applicationPid());
        for (int n = 0; SqliteHelper::insertDevice(device(prefix + QString::number(n), QStringLiteral("A"))); ++n) {
            if (n == 0) // the parent starts its clock once rows are going in
                fputs("ready\n", stdout);
        }
        return 1;
    }
    TestSqliteHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sqlitehelper.moc"
