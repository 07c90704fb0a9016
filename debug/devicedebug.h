#ifndef DEVICEDEBUG_H
#define DEVICEDEBUG_H

#include "modbus.h"
#include "modules.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>

namespace Ui {
class DeviceDebug;
}
class DlgHelp;
class QDoubleSpinBox;
class QLineEdit;

// The commissioning bench: its own Modbus connection with a frame log, a
// generic console for any register or coil, a module's communication
// settings with restart and reset, and the KT101 and KT104 pages. Every
// exchange runs on the GUI thread and blocks it for up to the response timeout.
class DeviceDebug : public QWidget
{
    Q_OBJECT

public:
    explicit DeviceDebug(QWidget *parent = nullptr);
    ~DeviceDebug() override; // closes an open port

    void ShowRequestFrame();
    void ShowResponseFrame();
    void FillPortList();

private slots:
    void on_BtnComConect_clicked();
    void on_BtnFlashCom_clicked();
    void on_pbcleartext_clicked();

    void on_BtnDebugRead_clicked();
    void on_BtnDebugWrite_clicked();
    void on_LEditWRegVal_1_textChanged(const QString &arg1);
    void on_LEditWRegVal_2_textChanged(const QString &arg1);
    void on_LEditWRegVal_3_textChanged(const QString &arg1);
    void on_LEditWRegVal_4_textChanged(const QString &arg1);
    void on_LEditWRegVal_5_textChanged(const QString &arg1);
    void on_SpinDebugWRegNum_valueChanged(int arg1);

    void on_pBSetDevAddr_clicked();
    void on_pBSetBrrnum_clicked();
    void on_pBSetStopBit_clicked();
    void on_pBSetParity_clicked();
    void on_BtnReadBaseMeg_clicked();
    void on_pB_Restart_clicked();
    void on_pBReadConf_clicked();
    void on_ChooseWD_currentIndexChanged(int index);

    void on_BtnReadTemp_clicked();
    void on_BtnReadOffset_clicked();
    void on_BtnSetoffset_clicked();

    void on_BtnKT104ReadTemp_clicked();
    void on_BtnKT104ReadTemp_1_clicked();
    void on_BtnKT104ReadTemp_2_clicked();
    void on_BtnKT104ReadTemp_3_clicked();
    void on_BtnKT104ReadTemp_4_clicked();
    void on_BtnKT104ReadRes_clicked();
    void on_BtnKT104ReadRes1_clicked();
    void on_BtnKT104ReadRes2_clicked();
    void on_BtnKT104ReadRes3_clicked();
    void on_BtnKT104ReadRes4_clicked();
    void on_BtnKT104ReadOffset_clicked();
    void on_BtnKT104SetAlloffset_clicked();
    void on_BtnKT104Setoffset_1_clicked();
    void on_BtnKT104Setoffset_2_clicked();
    void on_BtnKT104Setoffset_3_clicked();
    void on_BtnKT104Setoffset_4_clicked();
    void on_cB_KT104_Type_currentIndexChanged(int index);

private:
    static constexpr int BufferSize = 5; // the most any operation reads or writes
    using Fields = std::array<QDoubleSpinBox *, kt::Kt104Channels>;

    bool isConnected() const;
    // True, with the page disconnected and told so, when error says the port is gone.
    bool portVanished(int error);
    void closePort();
    void warn(const QString &text, const char *title = "warning");
    void appendFrame(const QString &prefix, int (*capture)(modbus_t *, uint8_t *, int *));
    // Sends one request and logs what went on the wire: the request as
    // sent, then the answer or a line that says why there is none. errno
    // is left as the request left it.
    int sendLogged(const std::function<int()> &request);
    QString failureReason(int error) const;
    // Sends `request` to `slave` on the open connection and logs it; true
    // when it returned `expected`, else the failure is shown.
    bool exchange(int slave, int expected, const QString &failure, const std::function<int()> &request);
    // Module operations go to the station of the head row.
    bool readModule(int reg, int n);
    void writeModule(int reg, uint16_t value);
    void readChannels(int baseReg, const Fields &fields, kt::Reading (*rule)(uint16_t), int first, int count);
    void readTemps(int first, int count);
    void readResistances(int first, int count);
    void setOffset(int channel);
    void showReading(QDoubleSpinBox *field, const kt::Reading &r);
    void showOffset(QDoubleSpinBox *field, double limit, uint16_t r);
    // False, with a warning naming the field, when its value is beyond the trim range.
    bool offsetWritable(const QDoubleSpinBox *field, double limit, const QString &name);
    bool kt104OffsetWritable(int channel);
    void normaliseCoilField(QLineEdit *field, const QString &text);

    Ui::DeviceDebug *ui;
    modbus_t *ctx = nullptr; // exists only while connected
    uint16_t regs[BufferSize] = {};
    uint8_t bits[BufferSize] = {};
    std::unique_ptr<DlgHelp> help;
    std::array<QLineEdit *, BufferSize> valueFields;
    Fields kt104Temps, kt104Resistances, kt104Offsets;
};

#endif
