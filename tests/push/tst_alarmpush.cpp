#include "alarmpush.h"
#include "deviceview.h"
#include "mainwindow.h"
#include "pushdialog.h"
#include "recorder.h"
#include "sqlfile.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

int freePort() { QTcpServer probe; probe.listen(QHostAddress::LocalHost); return probe.serverPort(); }

// Debian's mosquitto on a port of its own, open to anyone unless asked, and
// watched by mosquitto_sub -v on tarvo/#, which reconnects a second after a
// loss.
struct Broker
{
    QTemporaryDir dir;
    int port;
    QProcess process, sub;
    QByteArray output;

    explicit Broker(bool auth = false, int port = freePort()) : port(port)
    {
        QProcess::execute("mosquitto_passwd", {"-b", "-c", dir.filePath("passwd"), "plant", "s3cret"});
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        // As root it would become the user "mosquitto", who cannot read our folder.
        conf.write(QString("user %1\nlistener %2 127.0.0.1\nallow_anonymous %3\npassword_file %4\n")
                       .arg(getpwuid(getuid())->pw_name).arg(port).arg(!auth).arg(dir.filePath("passwd")).toUtf8());
        conf.close();
        start();
        sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-u", "plant", "-P", "s3cret", "-v", "-t", "tarvo/#", "-q", "1"});
        QTest::qWait(300);
    }
    ~Broker() { sub.kill(), sub.waitForFinished(), process.kill(), process.waitForFinished(); }
    void start()
    {
        process.start("/usr/sbin/mosquitto", {"-c", dir.filePath("mosquitto.conf")});
        (void)QTest::qWaitFor([this] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(100);
        });
    }
    QStringList on(const QString &topic)
    {
        output += sub.readAllStandardOutput();
        QStringList payloads;
        for (const QString &line : QString::fromUtf8(output.left(qMax(0, output.lastIndexOf('\n')))).split('\n'))
            if (line.section(' ', 0, 0) == topic)
                payloads << line.section(' ', 1);
        return payloads;
    }
};

// Answers each POST as the script says: a status, or 0 to keep the client
// waiting. The bodies it answered 2xx go to `delivered`.
struct WebhookServer
{
    QTcpServer server;
    QList<int> script;
    int requests = 0;
    QStringList delivered;

    explicit WebhookServer(const QList<int> &statuses) : script(statuses)
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            // One request at a time on a connection; the JSON body ends it.
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, read = QByteArray()]() mutable {
                if (!(read += socket->readAll()).endsWith('}'))
                    return;
                const QByteArray request = std::exchange(read, {});
                const int status = script.value(requests++, 200);
                if (status == 0)
                    return;
                if (status / 100 == 2)
                    delivered << QString::fromUtf8(request.mid(request.indexOf("\r\n\r\n") + 4));
                socket->write(QString("HTTP/1.1 %1 Scripted\r\nContent-Length: 0\r\n\r\n").arg(status).toUtf8());
            });
        });
    }
};

// The worker's slots, called in its thread as the program calls them.
template <typename Call> void call(AlarmPush &push, Call slot)
{
    QMetaObject::invokeMethod(push.worker(), [w = push.worker(), slot] { slot(w); });
}

PushSettings mqttAt(int port)
{
    PushSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = "console-1";
    return settings;
}

// Rows as the recorder queues them, with ids e<from> to e<to>: their payloads.
QStringList queue(int from, int to)
{
    QStringList payloads;
    for (int i = from; i <= to; ++i) {
        payloads << QString(R"({"id":"e%1","kind":"alarm","text":"报警"})").arg(i);
        sql(QString("INSERT INTO outbox(event, payload) VALUES(1, '%1')").arg(payloads.last()), "history.db");
    }
    return payloads;
}

int outboxRows() { return sql("SELECT count(*) FROM outbox", "history.db").value(0).toInt(); }

} // namespace

class TestAlarmPush : public QObject
{
    Q_OBJECT

    QString status;
    std::unique_ptr<AlarmPush> push;

    void startPush(const PushSettings &settings)
    {
        push = std::make_unique<AlarmPush>("history.db");
        connect(push->worker(), &PushWorker::statusChanged, this, [this](const QString &s) { status = s; });
        call(*push, [settings](PushWorker *w) { w->apply(settings); });
    }

private slots:
    void init()
    {
        for (const char *file : {"history.db", "history.db-wal", "history.db-shm"})
            QFile::remove(file);
        Recorder("history.db").open();
        status.clear();
    }
    void cleanup() { push.reset(); }

    // States, readings and events with their topics and JSON; names made safe.
    void topicsAndJson()
    {
        Broker broker;
        const QStringList events = queue(1, 3);
        PushSettings settings = mqttAt(broker.port);
        settings.publishReadings = true;
        startPush(settings);
        QTRY_COMPARE_WITH_TIMEOUT(status, QString("已连接"), 20000);
        Reading reading{"车间/1", "T+#\x01", 0, {0, 10, 60, 80}, 1772325000000, true, 235};
        for (bool ok : {true, false}) {
            reading.ok = ok;
            judge(reading);
            call(*push, [reading](PushWorker *w) { w->publishReading(reading); });
        }
        QTRY_VERIFY(broker.on("tarvo/车间_1/T___/state").size() == 2 && outboxRows() == 0);

        QCOMPARE(broker.on("tarvo/events"), events);
        const QString state = R"({"area":"车间/1","device":"T+#\u0001","limits":{"abnormal_high":60,"abnormal_low":10,"alarm_high":80,"alarm_low":0},"state":"%1","time":"2026-03-01T08:30:00.000+08:00","unit":"℃","value":%2})";
        QCOMPARE(broker.on("tarvo/车间_1/T___/state"), (QStringList{state.arg("normal", "23.5"), state.arg("offline", "null")}));
        QCOMPARE(broker.on("tarvo/车间_1/T___/reading"), broker.on("tarvo/车间_1/T___/state"));
    }

    // Events acknowledged, in flight when the broker died, and queued while it
    // was gone: all arrive, in order, also after the outbox emptied.
    void brokerRestart()
    {
        Broker broker;
        QStringList sent = queue(1, 5);
        startPush(mqttAt(broker.port));
        QTRY_VERIFY_WITH_TIMEOUT(outboxRows() == 0 && broker.on("tarvo/events") == sent, 20000);
        ::kill(broker.process.processId(), SIGSTOP);
        sent << queue(6, 20);
        QTest::qWait(1500);
        broker.process.kill();
        broker.process.waitForFinished();
        sent << queue(21, 30);
        QTRY_VERIFY_WITH_TIMEOUT(status.startsWith("连接失败: "), 20000);
        QCOMPARE(outboxRows(), 25);
        // The push tries again 1 s and 3 s after the loss, then at 7 s: the
        // watcher is back by then.
        QTest::qWait(3500);
        broker.start();
        QTRY_VERIFY_WITH_TIMEOUT(broker.on("tarvo/events").size() >= 30 && outboxRows() == 0, 40000);
        QStringList received = broker.on("tarvo/events");
        received.removeDuplicates(); // at least once: a repeat keeps its id
        QCOMPARE(received, sent);
        QCOMPARE(status, QString("已连接"));
    }

    void authentication_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("reason");
        QTest::newRow("right") << "s3cret" << "";
        QTest::newRow("wrong") << "guess" << "Connection Refused: not authorised.";
    }
    // The page's line and the test button both tell the broker's reason; the
    // dialog never shows the password and, left empty, keeps it.
    void authentication()
    {
        QFETCH(QString, password);
        QFETCH(QString, reason);
        Broker broker(true);
        PushSettings settings = mqttAt(broker.port);
        settings.user = "plant";
        settings.password = password;
        settings.clientId.clear(); // a field left empty: the default id
        QVERIFY(settings.save());
        QCOMPARE(QFile::permissions(QSettings("KRM-Qt", "tarvo").fileName()) & 0x0777,
                 QFile::ReadUser | QFile::WriteUser);

        MainWindow window;
        auto *line = window.findChild<DeviceView *>()->findChild<QLabel *>("label_3");
        QTRY_VERIFY_WITH_TIMEOUT(line->text().contains("报警推送：" + (reason.isEmpty() ? "已连接" : "连接失败: " + reason)),
                                 20000);
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<PushDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QVERIFY(dialog->findChild<QLineEdit *>("LEditPassword")->text().isEmpty());
            QCOMPARE(dialog->settings().password, password);
            auto *result = dialog->findChild<QLabel *>("LBTestResult");
            dialog->findChild<QPushButton *>("pBSendTest")->click();
            QTRY_COMPARE_WITH_TIMEOUT(result->text(), "MQTT: " + (reason.isEmpty() ? "成功" : reason), 20000);
            dialog->reject();
        });
        emit line->linkActivated("push");
    }

    // Killed without a word, the console is "offline" through its will.
    void lastWill()
    {
        Broker broker;
        QProcess console;
        console.start(QCoreApplication::applicationFilePath(), {"--console", QString::number(broker.port)});
        QTRY_COMPARE_WITH_TIMEOUT(broker.on("tarvo/console/console-1"), QStringList{"online"}, 20000);
        console.kill();
        console.waitForFinished();
        QTRY_COMPARE_WITH_TIMEOUT(broker.on("tarvo/console/console-1"), QStringList({"online", "offline"}), 20000);
    }

    // A webhook that fails (500, then silence) gets every event again, in
    // order; a broker down meanwhile keeps the rows until it has them too.
    void webhookRetries()
    {
        WebhookServer server({500, 0});
        PushSettings settings = mqttAt(freePort());
        settings.webhookUrl = QString("http://127.0.0.1:%1/hook").arg(server.server.serverPort());
        settings.webhookTimeoutMs = 300;
        const QStringList events = queue(1, 3);
        startPush(settings);
        QTRY_COMPARE_WITH_TIMEOUT(server.delivered, events, 20000);
        QCOMPARE(server.requests, 5);
        QCOMPARE(outboxRows(), 3);
        Broker broker(false, settings.port);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 70000);
        QCOMPARE(server.requests, 5);
    }
};

int main(int argc, char *argv[])
{
    qputenv("TZ", "CST-8"); // the payload's times carry the offset
    QApplication app(argc, argv);
    // The console that lastWill kills.
    if (argc == 3 && QByteArray(argv[1]) == "--console") {
        AlarmPush push("history.db");
        call(push, [port = QByteArray(argv[2]).toInt()](PushWorker *w) { w->apply(mqttAt(port)); });
        return app.exec();
    }
    TestAlarmPush test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_alarmpush.moc"
