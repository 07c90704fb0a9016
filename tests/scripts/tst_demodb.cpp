// The demo's data.db, written by scripts/demo-bus.sh with the sqlite3 tool,
// must be the file the program itself writes when an operator enters the
// same areas and devices.
#include "sqlitehelper.h"

#include <QDir>
#include <QProcess>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

class tst_DemoDb : public QObject
{
    Q_OBJECT

private slots:
    void writtenAsTheStoreWritesAndKept();

private:
    QTemporaryDir dir;
};

namespace {

bool makeDemoDb(const QString &folder)
{
    return QProcess::execute(QStringLiteral("bash"),
                             {"-c", "source \"$0\" && make_demo_db \"$1\"", QStringLiteral(DEMO_BUS_SH), folder})
        == 0;
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
    const QString written = dump(script + "/data.db");
    QVERIFY(written.contains(",12.5,")); // a real among the integers
    QCOMPARE(written, dump(store + "/data.db"));

    // A second run keeps what the operator changed.
    QVERIFY(SqliteHelper::deleteDevice(QStringLiteral("空调温度")));
    QVERIFY(QFile::remove(script + "/data.db") && QFile::copy(store + "/data.db", script + "/data.db"));
    QVERIFY(makeDemoDb(script));
    QCOMPARE(dump(script + "/data.db"), dump(store + "/data.db"));
    QVERIFY(!QFile::exists(script + "/data.db.new"));
}

QTEST_GUILESS_MAIN(tst_DemoDb)
#include "tst_demodb.moc"
