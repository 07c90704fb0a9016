#include "newdevice.h"
#include "ui_newdevice.h"

#include <QDoubleValidator>
#include <QIntValidator>
#include <QMessageBox>

#include <cmath>

namespace {

const int NameLength = 40; // the size of the name columns

// The values a limit of each device type may take, and its decimals.
struct LimitRange
{
    double low, high;
    int decimals;
};
const LimitRange LimitRanges[] = {{-200.0, 850.0, 1}, {0, 100, 0}, {-32768, 32767, 0}, {-32768, 32767, 0}};

// The field's text as a number within [low, high] with at most `decimals`
// decimals; false when it is empty, unreadable or outside.
bool numberIn(const QLineEdit *field, double low, double high, int decimals, double &number)
{
    bool ok = false;
    number = field->text().toDouble(&ok);
    const double scale = std::pow(10.0, decimals);
    return ok && number >= low && number <= high && std::abs(number * scale - std::round(number * scale)) < 1e-6;
}

} // namespace

newdevice::newdevice(QWidget *parent)
    : QDialog(parent), ui(new Ui::newdevice)
{
    ui->setupUi(this);
    ui->LEditDeviceName->setMaxLength(NameLength);
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
    setWindowTitle(tr("修改设备"));
    // The stored name is the key of the row, kept as it is; it looks as
    // fixed as it is.
    ui->LEditDeviceName->setMaxLength(32767);
    ui->LEditDeviceName->setText(record.value(QStringLiteral("name")).toString());
    ui->LEditDeviceName->setReadOnly(true);
    ui->LEditDeviceName->setFrame(false);
    ui->LEditDeviceName->setFocusPolicy(Qt::NoFocus);
    ui->LEditDeviceName->setBackgroundRole(QPalette::Window);
    ui->LEditDeviceAddr->setText(record.value(QStringLiteral("DeviceAddr")).toString());
    ui->LEditRegAddr->setText(record.value(QStringLiteral("RegAddr")).toString());
    ui->LEditMaxTemp->setText(record.value(QStringLiteral("MaxTemp")).toString());
    ui->LEditMinTemp->setText(record.value(QStringLiteral("MinTemp")).toString());
    ui->LEditMaxUnnormalTemp->setText(record.value(QStringLiteral("MaxUnnormalTemp")).toString());
    ui->LEditMinUnnormalTemp->setText(record.value(QStringLiteral("MinUnnormalTemp")).toString());
    // A type outside the list leaves the combo without a current item.
    ui->cBdeviceType->setCurrentIndex(record.value(QStringLiteral("Devicetype")).toInt());
}

void newdevice::accept()
{
    const QString refusal = refusalText();
    if (refusal.isEmpty())
        QDialog::accept();
    else
        QMessageBox::warning(this, tr("warning"), refusal, QMessageBox::Ok);
}

QString newdevice::refusalText() const
{
    const int type = ui->cBdeviceType->currentIndex();
    if (type < 0)
        return tr("请选择设备类型!");
    if (ui->LEditDeviceName->text().trimmed().isEmpty())
        return tr("设备名称不能为空!");
    double number;
    if (!numberIn(ui->LEditDeviceAddr, 1, 247, 0, number))
        return tr("设备地址应在1~247之间!");
    if (!numberIn(ui->LEditRegAddr, 0, 65535, 0, number))
        return tr("寄存器地址应在0~65535之间!");
    // From the lowest limit up: each at least the one before it.
    const struct { QLineEdit *field; QLabel *label; } limits[] = {{ui->LEditMinTemp, ui->label_4},
        {ui->LEditMinUnnormalTemp, ui->label_7}, {ui->LEditMaxUnnormalTemp, ui->label_6}, {ui->LEditMaxTemp, ui->label_5}};
    const LimitRange &range = LimitRanges[type];
    double below = range.low;
    for (int i = 0; i < 4; ++i) {
        if (!numberIn(limits[i].field, range.low, range.high, range.decimals, number))
            return tr("%1应在%2~%3之间!")
                .arg(limits[i].label->text(), QString::number(range.low, 'f', range.decimals),
                     QString::number(range.high, 'f', range.decimals));
        if (number < below)
            return tr("%1不能小于%2!").arg(limits[i].label->text(), limits[i - 1].label->text());
        below = number;
    }
    return QString();
}

DeviceRecord newdevice::getDeviceInfo() const
{
    // A new name without the blanks around it; a stored one is the row's key.
    const QString name = ui->LEditDeviceName->text();
    return {{QStringLiteral("name"), ui->LEditDeviceName->isReadOnly() ? name : name.trimmed()},
            {QStringLiteral("DeviceAddr"), ui->LEditDeviceAddr->text().toInt()},
            {QStringLiteral("RegAddr"), ui->LEditRegAddr->text().toInt()},
            {QStringLiteral("MaxTemp"), ui->LEditMaxTemp->text().toDouble()},
            {QStringLiteral("MinTemp"), ui->LEditMinTemp->text().toDouble()},
            {QStringLiteral("MaxUnnormalTemp"), ui->LEditMaxUnnormalTemp->text().toDouble()},
            {QStringLiteral("MinUnnormalTemp"), ui->LEditMinUnnormalTemp->text().toDouble()},
            {QStringLiteral("Devicetype"), ui->cBdeviceType->currentIndex()}};
}
