#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

struct PushSettings;

namespace Ui {
class MainWindow;
}
class AlarmPush;
class dlgAbout;
class DeviceDebug;
class DeviceView;
class UserLog;

// The single main window: toolbar strip with page buttons, clock and web-shop
// button above the page stack. Owns its pages and the about box.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Opens the monitoring page and starts it when 启动时自动监控 is set.
    void StartMonitoringAtLogin();

protected:
    void resizeEvent(QResizeEvent *event) override;
    // While monitoring runs, only after the operator confirms.
    void closeEvent(QCloseEvent *event) override;

signals:
    void pushSettingsChanged(const PushSettings &settings);

private slots:
    void on_BtnTbarComSetting_clicked();
    void on_BtnTbarDeviceMonitor_clicked();
    void on_BtnTbarLogRecord_clicked();
    void timerUpdate();
    void editPushSettings();

private:
    Ui::MainWindow *ui;
    dlgAbout *aboutDialog;
    DeviceDebug *debugPage;
    DeviceView *monitorPage;
    UserLog *logPage;
    AlarmPush *push;
};

#endif
