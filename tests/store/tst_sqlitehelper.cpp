#include "sqlitehelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>
#include <unistd.h>

namespace {

const char *const kChildRole = "TST_STORE_CHILD";
const QString kRoot = QStringLiteral("设备列表");

// Runs SQL on a file through a connection of its own, apart from the store's.
QList<QVariantList> sqlOn(const QString &file, const QString &sql, bool *ok = nullptr)
{
    QList<QVariantList> rows;
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            done = query.exec(sql);
            while (query.next()) {
                QVariantList row;
                for (int i = 0; i < query.record().count(); ++i)
                    row << query.value(i);
                rows << row;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    if (ok)
        *ok = done;
    return rows;
}

int countOn(const QString &file, const QString &sql)
{
    const auto rows = sqlOn(file, sql);
    return rows.size() == 1 ? rows[0].value(0).toInt() : -1;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool storeIsClosed()
{
    return !QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).isOpen();
}

// Collects the debug lines written while it lives.
class DebugCapture
{
public:
    DebugCapture() { previous = qInstallMessageHandler(&DebugCapture::handle); }
    ~DebugCapture() { qInstallMessageHandler(previous); lines().clear(); }
    static QStringList &lines()
    {
        static QStringList captured;
        return captured;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtDebugMsg)
            lines() << message;
    }
    QtMessageHandler previous;
};

TreeRowRecord area(const QString &name, const QVariant &level = QStringLiteral("1"))
{
    return {{"item", name}, {"parent", kRoot}, {"Level", level}};
}

DeviceRecord device(const QString &name, const QString &parent, double maxTemp = 37.5, double minTemp = 12.5)
{
    return {{"name", name},       {"parent", parent},          {"DeviceAddr", 3},
            {"RegAddr", 100},     {"MaxTemp", maxTemp},        {"MinTemp", minTemp},
            {"MaxUnnormalTemp", 30.0}, {"MinUnnormalTemp", 15.0}, {"Devicetype", 0}};
}

// --- child processes: the store is one per process, so first-use and crash
// cases run in a fresh copy of this program.

int childInit()
{
    SqliteHelper::instance();
    return 0;
}

int childThreads()
{
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    SqliteHelper *seen[kThreads] = {};
    QList<QThread *> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads << QThread::create([&, i] {
            --waiting;
            while (waiting.load() > 0) {
            }
            seen[i] = SqliteHelper::instance();
        });
        threads.last()->start();
    }
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
    for (SqliteHelper *helper : seen) {
        if (!helper || helper != seen[0])
            return 2;
    }
    // The store stays usable from this thread although another one created it.
    if (!SqliteHelper::insertArea(area(QStringLiteral("A"))))
        return 3;
    return seen[0]->queryDataSet(QStringLiteral("select * from TreeView")).size() == 1 ? 0 : 4;
}

int childInsert()
{
    const QString prefix = QStringLiteral("d%1-").arg(QCoreApplication::applicationPid());
    for (int n = 0;; ++n) {
        if (!SqliteHelper::insertDevice(device(prefix + QString::number(n), QStringLiteral("A"))))
            return 1;
        if (n == 0) {
            fputs("ready\n", stdout);
            fflush(stdout);
        }
    }
}

QProcess *startChild(const char *role, const QString &dir)
{
    auto *child = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kChildRole), QLatin1String(role));
    child->setProcessEnvironment(env);
    child->setWorkingDirectory(dir);
    child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child->start(QCoreApplication::applicationFilePath(), QStringList());
    return child;
}

// Exit code of a child run to its end, or -1 when it crashed or hung.
int runChild(const char *role, const QString &dir)
{
    QScopedPointer<QProcess> child(startChild(role, dir));
    if (!child->waitForFinished(30000) || child->exitStatus() != QProcess::NormalExit)
        return -1;
    return child->exitCode();
}

} // namespace

class TestSqliteHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstUseCreatesSchema();
    void firstUseLeavesExistingFiles_data();
    void firstUseLeavesExistingFiles();
    void secondInstanceRunsNoSql();
    void concurrentFirstCalls();
    void areaRules();
    void deviceRules();
    void databaseClosedAfterEveryOperation();
    void queryDataSetRules();
    void unusableFiles_data();
    void unusableFiles();
    void missingDevicesTable();
    void insertDeviceIsAllOrNothing();
    void insertDeviceSurvivesKills();

private:
    QString db() const { return work->filePath(QStringLiteral("data.db")); }

    QTemporaryDir base;
    QString pristine;
    QString startDir;
    QScopedPointer<QTemporaryDir> work;
};

void TestSqliteHelper::initTestCase()
{
    QVERIFY(base.isValid());
    startDir = QDir::currentPath();
    // The first instance() of this process, in an empty folder: every other
    // case starts from a copy of the file it leaves.
    QVERIFY(QDir(base.path()).mkdir(QStringLiteral("first")));
    QVERIFY(QDir::setCurrent(base.filePath(QStringLiteral("first"))));
    QVERIFY(SqliteHelper::instance());
    QVERIFY(storeIsClosed());
    pristine = base.filePath(QStringLiteral("pristine.db"));
    QVERIFY(QFile::copy(QStringLiteral("data.db"), pristine));
    QVERIFY(QDir::setCurrent(startDir));
}

void TestSqliteHelper::init()
{
    work.reset(new QTemporaryDir);
    QVERIFY(work->isValid());
    QVERIFY(QFile::copy(pristine, db()));
    QVERIFY(QFile::setPermissions(db(), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(QDir::setCurrent(work->path()));
}

void TestSqliteHelper::cleanup()
{
    QDir::setCurrent(startDir);
    QFile::setPermissions(work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    work.reset();
}

void TestSqliteHelper::firstUseCreatesSchema()
{
    const auto objects = sqlOn(pristine, QStringLiteral("SELECT type, name FROM sqlite_master ORDER BY name"));
    QCOMPARE(objects, (QList<QVariantList>{{"table", "Devices"}, {"table", "TreeView"}}));

    auto columns = [&](const QString &table) {
        QStringList out;
        for (const QVariantList &c : sqlOn(pristine, QStringLiteral("PRAGMA table_info(%1)").arg(table)))
            out << QStringLiteral("%1 %2 %3 %4").arg(c[1].toString(), c[2].toString(), c[3].toString(), c[5].toString());
        return out;
    };
    // name, declared type, not null, part of a primary key
    QCOMPARE(columns(QStringLiteral("TreeView")),
             QStringList({"item VARCHAR(40) 1 0", "parent VARCHAR(40) 1 0", "Level INTEGER 1 0"}));
    QCOMPARE(columns(QStringLiteral("Devices")),
             QStringList({"name VARCHAR(40) 1 0", "parent VARCHAR(40) 1 0", "DeviceAddr INTEGER 1 0",
                          "RegAddr INTEGER 1 0", "MaxTemp INTEGER 1 0", "MinTemp INTEGER 1 0",
                          "MaxUnnormalTemp INTEGER 1 0", "MinUnnormalTemp INTEGER 1 0",
                          "Devicetype INTEGER 1 0"}));
    QCOMPARE(countOn(pristine, QStringLiteral("SELECT (SELECT count(*) FROM TreeView) + (SELECT count(*) FROM Devices)")), 0);
}

void TestSqliteHelper::firstUseLeavesExistingFiles_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("tablesAfter");
    QTest::addColumn<bool>("bytesUnchanged");

    const QString otherTreeView = QStringLiteral("CREATE TABLE TreeView(item TEXT, parent TEXT, Level INT, note TEXT)");
    QTest::newRow("empty TreeView, Devices with rows")
        << QStringList{otherTreeView, "CREATE TABLE Devices(name TEXT)", "INSERT INTO Devices VALUES('kept')"}
        << QStringList{"Devices", "TreeView"} << true;
    QTest::newRow("TreeView with rows, no Devices")
        << QStringList{otherTreeView, "INSERT INTO TreeView VALUES('A','设备列表',1,'x')"}
        << QStringList{"TreeView"} << true;
    QTest::newRow("empty TreeView, no Devices")
        << QStringList{otherTreeView} << QStringList{"Devices", "TreeView"} << false;
    QTest::newRow("not a database") << QStringList() << QStringList() << true;
}

void TestSqliteHelper::firstUseLeavesExistingFiles()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, tablesAfter);
    QFETCH(bool, bytesUnchanged);

    QVERIFY(QFile::remove(db()));
    if (setup.isEmpty()) {
        QFile garbage(db());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
    }
    for (const QString &statement : setup) {
        bool ok;
        sqlOn(db(), statement, &ok);
        QVERIFY2(ok, qPrintable(statement));
    }
    const QByteArray before = fileBytes(db());
    const auto treeBefore = sqlOn(db(), QStringLiteral("SELECT * FROM TreeView"));

    QCOMPARE(runChild("init", work->path()), 0);

    QCOMPARE(fileBytes(db()) == before, bytesUnchanged);
    QStringList tables;
    for (const QVariantList &row : sqlOn(db(), QStringLiteral("SELECT name FROM sqlite_master ORDER BY name")))
        tables << row[0].toString();
    QCOMPARE(tables, tablesAfter);
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT * FROM TreeView")), treeBefore);
}

void TestSqliteHelper::secondInstanceRunsNoSql()
{
    QVERIFY(QFile::remove(db()));
    SqliteHelper *first = SqliteHelper::instance();
    QCOMPARE(SqliteHelper::instance(), first);
    // Any statement would have created the file in this folder.
    QVERIFY(!QFile::exists(db()));
}

void TestSqliteHelper::concurrentFirstCalls()
{
    QVERIFY(QFile::remove(db()));
    QCOMPARE(runChild("threads", work->path()), 0);
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT item, Level FROM TreeView")), (QList<QVariantList>{{"A", 1}}));
}

void TestSqliteHelper::areaRules()
{
    auto tree = [&] { return sqlOn(db(), QStringLiteral("SELECT item, parent, Level FROM TreeView ORDER BY rowid")); };

    QVERIFY(SqliteHelper::insertArea(area(QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::insertArea(area(QStringLiteral("A"))));
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QVERIFY2(!SqliteHelper::insertArea(area(QStringLiteral("D"))), "an area may not take a device's name");
    // The other way round is allowed: a device named like an area.
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("A"), QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::insertArea({{"item", "B"}, {"parent", kRoot}}));
    QCOMPARE(tree(), (QList<QVariantList>{{"A", kRoot, 1}, {"D", "A", 2}, {"A", "A", 2}}));

    // The level written as text comes back as an integer.
    const RowSet rows = SqliteHelper::instance()->queryDataSet(QStringLiteral("select * from TreeView"));
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0].keys(), (QStringList{"Level", "item", "parent"}));
    QCOMPARE(rows[0].value("Level").userType(), int(QMetaType::LongLong));

    // Name and level tell rows apart; a missing row is no failure.
    QVERIFY(SqliteHelper::deleteTreeRow({{"item", "A"}, {"Level", 1}, {"parent", "ignored"}}));
    QCOMPARE(tree(), (QList<QVariantList>{{"D", "A", 2}, {"A", "A", 2}}));
    QVERIFY(SqliteHelper::deleteTreeRow({{"item", "nothing"}, {"Level", 1}}));
    QCOMPARE(tree().size(), 2);
}

void TestSqliteHelper::deviceRules()
{
    auto devices = [&] { return sqlOn(db(), QStringLiteral("SELECT * FROM Devices ORDER BY rowid")); };
    auto tree = [&] { return sqlOn(db(), QStringLiteral("SELECT item, parent, Level FROM TreeView ORDER BY rowid")); };

    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("T1"), QStringLiteral("A"), 37.5, 12.5)));
    QCOMPARE(devices(), (QList<QVariantList>{{"T1", "A", 3, 100, 37.5, 12.5, 30, 15, 0}}));
    QCOMPARE(tree(), (QList<QVariantList>{{"T1", "A", 2}}));

    const TreeRowRecord key{{"item", "T1"}, {"parent", "A"}, {"Level", 2}};
    DeviceRecord read = SqliteHelper::instance()->selectDevice(key);
    QCOMPARE(read.keys(), device("", "").keys());
    QCOMPARE(read.value("MaxTemp").toDouble(), 37.5);
    QCOMPARE(read.value("MinTemp").toDouble(), 12.5);
    QCOMPARE(read.value("MaxUnnormalTemp").toDouble(), 30.0);
    QCOMPARE(read.value("DeviceAddr").toInt(), 3);

    // A name is unique among devices whatever the area; nothing is half written.
    QVERIFY(!SqliteHelper::insertDevice(device(QStringLiteral("T1"), QStringLiteral("B"))));
    DeviceRecord incomplete = device(QStringLiteral("T2"), QStringLiteral("A"));
    incomplete.remove(QStringLiteral("Devicetype"));
    QVERIFY(!SqliteHelper::insertDevice(incomplete));
    QCOMPARE(devices().size(), 1);
    QCOMPARE(tree().size(), 1);

    // Name and area select the row; an unknown pair updates nothing and reads nothing.
    QVERIFY(SqliteHelper::updateDevice(device(QStringLiteral("T1"), QStringLiteral("B"), 99, 1)));
    QVERIFY(SqliteHelper::updateDevice(device(QStringLiteral("nobody"), QStringLiteral("A"), 99, 1)));
    QCOMPARE(devices(), (QList<QVariantList>{{"T1", "A", 3, 100, 37.5, 12.5, 30, 15, 0}}));
    QVERIFY(SqliteHelper::instance()->selectDevice({{"item", "T1"}, {"parent", "B"}}).isEmpty());
    QVERIFY(SqliteHelper::instance()->selectDevice({{"item", "nobody"}, {"parent", "A"}}).isEmpty());

    DeviceRecord changed = device(QStringLiteral("T1"), QStringLiteral("A"), 80.25, -5);
    changed["Devicetype"] = 2;
    QVERIFY(SqliteHelper::updateDevice(changed));
    QCOMPARE(devices(), (QList<QVariantList>{{"T1", "A", 3, 100, 80.25, -5, 30, 15, 2}}));
    QCOMPARE(tree(), (QList<QVariantList>{{"T1", "A", 2}}));

    // Delete goes by name across areas and leaves the tree row to the caller.
    bool ok;
    sqlOn(db(), QStringLiteral("INSERT INTO Devices VALUES('T1','B',4,100,1,0,1,0,1)"), &ok);
    QVERIFY(ok);
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("T3"), QStringLiteral("B"))));
    QVERIFY(SqliteHelper::deleteDevice(QStringLiteral("T1")));
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT name FROM Devices")), (QList<QVariantList>{{"T3"}}));
    QCOMPARE(tree(), (QList<QVariantList>{{"T1", "A", 2}, {"T3", "B", 2}}));
    QVERIFY(SqliteHelper::deleteDevice(QStringLiteral("T1")));
}

void TestSqliteHelper::databaseClosedAfterEveryOperation()
{
    SqliteHelper *store = SqliteHelper::instance();
    const QList<QPair<const char *, std::function<void()>>> operations = {
        {"insertArea", [] { SqliteHelper::insertArea(area(QStringLiteral("A"))); }},
        {"insertArea duplicate", [] { SqliteHelper::insertArea(area(QStringLiteral("A"))); }},
        {"insertDevice", [] { SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))); }},
        {"insertDevice duplicate", [] { SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))); }},
        {"updateDevice", [] { SqliteHelper::updateDevice(device(QStringLiteral("D"), QStringLiteral("A"))); }},
        {"selectDevice", [store] { store->selectDevice({{"item", "D"}, {"parent", "A"}}); }},
        {"queryDataSet", [store] { store->queryDataSet(QStringLiteral("select * from Devices")); }},
        {"queryDataSet refused", [store] { store->queryDataSet(QStringLiteral("drop table Devices")); }},
        {"queryDataSet failing", [store] { store->queryDataSet(QStringLiteral("select * from Nothing")); }},
        {"deleteDevice", [] { SqliteHelper::deleteDevice(QStringLiteral("D")); }},
        {"deleteTreeRow", [] { SqliteHelper::deleteTreeRow({{"item", "A"}, {"Level", 1}}); }},
    };
    DebugCapture quiet;
    for (const auto &operation : operations) {
        operation.second();
        QVERIFY2(storeIsClosed(), operation.first);
    }
    // The operations really ran: the device went in and out again.
    QCOMPARE(countOn(db(), QStringLiteral("SELECT count(*) FROM Devices")), 0);
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT item FROM TreeView")), (QList<QVariantList>{{"D"}}));
}

void TestSqliteHelper::queryDataSetRules()
{
    SqliteHelper *store = SqliteHelper::instance();
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("D1"), QStringLiteral("A"))));
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("D2"), QStringLiteral("A"))));
    DebugCapture capture;

    const RowSet rows = store->queryDataSet(QStringLiteral("SELECT * FROM Devices"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].value("name").toString(), QStringLiteral("D2"));
    QCOMPARE(rows[0].value("MinTemp").toDouble(), 12.5);
    QCOMPARE(capture.lines(), QStringList());

    // Refused text: one line, nothing executed.
    QVERIFY(store->queryDataSet(QStringLiteral("DELETE FROM Devices")).isEmpty());
    QCOMPARE(capture.lines(), QStringList{QStringLiteral("函数调用错误,方法queryDataSet()，限定于查询select")});
    QCOMPARE(countOn(db(), QStringLiteral("SELECT count(*) FROM Devices")), 2);
    capture.lines().clear();

    // The rule looks for the word only: such a statement does run.
    QVERIFY(store->queryDataSet(QStringLiteral("DELETE FROM Devices WHERE name IN (SeLeCt 'D1')")).isEmpty());
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT name FROM Devices")), (QList<QVariantList>{{"D2"}}));
    QCOMPARE(capture.lines(), QStringList());

    const QString missing = QStringLiteral("select * from Missing");
    QVERIFY(store->queryDataSet(missing).isEmpty());
    QCOMPARE(capture.lines(), QStringList{"\"SqliteHelper::SQL statement syntax error:" + missing + "\""});
    capture.lines().clear();

    QVERIFY(SqliteHelper::deleteDevice(QStringLiteral("D2")));
    QVERIFY(store->queryDataSet(QStringLiteral("select * from Devices")).isEmpty());
    QCOMPARE(capture.lines(), QStringList());
}

void TestSqliteHelper::unusableFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("data.db is a folder") << "folder";
    QTest::newRow("data.db points into a missing folder") << "dangling";
    QTest::newRow("read-only folder") << "readonly";
    QTest::newRow("not a database") << "garbage";
}

void TestSqliteHelper::unusableFiles()
{
    QFETCH(QString, kind);
    QVERIFY(QFile::remove(db()));
    if (kind == "folder") {
        QVERIFY(QDir(work->path()).mkdir(QStringLiteral("data.db")));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(work->filePath(QStringLiteral("gone/data.db")), db()));
    } else if (kind == "readonly") {
        if (geteuid() == 0)
            QSKIP("permissions do not bind root");
        QVERIFY(QFile::setPermissions(work->path(), QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QFile garbage(db());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
    }
    const QByteArray before = fileBytes(db());
    const QStringList entries = QDir(work->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    DebugCapture quiet;
    SqliteHelper *store = SqliteHelper::instance();
    QVERIFY(!SqliteHelper::insertArea(area(QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::deleteTreeRow({{"item", "A"}, {"Level", 1}}));
    QVERIFY(!SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::updateDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::deleteDevice(QStringLiteral("D")));
    QVERIFY(store->selectDevice({{"item", "D"}, {"parent", "A"}}).isEmpty());
    QVERIFY(store->queryDataSet(QStringLiteral("select * from TreeView")).isEmpty());
    QVERIFY(storeIsClosed());

    QCOMPARE(fileBytes(db()), before);
    QCOMPARE(QDir(work->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), entries);
}

void TestSqliteHelper::missingDevicesTable()
{
    bool ok;
    sqlOn(db(), QStringLiteral("DROP TABLE Devices"), &ok);
    QVERIFY(ok);
    QVERIFY(SqliteHelper::insertArea(area(QStringLiteral("A"))));

    DebugCapture capture;
    SqliteHelper *store = SqliteHelper::instance();
    QVERIFY(!SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::updateDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QVERIFY(!SqliteHelper::deleteDevice(QStringLiteral("D")));
    QVERIFY(store->selectDevice({{"item", "D"}, {"parent", "A"}}).isEmpty());
    QVERIFY(store->queryDataSet(QStringLiteral("select * from Devices")).isEmpty());
    QCOMPARE(capture.lines(), QStringList{"\"SqliteHelper::SQL statement syntax error:select * from Devices\""});
    QCOMPARE(sqlOn(db(), QStringLiteral("SELECT item FROM TreeView")), (QList<QVariantList>{{"A"}}));
}

void TestSqliteHelper::insertDeviceIsAllOrNothing()
{
    // The tree row is refused after the device row went in: the device row must go too.
    bool ok;
    sqlOn(db(), QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON TreeView WHEN NEW.Level = 2 "
                               "BEGIN SELECT RAISE(ABORT, 'refused'); END"), &ok);
    QVERIFY(ok);
    QVERIFY(!SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QCOMPARE(countOn(db(), QStringLiteral("SELECT count(*) FROM Devices")), 0);
    QVERIFY(storeIsClosed());

    // A failed insert leaves nothing pending that would block the next one.
    sqlOn(db(), QStringLiteral("DROP TRIGGER refuse"), &ok);
    QVERIFY(ok);
    QVERIFY(SqliteHelper::insertDevice(device(QStringLiteral("D"), QStringLiteral("A"))));
    QCOMPARE(countOn(db(), QStringLiteral("SELECT count(*) FROM Devices")), 1);
}

void TestSqliteHelper::insertDeviceSurvivesKills()
{
    constexpr int kKills = 30;
    QRandomGenerator random(20240611);
    for (int kill = 0; kill < kKills; ++kill) {
        QScopedPointer<QProcess> child(startChild("insert", work->path()));
        QVERIFY2(child->waitForReadyRead(30000), "the inserting child never got going");
        QThread::usleep(random.bounded(20000));
        child->kill();
        QVERIFY(child->waitForFinished(30000));
    }

    QCOMPARE(sqlOn(db(), QStringLiteral("PRAGMA integrity_check")), (QList<QVariantList>{{"ok"}}));
    const auto devices = sqlOn(db(), QStringLiteral("SELECT name, parent FROM Devices ORDER BY name"));
    const auto treeRows = sqlOn(db(), QStringLiteral("SELECT item, parent FROM TreeView WHERE Level = 2 ORDER BY item"));
    QVERIFY(devices.size() >= kKills);
    QCOMPARE(treeRows, devices);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray role = qgetenv(kChildRole);
    if (role == "init")
        return childInit();
    if (role == "threads")
        return childThreads();
    if (role == "insert")
        return childInsert();
    TestSqliteHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sqlitehelper.moc"
