// The demo's data.db, written by scripts/demo-bus.sh with the sqlite3 tool,
// must be the file the program itself writes when an operator enters the
// same areas and devices.
#include "sqlfile.h"
#include "sqlitehelper.h"

#include <QtTest>

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

class tst_DemoDb : public QObject
{
    Q_OBJECT

private slots:
    void writtenAsTheStoreWritesAndKept()
    {
        QTemporaryDir dir;
        const QString script = dir.filePath("script"), store = dir.filePath("store");
        QVERIFY(QDir().mkpath(script) && QDir().mkpath(store) && QDir::setCurrent(store));
        QCOMPARE(demoBus("make_demo_db", script), QString());

        // Enter the script's rows through the store, typed as the page and
        // the editor hand them over, in the order they were written.
        SqliteHelper::instance();
        const QStringList columns{"DeviceAddr", "RegAddr", "Devicetype", "MaxTemp", "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp"};
        for (const QString &row : sql("SELECT t.item, t.parent, t.Level, " + columns.join(", ") + " FROM TreeView t "
                                      "LEFT JOIN Devices d ON d.name = t.item ORDER BY t.rowid", script + "/data.db")) {
            const QStringList v = row.split('|');
            DeviceRecord record{{"name", v[0]}, {"parent", v[1]}};
            for (int k = 0; k < columns.size(); ++k)
                record[columns[k]] = k < 3 ? QVariant(v[3 + k].toInt()) : v[3 + k].toDouble();
            QVERIFY(v[2] == "1" ? SqliteHelper::insertArea({{"item", v[0]}, {"parent", v[1]}, {"Level", "1"}})
                                : SqliteHelper::insertDevice(record));
        }
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
    void demoInstallsOnlyWhatItNeeds()
    {
        const QString packages = bash("\"$0\" --list $(sed -n 's|.*/scripts/setup-deps\"||p' \"$1\")",
                                      {SCRIPTS "/setup-deps", SCRIPTS "/demo"});
        QVERIFY2(packages.contains("qtbase5-dev\n") && packages.contains("sqlite3"), qPrintable(packages));
        QVERIFY2(!packages.contains(QRegularExpression("wine|mingw|clang")), qPrintable(packages));
    }
};

QTEST_GUILESS_MAIN(tst_DemoDb)
#include "tst_demodb.moc"
