#ifndef USERLOG_H
#define USERLOG_H

#include <QWidget>

namespace Ui {
class UserLog;
}

// The log page of the main window: an empty page of fixed size for now.
class UserLog : public QWidget
{
    Q_OBJECT

public:
    explicit UserLog(QWidget *parent = nullptr);
    ~UserLog() override;

private:
    Ui::UserLog *ui;
};

#endif
