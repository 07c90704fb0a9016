#include "userlog.h"
#include "ui_userlog.h"

#include "journalmodel.h"

#include "history/historyschema.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QScrollBar>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

namespace {

const char *const kHistoryFile = "history.db";

enum RangePreset { Today, Day, Week, Month, Custom };

} // namespace

UserLog::UserLog(QWidget *parent)
    : QWidget(parent), ui(new Ui::UserLog), journal(new JournalModel(this)), plot(new TrendPlot(this)),
      countTimer(new QTimer(this))
{
    ui->setupUi(this);
    history = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                        QStringLiteral("logpage-%1").arg(quintptr(this)));
    // The recorder holds the write lock for a moment at a time.
    history.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=500"));
    history.setDatabaseName(QString::fromLatin1(kHistoryFile));
    journal->setDatabase(history);
    plot->setDatabase(history);

    ui->tableJournal->setModel(journal);
    ui->tableJournal->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui->tableJournal->horizontalHeader()->setStretchLastSection(true);
    ui->tableJournal->verticalHeader()->setVisible(false);
    ui->tableJournal->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    ui->tableJournal->setColumnWidth(JournalModel::TimeColumn, 150);
    ui->tableJournal->setColumnWidth(JournalModel::EventColumn, 220);
    plot->setObjectName(QStringLiteral("plotTrend"));
    ui->layoutTrend->addWidget(plot, 1);

    const auto requery = [this] { queryJournal(); };
    connect(ui->cBDevice, QOverload<int>::of(&QComboBox::activated), this, requery);
    connect(ui->cBKind, QOverload<int>::of(&QComboBox::activated), this, requery);
    connect(ui->chkUnacknowledged, &QCheckBox::toggled, this, requery);
    connect(ui->treeTrendDevices, &QTreeWidget::itemChanged, this, &UserLog::trendItemChanged);
    on_cBRange_currentIndexChanged(ui->cBRange->currentIndex());

    connect(countTimer, &QTimer::timeout, this, &UserLog::countUnacknowledged);
    countTimer->start(2000);
    // After the constructor, so whoever shows the count is connected by then.
    QTimer::singleShot(0, this, &UserLog::countUnacknowledged);
}

UserLog::~UserLog()
{
    const QString name = history.connectionName();
    journal->setDatabase(QSqlDatabase());
    plot->setDatabase(QSqlDatabase());
    history = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
    delete ui;
}

bool UserLog::openHistory()
{
    if (history.isOpen())
        return true;
    // Opening would make an empty file; the recorder makes it with its tables.
    if (!QFileInfo::exists(history.databaseName())) {
        say(tr("还没有历史记录（%1）").arg(QFileInfo(history.databaseName()).absoluteFilePath()));
        return false;
    }
    if (!history.open()) {
        say(tr("无法打开历史记录：%1").arg(history.lastError().text()));
        return false;
    }
    say(QString());
    return true;
}

void UserLog::say(const QString &text)
{
    ui->labelLogStatus->setText(text);
    ui->labelLogStatus->setVisible(!text.isEmpty());
}

void UserLog::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void UserLog::refresh()
{
    if (!openHistory())
        return;
    loadDevices();
    queryJournal();
    drawTrend();
}

void UserLog::loadDevices()
{
    // The devices shown stay checked across a reload.
    QStringList checked;
    for (QTreeWidgetItemIterator it(ui->treeTrendDevices, QTreeWidgetItemIterator::Checked); *it; ++it) {
        const TrendDevice &d = devices.at((*it)->data(0, Qt::UserRole).toInt());
        checked << d.area + QLatin1Char('/') + d.name;
    }

    devices.clear();
    QSqlQuery q(history);
    q.exec(QStringLiteral("SELECT id, area, name, type, alarm_low, abnormal_low, abnormal_high, alarm_high"
                          " FROM devices ORDER BY area, name"));
    while (q.next())
        devices.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toInt(),
                        {q.value(4).toDouble(), q.value(5).toDouble(), q.value(6).toDouble(), q.value(7).toDouble()}});

    const QVariant kept = ui->cBDevice->currentData();
    ui->cBDevice->clear();
    ui->cBDevice->addItem(tr("全部"), QStringList());
    const QSignalBlocker blocker(ui->treeTrendDevices);
    ui->treeTrendDevices->clear();
    QTreeWidgetItem *areaItem = nullptr;
    for (int i = 0; i < devices.size(); ++i) {
        const TrendDevice &d = devices.at(i);
        if (!areaItem || areaItem->text(0) != d.area) {
            ui->cBDevice->addItem(d.area, QStringList{d.area});
            areaItem = new QTreeWidgetItem(ui->treeTrendDevices, {d.area});
            areaItem->setFlags(Qt::ItemIsEnabled);
            areaItem->setExpanded(true);
        }
        ui->cBDevice->addItem(QStringLiteral("    ") + d.name, QStringList{d.area, d.name});
        auto *item = new QTreeWidgetItem(areaItem, {d.name});
        item->setData(0, Qt::UserRole, i);
        item->setCheckState(0, checked.contains(d.area + QLatin1Char('/') + d.name) ? Qt::Checked : Qt::Unchecked);
    }
    ui->cBDevice->setCurrentIndex(qMax(0, ui->cBDevice->findData(kept)));
}

void UserLog::range(qint64 *from, qint64 *to, bool *follow) const
{
    const QDateTime now = QDateTime::currentDateTime();
    *to = now.toMSecsSinceEpoch() + 1;
    *follow = true;
    switch (ui->cBRange->currentIndex()) {
    case Today: *from = QDateTime(now.date(), QTime(0, 0)).toMSecsSinceEpoch(); break;
    case Day: *from = now.addDays(-1).toMSecsSinceEpoch(); break;
    case Week: *from = now.addDays(-7).toMSecsSinceEpoch(); break;
    case Month: *from = now.addDays(-30).toMSecsSinceEpoch(); break;
    default:
        *from = ui->dTEFrom->dateTime().toMSecsSinceEpoch();
        *to = ui->dTETo->dateTime().toMSecsSinceEpoch();
        *follow = false;
    }
}

void UserLog::on_cBRange_currentIndexChanged(int index)
{
    const bool custom = index == Custom;
    ui->dTEFrom->setEnabled(custom);
    ui->dTETo->setEnabled(custom);
    if (!custom) {
        qint64 from, to;
        bool follow;
        range(&from, &to, &follow);
        ui->dTEFrom->setDateTime(QDateTime::fromMSecsSinceEpoch(from));
        ui->dTETo->setDateTime(QDateTime::fromMSecsSinceEpoch(to));
    }
    if (history.isOpen()) {
        queryJournal();
        drawTrend();
    }
}

void UserLog::on_pBQuery_clicked()
{
    if (ui->cBRange->currentIndex() != Custom)
        on_cBRange_currentIndexChanged(ui->cBRange->currentIndex()); // the edits follow the clock
    refresh();
}

void UserLog::queryJournal()
{
    if (!history.isOpen())
        return;
    JournalFilter filter;
    bool follow;
    range(&filter.from, &filter.to, &follow);
    const QStringList where = ui->cBDevice->currentData().toStringList();
    filter.area = where.value(0);
    filter.device = where.value(1);
    filter.kind = ui->cBKind->currentIndex() - 1;
    filter.unacknowledgedOnly = ui->chkUnacknowledged->isChecked();
    journal->setFilter(filter);
    if (!journal->lastError().isEmpty())
        say(tr("无法读取历史记录：%1").arg(journal->lastError()));
}

void UserLog::drawTrend()
{
    QVector<TrendDevice> shown;
    for (QTreeWidgetItemIterator it(ui->treeTrendDevices, QTreeWidgetItemIterator::Checked); *it; ++it)
        shown.append(devices.at((*it)->data(0, Qt::UserRole).toInt()));
    qint64 from, to;
    bool follow;
    range(&from, &to, &follow);
    plot->setTrend(shown, from, to, follow);
}

void UserLog::trendItemChanged(QTreeWidgetItem *item)
{
    int checked = 0;
    for (QTreeWidgetItemIterator it(ui->treeTrendDevices, QTreeWidgetItemIterator::Checked); *it; ++it)
        ++checked;
    if (checked > TrendPlot::MaxDevices) {
        const QSignalBlocker blocker(ui->treeTrendDevices);
        item->setCheckState(0, Qt::Unchecked);
        say(tr("趋势最多同时显示 %1 台设备").arg(TrendPlot::MaxDevices));
        return;
    }
    drawTrend();
}

void UserLog::showTrend(const QString &area, const QString &name)
{
    ui->tabLog->setCurrentWidget(ui->tabTrend);
    if (!openHistory())
        return;
    loadDevices();
    bool found = false;
    {
        const QSignalBlocker blocker(ui->treeTrendDevices);
        for (QTreeWidgetItemIterator it(ui->treeTrendDevices, QTreeWidgetItemIterator::NoChildren); *it; ++it) {
            const TrendDevice &d = devices.at((*it)->data(0, Qt::UserRole).toInt());
            const bool match = d.area == area && d.name == name;
            found = found || match;
            (*it)->setCheckState(0, match ? Qt::Checked : Qt::Unchecked);
        }
    }
    if (!found)
        say(tr("%1/%2 还没有记录").arg(area, name));
    drawTrend();
}

void UserLog::on_pBAcknowledge_clicked()
{
    const int done = journal->acknowledge(ui->tableJournal->selectionModel()->selectedRows(), user);
    if (done < 0)
        say(tr("确认没有保存：%1").arg(journal->lastError()));
    else
        setUnacknowledged(unacknowledged - done);
}

void UserLog::countUnacknowledged()
{
    if (!history.isOpen() && (!QFileInfo::exists(history.databaseName()) || !openHistory()))
        return;
    // Only events added since the last count are read: a full count of a
    // large journal every two seconds would stall the page.
    QSqlQuery q(history);
    if (!q.exec(QStringLiteral("SELECT max(id) FROM events")) || !q.next())
        return;
    const qint64 newest = q.value(0).toLongLong();
    if (newest < countedUpTo) { // a new file
        countedUpTo = 0;
        unacknowledged = 0;
    }
    q.prepare(QStringLiteral("SELECT count(*) FROM events WHERE id > ? AND id <= ? AND kind = ? AND ack_user IS NULL"));
    q.addBindValue(countedUpTo);
    q.addBindValue(newest);
    q.addBindValue(int(HistorySchema::Alarm));
    if (!q.exec() || !q.next())
        return;
    const bool added = newest > countedUpTo;
    countedUpTo = newest;
    setUnacknowledged(unacknowledged + q.value(0).toInt());
    // New events show at the top of a journal that ends now, unless the
    // operator scrolled down to read or selected rows to acknowledge.
    qint64 from, to;
    bool follow;
    range(&from, &to, &follow);
    if (added && follow && ui->tableJournal->isVisible() && ui->tableJournal->verticalScrollBar()->value() == 0
        && !ui->tableJournal->selectionModel()->hasSelection())
        queryJournal();
}

void UserLog::setUnacknowledged(int count)
{
    if (count == unacknowledged)
        return;
    unacknowledged = count;
    emit unacknowledgedChanged(count);
}

QString UserLog::askSavePath(const QString &name, const QString &filter)
{
    return QFileDialog::getSaveFileName(this, tr("导出"), name, filter);
}

void UserLog::on_pBExportEvents_clicked()
{
    const QString path = askSavePath(QStringLiteral("journal.csv"), tr("CSV 文件 (*.csv)"));
    QString error;
    if (!path.isEmpty() && !journal->exportCsv(path, &error))
        say(tr("导出失败：%1").arg(error));
}

void UserLog::on_pBExportReadings_clicked()
{
    const QString path = askSavePath(QStringLiteral("trend.csv"), tr("CSV 文件 (*.csv)"));
    QString error;
    if (!path.isEmpty() && !plot->exportCsv(path, &error))
        say(tr("导出失败：%1").arg(error));
}

void UserLog::on_pBExportPng_clicked()
{
    const QString path = askSavePath(QStringLiteral("trend.png"), tr("PNG 图片 (*.png)"));
    if (!path.isEmpty() && !plot->exportPng(path))
        say(tr("导出失败：%1").arg(path));
}

void UserLog::on_pBResetZoom_clicked()
{
    plot->resetZoom();
}
