#include "userlog.h"
#include "ui_userlog.h"

UserLog::UserLog(QWidget *parent)
    : QWidget(parent), ui(new Ui::UserLog)
{
    ui->setupUi(this);
}

UserLog::~UserLog()
{
    delete ui;
}
