#ifndef DLGHELP_H
#define DLGHELP_H

#include <QDialog>

namespace Ui {
class DlgHelp;
}

// Troubleshooting text for RS-485 wiring and Modbus communication.
class DlgHelp : public QDialog
{
    Q_OBJECT

public:
    explicit DlgHelp(QWidget *parent = nullptr);
    ~DlgHelp() override;

private:
    Ui::DlgHelp *ui;
};

#endif
