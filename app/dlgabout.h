#ifndef DLGABOUT_H
#define DLGABOUT_H

#include <QDialog>

namespace Ui {
class dlgAbout;
}

// The about box, created once by the main window and shown again on each click.
class dlgAbout : public QDialog
{
    Q_OBJECT

public:
    explicit dlgAbout(QWidget *parent = nullptr);
    ~dlgAbout() override;

private:
    Ui::dlgAbout *ui;
};

#endif
