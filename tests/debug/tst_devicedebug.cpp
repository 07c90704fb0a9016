// The debugging page against the module simulator on a pseudo-terminal, as a
// technician would use it: every frame it logs is checked byte for byte. The
// display rules and the reset sweep are the module tests'; here one case
// each proves the page uses them.
#include "../app/modal.h"
#include "console.h"
#include "devicedebug.h"
#include "simulator.h"

#include <QtTest>

using namespace console;
using namespace ktsim;
using L = QStringList;

namespace {

const QString warn = "Warning|warning|", none = "";

// The page on a simulated bus, by default a KT101 at station 1 and a KT104 at
// station 2 at 9600 8N1, and a KT101 at station 9 at 19200 8O2. Every message
// box is answered and recorded.
struct Rig
{
    explicit Rig(const QList<ModuleSpec> &modules = {{ModuleType::KT101, 1}, {ModuleType::KT104, 2},
                                                     {ModuleType::KT101, 9, 19200, 'O', 2}})
    {
        for (const ModuleSpec &m : modules)
            sim.addModule(m);
        sim.start();
        page->show();
        answerModals(&context, &boxes);
    }
    QWidget *w(const QString &name) const { return page->findChild<QWidget *>(name); } // none: the test crashes
    void click(const QString &name) const { qobject_cast<QAbstractButton *>(w(name))->click(); }
    // Sets the named widgets in turn: a combo's index or text, an edit's text, a spin box's value.
    void put(const QString &names, const QVariantList &values) const
    {
        for (int k = 0; k < values.size(); ++k) {
            QWidget *x = w(names.section(' ', k, k));
            const bool text = values[k].type() == QVariant::String;
            x->setProperty(x->inherits("QComboBox") ? (text ? "currentText" : "currentIndex") : text ? "text" : "value",
                           values[k]);
        }
    }
    QString text(const QString &name) const { return w(name)->property("text").toString(); }
    bool connected() const { return text("BtnComConect") == "断开"; }
    // `line`: the baud rate, parity and stop bits as the combos offer them.
    bool connect(const QString &port = {}, const QString &line = "9600 No 1")
    {
        put("cBBoxCom cBBoxBaudRate cBBoxParity cBBoxStopBits timeoutSpinner",
            {port.isEmpty() ? QString(sim.portPath().c_str()) : port, line.section(' ', 0, 0), line.section(' ', 1, 1),
             line.section(' ', 2, 2), 200});
        if (connected())
            click("BtnComConect");
        click("BtnComConect");
        return connected();
    }
    void read(int type, int slave, int addr, int n) const
    {
        put("cBReadRegType SpinDebugRServerAddr SpinDebugRRegAddr SpinDebugRRegNum", {type, slave, addr, n});
        click("BtnDebugRead");
    }
    // The frame log, cleared.
    QStringList log() const
    {
        auto *view = qobject_cast<QTextBrowser *>(w("Tdebugdata"));
        const QStringList lines = view->toPlainText().split('\n', Qt::SkipEmptyParts);
        view->clear();
        return lines;
    }
    QStringList takeBoxes() { return std::exchange(boxes, {}); }

    ktsim::Simulator sim;
    std::unique_ptr<DeviceDebug> page = std::make_unique<DeviceDebug>();
    QObject context;
    QStringList boxes;
};

} // namespace

class TestDeviceDebug : public QObject
{
    Q_OBJECT

private slots:
    void connection()
    {
        Rig rig;
        QVERIFY(!rig.connect("/dev/tarvo-no-such-port"));
        QCOMPARE(rig.takeBoxes(), L{warn + "连接失败!"});
        // The line settings reach the bus: only the module listening at them
        // answers. Refreshing the port list keeps the connection.
        QVERIFY(rig.connect({}, "19200 Odd 2"));
        rig.click("BtnFlashCom");
        rig.read(ReadHolding, 9, 100, 1);
        rig.read(ReadHolding, 1, 100, 1);
        QCOMPARE(rig.takeBoxes(), L{warn + "读取出错!"});

        // Disconnected, no device button sends anything.
        rig.click("BtnComConect");
        const uint64_t seen = rig.sim.framesReceived();
        for (QPushButton *button : rig.page->findChildren<QPushButton *>())
            if (!L{"BtnComConect", "BtnFlashCom", "pbcleartext", "pBReadConf", "dlgHelp"}.contains(button->objectName())) {
                button->click();
                QVERIFY2(rig.takeBoxes() == L{warn + "请连接设备!"}, qPrintable(button->objectName()));
            }
        QCOMPARE(rig.sim.framesReceived(), seen);

        // The adapter pulled out: the page lets the dead connection go; once
        // back, the port connects again.
        QVERIFY(rig.connect());
        rig.sim.unplug();
        rig.read(ReadHolding, 1, 100, 1);
        QCOMPARE(rig.takeBoxes(), L{warn + "串口已断开，请重新连接"});
        QCOMPARE(rig.text("BtnComConect"), QString("连接"));
        QVERIFY(rig.sim.plug() && rig.connect());
    }

    void read_data()
    {
        QTest::addColumn<QVariantList>("request"); // type, station, address, count
        QTest::addColumn<QStringList>("log"); // an exception in it: the module answers one
        QTest::addColumn<QString>("shown");
        const QString r100 = ">>  01 03 00 64 00 01 c5 d5", hold = "起始地址: 100;值: 250 ";
        // Bits are shown from their own buffer, which the earlier register read did not fill.
        const QString bits = "起始地址: 0;值: 0 0 0 0 0 ", earlier = "起始地址: 1;值: 2 3 8 0 0 ";
        QTest::newRow("holding") << QVariantList{ReadHolding, 1, 100, 1} << L{r100, "<<  01 03 02 00 fa 38 07"} << hold;
        QTest::newRow("input registers") << QVariantList{ReadInputRegisters, 1, 100, 1}
                                         << L{">>  01 04 00 64 00 01 70 15", "<<  01 04 02 00 fa 39 73"} << hold;
        QTest::newRow("coils") << QVariantList{ReadCoils, 1, 0, 5}
                               << L{">>  01 01 00 00 00 05 fc 09", "<<  01 01 01 00 51 88"} << bits;
        QTest::newRow("discrete inputs") << QVariantList{ReadDiscreteInputs, 1, 0, 5}
                                         << L{">>  01 02 00 00 00 05 b8 09", "<<  01 02 01 00 a1 88"} << bits;
        QTest::newRow("exception") << QVariantList{ReadHolding, 1, 100, 1}
                                   << L{r100, "!!  exception 4 (Slave device or server failure), received 01 83 04 40 f3"}
                                   << earlier;
        QTest::newRow("silence") << QVariantList{ReadHolding, 9, 100, 1}
                                 << L{">>  09 03 00 64 00 01 c4 9d", "!!  no answer within 200 ms"} << earlier;
        QTest::newRow("refused by the layer") << QVariantList{ReadHolding, 1, 65535, 5}
                                              << L{"!!  not sent: Invalid argument"} << earlier;
        QTest::newRow("refused station 248") << QVariantList{ReadHolding, 248, 100, 1} << L() << earlier;
    }

    void read()
    {
        QFETCH(QVariantList, request);
        QFETCH(QStringList, log);
        QFETCH(QString, shown);
        Rig rig;
        rig.sim.setReg(1, 100, 250);
        QVERIFY(rig.connect());
        rig.read(ReadHolding, 2, 1, 5); // what a failed read leaves shown
        rig.log();
        if (log.join(' ').contains("exception"))
            rig.sim.setFault(1, Fault::Exception);
        rig.read(request[0].toInt(), request[1].toInt(), request[2].toInt(), request[3].toInt());
        QCOMPARE(rig.log(), log);
        const bool answered = log.size() == 2 && log[1].startsWith("<<");
        QCOMPARE(rig.takeBoxes(), answered ? L() : L{warn + "读取出错!"});
        QCOMPARE(rig.text("LEditRRegValue"), shown);
    }

    void write_data()
    {
        QTest::addColumn<QVariantList>("request"); // station, typed as, written as
        QTest::addColumn<QStringList>("fields"); // their number is the count written
        QTest::addColumn<QStringList>("log"); // an exception in it: the module answers one
        QTest::addColumn<QString>("box");
        const int h = WriteHolding, c = WriteCoils;
        const QString refused = warn + "写入值%1无效: 应为 -32768 到 65535 的整数或 0x0 到 0xFFFF!";
        const L on{">>  02 05 00 00 ff 00 8c 09", "<<  02 05 00 00 ff 00 8c 09"};
        QTest::newRow("3 registers") << QVariantList{2, h, h} << L{"1", "-1", "0xfffe"}
                                     << L{">>  02 10 01 90 00 03 06 00 01 ff ff ff fe 1c 56", "<<  02 10 01 90 00 03 81 ea"}
                                     << none;
        QTest::newRow("256 typed as a coil is 1") << QVariantList{2, c, c} << L{"256"} << on << none;
        QTest::newRow("256 typed as a register is on") << QVariantList{2, h, c} << L{"256"} << on << none;
        QTest::newRow("five coils") << QVariantList{2, c, c} << L{"1", "0", "7", "0x0", ""}
                                    << L{">>  02 0f 00 00 00 05 01 05 ef 40", "<<  02 0f 00 00 00 05 95 fb"} << none;
        QTest::newRow("one register, exception")
            << QVariantList{2, h, h} << L{"5"}
            << L{">>  02 06 01 90 00 05 48 2b", "!!  exception 4 (Slave device or server failure), received 02 86 04 b3 a3"}
            << warn + "写入出错!";
        QTest::newRow("broadcast, nothing comes back") << QVariantList{0, h, h} << L{"7"}
                                                       << L{">>  00 06 01 90 00 07 c8 08"} << none;
        QTest::newRow("70000 is refused") << QVariantList{2, h, h} << L{"5", "70000"} << L() << refused.arg(2);
        QTest::newRow("full-width digits are refused") << QVariantList{2, h, h} << L{"１２"} << L() << refused.arg(1);
    }

    void write()
    {
        QFETCH(QVariantList, request);
        QFETCH(QStringList, fields);
        QFETCH(QStringList, log);
        QFETCH(QString, box);
        Rig rig;
        if (log.join(' ').contains("exception"))
            rig.sim.setFault(2, Fault::Exception);
        QVERIFY(rig.connect());
        // Fields past the count hold values that must not go out.
        rig.put("cBWriteRegType", {request[1]});
        for (int k = 1; k <= 5; ++k)
            rig.put(QString("LEditWRegVal_%1").arg(k), {fields.value(k - 1, "9")});
        rig.put("cBWriteRegType SpinDebugWServerAddr SpinDebugWRegAddr SpinDebugWRegNum",
                {request[2], request[0], request[2] == WriteHolding ? 400 : 0, fields.size()});
        for (int k = 1; k <= 5; ++k)
            QCOMPARE(rig.w(QString("LEditWRegVal_%1").arg(k))->isEnabled(), k <= fields.size());
        rig.click("BtnDebugWrite");
        QCOMPARE(rig.log(), log);
        QCOMPARE(rig.takeBoxes(), L{box}.filter(QRegularExpression(".+")));
    }

    // How the page shows a reset found, or cancelled; the sweep itself is the
    // module tests'.
    void resetSweep_data()
    {
        QTest::addColumn<bool>("module"); // one at 19200 N, found on attempt 5; none: cancelled on attempt 3
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("progress"); // the last value seen
        QTest::newRow("found") << true << warn + "请手动断电重启测试!" << 5;
        QTest::newRow("cancelled") << false << none << 3;
    }

    void resetSweep()
    {
        QFETCH(bool, module);
        QFETCH(QString, box);
        QFETCH(int, progress);
        Rig rig(module ? QList<ModuleSpec>{{ModuleType::KT104, 7, 19200, 'N', 1}} : QList<ModuleSpec>{});
        QVERIFY(rig.connect()); // the reset closes the page's own connection
        QString dialog;
        QTimer watch;
        watch.callOnTimeout([&] {
            if (auto *d = rig.page->findChild<QProgressDialog *>()) {
                dialog = QString("%1|%2|%3|%4").arg(d->windowTitle(), d->labelText()).arg(d->maximum()).arg(d->value());
                if (!module)
                    d->cancel();
            }
        });
        watch.start(10);
        rig.click("pBReadConf");
        QCOMPARE(rig.takeBoxes(), (L{"Warning|注意|复位通信参数时总线上只能接要复位的设备!", box}.filter(QRegularExpression(".+"))));
        QCOMPARE(rig.log(), (module ? L{">>复位成功", ">>串口参数为 9600 8 N 1，站号为 1"} : L()));
        QVERIFY(!rig.connected());
        QCOMPARE(dialog, QString("Please Wait|操作中，请稍候...|18|%1").arg(progress));
    }

    void modulePages()
    {
        Rig rig;
        QVERIFY(rig.connect());
        // An offset beyond what the field lets one write: shown as the module
        // holds it, not written back.
        rig.sim.setReg(1, 400, 200);
        rig.click("BtnReadOffset");
        QCOMPARE(rig.text("SBoxKT101_TO01"), QString("20.0 ℃"));
        rig.log();
        rig.click("BtnSetoffset");
        QCOMPARE(rig.takeBoxes(), L{warn + "偏移量超出 -12.8 到 12.8 ℃，未配置!"});
        rig.put("SBoxKT101_TO01", {-12.8});
        rig.click("BtnSetoffset");
        QCOMPARE(rig.log(), (L{">>  01 06 01 90 ff 80 c8 4b", "<<  01 06 01 90 ff 80 c8 4b"}));

        // KT104: three-wire disables exactly the eight widgets of channels 3
        // and 4, and all four offsets are still written.
        rig.put("SpinDebugRServerAddr3 ChooseWD", {2, 1});
        auto disabled = [&] {
            QStringList names;
            for (QWidget *x : rig.w("sw_KT104")->findChildren<QWidget *>())
                if (x->testAttribute(Qt::WA_ForceDisabled))
                    names << x->objectName();
            return names.join(' ');
        };
        rig.put("cB_KT104_Type", {1});
        QCOMPARE(disabled(), QString("SBoxKT104_TV03 SBoxKT104_TV04 SBoxKT104_RV03 SBoxKT104_RV04 "
                                     "SBoxKT104_TO03 BtnKT104Setoffset_3 SBoxKT104_TO04 BtnKT104Setoffset_4"));
        rig.put("SBoxKT104_TO01 SBoxKT104_TO02 SBoxKT104_TO03 SBoxKT104_TO04", {0.3, -0.3, 12.7, 0.0});
        rig.log();
        rig.click("BtnKT104SetAlloffset");
        QCOMPARE(rig.log(), (L{">>  02 10 01 90 00 04 08 00 03 ff fd 00 7f 00 00 4f 78", "<<  02 10 01 90 00 04 c0 28"}));
        rig.put("cB_KT104_Type", {0});
        QCOMPARE(disabled(), QString());
    }
};

QTEST_MAIN(TestDeviceDebug)
#include "tst_devicedebug.moc"
