#include "devicedebug.h"
#include "ui_devicedebug.h"

#include "console.h"
#include "dlghelp.h"
#include "portlist.h"
#include "resetsweep.h"

#include <QMessageBox>
#include <QProgressDialog>

#include <cerrno>

namespace {

// The line settings the page starts with.
const char *const presetBaud = "9600";
const char *const presetDataBits = "8";
const char *const presetStopBits = "1";
const int presetTimeoutMs = 1000;
// Each attempt of the reset waits this long for the module.
const int resetTimeoutMs = 1000;

} // namespace

DeviceDebug::DeviceDebug(QWidget *parent)
    : QWidget(parent), ui(new Ui::DeviceDebug)
{
    ui->setupUi(this);
    FillPortList();
    ui->cBBoxBaudRate->setCurrentText(presetBaud);
    ui->cBBoxDataBits->setCurrentText(presetDataBits);
    ui->cBBoxStopBits->setCurrentText(presetStopBits);
    ui->timeoutSpinner->setValue(presetTimeoutMs);

    help = std::make_unique<DlgHelp>();
    connect(ui->dlgHelp, &QPushButton::clicked, help.get(), &QDialog::exec);

    valueFields = {ui->LEditWRegVal_1, ui->LEditWRegVal_2, ui->LEditWRegVal_3, ui->LEditWRegVal_4, ui->LEditWRegVal_5};
    kt104Temps = {ui->SBoxKT104_TV01, ui->SBoxKT104_TV02, ui->SBoxKT104_TV03, ui->SBoxKT104_TV04};
    kt104Resistances = {ui->SBoxKT104_RV01, ui->SBoxKT104_RV02, ui->SBoxKT104_RV03, ui->SBoxKT104_RV04};
    kt104Offsets = {ui->SBoxKT104_TO01, ui->SBoxKT104_TO02, ui->SBoxKT104_TO03, ui->SBoxKT104_TO04};
}

DeviceDebug::~DeviceDebug()
{
    // The program must not end with the port held and its settings changed.
    closePort();
    delete ui;
}

bool DeviceDebug::isConnected() const
{
    return ui->BtnComConect->text() == tr("断开");
}

void DeviceDebug::closePort()
{
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
    ui->BtnComConect->setText(tr("连接"));
}

bool DeviceDebug::portVanished(int error)
{
    // An adapter pulled out: the connection is dead for good, so the page
    // lets it go instead of failing every exchange over it.
    if (error != ECONNRESET)
        return false;
    closePort();
    warn(tr("串口已断开，请重新连接"));
    return true;
}

void DeviceDebug::warn(const QString &text, const char *title)
{
    QMessageBox::warning(this, tr(title), text, QMessageBox::Ok);
}

void DeviceDebug::FillPortList()
{
    const QStringList names = availablePortNames();
    if (names.isEmpty())
        ui->cBBoxCom->addItem(tr("无"));
    else
        ui->cBBoxCom->addItems(names);
}

void DeviceDebug::on_BtnFlashCom_clicked()
{
    ui->cBBoxCom->clear();
    FillPortList();
}

void DeviceDebug::on_BtnComConect_clicked()
{
    if (isConnected()) {
        closePort();
        return;
    }
    const QByteArray port = ui->cBBoxCom->currentText().toUtf8();
    const QByteArray parity = ui->cBBoxParity->currentText().toUtf8();
    ctx = modbus_new_rtu(port.constData(), ui->cBBoxBaudRate->currentText().toInt(), parity.isEmpty() ? 'N' : parity[0],
                         ui->cBBoxDataBits->currentText().toInt(), ui->cBBoxStopBits->currentText().toInt());
    if (ctx) {
        modbus_set_slave(ctx, 1);
        // 0 ms is refused and leaves the layer's default.
        const int t = ui->timeoutSpinner->value();
        modbus_set_response_timeout(ctx, uint32_t(t / 1000), uint32_t(t % 1000) * 1000);
    }
    if (!ctx || modbus_connect(ctx) == -1) {
        modbus_free(ctx);
        ctx = nullptr;
        warn(tr("连接失败!"));
        return;
    }
    ui->BtnComConect->setText(tr("断开"));
}

void DeviceDebug::on_pbcleartext_clicked()
{
    ui->Tdebugdata->clear();
}

void DeviceDebug::appendFrame(const QString &prefix, int (*capture)(modbus_t *, uint8_t *, int *))
{
    uint8_t frame[MODBUS_CAPTURE_SIZE];
    int length = 0;
    capture(ctx, frame, &length);
    ui->Tdebugdata->append(console::frameLine(prefix, frame, qMin(length, MODBUS_CAPTURE_SIZE)));
}

void DeviceDebug::ShowRequestFrame()
{
    appendFrame(tr(">> "), modbus_get_last_request);
}

void DeviceDebug::ShowResponseFrame()
{
    appendFrame(tr("<< "), modbus_get_last_response);
}

QString DeviceDebug::failureReason(int error) const
{
    uint8_t frame[MODBUS_CAPTURE_SIZE];
    int length = 0;
    modbus_get_last_request(ctx, frame, &length);
    if (length == 0)
        return tr("not sent: %1").arg(modbus_strerror(error));
    modbus_get_last_response(ctx, frame, &length);
    uint32_t sec = 0, usec = 0;
    modbus_get_response_timeout(ctx, &sec, &usec);
    const int ms = int(sec * 1000 + usec / 1000);
    QString reason;
    if (error == ETIMEDOUT)
        reason = length ? tr("incomplete answer within %1 ms").arg(ms) : tr("no answer within %1 ms").arg(ms);
    else if (error == MODBUS_ERR_BAD_CRC)
        reason = tr("CRC error");
    else if (error > MODBUS_ERR_BASE && error <= MODBUS_ERR_GATEWAY_TARGET)
        reason = tr("exception %1 (%2)").arg(error - MODBUS_ERR_BASE).arg(modbus_strerror(error));
    else if (error == MODBUS_ERR_BAD_SLAVE && length > 0)
        reason = tr("answer from station %1").arg(frame[0]);
    else
        reason = modbus_strerror(error);
    return length ? console::frameLine(reason + tr(", received"), frame, qMin(length, MODBUS_CAPTURE_SIZE)) : reason;
}

int DeviceDebug::sendLogged(const std::function<int()> &request)
{
    // Emptied first, the captures hold what went on the wire this time only.
    modbus_set_capture(ctx, 1);
    errno = 0;
    const int result = request();
    const int error = errno;
    uint8_t frame[MODBUS_CAPTURE_SIZE];
    int sent = 0;
    modbus_get_last_request(ctx, frame, &sent);
    if (sent > 0)
        ShowRequestFrame();
    if (result == -1)
        ui->Tdebugdata->append(tr("!!  ") + failureReason(error));
    else if (modbus_get_last_response_length(ctx) > 0)
        ShowResponseFrame();
    errno = error;
    return result;
}

bool DeviceDebug::exchange(int slave, int expected, const QString &failure, const std::function<int()> &request)
{
    if (!isConnected()) {
        warn(tr("请连接设备!"));
        return false;
    }
    // A refused address would leave the request going to the station set before.
    if (modbus_set_slave(ctx, slave) == -1) {
        warn(failure);
        return false;
    }
    if (sendLogged(request) != expected) {
        if (!portVanished(errno))
            warn(failure);
        return false;
    }
    return true;
}

// The generic console

void DeviceDebug::on_BtnDebugRead_clicked()
{
    const int type = ui->cBReadRegType->currentIndex();
    const int addr = ui->SpinDebugRRegAddr->value();
    const int n = ui->SpinDebugRRegNum->value();
    if (!exchange(ui->SpinDebugRServerAddr->value(), n, tr("读取出错!"),
                  [&] { return console::read(ctx, type, addr, n, regs, bits); }))
        return;
    QString text = tr("起始地址: %1;值: ").arg(addr);
    for (int i = 0; i < n; ++i)
        text += tr("%1 ").arg(console::readsBits(type) ? bits[i] : regs[i]);
    ui->LEditRRegValue->setText(text);
}

void DeviceDebug::on_BtnDebugWrite_clicked()
{
    const int n = ui->SpinDebugWRegNum->value();
    // What is not a value is refused, not sent as 0; a coil is on for any value but 0.
    for (int k = 0; k < n; ++k) {
        if (!console::parseField(valueFields[k]->text(), regs[k])) {
            warn(tr("写入值%1无效: 应为 -32768 到 65535 的整数或 0x0 到 0xFFFF!").arg(k + 1));
            return;
        }
        bits[k] = regs[k] != 0;
    }
    const int type = ui->cBWriteRegType->currentIndex();
    const int addr = ui->SpinDebugWRegAddr->value();
    exchange(ui->SpinDebugWServerAddr->value(), n, tr("写入出错!"),
             [&] { return console::write(ctx, type, addr, n, regs, bits); });
}

void DeviceDebug::normaliseCoilField(QLineEdit *field, const QString &text)
{
    uint16_t value = 0;
    if (ui->cBWriteRegType->currentText() == tr("线圈") && console::parseField(text, value) && value != 0)
        field->setText(tr("1"));
}

void DeviceDebug::on_LEditWRegVal_1_textChanged(const QString &arg1) { normaliseCoilField(ui->LEditWRegVal_1, arg1); }
void DeviceDebug::on_LEditWRegVal_2_textChanged(const QString &arg1) { normaliseCoilField(ui->LEditWRegVal_2, arg1); }
void DeviceDebug::on_LEditWRegVal_3_textChanged(const QString &arg1) { normaliseCoilField(ui->LEditWRegVal_3, arg1); }
void DeviceDebug::on_LEditWRegVal_4_textChanged(const QString &arg1) { normaliseCoilField(ui->LEditWRegVal_4, arg1); }
void DeviceDebug::on_LEditWRegVal_5_textChanged(const QString &arg1) { normaliseCoilField(ui->LEditWRegVal_5, arg1); }

void DeviceDebug::on_SpinDebugWRegNum_valueChanged(int arg1)
{
    if (arg1 < 1 || arg1 > BufferSize)
        return;
    for (int k = 1; k < BufferSize; ++k)
        valueFields[k]->setEnabled(k < arg1);
}

// Communication settings, restart and reset

bool DeviceDebug::readModule(int reg, int n)
{
    return exchange(ui->SpinDebugRServerAddr3->value(), n, tr("读取出错!"),
                    [&] { return modbus_read_registers(ctx, reg, n, regs); });
}

void DeviceDebug::writeModule(int reg, uint16_t value)
{
    regs[0] = value;
    exchange(ui->SpinDebugRServerAddr3->value(), 1, tr("配置失败!"),
             [&] { return modbus_write_register(ctx, reg, regs[0]); });
}

void DeviceDebug::on_pBSetDevAddr_clicked() { writeModule(kt::RegStation, uint16_t(ui->SpinDebugRServerAddr2->value())); }
void DeviceDebug::on_pBSetBrrnum_clicked() { writeModule(kt::RegBaudCode, uint16_t(ui->cBBoxBaudRate_2->currentIndex())); }
void DeviceDebug::on_pBSetStopBit_clicked() { writeModule(kt::RegStopCode, uint16_t(ui->cBBoxStopBits_2->currentIndex())); }
void DeviceDebug::on_pBSetParity_clicked() { writeModule(kt::RegParityCode, uint16_t(ui->cBBoxParity_2->currentIndex())); }

void DeviceDebug::on_BtnReadBaseMeg_clicked()
{
    if (!readModule(kt::RegStation, kt::CommRegisterCount))
        return;
    // The codes are the combos' item indices; an unknown one leaves no item chosen.
    ui->SpinDebugRServerAddr2->setValue(regs[kt::RegStation - 1]);
    ui->cBBoxBaudRate_2->setCurrentIndex(regs[kt::RegBaudCode - 1]);
    ui->cBBoxStopBits_2->setCurrentIndex(regs[kt::RegStopCode - 1]);
    ui->cBBoxParity_2->setCurrentIndex(regs[kt::RegParityCode - 1]);
}

void DeviceDebug::on_pB_Restart_clicked()
{
    if (!isConnected()) {
        warn(tr("请连接设备!"));
        return;
    }
    modbus_set_slave(ctx, ui->SpinDebugRServerAddr3->value());
    // A module restarts without answering; an answer means it did not.
    if (sendLogged([&] { return modbus_write_register(ctx, kt::RegRestart, kt::RestartCommand); }) == 1)
        warn(tr("重启失败!"));
    else if (!portVanished(errno))
        warn(tr("已操作，请确认是否成功!"));
}

void DeviceDebug::on_pBReadConf_clicked()
{
    const QByteArray port = ui->cBBoxCom->currentText().toUtf8();
    // The sweep opens the port itself.
    closePort();
    warn(tr("复位通信参数时总线上只能接要复位的设备!"), "注意");

    auto progress = std::make_unique<QProgressDialog>(tr("操作中，请稍候..."), tr("取消"), 0, kt::SweepAttempts, this);
    progress->setFont(QFont(QStringLiteral("微软雅黑"), 16));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(5);
    progress->setWindowTitle(tr("Please Wait"));
    const kt::ResetResult result = kt::resetModule(port.constData(), resetTimeoutMs, [&](int attempt) {
        progress->setValue(attempt + 1);
        return !progress->wasCanceled();
    });
    progress.reset(); // gone before the outcome is shown

    switch (result.outcome) {
    case kt::ResetOutcome::Done:
        warn(tr("请手动断电重启测试!"));
        ui->Tdebugdata->append(tr(">>复位成功"));
        ui->Tdebugdata->append(tr(">>串口参数为 9600 8 N 1，站号为 1"));
        break;
    case kt::ResetOutcome::NotFound: warn(tr("复位失败，请检查接线!"), "提示"); break;
    case kt::ResetOutcome::PortError: warn(tr("复位失败，请检查接线!")); break;
    case kt::ResetOutcome::Cancelled: break;
    }
}

void DeviceDebug::on_ChooseWD_currentIndexChanged(int index)
{
    ui->sW_MainWindow->setCurrentIndex(index);
}

// KT101

void DeviceDebug::showReading(QDoubleSpinBox *field, const kt::Reading &r)
{
    // Decimals first, so that the value is not rounded to the old ones.
    field->setDecimals(r.decimals);
    field->setValue(r.value);
}

void DeviceDebug::showOffset(QDoubleSpinBox *field, double limit, uint16_t r)
{
    // The module's own value, also one beyond the trim range a write may set.
    const double v = kt::signedTenths(r);
    field->setRange(qMin(v, -limit), qMax(v, limit));
    field->setValue(v);
}

bool DeviceDebug::offsetWritable(const QDoubleSpinBox *field, double limit, const QString &name)
{
    if (qAbs(field->value()) <= limit)
        return true;
    warn(tr("%1超出 -%2 到 %2 ℃，未配置!").arg(name).arg(limit, 0, 'f', 1));
    return false;
}

void DeviceDebug::on_BtnReadTemp_clicked()
{
    if (readModule(kt::Kt101TempReg, 1))
        showReading(ui->SBoxKT101_TV01, kt::temperatureReading(regs[0]));
}

void DeviceDebug::on_BtnReadOffset_clicked()
{
    if (readModule(kt::Kt101OffsetReg, 1))
        showOffset(ui->SBoxKT101_TO01, kt::Kt101OffsetLimit, regs[0]);
}

void DeviceDebug::on_BtnSetoffset_clicked()
{
    if (offsetWritable(ui->SBoxKT101_TO01, kt::Kt101OffsetLimit, tr("偏移量")))
        writeModule(kt::Kt101OffsetReg, kt::offsetRegister(ui->SBoxKT101_TO01->value()));
}

// KT104

void DeviceDebug::readChannels(int baseReg, const Fields &fields, kt::Reading (*rule)(uint16_t), int first, int count)
{
    if (!readModule(baseReg + first - 1, count))
        return;
    for (int i = 0; i < count; ++i)
        showReading(fields[size_t(first - 1 + i)], rule(regs[i]));
}

void DeviceDebug::readTemps(int first, int count)
{
    readChannels(kt::Kt104TempReg, kt104Temps, kt::temperatureReading, first, count);
}

void DeviceDebug::readResistances(int first, int count)
{
    readChannels(kt::Kt104ResReg, kt104Resistances, kt::resistanceReading, first, count);
}

void DeviceDebug::on_BtnKT104ReadTemp_clicked() { readTemps(1, kt::Kt104Channels); }
void DeviceDebug::on_BtnKT104ReadTemp_1_clicked() { readTemps(1, 1); }
void DeviceDebug::on_BtnKT104ReadTemp_2_clicked() { readTemps(2, 1); }
void DeviceDebug::on_BtnKT104ReadTemp_3_clicked() { readTemps(3, 1); }
void DeviceDebug::on_BtnKT104ReadTemp_4_clicked() { readTemps(4, 1); }
void DeviceDebug::on_BtnKT104ReadRes_clicked() { readResistances(1, kt::Kt104Channels); }
void DeviceDebug::on_BtnKT104ReadRes1_clicked() { readResistances(1, 1); }
void DeviceDebug::on_BtnKT104ReadRes2_clicked() { readResistances(2, 1); }
void DeviceDebug::on_BtnKT104ReadRes3_clicked() { readResistances(3, 1); }
void DeviceDebug::on_BtnKT104ReadRes4_clicked() { readResistances(4, 1); }

void DeviceDebug::on_BtnKT104ReadOffset_clicked()
{
    // Offsets have no error value and keep their decimals.
    if (!readModule(kt::Kt104OffsetReg, kt::Kt104Channels))
        return;
    for (int k = 0; k < kt::Kt104Channels; ++k)
        showOffset(kt104Offsets[size_t(k)], kt::Kt104OffsetLimit, regs[k]);
}

bool DeviceDebug::kt104OffsetWritable(int channel)
{
    return offsetWritable(kt104Offsets[size_t(channel - 1)], kt::Kt104OffsetLimit, tr("通道%1偏移量").arg(channel));
}

void DeviceDebug::on_BtnKT104SetAlloffset_clicked()
{
    // Disabled fields are written too.
    for (int k = 0; k < kt::Kt104Channels; ++k) {
        if (!kt104OffsetWritable(k + 1))
            return;
        regs[k] = kt::offsetRegister(kt104Offsets[size_t(k)]->value());
    }
    exchange(ui->SpinDebugRServerAddr3->value(), kt::Kt104Channels, tr("配置失败!"),
             [&] { return modbus_write_registers(ctx, kt::Kt104OffsetReg, kt::Kt104Channels, regs); });
}

void DeviceDebug::setOffset(int channel)
{
    if (kt104OffsetWritable(channel))
        writeModule(kt::Kt104OffsetReg + channel - 1, kt::offsetRegister(kt104Offsets[size_t(channel - 1)]->value()));
}

void DeviceDebug::on_BtnKT104Setoffset_1_clicked() { setOffset(1); }
void DeviceDebug::on_BtnKT104Setoffset_2_clicked() { setOffset(2); }
void DeviceDebug::on_BtnKT104Setoffset_3_clicked() { setOffset(3); }
void DeviceDebug::on_BtnKT104Setoffset_4_clicked() { setOffset(4); }

void DeviceDebug::on_cB_KT104_Type_currentIndexChanged(int index)
{
    // With three-wire sensors only channels 1 and 2 are in use.
    if (index != 0 && index != 1)
        return;
    for (QWidget *w : QList<QWidget *>{ui->SBoxKT104_TV03, ui->SBoxKT104_TV04, ui->SBoxKT104_RV03, ui->SBoxKT104_RV04,
                                       ui->SBoxKT104_TO03, ui->SBoxKT104_TO04, ui->BtnKT104Setoffset_3,
                                       ui->BtnKT104Setoffset_4})
        w->setEnabled(index == 0);
}
