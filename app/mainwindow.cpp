#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "alarmpush.h"
#include "devicedebug.h"
#include "deviceview.h"
#include "dlgabout.h"
#include "pushdialog.h"
#include "qdlglogin.h"
#include "userlog.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <QTimer>
#include <QUrl>

namespace {
const char *const shopAddress = "https://www.example.com/tarvo-shop";
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // An LCD shows 0 by default; the clock stays blank until its first tick.
    ui->LcdTBarRealTime->display(QString());

    aboutDialog = new dlgAbout(this);
    connect(ui->BtnTbarAbout, &QPushButton::clicked, aboutDialog, &QDialog::exec);
    connect(ui->BtnTbarOpenWebsize, &QPushButton::clicked, this,
            [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(shopAddress))); });

    debugPage = new DeviceDebug(this);
    monitorPage = new DeviceView(this);
    monitorPage->setUser(QDlgLogin::loggedInUser());
    logPage = new UserLog(this);
    logPage->setUser(QDlgLogin::loggedInUser());
    connect(logPage, &UserLog::unacknowledgedChanged, this, [this](int count) {
        ui->BtnTbarLogRecord->setText(count > 0 ? tr("日志查询 (%1)").arg(count) : tr("日志查询"));
    });
    connect(monitorPage, &DeviceView::trendRequested, this, [this](const QString &area, const QString &name) {
        ui->MWSWidgetMainBody->setCurrentIndex(3);
        logPage->showTrend(area, name);
    });

    push = new AlarmPush(QStringLiteral("history.db"), this);
    connect(push->worker(), &PushWorker::statusChanged, monitorPage, &DeviceView::setPushStatus);
    connect(monitorPage, &DeviceView::readingPolled, push->worker(), &PushWorker::publishReading);
    connect(monitorPage, &DeviceView::pushSettingsRequested, this, &MainWindow::editPushSettings);
    connect(this, &MainWindow::pushSettingsChanged, push->worker(), &PushWorker::apply);
    connect(this, &MainWindow::pushSettingsChanged, monitorPage,
            [this](const PushSettings &settings) { monitorPage->setOutboxKinds(settings.outboxKinds()); });
    emit pushSettingsChanged(PushSettings::load());

    auto *clock = new QTimer(this);
    connect(clock, &QTimer::timeout, this, &MainWindow::timerUpdate);
    clock->start(1000);

    // Stack indices are fixed: 1 debugging, 2 monitoring, 3 log; the window
    // opens on the debugging page.
    ui->MWSWidgetMainBody->addWidget(debugPage);
    ui->MWSWidgetMainBody->addWidget(monitorPage);
    ui->MWSWidgetMainBody->addWidget(logPage);
    ui->MWSWidgetMainBody->setCurrentIndex(1);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::StartMonitoringAtLogin()
{
    if (!monitorPage->AutoMonitorWanted())
        return;
    on_BtnTbarDeviceMonitor_clicked();
    monitorPage->StartMonitoring();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (monitorPage->IsMonitoring()) {
        QMessageBox question(QMessageBox::Warning, tr("退出"), tr("正在监控，确认退出吗？"), QMessageBox::NoButton,
                             this);
        QPushButton *yes = question.addButton(tr("是"), QMessageBox::AcceptRole);
        question.setDefaultButton(question.addButton(tr("否"), QMessageBox::RejectRole));
        question.exec();
        if (question.clickedButton() != yes) {
            event->ignore();
            return;
        }
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::on_BtnTbarComSetting_clicked()
{
    ui->MWSWidgetMainBody->setCurrentIndex(1);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    monitorPage->ArrangeTiles();
}

void MainWindow::on_BtnTbarDeviceMonitor_clicked()
{
    ui->MWSWidgetMainBody->setCurrentIndex(2);
    monitorPage->LoadDeviceTiles();
}

void MainWindow::on_BtnTbarLogRecord_clicked()
{
    ui->MWSWidgetMainBody->setCurrentIndex(3);
}

void MainWindow::timerUpdate()
{
    ui->LcdTBarRealTime->display(QTime::currentTime().toString("hh:mm:ss"));
}

void MainWindow::editPushSettings()
{
    PushDialog dialog(PushSettings::load(), this);
    connect(&dialog, &PushDialog::testRequested, push->worker(), &PushWorker::sendTest);
    connect(push->worker(), &PushWorker::testFinished, &dialog, &PushDialog::showTestResult);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const PushSettings settings = dialog.settings();
    if (!settings.save())
        QMessageBox::warning(this, tr("warning"), tr("推送设置保存失败!"), QMessageBox::Ok);
    emit pushSettingsChanged(settings);
}
