// The demo's data.db, written by scripts/demo-bus.sh with the sqlite3 tool,
// must be the file the program itself writes when an operator enters the
// same areas and devices.
#include "sqlitehelper.h"

#include <QtSql>
#include <QtTest>

class tst_DemoDb : public QObject
{
    Q_OBJECT

private slots:
    void writtenAsTheStoreWritesAndKept();
    void demoInstallsOnlyWhatItNeeds();
};

namespace {

// Runs bash -c `script` with `args`; its output, or "failed".
QString bash(const QString &script, const QStringList &args)
{
    QProcess p;
    p.start("bash", QStringList{"-c", script} + args);
    p.waitForFinished();
    return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : "failed";
}

// make_demo_db or demo_db_summary (as the demo's banner says it) on `folder`.
QString demoBus(const char *function, const QString &folder)
{
    return bash(QString("source \"$0\" && %1 \"$1\"").arg(function), {SCRIPTS "/demo-bus.sh", folder});
}

QString dump(const QString &folder) { return bash("sqlite3 \"$0\" .dump", {folder + "/data.db"}); }

} // namespace

void tst_DemoDb::writtenAsTheStoreWritesAndKept()
{
    QTemporaryDir dir;
    const QString script = dir.filePath("script"), store = dir.filePath("store");
    QVERIFY(QDir().mkpath(script) && QDir().mkpath(store) && QDir::setCurrent(store));
    QCOMPARE(demoBus("make_demo_db", script), QString());

    // Enter the script's rows through the store, typed as the page and the
    // editor hand them over, in the order they were written.
    SqliteHelper::instance();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "script");
        db.setDatabaseName(script + "/data.db");
        QVERIFY(db.open());
        QSqlQuery tree("SELECT t.item, t.parent, t.Level, DeviceAddr, RegAddr, Devicetype, MaxTemp, MinTemp, "
                       "MaxUnnormalTemp, MinUnnormalTemp FROM TreeView t LEFT JOIN Devices d ON d.name = t.item "
                       "ORDER BY t.rowid",
                       db);
        while (tree.next()) {
            DeviceRecord record{{"name", tree.value(0).toString()}, {"parent", tree.value(1).toString()}};
            if (tree.value(2).toInt() == 1) {
                QVERIFY(SqliteHelper::insertArea({{"item", tree.value(0)}, {"parent", tree.value(1)}, {"Level", "1"}}));
                continue;
            }
            for (int k = 3; k < 10; ++k)
                record[tree.record().fieldName(k)] = k < 6 ? QVariant(tree.value(k).toInt()) : tree.value(k).toDouble();
            QVERIFY(SqliteHelper::insertDevice(record));
        }
    }
    QSqlDatabase::removeDatabase("script");
    QCOMPARE(demoBus("demo_db_summary", script), QString("2 areas, 9 devices"));
    const QString written = dump(script);
    QVERIFY(written.contains(",12.5,")); // a real among the integers
    QCOMPARE(written, dump(store));

    // A second run keeps what the operator changed.
    QVERIFY(SqliteHelper::deleteDevice("空调温度"));
    QVERIFY(QFile::remove(script + "/data.db") && QFile::copy(store + "/data.db", script + "/data.db"));
    QCOMPARE(demoBus("make_demo_db", script), QString());
    QCOMPARE(dump(script), dump(store));
    QCOMPARE(demoBus("demo_db_summary", script), QString("2 areas, 8 devices"));
}

// The packages scripts/demo asks setup-deps for: the build's and sqlite3,
// not those of scripts/test.
void tst_DemoDb::demoInstallsOnlyWhatItNeeds()
{
    const QString packages = bash("\"$0\" --list $(sed -n 's|.*/scripts/setup-deps\"||p' \"$1\")",
                                  {SCRIPTS "/setup-deps", SCRIPTS "/demo"});
    QVERIFY2(packages.contains("qtbase5-dev\n") && packages.contains("sqlite3"), qPrintable(packages));
    QVERIFY2(!packages.contains(QRegularExpression("wine|mingw|clang")), qPrintable(packages));
}

QTEST_GUILESS_MAIN(tst_DemoDb)
#include "tst_demodb.moc"
