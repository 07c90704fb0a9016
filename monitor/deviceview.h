#ifndef DEVICEVIEW_H
#define DEVICEVIEW_H

#include "historyschema.h"
#include "qreadthread.h"
#include "records.h"
#include "tempwidget.h"

#include <QList>
#include <QThread>
#include <QWidget>

#include <functional>

namespace Ui {
class DeviceView;
}
class QAction;
class QGridLayout;
class QMenu;
class QModelIndex;
class QTimer;
class Recorder;
class TreeModel;

// The monitoring page: the area/device tree with its right-click commands,
// one tile per stored device, the serial settings with start/stop, and the
// counts of devices in each state. While monitoring runs, the poll thread
// reads the devices in turn and the display timer carries one device's
// latest result into its tile per tick; entry i of the poll list is tile i.
// Every poll result, and what the operator does to monitoring and devices, go
// to the history recorder, which runs in a thread of its own.
class DeviceView : public QWidget
{
    Q_OBJECT

public:
    explicit DeviceView(QWidget *parent = nullptr);
    // Stops a running poll thread before the tiles and the port go, and lets
    // the recorder write what it still holds.
    ~DeviceView() override;

    // The logged-in user, journaled with what the page is told to do.
    void setUser(const QString &name);

    // Creates the tiles of all stored devices, only while the page has none.
    void LoadDeviceTiles();
    // A new tile, placed after the others; raises the tile count, not the
    // offline count.
    void AddDeviceTile(const DeviceRecord &record);
    // Applies a changed record to the tile of that name; nothing without one.
    void UpdateDeviceTile(const DeviceRecord &record);
    // The first tile of that name, in that area when one is given.
    TempWidget *FindDeviceTile(const QString &name, const QString &area = QString()) const;
    // Places every tile again for the tile area's current width.
    void ArrangeTiles();
    bool IsMonitoring() const { return !monitoringStopped(); }
    // Starts as the button does, unless monitoring already runs.
    void StartMonitoring();
    // 启动时自动监控 is ticked.
    bool AutoMonitorWanted() const;

    // The alarm push line: "报警推送：" and the push's state, a link that
    // asks for its settings.
    void setPushStatus(const QString &status);
    // The events the recorder also puts in the outbox, for the push.
    void setOutboxKinds(const QList<HistorySchema::EventKind> &kinds);

signals:
    // A tile asked for its device's trend, which another page draws.
    void trendRequested(const QString &area, const QString &name);
    // Every poll result of the poll thread, for the push.
    void readingPolled(const Reading &reading);
    void pushSettingsRequested();

protected:
    // Also when the window was resized while another page was showing: the
    // tile area's width is only known once this page is laid out again.
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_pBStartMonitor_clicked();
    void on_pBFlashCOM_clicked();
    void MonitorTimer();
    void onPortLost(const QString &reason);
    void onPortRestored();
    void on_treeDevice_customContextMenuRequested(const QPoint &pos);
    void On_ObjectMenuTriggered(QAction *action);
    void On_AreaMenuTriggered(QAction *action);
    void On_DeviceMenuTriggered(QAction *action);

private:
    void initDeviceTree();
    void addDevice(const QModelIndex &areaIndex, QMap<QString, QVariant> areaKey);
    void deleteDevice(const QModelIndex &index, const QString &name, const QString &area);
    void RefreshStateCounts();
    void countStateChange(const TempWidget *tile);
    void refreshStaleLooks();
    void loadSettings();
    void saveSettings() const;
    void writeCountLabels();
    int *countOf(TileState state);
    int columnCount() const;
    bool monitoringStopped() const;
    void warn(const QString &text);
    // The record's values and the tooltip, whose fourth line ends in trailingBlanks blanks.
    void applyRecord(TempWidget *tile, const DeviceRecord &record, int trailingBlanks);
    // Runs call on the recorder, in its thread.
    void onRecorder(const std::function<void(Recorder &)> &call);
    void showRecording(bool recording, const QString &reason);

    int tileCount = 0;
    int offlineCount = 0;
    int abnormalCount = 0;
    int normalCount = 0;
    int alarmCount = 0;
    int readIndex = 0;
    QList<TempWidget *> tiles;
    QMenu *objectMenu = nullptr;
    QMenu *areaMenu = nullptr;
    QMenu *deviceMenu = nullptr;
    QAction *actAddArea = nullptr;
    QAction *actAddDevice = nullptr;
    QAction *actDeleteArea = nullptr;
    QAction *actModifyDevice = nullptr;
    QAction *actDeleteDevice = nullptr;
    Ui::DeviceView *ui;
    TreeModel *treeModel = nullptr;
    QGridLayout *tileGrid;
    QTimer *monitorTimer;
    QReadThread pollThread;
    QThread historyThread;
    Recorder *recorder;
    QString user;
};

#endif
