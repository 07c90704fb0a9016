#include "newdevice.h"
#include "ui_newdevice.h"

#include <QDoubleValidator>
#include <QIntValidator>

newdevice::newdevice(QWidget *parent)
    : QDialog(parent), ui(new Ui::newdevice)
{
    ui->setupUi(this);
    ui->LEditDeviceAddr->setValidator(new QIntValidator(0, 255, this));
    ui->LEditRegAddr->setValidator(new QIntValidator(0, 65535, this));
    // Until the type is changed the limits take any signed 16-bit value.
    setLimitValidators([this] { return new QDoubleValidator(-32768.0, 32767.0, 1, this); });
}

newdevice::~newdevice()
{
    delete ui;
}

void newdevice::on_cBdeviceType_currentIndexChanged(int index)
{
    if (index < 0 || index > 3) {
        ui->groupBox_2->setTitle(QString());
        return;
    }
    const QString titles[] = {tr("温度范围：-200.0~850.0 ℃"), tr("湿度范围：0~100 %RH"), tr("电压范围：-32767~32768 mV"),
                              tr("电流范围：-32767~32768 uA")};
    switch (index) {
    case 0: setLimitValidators([this] { return new QDoubleValidator(-200.0, 32767.0, 1, this); }); break;
    case 1: setLimitValidators([this] { return new QIntValidator(0, 100, this); }); break;
    default: setLimitValidators([this] { return new QIntValidator(-32768, 32767, this); }); break;
    }
    ui->groupBox_2->setTitle(titles[index]);
}

void newdevice::setLimitValidators(const std::function<QValidator *()> &make)
{
    // Each field its own validator; text already typed is not checked again.
    for (QLineEdit *limit : {ui->LEditMaxTemp, ui->LEditMinTemp, ui->LEditMaxUnnormalTemp, ui->LEditMinUnnormalTemp})
        limit->setValidator(make());
}

void newdevice::setDeviceInfo(const DeviceRecord &record)
{
    ui->LEditDeviceName->setText(record.value(QStringLiteral("name")).toString());
    ui->LEditDeviceName->setReadOnly(true);
    ui->LEditDeviceAddr->setText(record.value(QStringLiteral("DeviceAddr")).toString());
    ui->LEditRegAddr->setText(record.value(QStringLiteral("RegAddr")).toString());
    ui->LEditMaxTemp->setText(record.value(QStringLiteral("MaxTemp")).toString());
    ui->LEditMinTemp->setText(record.value(QStringLiteral("MinTemp")).toString());
    ui->LEditMaxUnnormalTemp->setText(record.value(QStringLiteral("MaxUnnormalTemp")).toString());
    ui->LEditMinUnnormalTemp->setText(record.value(QStringLiteral("MinUnnormalTemp")).toString());
    // A type outside the list leaves the combo without a current item.
    ui->cBdeviceType->setCurrentIndex(record.value(QStringLiteral("Devicetype")).toInt());
}

DeviceRecord newdevice::getDeviceInfo() const
{
    return {{QStringLiteral("name"), ui->LEditDeviceName->text()},
            {QStringLiteral("DeviceAddr"), ui->LEditDeviceAddr->text().toInt()},
            {QStringLiteral("RegAddr"), ui->LEditRegAddr->text().toInt()},
            {QStringLiteral("MaxTemp"), ui->LEditMaxTemp->text().toDouble()},
            {QStringLiteral("MinTemp"), ui->LEditMinTemp->text().toDouble()},
            {QStringLiteral("MaxUnnormalTemp"), ui->LEditMaxUnnormalTemp->text().toDouble()},
            {QStringLiteral("MinUnnormalTemp"), ui->LEditMinUnnormalTemp->text().toDouble()},
            {QStringLiteral("Devicetype"), ui->cBdeviceType->currentIndex()}};
}
