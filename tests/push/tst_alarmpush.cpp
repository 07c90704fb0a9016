#include "alarmpush.h"
#include "deviceview.h"
#include "mainwindow.h"
#include "pushdialog.h"
#include "sim/simulator.h"
#include "sqlitehelper.h"

#include <QtNetwork>
#include <QtSql>
#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool waitFor(const std::function<bool()> &done, int ms = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QTest::qWait(20);
    return done();
}

// Debian's mosquitto on a free port of its own, with a password file when asked.
struct Broker
{
    QTemporaryDir dir;
    int port = freePort();
    QProcess process;

    explicit Broker(bool auth = false)
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        // As root it would become the user "mosquitto", who cannot read our folder.
        conf.write(QString("user %1\n").arg(getpwuid(getuid())->pw_name).toUtf8());
        conf.write(QString("listener %1 127.0.0.1\n").arg(port).toUtf8());
        if (auth) {
            QProcess::execute("mosquitto_passwd", {"-b", "-c", dir.filePath("passwd"), "plant", "s3cret"});
            conf.write(QString("allow_anonymous false\npassword_file %1\n").arg(dir.filePath("passwd")).toUtf8());
        } else {
            conf.write("allow_anonymous true\n");
        }
        conf.close();
        start();
    }
    ~Broker() { stop(); }
    void start()
    {
        process.start("/usr/sbin/mosquitto", {"-c", dir.filePath("mosquitto.conf")});
        waitFor([this] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(100);
        });
    }
    void stop()
    {
        process.terminate();
        process.waitForFinished();
    }
    void freeze(bool frozen) { ::kill(process.processId(), frozen ? SIGSTOP : SIGCONT); }
};

// mosquitto_sub -v on tarvo/#.
struct Watcher
{
    QProcess process;
    QStringList lines;

    // It reconnects on its own, a second after a loss.
    explicit Watcher(const Broker &broker)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                lines << QString::fromUtf8(process.readLine()).trimmed();
        });
        process.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(broker.port), "-v", "-t", "tarvo/#",
                                        "-q", "1"});
        process.waitForStarted();
        QTest::qWait(300);
    }
    ~Watcher()
    {
        process.kill();
        process.waitForFinished();
    }
    QStringList on(const QString &topic) const
    {
        QStringList payloads;
        for (const QString &line : lines) {
            if (line.section(' ', 0, 0) == topic)
                payloads << line.section(' ', 1);
        }
        return payloads;
    }
    // The ids of the events received, in order.
    QStringList eventIds() const
    {
        QStringList ids;
        for (const QString &payload : on("tarvo/events"))
            ids << QJsonDocument::fromJson(payload.toUtf8()).object().value("id").toString();
        return ids;
    }
};

// A small HTTP server that answers each POST as the script says: a status,
// or 0 to keep the client waiting. Bodies of the requests it answered 2xx go
// to `delivered`, in order.
struct WebhookServer
{
    QTcpServer server;
    QList<int> script;
    int requests = 0;
    QStringList delivered;

    WebhookServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            auto buffer = QSharedPointer<QByteArray>::create();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                const int head = buffer->indexOf("\r\n\r\n");
                const QRegularExpression lengthLine("Content-Length: *(\\d+)",
                                                    QRegularExpression::CaseInsensitiveOption);
                const int length = lengthLine.match(*buffer).captured(1).toInt();
                if (head < 0 || buffer->size() < head + 4 + length)
                    return;
                const QByteArray body = buffer->mid(head + 4, length);
                buffer->remove(0, head + 4 + length);
                const int status = script.value(requests++, 200);
                if (status == 0)
                    return;
                if (status / 100 == 2)
                    delivered << QJsonDocument::fromJson(body).object().value("id").toString();
                socket->write(QString("HTTP/1.1 %1 Scripted\r\nContent-Length: 0\r\n\r\n").arg(status).toUtf8());
            });
        });
    }
    QString url() const { return QString("http://127.0.0.1:%1/hook").arg(server.serverPort()); }
};

// The worker's slots, called in its thread as the program calls them.
void apply(AlarmPush &push, const PushSettings &settings)
{
    QMetaObject::invokeMethod(push.worker(), [w = push.worker(), settings] { w->apply(settings); });
}

void publish(AlarmPush &push, const Reading &reading)
{
    QMetaObject::invokeMethod(push.worker(), [w = push.worker(), reading] { w->publishReading(reading); });
}

PushSettings mqttAt(int port)
{
    PushSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = "console-1";
    return settings;
}

QString eventJson(const QString &uid)
{
    return QJsonDocument(QJsonObject{{"id", uid}, {"kind", "alarm"}, {"device", "T1"}, {"text", "报警"}})
        .toJson(QJsonDocument::Compact);
}

// Rows as the recorder queues them.
void queue(const QStringList &uids)
{
    QSqlDatabase db = QSqlDatabase::database("test");
    QSqlQuery query(db);
    for (const QString &uid : uids) {
        query.prepare("INSERT INTO outbox(event, payload) VALUES(1, ?)");
        query.addBindValue(eventJson(uid));
        QVERIFY(query.exec());
    }
}

int outboxRows()
{
    QSqlQuery query("SELECT count(*) FROM outbox", QSqlDatabase::database("test"));
    return query.next() ? query.value(0).toInt() : -1;
}

QStringList ids(const QString &prefix, int from, int to)
{
    QStringList list;
    for (int i = from; i <= to; ++i)
        list << prefix + QString::number(i);
    return list;
}

} // namespace

class TestAlarmPush : public QObject
{
    Q_OBJECT

    QString status;

    void follow(AlarmPush &push)
    {
        connect(push.worker(), &PushWorker::statusChanged, this, [this](const QString &s) { status = s; });
    }

private slots:
    void init()
    {
        QSqlDatabase::removeDatabase("test");
        for (const char *file : {"history.db", "history.db-wal", "history.db-shm"})
            QFile::remove(file);
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "test");
        db.setDatabaseName("history.db");
        // The outbox as it was made before its ids never came back: the
        // push rebuilds it, rows kept, and brokerRestart empties it.
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("CREATE TABLE outbox (id INTEGER PRIMARY KEY, event INTEGER NOT NULL, payload TEXT NOT NULL)"));
        status.clear();
    }

    // States, readings and events with their topics and JSON; names made safe.
    void topicsAndJson()
    {
        Broker broker;
        Watcher watcher(broker);
        AlarmPush push("history.db");
        follow(push);
        PushSettings settings = mqttAt(broker.port);
        settings.publishReadings = true;
        queue(ids("e", 1, 3));
        apply(push, settings);
        QVERIFY(waitFor([&] { return status == "已连接"; }));

        Reading reading;
        reading.area = "车间/1";
        reading.name = "T+#\x01";
        reading.limits = {0, 10, 60, 80};
        reading.msecs = QDateTime(QDate(2026, 3, 1), QTime(8, 30), Qt::OffsetFromUTC, 8 * 3600).toMSecsSinceEpoch();
        reading.ok = true;
        reading.raw = 235;
        judge(reading);
        publish(push, reading);
        reading.ok = false;
        judge(reading);
        publish(push, reading);
        QVERIFY(waitFor([&] { return watcher.on("tarvo/车间_1/T___/state").size() == 2 && outboxRows() == 0; }));

        QCOMPARE(watcher.on("tarvo/console/console-1"), QStringList{"online"});
        QCOMPARE(watcher.eventIds(), ids("e", 1, 3));
        QCOMPARE(watcher.on("tarvo/events").first(), eventJson("e1"));
        const QJsonObject state = QJsonDocument::fromJson(watcher.on("tarvo/车间_1/T___/state").first().toUtf8()).object();
        QCOMPARE(state.value("area").toString(), QString("车间/1"));
        QCOMPARE(state.value("device").toString(), QString("T+#\x01"));
        QCOMPARE(state.value("state").toString(), QString("normal"));
        QCOMPARE(state.value("value").toDouble(), 23.5);
        QCOMPARE(state.value("unit").toString(), QString("℃"));
        QCOMPARE(state.value("limits").toObject().value("abnormal_high").toDouble(), 60.0);
        QCOMPARE(QDateTime::fromString(state.value("time").toString(), Qt::ISODateWithMs).toMSecsSinceEpoch(),
                 reading.msecs);
        const QJsonObject offline = QJsonDocument::fromJson(watcher.on("tarvo/车间_1/T___/state").last().toUtf8()).object();
        QCOMPARE(offline.value("state").toString(), QString("offline"));
        QVERIFY(offline.value("value").isNull());
        QCOMPARE(watcher.on("tarvo/车间_1/T___/reading").size(), 2);
    }

    // Events acknowledged, in flight when the broker died, and queued while it
    // was gone: all arrive, in order.
    void brokerRestart()
    {
        Broker broker;
        Watcher watcher(broker);
        AlarmPush push("history.db");
        follow(push);
        queue(ids("e", 1, 5));
        apply(push, mqttAt(broker.port));
        QVERIFY(waitFor([&] { return outboxRows() == 0 && watcher.eventIds().size() == 5; }));
        broker.freeze(true);
        queue(ids("e", 6, 20));
        QTest::qWait(1500);
        broker.process.kill();
        broker.process.waitForFinished();
        queue(ids("e", 21, 30));
        QVERIFY(waitFor([&] { return status.startsWith("连接失败: "); }));
        QCOMPARE(outboxRows(), 25);
        // The push tries again 1 s and 3 s after the loss, then at 7 s: the
        // watcher is back by then.
        QTest::qWait(3500);
        broker.start();
        const bool all = waitFor([&] { return watcher.eventIds().size() >= 30 && outboxRows() == 0; }, 40000);
        QVERIFY2(all, qPrintable(watcher.lines.join('\n')));
        QStringList received = watcher.eventIds();
        received.removeDuplicates(); // at least once: a repeat keeps its id
        QCOMPARE(received, ids("e", 1, 30));
        QCOMPARE(status, QString("已连接"));
    }

    void authentication_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expected");
        QTest::newRow("right") << "s3cret" << "已连接";
        QTest::newRow("wrong") << "guess" << "连接失败: Connection Refused: not authorised.";
    }
    // The page's line and the test button both tell the broker's reason.
    void authentication()
    {
        QFETCH(QString, password);
        QFETCH(QString, expected);
        Broker broker(true);
        PushSettings settings = mqttAt(broker.port);
        settings.user = "plant";
        settings.password = password;
        QVERIFY(settings.save());
        QCOMPARE(QFile::permissions(QSettings("KRM-Qt", "tarvo").fileName()) & 0x0777,
                 QFile::ReadUser | QFile::WriteUser);

        MainWindow window;
        auto *line = window.findChild<DeviceView *>()->findChild<QLabel *>("label_3");
        QVERIFY2(waitFor([&] { return line->text().contains(expected); }), qPrintable(line->text()));
        QVERIFY(line->text().contains("报警推送：" + expected));

        // The dialog never shows the password; left empty it keeps it.
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<PushDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QVERIFY(dialog->findChild<QLineEdit *>("LEditPassword")->text().isEmpty());
            QCOMPARE(dialog->settings().password, password);
            auto *result = dialog->findChild<QLabel *>("LBTestResult");
            dialog->findChild<QPushButton *>("pBSendTest")->click();
            QVERIFY(waitFor([&] { return result->text().startsWith("MQTT: "); }));
            QCOMPARE(result->text(), "MQTT: " + QString(password == "s3cret" ? "成功" : "Connection Refused: not authorised."));
            dialog->reject();
        });
        emit line->linkActivated("push");
    }

    // Killed without a word, the console is "offline" through its will.
    void lastWill()
    {
        Broker broker;
        Watcher watcher(broker);
        QProcess console;
        console.start(QCoreApplication::applicationFilePath(), {"--console", QString::number(broker.port)});
        QVERIFY(waitFor([&] { return watcher.on("tarvo/console/console-1") == QStringList{"online"}; }));
        console.kill();
        console.waitForFinished();
        QVERIFY(waitFor([&] { return watcher.on("tarvo/console/console-1") == QStringList({"online", "offline"}); }));
    }

    // A frozen broker takes nothing from polling or from the display.
    void frozenBroker()
    {
        ktsim::Simulator bus;
        bus.addModule({});
        QVERIFY(bus.start());
        SqliteHelper::instance(); // data.db with its tables
        SqliteHelper::insertArea({{"item", "A"}, {"parent", "设备列表"}, {"Level", "1"}});
        SqliteHelper::insertDevice({{"name", "T1"}, {"parent", "A"}, {"DeviceAddr", 1}, {"RegAddr", 100},
                                    {"MaxTemp", 80}, {"MinTemp", 0}, {"MaxUnnormalTemp", 60},
                                    {"MinUnnormalTemp", 10}, {"Devicetype", 0}});
        Broker broker;
        PushSettings settings = mqttAt(broker.port);
        settings.publishReadings = true;
        QVERIFY(settings.save());
        MainWindow window;
        auto *page = window.findChild<DeviceView *>();
        window.findChild<QPushButton *>("BtnTbarDeviceMonitor")->click();
        page->findChild<QComboBox *>("cBBoxCom")->setEditText(QString::fromStdString(bus.portPath()));
        page->findChild<QDoubleSpinBox *>("MonitorTimeSpinner")->setValue(0.5);
        page->findChild<QPushButton *>("pBStartMonitor")->click();
        QVERIFY(waitFor([&] { return page->findChild<QLabel *>("label_3")->text().contains("已连接"); }));

        int polls = 0;
        connect(page, &DeviceView::readingPolled, this, [&] { ++polls; });
        // Polls and the longest stall of the GUI thread in 4 s.
        auto measure = [&] {
            polls = 0;
            qint64 stall = 0;
            QElapsedTimer clock, gap;
            clock.start();
            gap.start();
            while (clock.elapsed() < 4000) {
                QTest::qWait(5);
                stall = qMax(stall, gap.restart());
            }
            return qMakePair(polls, stall);
        };
        const auto normal = measure();
        broker.freeze(true);
        const auto frozen = measure();
        broker.freeze(false);
        qInfo("polls in 4 s: %d running, %d frozen; longest GUI stall: %lld ms, %lld ms", normal.first, frozen.first,
              normal.second, frozen.second);
        QVERIFY2(frozen.first >= normal.first - 1, qPrintable(QString("%1 polls, %2 before").arg(frozen.first).arg(normal.first)));
        QVERIFY2(frozen.second < 200, qPrintable(QString("GUI stalled %1 ms").arg(frozen.second)));
        page->findChild<QPushButton *>("pBStartMonitor")->click();
    }

    // A webhook that fails (500, then silence) gets every event again, in
    // order; a broker down meanwhile keeps the rows until it has them too.
    void webhookRetries()
    {
        WebhookServer server;
        server.script = {500, 0};
        AlarmPush push("history.db");
        follow(push);
        const int brokerPort = freePort();
        PushSettings settings = mqttAt(brokerPort);
        settings.webhookUrl = server.url();
        settings.webhookTimeoutMs = 300;
        queue(ids("e", 1, 3));
        apply(push, settings);
        QVERIFY(waitFor([&] { return server.requests == 1; }));
        QVERIFY(waitFor([&] { return server.delivered.size() == 3; }));
        QCOMPARE(server.delivered, ids("e", 1, 3));
        QCOMPARE(server.requests, 5);
        QCOMPARE(outboxRows(), 3);

        Broker broker;
        broker.process.kill();
        broker.process.waitForFinished();
        broker.port = brokerPort;
        QFile conf(broker.dir.filePath("mosquitto.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QString("listener %1 127.0.0.1\nallow_anonymous true\n").arg(brokerPort).toUtf8());
        conf.close();
        broker.start();
        QVERIFY(waitFor([&] { return outboxRows() == 0; }, 70000));
        QCOMPARE(server.requests, 5);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The console that lastWill kills.
    if (argc == 3 && QByteArray(argv[1]) == "--console") {
        AlarmPush push("history.db");
        apply(push, mqttAt(QByteArray(argv[2]).toInt()));
        return app.exec();
    }
    TestAlarmPush test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_alarmpush.moc"
