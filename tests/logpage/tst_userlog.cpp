#include "journalmodel.h"
#include "trendplot.h"
#include "userlog.h"

#include "history/recorder.h"
#include "sqlfile.h"

#include <qwt_plot_curve.h>

#include <QtTest>
#include <QtWidgets>

// One history.db in the working directory, as the recorder leaves it beside
// data.db, and the page on top of it.
class TestUserLog : public QObject
{
    Q_OBJECT

    qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 hour = 3600 * 1000;

    static void exec(const QString &statement) { QCOMPARE(sql(statement, "history.db"), QStringList()); }
    // Events as rows of an insert. device 0: a system event; ackUser "NULL": not acknowledged.
    static void addEvents(const QStringList &rows)
    {
        exec("INSERT INTO events (id, uid, t, last_t, kind, device, value, text, ack_user, ack_t) VALUES " + rows.join(','));
    }
    static QString event(int id, qint64 t, int kind, int device, const QString &ackUser = "NULL")
    {
        return QString("(%1, 'u%1', %2, %2, %3, nullif(%4, 0), CASE WHEN %4 THEN 31.5 END, 'e%1', %5, CASE WHEN %5 IS NOT NULL THEN %2 END)")
            .arg(id).arg(t).arg(kind).arg(device).arg(ackUser);
    }
    static JournalModel *journalOf(UserLog &page)
    {
        auto *model = qobject_cast<JournalModel *>(page.findChild<QTableView *>("tableJournal")->model());
        while (model->canFetchMore(QModelIndex()))
            model->fetchMore(QModelIndex());
        return model;
    }
    static void setCustomRange(UserLog &page, qint64 from, qint64 to)
    {
        page.findChild<QComboBox *>("cBRange")->setCurrentIndex(4);
        page.findChild<QDateTimeEdit *>("dTEFrom")->setDateTime(QDateTime::fromMSecsSinceEpoch(from));
        page.findChild<QDateTimeEdit *>("dTETo")->setDateTime(QDateTime::fromMSecsSinceEpoch(to));
        page.findChild<QPushButton *>("pBQuery")->click();
    }

private slots:
    void initTestCase()
    {
        QFile::remove("history.db");
        Recorder("history.db").open();
        exec("INSERT INTO devices VALUES (1, '机房', '机柜温度', 0, 5, 10, 30, 35), (2, '仓库', '湿度', 1, 20, 30, 65, 80)");
        addEvents({event(1, now - 1 * hour, HistorySchema::Alarm, 1), event(2, now - 2 * hour, HistorySchema::Alarm, 1, "'earlier'"),
                   event(3, now - 3 * hour, HistorySchema::Abnormal, 2), event(4, now - 30 * hour, HistorySchema::Offline, 2),
                   event(5, now - 50 * hour, HistorySchema::SensorError, 1), event(6, now - 8 * 24 * hour, HistorySchema::System, 0),
                   event(7, now - 20 * 24 * hour, HistorySchema::Alarm, 2)});
    }

    void filters_data()
    {
        QTest::addColumn<QString>("filter"); // range (自定义: from 40 h to 10 h ago)|place|kind[|unacknowledged only]
        QTest::addColumn<QString>("events"); // newest first
        QTest::newRow("24 h") << "24 小时|全部|全部" << "e1 e2 e3";
        QTest::newRow("7 days") << "7 天|全部|全部" << "e1 e2 e3 e4 e5";
        QTest::newRow("from-to") << "自定义|全部|全部" << "e4";
        QTest::newRow("alarms") << "30 天|全部|报警" << "e1 e2 e7";
        QTest::newRow("abnormal") << "30 天|全部|异常" << "e3";
        QTest::newRow("offline and sensor errors") << "30 天|全部|离线" << "e4 e5";
        QTest::newRow("system") << "30 天|全部|系统" << "e6";
        QTest::newRow("area") << "30 天|仓库|全部" << "e3 e4 e7";
        QTest::newRow("device") << "30 天|    机柜温度|全部" << "e1 e2 e5";
        QTest::newRow("unacknowledged") << "30 天|全部|全部|yes" << "e1 e7";
    }
    void filters()
    {
        QFETCH(QString, filter);
        const QStringList f = filter.split('|');
        UserLog page;
        page.show();
        for (int k = 0; k < 3; ++k) {
            auto *combo = page.findChild<QComboBox *>(QString("cBRange cBDevice cBKind").section(' ', k, k));
            combo->setCurrentText(f[k]);
            emit combo->activated(combo->currentIndex());
        }
        if (f[0] == "自定义")
            setCustomRange(page, now - 40 * hour, now - 10 * hour);
        page.findChild<QCheckBox *>("chkUnacknowledged")->setChecked(f.size() > 3);
        JournalModel *model = journalOf(page);
        QStringList shown;
        for (int row = 0; row < model->rowCount(); ++row)
            shown << model->index(row, JournalModel::EventColumn).data().toString();
        QTEST(shown.join(' '), "events");
    }

    // Equal times page on by id: nothing is shown twice or skipped.
    void pages()
    {
        UserLog page;
        page.show();
        JournalModel *model = journalOf(page);
        const int before = model->rowCount();
        QStringList rows;
        for (int id = 100; id < 100 + 2 * JournalModel::PageSize + 50; ++id)
            rows << event(id, now, HistorySchema::System, 0);
        addEvents(rows);
        page.refresh();
        QCOMPARE(model->rowCount(), JournalModel::PageSize);
        model = journalOf(page);
        QCOMPARE(model->rowCount(), before + 2 * JournalModel::PageSize + 50);
        QSet<QString> seen;
        for (int row = 0; row < model->rowCount(); ++row)
            seen.insert(model->index(row, JournalModel::EventColumn).data().toString());
        QCOMPARE(seen.size(), model->rowCount());
        exec("DELETE FROM events WHERE id >= 100");
    }

    void acknowledge()
    {
        UserLog page;
        page.setUser("张工");
        page.show();
        QTRY_COMPARE(page.unacknowledgedCount(), 2);
        page.findChild<QComboBox *>("cBRange")->setCurrentIndex(3);
        page.findChild<QTableView *>("tableJournal")->selectAll();
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        page.findChild<QPushButton *>("pBAcknowledge")->click();
        QCOMPARE(page.unacknowledgedCount(), 0);

        // Only the alarms nobody had acknowledged; the page shows it at once.
        QCOMPARE(sql(QString("SELECT group_concat(id || ack_user || (ack_t >= %1 AND ack_t <= %2)) FROM events WHERE ack_user IS NOT NULL")
                         .arg(before).arg(QDateTime::currentMSecsSinceEpoch()), "history.db"),
                 QStringList{"1张工1,2earlier0,7张工1"});
        QCOMPARE(journalOf(page)->index(0, JournalModel::AckUserColumn).data().toString(), QString("张工"));

        // A new alarm counts again.
        addEvents({event(8, now, HistorySchema::Alarm, 1)});
        QTRY_COMPARE(page.unacknowledgedCount(), 1);
    }

    void csv()
    {
        // 2026-01-01 08:00 in Shanghai; the device was offline at the third reading.
        const qint64 t0 = 1767225600000;
        exec(QStringLiteral("INSERT INTO readings VALUES (1, %1, 215, 21.5, 0), (1, %2, 216, 21.6, 0),"
                            " (1, %3, NULL, NULL, 3), (1, %4, 400, 40, 2)")
                 .arg(t0).arg(t0 + 60000).arg(t0 + 120000).arg(t0 + 180500));
        addEvents({event(9, t0 + 120000, HistorySchema::Offline, 1)});
        UserLog page;
        page.show();
        page.showTrend("机房", "机柜温度");
        setCustomRange(page, t0 - 60000, t0 + 600000);

        auto *plot = page.findChild<TrendPlot *>("plotTrend");
        QString error;
        QVERIFY(plot->exportCsv("trend.csv", &error));
        const auto contents = [](const QString &name) { QFile file(name); return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(); };
        QCOMPARE(contents("trend.csv"), QByteArray("\xEF\xBB\xBF"
                                            "time,area,device,value,unit,state\r\n"
                                            "2026-01-01T08:00:00.000+08:00,机房,机柜温度,21.5,℃,normal\r\n"
                                            "2026-01-01T08:01:00.000+08:00,机房,机柜温度,21.6,℃,normal\r\n"
                                            "2026-01-01T08:02:00.000+08:00,机房,机柜温度,,℃,offline\r\n"
                                            "2026-01-01T08:03:00.500+08:00,机房,机柜温度,40.0,℃,alarm\r\n"));
        // The line stops at the gap.
        const auto *curve = static_cast<QwtPlotCurve *>(plot->itemList(QwtPlotItem::Rtti_PlotCurve).value(0));
        QVERIFY(curve && curve->dataSize() == 4 && qIsNaN(curve->sample(2).y()));

        auto *model = journalOf(page);
        QVERIFY(model->exportCsv("journal.csv", &error));
        QCOMPARE(contents("journal.csv"), QByteArray("\xEF\xBB\xBF"
                                               "time,area,device,event,repeats,value,unit,ack_user,ack_time\r\n"
                                               "2026-01-01T08:02:00.000+08:00,机房,机柜温度,e9,1,31.5,℃,,\r\n"));
        QVERIFY(plot->exportPng("trend.png") && !QImage("trend.png").isNull());
    }

    // Thinned to what the plot's columns can show, each column keeps its
    // lowest and highest.
    void downsampling()
    {
        const int points = 20000, columns = 50, step = points / columns;
        QRandomGenerator random(points);
        QVector<QPointF> in;
        for (int i = 0; i < points; ++i)
            in.append(QPointF(i * 1000.0, random.generateDouble()));
        const QVector<QPointF> out = downsample(in, 0, points * 1000.0, columns);
        QVERIFY(out.size() <= 4 * columns);
        QVERIFY(std::is_sorted(out.begin(), out.end(), [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); }));
        const auto byY = [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); };
        for (auto column = in.cbegin(); column != in.cend(); column += step)
            QVERIFY(out.contains(*std::min_element(column, column + step, byY)) && out.contains(*std::max_element(column, column + step, byY)));
    }
};

QTEST_MAIN(TestUserLog)
#include "tst_userlog.moc"
