#ifndef USERLOG_H
#define USERLOG_H

#include "trendplot.h"

#include <QSqlDatabase>
#include <QVector>
#include <QWidget>

namespace Ui {
class UserLog;
}
class JournalModel;
class QTimer;
class QTreeWidgetItem;

// The log page: the alarm journal (报警记录) and the trends (趋势) of what the
// recorder keeps in history.db beside data.db. Reads that file on a
// connection of its own; the only thing it writes is an acknowledgement.
class UserLog : public QWidget
{
    Q_OBJECT

public:
    explicit UserLog(QWidget *parent = nullptr);
    ~UserLog() override;

    // The logged-in user, who acknowledges alarms.
    void setUser(const QString &name) { user = name; }
    // The trend tab with this device alone over the range chosen.
    void showTrend(const QString &area, const QString &name);
    int unacknowledgedCount() const { return unacknowledged; }

public slots:
    // Reads the device lists again and queries the journal and the trend.
    void refresh();

signals:
    void unacknowledgedChanged(int count);

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void on_pBQuery_clicked();
    void on_cBRange_currentIndexChanged(int index);
    void on_pBAcknowledge_clicked();
    void on_pBExportEvents_clicked();
    void on_pBExportReadings_clicked();
    void on_pBExportPng_clicked();
    void on_pBResetZoom_clicked();

private:
    bool openHistory();
    void loadDevices();
    // The range chosen; follow when it ends now.
    void range(qint64 *from, qint64 *to, bool *follow) const;
    void queryJournal();
    void drawTrend();
    void trendItemChanged(QTreeWidgetItem *item);
    void countUnacknowledged();
    void setUnacknowledged(int count);
    QString askSavePath(const QString &name, const QString &filter);
    void say(const QString &text);

    Ui::UserLog *ui;
    QSqlDatabase history;
    JournalModel *journal;
    TrendPlot *plot;
    QTimer *countTimer;
    QVector<TrendDevice> devices;
    QString user;
    int unacknowledged = 0;
    qint64 countedUpTo = 0; // events up to this id are in unacknowledged
};

#endif
