#ifndef NEWDEVICE_H
#define NEWDEVICE_H

#include "records.h"

#include <QDialog>

#include <functional>

class QValidator;

namespace Ui {
class newdevice;
}

// The modal editor of one monitored device: name, addresses, type and the
// four limits. What can be typed follows the chosen device type; the dialog
// stores nothing and hands back a record without its area ("parent").
class newdevice : public QDialog
{
    Q_OBJECT

public:
    explicit newdevice(QWidget *parent = nullptr);
    ~newdevice() override;

    // For modifying: fills every field from a stored record and locks the name.
    void setDeviceInfo(const DeviceRecord &record);
    DeviceRecord getDeviceInfo() const;

public slots:
    // Closes only on a device that can work; otherwise names the field at fault.
    void accept() override;

private slots:
    void on_cBdeviceType_currentIndexChanged(int index);

private:
    void setLimitValidators(const std::function<QValidator *()> &make);
    // Why the fields describe no device that can work; empty when they do.
    QString refusalText() const;

    Ui::newdevice *ui;
};

#endif
