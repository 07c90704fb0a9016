// The debugging page against the module simulator on a pseudo-terminal, as a
// technician would use it: every frame it logs is checked byte for byte.
#include "../app/modal.h"
#include "console.h"
#include "devicedebug.h"
#include "dlghelp.h"

#include "simulator.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using ktsim::Fault;
using ktsim::ModuleSpec;
using ktsim::ModuleType;

Q_DECLARE_METATYPE(Fault)

namespace {

const QString connectFirst = "Warning|warning|请连接设备!";

// The page on a simulated bus, by default a KT101 at station 1 and a KT104 at
// station 2 at 9600 8N1, and a KT101 at station 9 at 19200 8O2. Every message
// box is answered and recorded.
struct Rig
{
    explicit Rig(const QList<ModuleSpec> &modules = {{ModuleType::KT101, 1},
                                                     {ModuleType::KT104, 2},
                                                     {ModuleType::KT101, 9, 19200, 'O', 2}})
    {
        for (const ModuleSpec &m : modules)
            sim.addModule(m);
        sim.start();
        page->show();
        answerModals(&context, &boxes);
    }
    template <typename T = QWidget>
    T *w(const char *name) const
    {
        T *found = page->findChild<T *>(name);
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    void click(const char *name) const { w<QAbstractButton>(name)->click(); }
    void setPort(const QString &port) const { w<QComboBox>("cBBoxCom")->setCurrentText(port); }
    bool connected() const { return w<QPushButton>("BtnComConect")->text() == "断开"; }
    bool connect(const QString &baud = "9600", const QString &parity = "No", const QString &stop = "1", QString port = {})
    {
        setPort(port.isEmpty() ? QString::fromStdString(sim.portPath()) : port);
        w<QComboBox>("cBBoxBaudRate")->setCurrentText(baud);
        w<QComboBox>("cBBoxParity")->setCurrentText(parity);
        w<QComboBox>("cBBoxStopBits")->setCurrentText(stop);
        w<QSpinBox>("timeoutSpinner")->setValue(200);
        if (connected())
            click("BtnComConect");
        click("BtnComConect");
        return connected();
    }
    void read(int type, int slave, int addr, int n) const
    {
        w<QComboBox>("cBReadRegType")->setCurrentIndex(type);
        w<QSpinBox>("SpinDebugRServerAddr")->setValue(slave);
        w<QSpinBox>("SpinDebugRRegAddr")->setValue(addr);
        w<QSpinBox>("SpinDebugRRegNum")->setValue(n);
        click("BtnDebugRead");
    }
    QString shown() const { return w<QLineEdit>("LEditRRegValue")->text(); }
    QStringList log() const { return w<QTextBrowser>("Tdebugdata")->toPlainText().split('\n', Qt::SkipEmptyParts); }
    QStringList takeBoxes() { return std::exchange(boxes, {}); }
    // What the communication block shows: station, baud, stop and parity indices.
    QList<int> settings() const
    {
        return {w<QSpinBox>("SpinDebugRServerAddr2")->value(), w<QComboBox>("cBBoxBaudRate_2")->currentIndex(),
                w<QComboBox>("cBBoxStopBits_2")->currentIndex(), w<QComboBox>("cBBoxParity_2")->currentIndex()};
    }
    QStringList texts(const char *format) const
    {
        QStringList out;
        for (int k = 1; k <= 4; ++k)
            out << w<QDoubleSpinBox>(qPrintable(QString::asprintf(format, k)))->text();
        return out;
    }

    ktsim::Simulator sim;
    std::unique_ptr<DeviceDebug> page = std::make_unique<DeviceDebug>();
    QObject context;
    QStringList boxes;
};

// A device that acknowledges one single-register write by echoing it, as a
// module that answered its restart command would.
struct EchoPeer
{
    EchoPeer() : master(posix_openpt(O_RDWR | O_NOCTTY))
    {
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        held = open(ptsname(master), O_RDWR | O_NOCTTY); // no hangup between opens
        echo = std::thread([this] {
            char frame[8];
            for (ssize_t got = 0, n = 0; got < 8; got += n) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 5000) <= 0 || (n = ::read(master, frame + got, size_t(8 - got))) <= 0)
                    return;
            }
            (void)!::write(master, frame, 8);
        });
    }
    ~EchoPeer()
    {
        echo.join();
        close(held);
        close(master);
    }
    int master, held;
    QString path;
    std::thread echo;
};

} // namespace

class TestDeviceDebug : public QObject
{
    Q_OBJECT

private slots:
    void connection()
    {
        Rig rig;
        QCOMPARE(rig.w<QComboBox>("cBBoxBaudRate")->currentText(), QString("9600"));
        QCOMPARE(rig.w<QComboBox>("cBBoxDataBits")->currentText(), QString("8"));
        QCOMPARE(rig.w<QComboBox>("cBBoxParity")->currentText(), QString("No"));
        QCOMPARE(rig.w<QSpinBox>("timeoutSpinner")->value(), 1000);
        QVERIFY(rig.w<QComboBox>("cBBoxCom")->isEditable());
        // The help button runs the page's one help dialog until "确定".
        QObject helpCloser;
        answerModals(&helpCloser, &rig.boxes, "YES");
        DlgHelp *help = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            help = help ? help : qobject_cast<DlgHelp *>(top);
        QVERIFY(help);
        QSignalSpy finished(help, &QDialog::finished);
        rig.click("dlgHelp");
        rig.click("dlgHelp");
        QCOMPARE(finished.count(), 2);
        for (const QString port : {"/dev/tarvo-no-such-port", "无"}) {
            QVERIFY(!rig.connect("9600", "No", "1", port));
            QCOMPARE(rig.takeBoxes(), QStringList{"Warning|warning|连接失败!"});
        }

        // The line settings reach the bus: only the module listening at them answers.
        QVERIFY(rig.connect("19200", "Odd", "2"));
        rig.read(console::ReadHolding, 9, 100, 1);
        QCOMPARE(rig.takeBoxes(), QStringList());
        rig.read(console::ReadHolding, 1, 100, 1);
        QCOMPARE(rig.takeBoxes(), QStringList{"Warning|warning|读取出错!"});

        // Refreshing the list keeps the connection.
        QVERIFY(rig.connect());
        rig.click("BtnFlashCom");
        rig.read(console::ReadHolding, 1, 100, 1);
        QCOMPARE(rig.takeBoxes(), QStringList());

        // Disconnected, no device button sends anything.
        rig.click("BtnComConect");
        QVERIFY(!rig.connected());
        const uint64_t seen = rig.sim.framesReceived();
        const QStringList notDevice{"BtnComConect", "BtnFlashCom", "pbcleartext", "pBReadConf", "dlgHelp"};
        for (QPushButton *button : rig.page->findChildren<QPushButton *>()) {
            if (notDevice.contains(button->objectName()))
                continue;
            button->click();
            QVERIFY2(rig.takeBoxes() == QStringList{connectFirst}, qPrintable(button->objectName()));
        }
        QCOMPARE(rig.sim.framesReceived(), seen);
    }

    void clearAndExit()
    {
        Rig rig;
        QVERIFY(rig.connect());
        rig.read(console::ReadHolding, 1, 100, 1);
        QCOMPARE(rig.log().size(), 2);
        rig.click("pbcleartext");
        QCOMPARE(rig.log(), QStringList());

        // A page destroyed while connected lets go of the port.
        Rig other;
        QVERIFY(!other.connect("9600", "No", "1", QString::fromStdString(rig.sim.portPath())));
        rig.page.reset();
        QVERIFY(other.connect("9600", "No", "1", QString::fromStdString(rig.sim.portPath())));
    }

    void read_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("slave");
        QTest::addColumn<int>("addr");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("faultAt");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("request"); // empty: nothing sent
        QTest::addColumn<QString>("response"); // empty: the read fails
        QTest::addColumn<QString>("shown");
        const int hold = console::ReadHolding, coils = console::ReadCoils;
        const QString r100 = ">>  01 03 00 64 00 01 c5 d5", a250 = "<<  01 03 02 00 fa 38 07";
        const QString shown250 = "起始地址: 100;值: 250 ", shown0 = "起始地址: 0;值: 0 0 0 0 0 ";
        QTest::newRow("holding") << hold << 1 << 100 << 1 << 0 << Fault::None << r100 << a250 << shown250;
        QTest::newRow("input registers") << int(console::ReadInputRegisters) << 1 << 100 << 1 << 0 << Fault::None
                                         << ">>  01 04 00 64 00 01 70 15" << "<<  01 04 02 00 fa 39 73" << shown250;
        QTest::newRow("coils") << coils << 1 << 0 << 5 << 0 << Fault::None << ">>  01 01 00 00 00 05 fc 09"
                               << "<<  01 01 01 00 51 88" << shown0;
        QTest::newRow("discrete inputs") << int(console::ReadDiscreteInputs) << 1 << 0 << 5 << 0 << Fault::None
                                         << ">>  01 02 00 00 00 05 b8 09" << "<<  01 02 01 00 a1 88" << shown0;
        QTest::newRow("five registers") << hold << 1 << 1 << 5 << 0 << Fault::None << ">>  01 03 00 01 00 05 d4 09"
                                        << "<<  01 03 0a 00 01 00 03 00 08 00 00 00 00 fb e7" << "起始地址: 1;值: 1 3 8 0 0 ";
        QTest::newRow("broadcast, one module hears")
            << hold << 0 << 100 << 1 << 2 << Fault::Silence << ">>  00 03 00 64 00 01 c4 04" << a250 << shown250;
        QTest::newRow("exception") << hold << 1 << 100 << 1 << 1 << Fault::Exception << r100 << "" << "";
        QTest::newRow("silence") << hold << 1 << 100 << 1 << 1 << Fault::Silence << r100 << "" << "";
        QTest::newRow("answer from another station") << hold << 1 << 100 << 1 << 1 << Fault::WrongAddress << r100 << ""
                                                     << "";
        QTest::newRow("refused station 248") << hold << 248 << 100 << 1 << 0 << Fault::None << "" << "" << "";
        QTest::newRow("refused station 255") << coils << 255 << 0 << 1 << 0 << Fault::None << "" << "" << "";
    }

    void read()
    {
        QFETCH(int, type);
        QFETCH(int, slave);
        QFETCH(int, addr);
        QFETCH(int, n);
        QFETCH(int, faultAt);
        QFETCH(Fault, fault);
        QFETCH(QString, request);
        QFETCH(QString, response);
        QFETCH(QString, shown);
        Rig rig;
        rig.sim.setReg(1, 100, 250);
        rig.sim.setFault(faultAt, fault);
        QVERIFY(rig.connect());
        const uint64_t seen = rig.sim.framesReceived();
        rig.read(type, slave, addr, n);
        QCOMPARE(rig.log(), (QStringList{request, response}.filter(QRegularExpression(".+"))));
        QCOMPARE(rig.takeBoxes(), response.isEmpty() ? QStringList{"Warning|warning|读取出错!"} : QStringList());
        QCOMPARE(rig.shown(), shown);
        QCOMPARE(rig.sim.framesReceived() - seen, uint64_t(request.isEmpty() ? 0 : 1));
    }

    void write_data()
    {
        QTest::addColumn<int>("typedAs");
        QTest::addColumn<int>("writeAs");
        QTest::addColumn<int>("n");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<bool>("exception");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("response"); // empty: the write fails
        QTest::addColumn<QString>("readBack");
        const int h = console::WriteHolding, c = console::WriteCoils;
        QTest::newRow("-1 to a register") << h << h << 1 << QStringList{"-1"} << false << ">>  02 06 01 90 ff ff 89 98"
                                          << "<<  02 06 01 90 ff ff 89 98" << "起始地址: 400;值: 65535 ";
        QTest::newRow("70000 to a register") << h << h << 1 << QStringList{"70000"} << false
                                             << ">>  02 06 01 90 11 70 85 9c" << "<<  02 06 01 90 11 70 85 9c"
                                             << "起始地址: 400;值: 4464 ";
        QTest::newRow("3 of 5 fields") << h << h << 3 << QStringList{"1", "-1", "70000", "8", "9"} << false
                                       << ">>  02 10 01 90 00 03 06 00 01 ff ff 11 70 d1 92"
                                       << "<<  02 10 01 90 00 03 81 ea" << "起始地址: 400;值: 1 65535 4464 ";
        QTest::newRow("256 typed as a coil is 1") << c << c << 1 << QStringList{"256"} << false
                                                  << ">>  02 05 00 00 ff 00 8c 09" << "<<  02 05 00 00 ff 00 8c 09"
                                                  << "起始地址: 0;值: 1 ";
        QTest::newRow("256 typed as a register is off") << h << c << 1 << QStringList{"256"} << false
                                                        << ">>  02 05 00 00 00 00 cd f9" << "<<  02 05 00 00 00 00 cd f9"
                                                        << "起始地址: 0;值: 0 ";
        QTest::newRow("five coils") << c << c << 5 << QStringList{"1", "0", "7", "abc", ""} << false
                                    << ">>  02 0f 00 00 00 05 01 05 ef 40" << "<<  02 0f 00 00 00 05 95 fb"
                                    << "起始地址: 0;值: 1 0 1 0 0 ";
        QTest::newRow("exception") << h << h << 1 << QStringList{"5"} << true << ">>  02 06 01 90 00 05 48 2b" << ""
                                   << "";
    }

    void write()
    {
        QFETCH(int, typedAs);
        QFETCH(int, writeAs);
        QFETCH(int, n);
        QFETCH(QStringList, fields);
        QFETCH(bool, exception);
        QFETCH(QString, request);
        QFETCH(QString, response);
        QFETCH(QString, readBack);
        Rig rig;
        if (exception)
            rig.sim.setFault(2, Fault::Exception);
        QVERIFY(rig.connect());
        const int addr = writeAs == console::WriteHolding ? 400 : 0;
        rig.w<QComboBox>("cBWriteRegType")->setCurrentIndex(typedAs);
        for (int k = 0; k < fields.size(); ++k)
            rig.w<QLineEdit>(qPrintable(QString("LEditWRegVal_%1").arg(k + 1)))->setText(fields[k]);
        rig.w<QComboBox>("cBWriteRegType")->setCurrentIndex(writeAs);
        rig.w<QSpinBox>("SpinDebugWServerAddr")->setValue(2);
        rig.w<QSpinBox>("SpinDebugWRegAddr")->setValue(addr);
        rig.w<QSpinBox>("SpinDebugWRegNum")->setValue(n);
        for (int k = 1; k <= 5; ++k)
            QCOMPARE(rig.w<QLineEdit>(qPrintable(QString("LEditWRegVal_%1").arg(k)))->isEnabled(), k <= n);
        rig.click("BtnDebugWrite");
        QCOMPARE(rig.log(), (QStringList{request, response}.filter(QRegularExpression(".+"))));
        QCOMPARE(rig.takeBoxes(), response.isEmpty() ? QStringList{"Warning|warning|写入出错!"} : QStringList());
        if (readBack.isEmpty())
            return;
        rig.read(writeAs == console::WriteHolding ? console::ReadHolding : console::ReadCoils, 2, addr, n);
        QCOMPARE(rig.shown(), readBack);
    }

    void communicationSettings()
    {
        Rig rig;
        QVERIFY(rig.connect());
        rig.click("BtnReadBaseMeg");
        QCOMPARE(rig.settings(), (QList<int>{1, 3, 0, 0}));
        rig.w<QSpinBox>("SpinDebugRServerAddr2")->setValue(7);
        rig.w<QComboBox>("cBBoxBaudRate_2")->setCurrentIndex(4);
        rig.w<QComboBox>("cBBoxStopBits_2")->setCurrentIndex(1);
        rig.w<QComboBox>("cBBoxParity_2")->setCurrentIndex(1);
        rig.click("pbcleartext");
        for (const char *set : {"pBSetDevAddr", "pBSetBrrnum", "pBSetStopBit", "pBSetParity"})
            rig.click(set);
        QCOMPARE(rig.log(), (QStringList{">>  01 06 00 01 00 07 99 c8", "<<  01 06 00 01 00 07 99 c8",
                                         ">>  01 06 00 02 00 04 29 c9", "<<  01 06 00 02 00 04 29 c9",
                                         ">>  01 06 00 04 00 01 09 cb", "<<  01 06 00 04 00 01 09 cb",
                                         ">>  01 06 00 05 00 01 58 0b", "<<  01 06 00 05 00 01 58 0b"}));

        // Stored at once, still answering at station 1, 9600 8N1 until the restart.
        rig.w<QComboBox>("cBBoxBaudRate_2")->setCurrentIndex(0);
        rig.click("BtnReadBaseMeg");
        QCOMPARE(rig.settings(), (QList<int>{7, 4, 1, 1}));
        rig.click("pbcleartext");
        rig.click("pB_Restart");
        QCOMPARE(rig.log(), QStringList{">>  01 06 00 25 00 01 59 c1"});
        QCOMPARE(rig.takeBoxes(), QStringList{"Warning|warning|已操作，请确认是否成功!"});
        rig.click("BtnReadBaseMeg");
        QCOMPARE(rig.takeBoxes(), QStringList{"Warning|warning|读取出错!"});

        QVERIFY(rig.connect("19200", "Odd", "2"));
        rig.w<QSpinBox>("SpinDebugRServerAddr3")->setValue(7);
        rig.w<QComboBox>("cBBoxBaudRate_2")->setCurrentIndex(0);
        rig.click("BtnReadBaseMeg");
        QCOMPARE(rig.settings(), (QList<int>{7, 4, 1, 1}));
        // Station 0 shows as the least offered, an unknown baud code as no rate.
        rig.sim.setReg(7, 1, 0);
        rig.sim.setReg(7, 2, 9);
        rig.click("BtnReadBaseMeg");
        QCOMPARE(rig.settings(), (QList<int>{1, -1, 1, 1}));
        QCOMPARE(rig.takeBoxes(), QStringList());
    }

    void restartAnswered()
    {
        EchoPeer peer;
        Rig rig;
        QVERIFY(rig.connect("9600", "No", "1", peer.path));
        rig.click("pB_Restart");
        QCOMPARE(rig.log(), (QStringList{">>  01 06 00 25 00 01 59 c1", "<<  01 06 00 25 00 01 59 c1"}));
        QCOMPARE(rig.takeBoxes(), QStringList{"Warning|warning|重启失败!"});
    }

    void resetSweep_data()
    {
        QTest::addColumn<int>("baud"); // of the one module on the bus; 0: none
        QTest::addColumn<char>("parity");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("port"); // empty: the simulator's
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("progress"); // the last value seen; -1: not checked
        QTest::addColumn<int>("frames"); // requests the bus saw; -1: not checked
        const QString done = "Warning|warning|请手动断电重启测试!";
        QTest::newRow("19200 N on attempt 5") << 19200 << 'N' << false << "" << done << 5 << 5 + 2;
        QTest::newRow("1200 O on attempt 10") << 1200 << 'O' << false << "" << done << 10 << 10 + 2;
        QTest::newRow("empty bus") << 0 << 'N' << false << "" << "Warning|提示|复位失败，请检查接线!" << 18 << 18;
        QTest::newRow("cancelled") << 0 << 'N' << true << "" << "" << -1 << -1;
        QTest::newRow("port cannot be opened") << 0 << 'N' << false << "/dev/tarvo-no-such-port"
                                               << "Warning|warning|复位失败，请检查接线!" << 0 << 0;
    }

    void resetSweep()
    {
        QFETCH(int, baud);
        QFETCH(char, parity);
        QFETCH(bool, cancel);
        QFETCH(QString, port);
        QFETCH(QString, box);
        QFETCH(int, progress);
        QFETCH(int, frames);
        Rig rig(baud ? QList<ModuleSpec>{{ModuleType::KT104, 7, baud, parity, 1}} : QList<ModuleSpec>{});
        // Connected first: the reset closes the page's own connection.
        if (port.isEmpty())
            QVERIFY(rig.connect());
        else
            rig.setPort(port);

        QString dialog;
        int lastValue = 0;
        QTimer watch;
        watch.callOnTimeout([&] {
            auto *d = rig.page->findChild<QProgressDialog *>();
            if (!d)
                return;
            dialog = QString("%1|%2|%3|%4-%5|%6|%7 %8|%9")
                         .arg(d->windowTitle(), d->labelText(), d->findChild<QPushButton *>()->text())
                         .arg(d->minimum())
                         .arg(d->maximum())
                         .arg(d->windowModality() == Qt::WindowModal)
                         .arg(d->font().family())
                         .arg(d->font().pointSize())
                         .arg(d->minimumDuration());
            lastValue = d->value();
            if (cancel)
                d->cancel();
        });
        watch.start(10);
        rig.click("pBReadConf");

        QCOMPARE(rig.takeBoxes(), (QStringList{"Warning|注意|复位通信参数时总线上只能接要复位的设备!", box}.filter(
                                      QRegularExpression(".+"))));
        const QStringList success{">>复位成功", ">>串口参数为 9600 8 N 1，站号为 1"};
        QCOMPARE(rig.log(), box.endsWith("请手动断电重启测试!") ? success : QStringList());
        QVERIFY(!rig.connected());
        QVERIFY(!rig.page->findChild<QProgressDialog *>());
        if (progress > 0)
            QCOMPARE(dialog, QString("Please Wait|操作中，请稍候...|取消|0-18|1|微软雅黑 16|5"));
        if (progress >= 0)
            QCOMPARE(lastValue, progress);
        if (frames >= 0)
            QCOMPARE(int(rig.sim.framesReceived()), frames);
        if (!port.isEmpty())
            return;
        // Nothing is left open; a module found takes the factory settings at power-up.
        rig.sim.powerCycle();
        QVERIFY(rig.connect());
        if (baud) {
            rig.click("BtnReadBaseMeg");
            QCOMPARE(rig.settings(), (QList<int>{1, 3, 0, 0}));
        }
        QCOMPARE(rig.takeBoxes(), QStringList());
    }

    void kt101()
    {
        Rig rig;
        QVERIFY(rig.connect());
        auto *temp = rig.w<QDoubleSpinBox>("SBoxKT101_TV01");
        auto *offset = rig.w<QDoubleSpinBox>("SBoxKT101_TO01");
        const QPair<int, double> readings[] = {{250, 25.0}, {65436, -10.0}, {65535, -0.1}};
        for (const auto &r : readings) {
            rig.sim.setReg(1, 100, uint16_t(r.first));
            rig.click("BtnReadTemp");
            QCOMPARE(temp->value(), r.second);
        }
        rig.sim.setReg(1, 400, 200);
        rig.click("BtnReadOffset");
        QCOMPARE(offset->value(), 12.8);
        rig.click("pbcleartext");
        offset->setValue(0.3);
        rig.click("BtnSetoffset");
        offset->setValue(-12.8);
        rig.click("BtnSetoffset");
        QCOMPARE(rig.log(), (QStringList{">>  01 06 01 90 00 03 c8 1a", "<<  01 06 01 90 00 03 c8 1a",
                                         ">>  01 06 01 90 ff 80 c8 4b", "<<  01 06 01 90 ff 80 c8 4b"}));
        QCOMPARE(rig.takeBoxes(), QStringList());
    }

    void kt104()
    {
        Rig rig;
        QVERIFY(rig.connect());
        rig.w<QSpinBox>("SpinDebugRServerAddr3")->setValue(2);
        rig.w<QComboBox>("ChooseWD")->setCurrentIndex(1);
        QCOMPARE(rig.w<QStackedWidget>("sW_MainWindow")->currentWidget()->objectName(), QString("sw_KT104"));

        const uint16_t temps[] = {250, 0xFFFF, 65436, 0}, resistances[] = {10000, 65534, 0xFFFF, 12000};
        for (int k = 0; k < 4; ++k) {
            rig.sim.setReg(2, 100 + k, temps[k]);
            rig.sim.setReg(2, 200 + k, resistances[k]);
        }
        rig.click("BtnKT104ReadTemp");
        rig.click("BtnKT104ReadRes");
        QCOMPARE(rig.texts("SBoxKT104_TV0%d"), (QStringList{"25.0 ℃", "65535 ℃", "-10.0 ℃", "0.0 ℃"}));
        QCOMPARE(rig.texts("SBoxKT104_RV0%d"), (QStringList{"100.00Ω", "655.34Ω", "65535Ω", "120.00Ω"}));
        // One channel, and its decimals come back with a valid reading.
        rig.sim.setReg(2, 101, 235);
        rig.click("pbcleartext");
        rig.click("BtnKT104ReadTemp_2");
        QCOMPARE(rig.log().value(0), QString(">>  02 03 00 65 00 01 94 26"));
        QCOMPARE(rig.texts("SBoxKT104_TV0%d").value(1), QString("23.5 ℃"));

        // Three-wire disables exactly the eight widgets; channel 3 is still read
        // and all four offsets are still written.
        auto disabled = [&] {
            QStringList names;
            for (QWidget *x : rig.w("sw_KT104")->findChildren<QWidget *>())
                if (x->testAttribute(Qt::WA_ForceDisabled))
                    names << x->objectName();
            names.sort();
            return names;
        };
        rig.w<QComboBox>("cB_KT104_Type")->setCurrentIndex(1);
        QCOMPARE(disabled(), (QStringList{"BtnKT104Setoffset_3", "BtnKT104Setoffset_4", "SBoxKT104_RV03", "SBoxKT104_RV04",
                                          "SBoxKT104_TO03", "SBoxKT104_TO04", "SBoxKT104_TV03", "SBoxKT104_TV04"}));
        rig.sim.setReg(2, 202, 10000);
        rig.click("BtnKT104ReadRes3");
        QCOMPARE(rig.texts("SBoxKT104_RV0%d").value(2), QString("100.00Ω"));
        const double offsets[] = {0.3, -0.3, 12.7, 0};
        for (int k = 0; k < 4; ++k)
            rig.w<QDoubleSpinBox>(qPrintable(QString("SBoxKT104_TO0%1").arg(k + 1)))->setValue(offsets[k]);
        rig.click("pbcleartext");
        rig.click("BtnKT104SetAlloffset");
        QCOMPARE(rig.log(), (QStringList{">>  02 10 01 90 00 04 08 00 03 ff fd 00 7f 00 00 4f 78",
                                         "<<  02 10 01 90 00 04 c0 28"}));
        rig.w<QComboBox>("cB_KT104_Type")->setCurrentIndex(0);
        QCOMPARE(disabled(), QStringList());

        // Offsets have no error value.
        rig.sim.setReg(2, 403, 0xFFFF);
        rig.click("BtnKT104ReadOffset");
        QCOMPARE(rig.texts("SBoxKT104_TO0%d"), (QStringList{"0.3 ℃", "-0.3 ℃", "12.7 ℃", "-0.1 ℃"}));
        rig.w<QDoubleSpinBox>("SBoxKT104_TO04")->setValue(-1.5);
        rig.click("pbcleartext");
        rig.click("BtnKT104Setoffset_4");
        QCOMPARE(rig.log().value(0), QString(">>  02 06 01 93 ff f1 f8 5c"));
        QCOMPARE(rig.takeBoxes(), QStringList());
    }
};

QTEST_MAIN(TestDeviceDebug)
#include "tst_devicedebug.moc"
