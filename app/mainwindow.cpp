#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "dlgabout.h"
#include "userlog.h"

#include <QDesktopServices>
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

    // The debugging and monitoring pages join here, created before the log page.
    logPage = new UserLog(this);

    auto *clock = new QTimer(this);
    connect(clock, &QTimer::timeout, this, &MainWindow::timerUpdate);
    clock->start(1000);

    // Stack indices are fixed: the debugging and monitoring pages go in here as
    // 1 and 2, the window then opens on the debugging page; the log page follows them.
    ui->MWSWidgetMainBody->addWidget(logPage);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::on_BtnTbarLogRecord_clicked()
{
    // The log page has no content yet, so its button shows nothing.
}

void MainWindow::timerUpdate()
{
    ui->LcdTBarRealTime->display(QTime::currentTime().toString("hh:mm:ss"));
}
