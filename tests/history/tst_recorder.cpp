#include "recorder.h"
#include "sqlfile.h"

#include <QtTest>

namespace {

const qint64 DayMs = 24 * 3600 * 1000LL;

// A humidity device in area A, limits 10 20 80 90: 50 is normal, 85 abnormal,
// 95 alarm; "x" is no answer, "e" no sensor.
Reading reading(const QString &name, qint64 msecs, const QString &value)
{
    Reading r{"A", name, 1, {10, 20, 80, 90}, msecs, value != "x", quint16(value == "e" ? 0xFFFF : value.toInt())};
    judge(r);
    return r;
}

// Unwritable even for root: the immutable flag, where the file system has it.
bool setImmutable(const QString &path, bool on) { return QProcess::execute("chattr", {on ? "+i" : "-i", path}) == 0; }

// A recorder in a thread of its own, as the monitoring page runs it, fed a
// changing reading every `pace` ms by the test's event loop. Its state
// changes are noted as "+" or "-reason".
struct Rig
{
    QThread thread;
    Recorder *recorder;
    QTimer feed;
    int fed = 0;
    QStringList changes;

    Rig(const QString &path, int pace) : recorder(new Recorder(path))
    {
        QObject::connect(recorder, &Recorder::recordingChanged, &feed,
                         [this](bool up, const QString &reason) { changes << (up ? "+" : "-" + reason); });
        recorder->runIn(thread);
        QObject::connect(&feed, &QTimer::timeout, [this] {
            const Reading r = reading("D", QDateTime::currentMSecsSinceEpoch(), QString::number(50 + fed++ % 2));
            QMetaObject::invokeMethod(recorder, [to = recorder, r] { to->record(r); });
        });
        feed.start(pace);
    }
    ~Rig() { stop(); }
    void stop()
    {
        feed.stop();
        if (thread.isRunning())
            recorder->stop();
        thread.wait();
    }
};

} // namespace

class TstRecorder : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    const qint64 t0 = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;

    // Polls "[device:]seconds:value" of device D when not named; "!" writes,
    // "|" stops the recorder and starts a new one on the file.
    void play(std::unique_ptr<Recorder> &recorder, const QString &polls)
    {
        for (const QString &poll : polls.split(' ')) {
            const QStringList p = poll.split(':');
            if (poll == "!") {
                QVERIFY(recorder->flush());
            } else if (poll == "|") {
                recorder->monitoringStopped({});
                recorder = std::make_unique<Recorder>(path);
                recorder->open();
            } else {
                recorder->record(reading(p.size() == 3 ? p[0] : "D", t0 + p[p.size() - 2].toInt() * 1000, p.last()));
            }
        }
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        path = dir->filePath("history.db");
    }

    void storage_data()
    {
        QTest::addColumn<QString>("polls");
        QTest::addColumn<QStringList>("readings"); // seconds:raw:state as stored
        QTest::addColumn<QStringList>("events"); // seconds, text, =value, xrepeats@last seconds
        QTest::newRow("on change, heartbeat, offline, no sensor")
            << "0:50 10:50 50:50 60:50 70:50 130:50 140:51 150:51 160:x 170:x 180:e 190:e"
            << QStringList{"0:50:0", "60:50:0", "130:50:0", "140:51:0", "160::3", "180:65535:4", "190:65535:4"}
            << QStringList{"160 正常 → 离线", "180 离线 → 传感器错误"};
        QTest::newRow("dithering at a limit")
            << "0:50 10:85 20:50 30:85 40:50 50:50 100:50 110:50"
            << QStringList{"0:50:0", "10:85:1", "20:50:0", "30:85:1", "40:50:0", "100:50:0", "110:50:0"}
            << QStringList{"10 正常 → 异常 =85.0 x2@30", "40 异常 → 正常 =50.0"};
        QTest::newRow("back after a minute") << "0:50 10:85 75:50" << QStringList{"0:50:0", "10:85:1", "75:50:0"}
                                             << QStringList{"10 正常 → 异常 =85.0", "75 异常 → 正常 =50.0"};
        QTest::newRow("a third state ends the held return")
            << "0:50 10:85 20:50 30:95" << QStringList{"0:50:0", "10:85:1", "20:50:0", "30:95:2"}
            << QStringList{"10 正常 → 异常 =85.0", "20 异常 → 正常 =50.0", "30 正常 → 报警 =95.0"};
        QTest::newRow("repeats of a written event, return held to the stop")
            << "0:50 10:85 20:50 ! 30:85 40:50" << QStringList{"0:50:0", "10:85:1", "20:50:0", "30:85:1", "40:50:0"}
            << QStringList{"10 正常 → 异常 =85.0 x2@30", "40 异常 → 正常 =50.0"};
        QTest::newRow("a new run starts from the file's state")
            << "0:95 | 100:50 110:95 | 200:95" << QStringList{"0:95:2", "100:50:0", "110:95:2", "200:95:2"}
            << QStringList{"0 报警 =95.0", "100 报警 → 正常 =50.0", "110 正常 → 报警 =95.0"};
    }

    void storage()
    {
        QFETCH(QString, polls);
        auto recorder = std::make_unique<Recorder>(path);
        recorder->open();
        play(recorder, polls);
        recorder->monitoringStopped({});
        recorder.reset();
        const QString t = QString("((t - %1) / 1000)").arg(t0), lastT = QString("((last_t - %1) / 1000)").arg(t0);
        QTEST(sql("SELECT " + t + " || ':' || ifnull(raw, '') || ':' || state FROM readings ORDER BY t", path), "readings");
        QTEST(sql("SELECT " + t + " || ' ' || text || ifnull(' =' || value, '') || CASE WHEN repeats > 1 THEN ' x' || repeats || '@' || "
                      + lastT + " ELSE '' END FROM events WHERE device IS NOT NULL ORDER BY id", path),
              "events");
    }

    void outbox()
    {
        auto recorder = std::make_unique<Recorder>(path);
        recorder->setOutboxKinds({HistorySchema::Alarm, HistorySchema::BackToNormal, HistorySchema::System});
        recorder->open();
        recorder->monitoringStarted("op", "/dev/ttyUSB0", "9600 8N1");
        play(recorder, "D1:0:50 D2:5:x D1:10:95 D1:20:50 ! D1:30:95 D1:100:50");
        recorder->deviceDeleted("op", "A", "D2");
        recorder.reset();
        // In the order the events happened; a repeat after the write is in the
        // payload; its id is the event's, its time the event's with the offset.
        QString select = "SELECT (json_extract(o.payload, '$.id') = e.uid AND json_extract(o.payload, '$.time') LIKE"
                         " '%+08:00' AND strftime('%s', json_extract(o.payload, '$.time')) + 0 = e.t / 1000)";
        for (const QString &key : QString("kind area device from state value unit repeats text limits").split(' '))
            select += QString(" || ' ' || ifnull(json_extract(o.payload, '$.%1'), '-')").arg(key);
        const QString limits = R"({"abnormal_high":80,"abnormal_low":20,"alarm_high":90,"alarm_low":10})";
        QCOMPARE(sql(select + " FROM outbox o JOIN events e ON e.id = o.event ORDER BY o.id", path),
                 (QStringList{"1 system - - - - - - 1 开始监控：/dev/ttyUSB0 9600 8N1 -",
                              "1 alarm A D1 normal alarm 95 %RH 2 正常 → 报警 " + limits,
                              "1 normal A D1 alarm normal 50 %RH 1 报警 → 正常 " + limits,
                              "1 system - - - - - - 1 删除设备：A/D2 -"}));
    }

    void retention()
    {
        {
            // A year and a month ago, and ten days ago: an alarm, then many changes.
            Recorder recorder(path);
            recorder.open();
            for (int i = 0; i < 30100; ++i)
                recorder.record(reading("D", t0 + (i < 30000 ? -400 * DayMs + i * 1000 : -10 * DayMs + (i - 30000) * 1000),
                                        i % 30000 == 0 ? "95" : QString::number(50 + i % 2)));
        }
        const QString count = "SELECT count(*) FROM readings UNION ALL SELECT group_concat(text) FROM events";
        QCOMPARE(sql(count, path).value(0), QString("30100"));
        Recorder recorder(path);
        recorder.setRetentionDays(365);
        recorder.open();
        QTRY_COMPARE_WITH_TIMEOUT(sql(count, path), (QStringList{"100", "正常 → 报警,报警 → 正常"}), 20000);
    }

    // A damaged file is set aside as it was, said so, and recording goes on
    // in a new one without a pause or a loss.
    void damaged()
    {
        const QByteArray garbage = QByteArray("not a database ").repeated(300);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(garbage) == garbage.size());
        file.close();
        Rig rig(path, 10);
        QTest::qWait(1200);
        rig.stop();
        QCOMPARE(rig.changes, QStringList());
        QCOMPARE(sql("SELECT count(*) FROM readings", path), QStringList{QString::number(rig.fed)});
        const QStringList aside = QDir(dir->path()).entryList({"history-damaged-*.db"});
        QCOMPARE(sql("SELECT text FROM events WHERE kind = 5", path), QStringList{"history.db 已损坏，已改名为 " + aside.value(0)});
        file.setFileName(dir->filePath(aside.value(0)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), garbage);
    }

    // A file that cannot be written pauses recording with the reason, and it
    // resumes, nothing lost, once the file can be written again.
    void readOnly()
    {
        Recorder(path).open();
        if (!setImmutable(path, true))
            QSKIP("no immutable files here");
        Rig rig(path, 10);
        QTRY_COMPARE(rig.changes, QStringList{"-文件只读"});
        QTest::qWait(1500);
        QVERIFY(setImmutable(path, false));
        QTRY_COMPARE(rig.changes, (QStringList{"-文件只读", "+"}));
        rig.stop();
        QCOMPARE(sql("SELECT count(*) FROM readings", path), QStringList{QString::number(rig.fed)});
    }

    // A process recording is killed: the file has everything up to a second
    // before the kill.
    void killed()
    {
        const auto last = [this] { return sql("SELECT max(t) FROM readings", path).value(0).toLongLong(); };
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--record-until-killed", path});
        QTRY_VERIFY(last() > 0);
        QTest::qWait(1500);
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        child.kill();
        QVERIFY(child.waitForFinished());
        QVERIFY2(killedAt - last() <= 1000 + 250, qPrintable(QString::number(killedAt - last())));
    }
};

int main(int argc, char **argv)
{
    qputenv("TZ", "CST-8"); // the payload's times carry the offset
    QCoreApplication app(argc, argv);
    // The child of the kill test: records a new value every 5 ms until killed.
    if (argc == 3 && qstrcmp(argv[1], "--record-until-killed") == 0) {
        Rig rig(QString::fromLocal8Bit(argv[2]), 5);
        return app.exec();
    }
    TstRecorder test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recorder.moc"
