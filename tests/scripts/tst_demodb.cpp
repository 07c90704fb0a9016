// The demo's data.db, written by scripts/demo-bus.sh with the sqlite3 tool,
// must be the file the program itself writes when an operator enters the
// same areas and devices.
#include "sqlitehelper.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

class tst_DemoDb : public QObject
{
    Q_OBJECT

private slots:
    void writtenAsTheStoreWritesAndKept();
    void demoInstallsOnlyWhatItNeeds();

private:
    QTemporaryDir dir;
};

namespace {

QString bash(const QString &script, const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("bash"), QStringList{"-c", script} + args);
    p.waitForFinished();
    return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : QStringLiteral("failed");
}

bool makeDemoDb(const QString &folder)
{
    return bash("source \"$0\" && make_demo_db \"$1\"", {SCRIPTS "/demo-bus.sh", folder}) != "failed";
}

// As the demo's banner says it.
QString summary(const QString &folder)
{
    return bash("source \"$0\" && demo_db_summary \"$1\"", {SCRIPTS "/demo-bus.sh", folder});
}

QString dump(const QString &file)
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {file, QStringLiteral(".dump")});
    sqlite.waitForFinished();
    return QString::fromUtf8(sqlite.readAllStandardOutput());
}

QList<QVariantMap> rows(QSqlDatabase &db, const QString &sql)
{
    QList<QVariantMap> result;
    QSqlQuery query(sql, db);
    while (query.next()) {
        result << QVariantMap();
        for (int i = 0; i < query.record().count(); ++i)
            result.last().insert(query.record().fieldName(i), query.value(i));
    }
    return result;
}

} // namespace

void tst_DemoDb::writtenAsTheStoreWritesAndKept()
{
    const QString script = dir.filePath("script"), store = dir.filePath("store");
    QVERIFY(QDir().mkpath(script) && QDir().mkpath(store));
    QVERIFY(makeDemoDb(script));

    // Enter the script's rows through the store, typed as the page and the
    // editor hand them over, in the order they were written.
    QVERIFY(QDir::setCurrent(store));
    SqliteHelper::instance();
    int areas = 0, devices = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("script"));
        db.setDatabaseName(script + "/data.db");
        QVERIFY(db.open());
        for (const QVariantMap &row : rows(db, "SELECT * FROM TreeView ORDER BY rowid")) {
            if (row["Level"].toInt() == 1) {
                QCOMPARE(row["parent"].toString(), QStringLiteral("设备列表"));
                QVERIFY(SqliteHelper::insertArea({{"item", row["item"]}, {"parent", row["parent"]}, {"Level", "1"}}));
                ++areas;
                continue;
            }
            const auto found = rows(db, "SELECT * FROM Devices WHERE name = '" + row["item"].toString() + "'");
            QCOMPARE(found.size(), 1);
            DeviceRecord record{{"name", row["item"].toString()}, {"parent", row["parent"].toString()}};
            for (const char *key : {"DeviceAddr", "RegAddr", "Devicetype"})
                record[key] = found[0][key].toInt();
            for (const char *key : {"MaxTemp", "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp"})
                record[key] = found[0][key].toDouble();
            QVERIFY(SqliteHelper::insertDevice(record));
            ++devices;
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("script"));
    QCOMPARE(areas, 2);
    QCOMPARE(devices, 9);
    QCOMPARE(summary(script), QStringLiteral("2 areas, 9 devices"));
    const QString written = dump(script + "/data.db");
    QVERIFY(written.contains(",12.5,")); // a real among the integers
    QCOMPARE(written, dump(store + "/data.db"));

    // A second run keeps what the operator changed.
    QVERIFY(SqliteHelper::deleteDevice(QStringLiteral("空调温度")));
    QVERIFY(QFile::remove(script + "/data.db") && QFile::copy(store + "/data.db", script + "/data.db"));
    QVERIFY(makeDemoDb(script));
    QCOMPARE(dump(script + "/data.db"), dump(store + "/data.db"));
    QVERIFY(!QFile::exists(script + "/data.db.new"));
    QCOMPARE(summary(script), QStringLiteral("2 areas, 8 devices"));
}

// The packages scripts/demo asks setup-deps for: the build's and sqlite3,
// not those of scripts/test.
void tst_DemoDb::demoInstallsOnlyWhatItNeeds()
{
    QFile demo(QStringLiteral(SCRIPTS "/demo"));
    QVERIFY(demo.open(QIODevice::ReadOnly));
    const QRegularExpressionMatch call =
        QRegularExpression("/scripts/setup-deps\"(.*)$", QRegularExpression::MultilineOption).match(demo.readAll());
    QVERIFY(call.hasMatch());
    const QString packages = bash("\"$0\" --list " + call.captured(1), {SCRIPTS "/setup-deps"});
    QVERIFY2(packages.contains("qtbase5-dev\n") && packages.contains("sqlite3"), qPrintable(packages));
    QVERIFY2(!packages.contains(QRegularExpression("wine|mingw|clang")), qPrintable(packages));
}

QTEST_GUILESS_MAIN(tst_DemoDb)
#include "tst_demodb.moc"
