#include "deviceview.h"
#include "portlist.h"
#include "ui_deviceview.h"

#include "newdevice.h"
#include "recorder.h"
#include "sqlitehelper.h"
#include "treeitem.h"
#include "treemodel.h"

#include "history/readingstate.h"

#include <QCursor>
#include <QDir>
#include <QDateTime>
#include <QGridLayout>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include <cmath>

namespace {

const int TileCell = 120; // a 100-pixel tile and the grid's spacing around it

// The monitoring settings live with the login's, under their own group.
QSettings *openSettings()
{
    auto *settings = new QSettings(QStringLiteral("KRM-Qt"), QStringLiteral("tarvo"));
    settings->beginGroup(QStringLiteral("Monitor"));
    return settings;
}

QString clockNow()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss"));
}

// A stored number as a whole number within [low, high], or -1: SQLite hands
// back whatever a hand-edited file holds, fractions and 64-bit values included.
int wholeIn(const QVariant &stored, int low, int high)
{
    bool ok = false;
    const double number = stored.toDouble(&ok);
    return ok && number >= low && number <= high && number == std::floor(number) ? int(number) : -1;
}

} // namespace

DeviceView::DeviceView(QWidget *parent)
    : QWidget(parent), ui(new Ui::DeviceView)
{
    ui->setupUi(this);
    tileGrid = new QGridLayout(ui->scrollAreaWidgetContents);
    // Packed from the top-left however large the area is.
    tileGrid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    // A /dev/serial/by-id name is longer than the box.
    connect(ui->cBBoxCom, &QComboBox::currentTextChanged, ui->cBBoxCom, &QWidget::setToolTip);
    initDeviceTree();
    // Said once the window is up: what is wrong with data.db and where it is.
    const QString problem = SqliteHelper::instance()->problem();
    if (!problem.isEmpty())
        QTimer::singleShot(0, this, [this, problem] { warn(problem); });
    monitorTimer = new QTimer(this);
    connect(monitorTimer, &QTimer::timeout, this, &DeviceView::MonitorTimer);

    // history.db lives beside data.db.
    const QString historyPath = QDir::current().absoluteFilePath(QStringLiteral("history.db"));
    recorder = new Recorder(historyPath);
    recorder->setRetentionDays(
        QSettings(QStringLiteral("KRM-Qt"), QStringLiteral("tarvo")).value(QStringLiteral("HistoryDays"), 365).toInt());
    ui->LBDeviceView_History->setToolTip(historyPath);
    connect(recorder, &Recorder::recordingChanged, this, &DeviceView::showRecording);
    connect(&pollThread, &QReadThread::readingPolled, recorder, &Recorder::record);
    recorder->runIn(historyThread);
    connect(&pollThread, &QReadThread::readingPolled, this, &DeviceView::readingPolled);
    connect(ui->label_3, &QLabel::linkActivated, this, &DeviceView::pushSettingsRequested);
    connect(&pollThread, &QReadThread::portLost, this, &DeviceView::onPortLost);
    connect(&pollThread, &QReadThread::portRestored, this, &DeviceView::onPortRestored);
    connect(&pollThread, &QReadThread::portLost, recorder, &Recorder::portLost);
    connect(&pollThread, &QReadThread::portRestored, recorder, &Recorder::portRestored);
    loadSettings();
    connect(ui->PollPauseSpinner, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int ms) {
        pollThread.SetPollPause(ms);
        saveSettings();
    });
    connect(ui->MonitorTimeSpinner, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &DeviceView::saveSettings);
    connect(ui->cBAutoMonitor, &QCheckBox::toggled, this, &DeviceView::saveSettings);
}

void DeviceView::loadSettings()
{
    QScopedPointer<QSettings> settings(openSettings());
    const QString port = settings->value(QStringLiteral("Port")).toString();
    if (!port.isEmpty())
        ui->cBBoxCom->addItem(port);
    const std::pair<QComboBox *, const char *> combos[] = {{ui->cBBoxBaudRate, "BaudRate"},
                                                           {ui->cBBoxParity, "Parity"},
                                                           {ui->cBBoxDataBits, "DataBits"},
                                                           {ui->cBBoxStopBits, "StopBits"}};
    for (const auto &combo : combos) {
        const int index = combo.first->findText(settings->value(QLatin1String(combo.second)).toString());
        if (index >= 0)
            combo.first->setCurrentIndex(index);
    }
    ui->MonitorTimeSpinner->setValue(settings->value(QStringLiteral("Interval"), 1.0).toDouble());
    ui->PollPauseSpinner->setValue(settings->value(QStringLiteral("PollPause"), QReadThread::DefaultPauseMs).toInt());
    ui->cBAutoMonitor->setChecked(settings->value(QStringLiteral("AutoStart"), false).toBool());
}

void DeviceView::saveSettings() const
{
    QScopedPointer<QSettings> settings(openSettings());
    settings->setValue(QStringLiteral("Interval"), ui->MonitorTimeSpinner->value());
    settings->setValue(QStringLiteral("PollPause"), ui->PollPauseSpinner->value());
    settings->setValue(QStringLiteral("AutoStart"), ui->cBAutoMonitor->isChecked());
    if (IsMonitoring()) { // the line settings that worked
        settings->setValue(QStringLiteral("Port"), ui->cBBoxCom->currentText());
        settings->setValue(QStringLiteral("BaudRate"), ui->cBBoxBaudRate->currentText());
        settings->setValue(QStringLiteral("Parity"), ui->cBBoxParity->currentText());
        settings->setValue(QStringLiteral("DataBits"), ui->cBBoxDataBits->currentText());
        settings->setValue(QStringLiteral("StopBits"), ui->cBBoxStopBits->currentText());
    }
}

bool DeviceView::AutoMonitorWanted() const
{
    return ui->cBAutoMonitor->isChecked();
}

void DeviceView::StartMonitoring()
{
    if (monitoringStopped())
        on_pBStartMonitor_clicked();
}

DeviceView::~DeviceView()
{
    pollThread.CloseRtu();
    if (!monitoringStopped())
        onRecorder([user = user](Recorder &r) { r.monitoringStopped(user); });
    recorder->stop(); // it is deleted in its thread as that ends
    historyThread.wait();
    delete ui;
    delete treeModel;
}

void DeviceView::setUser(const QString &name)
{
    user = name;
}

void DeviceView::onRecorder(const std::function<void(Recorder &)> &call)
{
    Recorder *r = recorder;
    QMetaObject::invokeMethod(recorder, [r, call] { call(*r); });
}

void DeviceView::setOutboxKinds(const QList<HistorySchema::EventKind> &kinds)
{
    onRecorder([kinds](Recorder &r) { r.setOutboxKinds(kinds); });
}

void DeviceView::showRecording(bool recording, const QString &reason)
{
    ui->LBDeviceView_History->setText(recording ? tr("历史记录：正常") : tr("历史记录暂停：%1").arg(reason));
    ui->LBDeviceView_History->setStyleSheet(recording ? QString() : QStringLiteral("color: rgb(247, 9, 9);"));
}

// ---- tiles -----------------------------------------------------------------

int DeviceView::columnCount() const
{
    // Below one cell's width the tiles stand in one column.
    return qMax(1, ui->TempView->width() / TileCell);
}

void DeviceView::LoadDeviceTiles()
{
    if (!tiles.isEmpty())
        return;
    const RowSet rows = SqliteHelper::instance()->queryDataSet(QStringLiteral("select * from Devices"));
    // Showing a tile in a visible area lays out all the tiles before it again:
    // the area stays hidden until the last one is in, and is laid out once.
    QWidget *area = ui->scrollAreaWidgetContents;
    const bool visible = area->isVisible();
    area->hide();
    for (const DeviceRecord &row : rows) {
        AddDeviceTile(row);
        ++offlineCount;
    }
    area->setVisible(visible);
    writeCountLabels();
}

void DeviceView::applyRecord(TempWidget *tile, const DeviceRecord &record, int trailingBlanks)
{
    const QString name = record.value(QStringLiteral("name")).toString();
    const QString area = record.value(QStringLiteral("parent")).toString();
    const QVariant deviceAddr = record.value(QStringLiteral("DeviceAddr"));
    const QVariant regAddr = record.value(QStringLiteral("RegAddr"));
    const int type = record.value(QStringLiteral("Devicetype")).toInt();
    const double maxTemp = record.value(QStringLiteral("MaxTemp")).toDouble();
    const double minTemp = record.value(QStringLiteral("MinTemp")).toDouble();
    const double maxUnnormal = record.value(QStringLiteral("MaxUnnormalTemp")).toDouble();
    const double minUnnormal = record.value(QStringLiteral("MinUnnormalTemp")).toDouble();
    tile->setName(name);
    tile->setArea(area);
    // A station or register that cannot be polled as stored (0 would be a
    // broadcast every module answers) gets no station: never polled, offline.
    const int station = wholeIn(deviceAddr, 1, 247);
    const int reg = wholeIn(regAddr, 0, 65535);
    tile->setDeviceAddr(reg < 0 ? -1 : station);
    tile->setRegAddr(qMax(reg, 0));
    tile->setMaxTemp(maxTemp);
    tile->setMinTemp(minTemp);
    tile->setMaxUnnormalTemp(maxUnnormal);
    tile->setMinUnnormalTemp(minUnnormal);
    tile->setDeviceType(type);

    // The limits are named by what the device measures, with its unit; a
    // temperature device keeps the words it always had.
    QString limits = tr("\n最高温度: %5\n最低温度: %6\n最高异常温度: %7\n最低异常温度: %8");
    QString unit;
    if (type >= 1 && type <= 3) {
        const QString quantities[] = {tr("湿度"), tr("电压"), tr("电流")};
        limits.replace(tr("温度"), quantities[type - 1]);
        unit = ' ' + unitOf(type);
    }
    // Filled in one pass, so a "%2" in a name stays as typed; the addresses as stored.
    const QString tip = tr("设备名称: %1\n所属区域: %2\n设备地址: %3\n寄存器地址: %4")
                        + QString(trailingBlanks, QLatin1Char(' ')) + limits;
    const auto number = [&unit](double limit) { return QString::number(limit, 'g', 6) + unit; };
    tile->setToolTip(tip.arg(name, area, deviceAddr.toString(), regAddr.toString(), number(maxTemp), number(minTemp),
                             number(maxUnnormal), number(minUnnormal)));
}

void DeviceView::AddDeviceTile(const DeviceRecord &record)
{
    auto *tile = new TempWidget(ui->scrollAreaWidgetContents);
    applyRecord(tile, record, 28);
    connect(tile, &TempWidget::trendRequested, this, [this, tile] { emit trendRequested(tile->area(), tile->name()); });
    const int columns = columnCount();
    tile->show();
    tileGrid->addWidget(tile, tileCount / columns, tileCount % columns);
    tiles.append(tile);
    ++tileCount;
}

void DeviceView::UpdateDeviceTile(const DeviceRecord &record)
{
    if (TempWidget *tile = FindDeviceTile(record.value(QStringLiteral("name")).toString(),
                                          record.value(QStringLiteral("parent")).toString()))
        applyRecord(tile, record, 24);
}

TempWidget *DeviceView::FindDeviceTile(const QString &name, const QString &area) const
{
    for (TempWidget *tile : tiles) {
        if (tile->name() == name && (area.isNull() || tile->area() == area))
            return tile;
    }
    return nullptr;
}

void DeviceView::ArrangeTiles()
{
    if (tiles.isEmpty())
        return;
    const int columns = columnCount();
    for (int i = 0; i < tiles.size(); ++i)
        tileGrid->addWidget(tiles.at(i), i / columns, i % columns);
}

void DeviceView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    ArrangeTiles();
}

// ---- monitoring --------------------------------------------------------------

bool DeviceView::monitoringStopped() const
{
    return ui->pBStartMonitor->text() == tr("开始监控");
}

void DeviceView::on_pBStartMonitor_clicked()
{
    if (tileCount == 0) {
        QMessageBox::warning(this, tr("tips"), tr("没有需要监控的设备!"), QMessageBox::Ok);
        return;
    }
    if (monitoringStopped()) {
        const int stopBits = ui->cBBoxStopBits->currentText().toInt();
        const int dataBits = ui->cBBoxDataBits->currentText().toInt();
        const int baud = ui->cBBoxBaudRate->currentText().toInt();
        if (pollThread.ConnectRtu(ui->cBBoxCom->currentText(), ui->cBBoxParity->currentText(), baud, dataBits,
                                  stopBits)
            == -1) {
            warn(tr("连接失败!请确认COM口是否空闲"));
            return;
        }
        ui->pBStartMonitor->setText(tr("监控中"));
        const QString line =
            QStringLiteral("%1 %2%3%4").arg(baud).arg(dataBits).arg(ui->cBBoxParity->currentText()).arg(stopBits);
        onRecorder([user = user, port = ui->cBBoxCom->currentText(), line](Recorder &r) {
            r.monitoringStarted(user, port, line);
        });
        saveSettings();
        ui->LBDeviceView_Link->clear();
        pollThread.SetPollPause(ui->PollPauseSpinner->value());
        pollThread.SetPollList(tiles);
        pollThread.start();
        pollThread.ResumePolling();
        monitorTimer->start(int(ui->MonitorTimeSpinner->value() * 1000));
    } else {
        pollThread.StopPolling();
        pollThread.wait();
        pollThread.CloseRtu();
        onRecorder([user = user](Recorder &r) { r.monitoringStopped(user); });
        ui->pBStartMonitor->setText(tr("开始监控"));
        ui->LBDeviceView_Link->clear();
        monitorTimer->stop();
    }
}

void DeviceView::MonitorTimer()
{
    monitorTimer->stop();
    PollEntry entry;
    // Never waits for the serial line.
    if (pollThread.ReadPollEntry(readIndex, entry)) {
        TempWidget *tile = tiles.at(readIndex);
        tile->setHealth(entry.lastGoodMsecs, entry.answerMs, entry.failedReads);
        if (entry.online)
            tile->setValue(entry.value);
        else
            tile->setState(Offline);
        RefreshStateCounts();
        if (++readIndex >= tileCount)
            readIndex = 0;
    }
    refreshStaleLooks();
    // The period counts from the end of the tick, so a new interval applies at once.
    monitorTimer->start(int(ui->MonitorTimeSpinner->value() * 1000));
}

int *DeviceView::countOf(TileState state)
{
    switch (state) {
    case Normal: return &normalCount;
    case Abnormal: return &abnormalCount;
    case Alarm: return &alarmCount;
    case Offline: return &offlineCount;
    }
    return nullptr;
}

void DeviceView::RefreshStateCounts()
{
    countStateChange(tiles.at(readIndex));
    writeCountLabels();
}

void DeviceView::countStateChange(const TempWidget *tile)
{
    if (tile->previousState() != tile->state()) {
        if (int *count = countOf(tile->previousState()))
            --*count;
        if (int *count = countOf(tile->state()))
            ++*count;
    }
}

void DeviceView::refreshStaleLooks()
{
    // A tile's refresh period: its turn comes every tileCount display ticks,
    // and its device's every tileCount transactions.
    const qint64 period =
        qint64(tileCount) * qMax(int(ui->MonitorTimeSpinner->value() * 1000), ui->PollPauseSpinner->value() + 1000);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (TempWidget *tile : tiles)
        tile->setStale(tile->state() != Offline && tile->lastGoodMsecs() > 0 && now - tile->lastGoodMsecs() > 3 * period);
}

void DeviceView::onPortLost(const QString &reason)
{
    if (monitoringStopped())
        return; // queued before the stop
    for (TempWidget *tile : tiles) {
        if (tile->state() != Offline) {
            tile->setState(Offline);
            countStateChange(tile);
        }
    }
    writeCountLabels();
    ui->LBDeviceView_Link->setText(tr("串口断开 %1").arg(clockNow()));
    ui->LBDeviceView_Link->setToolTip(reason);
}

void DeviceView::onPortRestored()
{
    if (monitoringStopped())
        return;
    ui->LBDeviceView_Link->setText(tr("串口恢复 %1").arg(clockNow()));
    ui->LBDeviceView_Link->setToolTip(QString());
}

void DeviceView::writeCountLabels()
{
    ui->LBDeviceView_normal->setText(tr("%1").arg(normalCount));
    ui->LBDeviceView_abnormal->setText(tr("%1").arg(abnormalCount));
    ui->LBDeviceView_warning->setText(tr("%1").arg(alarmCount));
    ui->LBDeviceView_OffLine->setText(tr("%1").arg(offlineCount));
}

void DeviceView::on_pBFlashCOM_clicked()
{
    ui->cBBoxCom->clear();
    const QStringList ports = availablePortNames();
    if (ports.isEmpty())
        ui->cBBoxCom->addItem(tr("无"));
    ui->cBBoxCom->addItems(ports);
}

void DeviceView::setPushStatus(const QString &status)
{
    // The whole state goes to the tooltip: a long reason does not fit the line.
    ui->label_3->setText(QStringLiteral("<a href=\"push\">%1</a>").arg(tr("报警推送：%1").arg(status).toHtmlEscaped()));
    ui->label_3->setToolTip(status);
}

// ---- device tree -------------------------------------------------------------

void DeviceView::warn(const QString &text)
{
    QMessageBox::warning(this, tr("warning"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

void DeviceView::initDeviceTree()
{
    const QStringList headers{tr("设备列表")};
    const RowSet rows = SqliteHelper::instance()->queryDataSet(QStringLiteral("select * from TreeView"));
    treeModel = new TreeModel(headers, rows);
    ui->treeDevice->setModel(treeModel);
    ui->treeDevice->setContextMenuPolicy(Qt::CustomContextMenu);

    objectMenu = new QMenu(this);
    areaMenu = new QMenu(this);
    deviceMenu = new QMenu(this);
    connect(objectMenu, &QMenu::triggered, this, &DeviceView::On_ObjectMenuTriggered);
    connect(areaMenu, &QMenu::triggered, this, &DeviceView::On_AreaMenuTriggered);
    connect(deviceMenu, &QMenu::triggered, this, &DeviceView::On_DeviceMenuTriggered);

    actAddArea = new QAction(tr("添加子区域"), this);
    actAddDevice = new QAction(tr("添加设备"), this);
    actDeleteArea = new QAction(tr("删除区域"), this);
    actModifyDevice = new QAction(tr("修改设备"), this);
    actDeleteDevice = new QAction(tr("删除设备"), this);
}

void DeviceView::on_treeDevice_customContextMenuRequested(const QPoint &pos)
{
    QMenu *menu;
    switch (treeModel->levelOf(ui->treeDevice->indexAt(pos))) {
    case 0:
        if (objectMenu->isEmpty())
            objectMenu->addAction(actAddArea);
        menu = objectMenu;
        break;
    case 1:
        if (areaMenu->isEmpty())
            areaMenu->addActions({actAddDevice, actDeleteArea});
        menu = areaMenu;
        break;
    case 2:
        if (deviceMenu->isEmpty())
            deviceMenu->addActions({actModifyDevice, actDeleteDevice});
        menu = deviceMenu;
        break;
    default:
        return;
    }
    menu->exec(QCursor::pos());
}

void DeviceView::On_ObjectMenuTriggered(QAction *action)
{
    if (action != actAddArea)
        return;
    bool ok = false;
    const QString name =
        QInputDialog::getText(this, tr("新建区域"), tr("请输入区域名称"), QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return;
    if (name.isEmpty()) {
        warn(tr("名称不能为空!"));
        return;
    }
    const QString root = tr("设备列表");
    // Every area's parent is the header text: an area of that name would take
    // the other areas under it at the next start.
    const TreeRowRecord record{{QStringLiteral("item"), name},
                               {QStringLiteral("parent"), root},
                               {QStringLiteral("Level"), QStringLiteral("1")}};
    if (name == root || !SqliteHelper::insertArea(record)) {
        warn(tr("添加失败!"));
        return;
    }
    TreeItem *rootItem = treeModel->getItem(QModelIndex());
    rootItem->insertChildren(rootItem->childCount(), 1, 2);
    TreeItem *area = rootItem->child(rootItem->childCount() - 1);
    area->setData(0, record.value(QStringLiteral("item")));
    area->setData(1, record.value(QStringLiteral("Level")));
    ui->treeDevice->reset();
}

void DeviceView::On_AreaMenuTriggered(QAction *action)
{
    const QModelIndex index = ui->treeDevice->currentIndex();
    const QMap<QString, QVariant> areaKey{{QStringLiteral("item"), treeModel->data(index, Qt::DisplayRole).toString()},
                                          {QStringLiteral("Level"), treeModel->levelOf(index)}};
    if (action == actAddDevice) {
        if (monitoringStopped())
            addDevice(index, areaKey);
        else
            warn(tr("请暂停监控后再添加新设备"));
    } else if (action == actDeleteArea) {
        if (treeModel->getItem(index)->childCount() != 0) {
            warn(tr("请清除设备后再删除！"));
            return;
        }
        // Another copy of the program may have put devices into it meanwhile.
        const int deleted = SqliteHelper::deleteArea(areaKey.value(QStringLiteral("item")).toString());
        if (deleted != 1) {
            warn(deleted == 0 ? tr("请清除设备后再删除！") : tr("删除失败!"));
            return;
        }
        if (!treeModel->removeRows(index.row(), 1, treeModel->parent(index)))
            warn(tr("操作错误!"));
    }
}

void DeviceView::addDevice(const QModelIndex &areaIndex, QMap<QString, QVariant> areaKey)
{
    newdevice dialog;
    if (dialog.exec() != QDialog::Accepted)
        return;
    DeviceRecord record = dialog.getDeviceInfo();
    record.insert(QStringLiteral("parent"), areaKey.value(QStringLiteral("item")));
    if (!SqliteHelper::insertDevice(record)) {
        warn(tr("添加失败!"));
        return;
    }
    TreeItem *area = treeModel->getItem(areaIndex);
    area->insertChildren(area->childCount(), 1, 2);
    TreeItem *device = area->child(area->childCount() - 1);
    device->setData(0, record.value(QStringLiteral("name")));
    device->setData(1, 2);
    ui->treeDevice->reset();
    ui->treeDevice->expand(areaIndex);

    AddDeviceTile(record);
    onRecorder([user = user, area = record.value(QStringLiteral("parent")).toString(),
                name = record.value(QStringLiteral("name")).toString()](Recorder &r) {
        r.deviceAdded(user, area, name);
    });
    ++offlineCount; // every tile starts offline
    writeCountLabels();
}

void DeviceView::On_DeviceMenuTriggered(QAction *action)
{
    const QModelIndex index = ui->treeDevice->currentIndex();
    const QString name = treeModel->data(index, Qt::DisplayRole).toString();
    const QMap<QString, QVariant> deviceKey{
        {QStringLiteral("item"), name},
        {QStringLiteral("Level"), treeModel->levelOf(index)},
        {QStringLiteral("parent"), treeModel->data(treeModel->parent(index), Qt::DisplayRole).toString()}};
    if (action == actModifyDevice) {
        if (!monitoringStopped()) {
            warn(tr("请暂停监控后再修改设备"));
            return;
        }
        newdevice dialog;
        dialog.setDeviceInfo(SqliteHelper::instance()->selectDevice(deviceKey));
        if (dialog.exec() != QDialog::Accepted)
            return;
        DeviceRecord record = dialog.getDeviceInfo();
        record.insert(QStringLiteral("parent"), deviceKey.value(QStringLiteral("parent")));
        if (!SqliteHelper::updateDevice(record)) {
            warn(tr("修改失败!"));
            return;
        }
        UpdateDeviceTile(record);
        onRecorder([user = user, area = record.value(QStringLiteral("parent")).toString(),
                    name = record.value(QStringLiteral("name")).toString()](Recorder &r) {
            r.deviceChanged(user, area, name);
        });
    } else if (action == actDeleteDevice) {
        deleteDevice(index, name, deviceKey.value(QStringLiteral("parent")).toString());
    }
}

void DeviceView::deleteDevice(const QModelIndex &index, const QString &name, const QString &area)
{
    // The poll list is built from the tiles at start: while it runs, entry i
    // must stay tile i.
    if (!monitoringStopped()) {
        warn(tr("请暂停监控后再删除设备"));
        return;
    }
    QMessageBox question(QMessageBox::Warning, tr("删除设备"), tr("确认删除设备吗？"), QMessageBox::NoButton, this);
    QPushButton *yes = question.addButton(tr("是"), QMessageBox::AcceptRole);
    question.addButton(tr("否"), QMessageBox::RejectRole);
    question.setDefaultButton(yes);
    question.exec();
    if (question.clickedButton() != yes)
        return;

    if (!SqliteHelper::deleteDeviceRows(name, area)) {
        warn(tr("删除失败!"));
        return;
    }
    onRecorder([user = user, area, name](Recorder &r) { r.deviceDeleted(user, area, name); });
    if (!treeModel->removeRows(index.row(), 1, treeModel->parent(index))) {
        warn(tr("操作错误!"));
        return;
    }
    TempWidget *tile = FindDeviceTile(name, area);
    if (!tile)
        return;
    tiles.removeOne(tile);
    if (int *count = countOf(tile->state()))
        --*count;
    delete tile;
    --tileCount;
    if (readIndex >= tileCount)
        readIndex = 0;
    writeCountLabels();
    ArrangeTiles();
}
