#include "deviceview.h"
#include "modal.h"
#include "newdevice.h"
#include "sqlfile.h"
#include "sqlitehelper.h"

#include "sim/simulator.h"

#include <QtTest>

namespace {

// An area and its devices, rows of Devices, straight into data.db.
void seed(const QString &area, const QString &devices = {})
{
    sql("INSERT INTO TreeView VALUES('" + area + "','设备列表',1)");
    if (!devices.isEmpty())
        sql("INSERT INTO Devices VALUES" + devices);
    sql("INSERT INTO TreeView SELECT name, parent, 2 FROM Devices WHERE parent = '" + area + "'");
}

QStringList dump()
{
    return sql("SELECT item || '<' || parent || ':' || Level FROM TreeView UNION ALL SELECT name || '<' || parent || "
               "'@' || DeviceAddr || '/' || RegAddr || '#' || Devicetype || '[' || MaxTemp || ',' || MinTemp || ',' || "
               "MaxUnnormalTemp || ',' || MinUnnormalTemp || ']' FROM Devices");
}

// A monitoring page on a data.db of its own, a simulated bus, and an operator
// who meets every window that comes up with the next "window > answer" line
// of a script: the window part is recorded in `seen`, the answer acts on it.
struct Rig
{
    inline static QString pristine; // a data.db with empty tables

    explicit Rig(std::initializer_list<ktsim::ModuleSpec> modules = {{}}, const std::string &link = {})
    {
        QDir::setCurrent(dir.path());
        QFile::copy(pristine, "data.db");
        QSettings("KRM-Qt", "tarvo").clear();
        for (const auto &module : modules)
            sim.addModule(module);
        sim.start(link);
        whenReady(&context, [this] { return act(); });
    }
    ~Rig() { QDir::setCurrent(QDir::tempPath()); }

    void open()
    {
        page.reset(new DeviceView);
        page->resize(1159, 500);
        page->show();
        page->LoadDeviceTiles();
    }
    template <typename T = QWidget> T *find(const char *name) const { return page->findChild<T *>(name); }
    QList<TempWidget *> tiles() const { return page->findChildren<TempWidget *>(); }
    QTreeView *tree() const { return find<QTreeView>("treeDevice"); }
    QString caption() const { return find<QPushButton>("pBStartMonitor")->text(); }
    void startStop(const QString &port = {})
    {
        find<QComboBox>("cBBoxCom")->setEditText(port == "sim" ? QString::fromStdString(sim.portPath()) : port);
        find<QPushButton>("pBStartMonitor")->click();
    }

    // "A+[D1,D2] E[]": areas ("+" when expanded) and their devices.
    QString treeText(bool marks = true) const
    {
        QStringList areas;
        const QAbstractItemModel *model = tree()->model();
        for (int a = 0; a < model->rowCount(); ++a) {
            const QModelIndex area = model->index(a, 0);
            QStringList devices;
            for (int d = 0; d < model->rowCount(area); ++d)
                devices << model->index(d, 0, area).data().toString();
            areas << area.data().toString() + (marks && tree()->isExpanded(area) ? "+[" : "[") + devices.join(',') + ']';
        }
        return areas.join(' ');
    }
    // Right-click on a node (made current first, as a click does) or below the last one.
    void rightClick(const QString &path)
    {
        QModelIndex index;
        for (const QString &name : path.split('/', Qt::SkipEmptyParts))
            index = tree()->model()->match(tree()->model()->index(0, 0, index), Qt::DisplayRole, name).value(0);
        QPoint pos(5, tree()->viewport()->height() - 5);
        if (index.isValid()) {
            tree()->setCurrentIndex(index);
            pos = tree()->visualRect(index).center();
        }
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, tree()->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(tree()->viewport(), &event);
    }
    // "normal abnormal alarm offline" as the labels show it, or as counted from the tiles.
    QString counts(bool fromTiles = false) const
    {
        QStringList texts;
        for (const char *label : {"normal", "abnormal", "warning", "OffLine"})
            texts << (fromTiles ? "0" : find<QLabel>(QByteArray("LBDeviceView_") + label)->text());
        for (const TempWidget *tile : fromTiles ? tiles() : QList<TempWidget *>())
            texts[tile->state()] = QString::number(texts[tile->state()].toInt() + 1);
        return texts.join(' ');
    }
    // Per tile its state and reading, or its label and tooltip (blanks ending line 4 dropped).
    QStringList tileTexts(bool readings) const
    {
        QStringList texts;
        for (const TempWidget *tile : tiles())
            texts << (readings ? QString::number(tile->state()) + tile->valueText()
                               : tile->labelText() + '|' + tile->toolTip().replace(QRegularExpression(" +\n"), "\n"));
        return texts;
    }
    // Runs the page until `done`, checking all the while that the labels count the tiles.
    bool runUntil(const std::function<bool()> &done)
    {
        QElapsedTimer clock;
        for (clock.start(); !done(); QTest::qWait(10)) {
            if (countsBroken.isEmpty() && counts() != counts(true))
                countsBroken = counts() + " shown for " + counts(true);
            if (clock.elapsed() > 30000)
                return false;
        }
        return true;
    }

    // The answer runs from the event loop, so that a window it opens is met here again.
    bool act()
    {
        QWidget *window = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
        if (busy || !window || !window->isVisible())
            return false;
        const QString answer = script.isEmpty() ? QString() : script.takeFirst().section(" > ", 1);
        std::function<void()> respond;
        if (auto *menu = qobject_cast<QMenu *>(window)) {
            QStringList texts;
            for (QAction *action : menu->actions())
                texts << action->text();
            seen << "menu " + texts.join(',');
            QAction *chosen = menu->actions().value(texts.indexOf(answer));
            respond = [menu, chosen] {
                chosen ? QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center())
                       : void(menu->close());
            };
        } else if (auto *box = qobject_cast<QMessageBox *>(window)) {
            seen << "box " + box->windowTitle() + '|' + box->text();
            respond = [box, answer] {
                for (QAbstractButton *button : box->buttons())
                    if (button->text() == answer)
                        return button->click();
                box->done(QMessageBox::Ok);
            };
        } else if (auto *input = qobject_cast<QInputDialog *>(window)) {
            seen << "input " + input->windowTitle() + '|' + input->labelText();
            respond = [input, answer] { // "=text" enters it and confirms; no answer cancels
                input->setTextValue(answer.mid(1));
                answer.startsWith('=') ? input->accept() : input->reject();
            };
        } else if (auto *editor = qobject_cast<newdevice *>(window)) {
            // "=types|name|addr|reg|max|min|umax|umin": the types chosen in turn, the fields
            // typed key by key, then confirmed; no answer cancels. Recorded as it is left:
            // title, type, limits title, the fields ("ro" for a locked one).
            respond = [this, editor, answer] {
                const QStringList values = answer.mid(1).split('|');
                auto *type = editor->findChild<QComboBox *>("cBdeviceType");
                for (const QString &index : answer.startsWith('=') ? values.at(0).split(',', Qt::SkipEmptyParts) : QStringList())
                    type->setCurrentIndex(index.toInt());
                QStringList texts{editor->windowTitle(), type->currentText(), editor->findChild<QGroupBox *>("groupBox_2")->title()};
                int i = 0;
                for (const char *field : {"Name", "Addr", "RegAddr", "MaxTemp", "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp"}) {
                    auto *edit = editor->findChild<QLineEdit *>(QByteArray(i++ < 2 ? "LEditDevice" : "LEdit") + field);
                    if (answer.startsWith('=')) {
                        edit->selectAll();
                        QTest::keyClick(edit, Qt::Key_Backspace);
                        QTest::keyClicks(edit, values.at(i));
                    }
                    texts << edit->text() + (edit->isReadOnly() ? " ro" : "");
                }
                seen << "editor " + texts.join('|');
                editor->findChild<QPushButton *>(answer.startsWith('=') ? "pButtonYes" : "pButtoncancel")->click();
            };
        } else {
            return false;
        }
        busy = true;
        QTimer::singleShot(0, window, [this, respond] {
            busy = false;
            respond();
        });
        return false;
    }

    QTemporaryDir dir;
    ktsim::Simulator sim;
    QObject context;
    QScopedPointer<DeviceView> page;
    QStringList script;
    QStringList seen;
    bool busy = false; // an answer is on its way
    QString countsBroken;
};

} // namespace

class TestDeviceView : public QObject
{
    Q_OBJECT

    QTemporaryDir base;

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(base.path()));
        SqliteHelper::instance();
        Rig::pristine = base.filePath("pristine.db");
        QVERIFY(QFile::rename("data.db", Rig::pristine));
    }

    void monitoring()
    {
        // S%2 falls silent later; N1 normal, A2 abnormal, E3 no sensor; X4's
        // address and Y5's register, as a hand-edited file may hold them, wrap
        // onto station 1 and register 100: never polled. The adapter sits
        // behind a link, goes and comes back.
        QTemporaryDir links;
        const QString port = links.filePath("ttyUSB");
        Rig rig({{ktsim::ModuleType::Voltage, 4}, {ktsim::ModuleType::KT101, 1}, {ktsim::ModuleType::Humidity, 3},
                 {ktsim::ModuleType::KT104, 2}}, port.toStdString());
        for (const auto &reading : {std::make_pair(4, 1200), {1, 235}, {3, 65}, {2, 0xFFFF}})
            rig.sim.setReg(reading.first, 100, uint16_t(reading.second));
        seed("M", "('S%2','M',4,100,5000,-100,3000,0,2),('N1','M',1,100,80,0,60,10,0),('A2','M',3,100,80,0,60,10,1),"
                  "('E3','M',2,100,80,0,60,10,0),('X4','M',4294967297,100,80,0,60,10,0),('Y5','M',1,65636,80,0,60,10,0)");
        rig.open();
        // The tooltip keeps the stored address and the "%2", the limits named by what the device measures.
        QVERIFY(rig.page->FindDeviceTile("X4")->toolTip().contains("设备地址: 4294967297\n"));
        QCOMPARE(rig.page->FindDeviceTile("S%2")->toolTip(), "设备名称: S%2\n所属区域: M\n设备地址: 4\n寄存器地址: 100" + QString(28, ' ')
                 + "\n最高电压: 5000 mV\n最低电压: -100 mV\n最高异常电压: 3000 mV\n最低异常电压: 0 mV");
        // Narrower than a cell: one column.
        rig.find<QScrollArea>("TempView")->setFixedWidth(119);
        rig.page->layout()->activate();
        rig.page->ArrangeTiles();
        QApplication::processEvents();
        QCOMPARE(rig.tiles().at(0)->x(), rig.tiles().at(1)->x());
        rig.page->setUser("op");
        rig.find<QDoubleSpinBox>("MonitorTimeSpinner")->setValue(0.5);
        rig.find<QSpinBox>("PollPauseSpinner")->setValue(100);
        const auto readings = [&rig] { return rig.tileTexts(true).join(' '); };
        rig.startStop("sim");
        QVERIFY(rig.runUntil([&] { return readings().startsWith("01200 023.5 165 2错误 "); }));
        // A history.db locked meanwhile stops the recording, visibly, never the polling.
        const auto history = [&rig] { return rig.find<QLabel>("LBDeviceView_History")->text(); };
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "lock");
            db.setDatabaseName("history.db");
            QSqlQuery lock(db);
            QVERIFY(db.open() && lock.exec("BEGIN IMMEDIATE"));
            rig.sim.setReg(1, 100, 301);
            QVERIFY(rig.runUntil([&] { return history() == "历史记录暂停：文件被锁定" && rig.tileTexts(true).at(1) == "030.1"; }));
            QVERIFY(lock.exec("COMMIT"));
        }
        QSqlDatabase::removeDatabase("lock");
        rig.sim.setReg(1, 100, 235);
        QVERIFY(rig.runUntil([&] { return history() == "历史记录：正常" && rig.tileTexts(true).at(1) == "023.5"; }));
        // Silenced at run time: offline at its next turn.
        rig.sim.setFault(4, ktsim::Fault::Silence);
        QVERIFY(rig.runUntil([&] { return readings().startsWith('3'); }));
        rig.startStop();
        QCOMPARE(readings(), QString("31200 023.5 165 2错误 3-- 3--"));
        rig.sim.setFault(4, ktsim::Fault::None);
        for (const auto &reading : {std::make_pair(4, 2500), {1, 700}, {2, 300}})
            rig.sim.setReg(reading.first, 100, uint16_t(reading.second));
        // Stopped right after tile 3's turn, then the last two devices deleted:
        // the display wraps to tile 0.
        rig.startStop("sim");
        QVERIFY(rig.runUntil([&] { return rig.tileTexts(true).at(3) != "2错误"; }));
        rig.startStop();
        for (const char *name : {"M/X4", "M/Y5"}) {
            rig.script = QStringList{"menu 修改设备,删除设备 > 删除设备", "box 删除设备|确认删除设备吗？ > 是"};
            rig.rightClick(name);
        }
        QCOMPARE(rig.tiles().size(), 4);
        rig.startStop("sim");
        QVERIFY(rig.runUntil([&] { return readings() == "02500 170.0 165 030.0"; }));

        // Every tile offline at once, the line tells it, the button stays down.
        auto *link = rig.find<QLabel>("LBDeviceView_Link");
        rig.sim.unplug();
        QVERIFY(rig.runUntil([&] { return rig.counts() == "0 0 0 4" && link->text().startsWith("串口断开 "); }));
        QCOMPARE(rig.caption(), QString("监控中"));
        QVERIFY(rig.sim.plug());
        QVERIFY(rig.runUntil([&] { return rig.counts() == "2 2 0 0" && link->text().startsWith("串口恢复 "); }));
        QVERIFY(rig.tiles().at(0)->fullToolTip().contains(QRegularExpression("\n应答时间: \\d+ ms\n读取失败: \\d+次$")));
        rig.startStop();
        QVERIFY2(rig.countsBroken.isEmpty(), qPrintable(rig.countsBroken));

        const QString editor = " > =1|N2|2|100|70|5|65|10";
        rig.script = QStringList{"menu > 添加设备", "editor" + editor};
        rig.rightClick("M");
        rig.script = QStringList{"menu > 修改设备", "editor" + editor};
        rig.rightClick("M/N2");
        rig.script = QStringList{"menu > 删除设备", "box > 是"};
        rig.rightClick("M/N2");
        // The next page comes up with the settings that worked.
        rig.open();
        QVERIFY(rig.find<QComboBox>("cBBoxCom")->currentText() == port && rig.find<QDoubleSpinBox>("MonitorTimeSpinner")->value() == 0.5);
        rig.page.reset();
        const QString start = "开始监控：" + port + " 9600 8N1|op", stop = "停止监控|op";
        QCOMPARE(sql("SELECT CASE WHEN text LIKE '串口%' THEN substr(text, 1, 4) ELSE text END || '|' || ifnull(user, '') "
                     "FROM events WHERE user IS NOT NULL OR text LIKE '串口%' ORDER BY id", "history.db"),
                 (QStringList{start, stop, start, stop, "删除设备：M/X4|op", "删除设备：M/Y5|op", start, "串口断开|", "串口恢复|",
                              stop, "添加设备：M/N2|op", "修改设备：M/N2|op", "删除设备：M/N2|op"}));
    }

    void pollThread()
    {
        // Stations 1-4 answer, 9 never does.
        Rig rig({{}, {ktsim::ModuleType::Voltage, 2}, {ktsim::ModuleType::Humidity, 3}, {ktsim::ModuleType::Current, 4}});
        seed("M", "('1','M',1,100,80,0,60,10,0),('2','M',2,100,80,0,60,10,2),('3','M',3,100,80,0,60,10,1),"
                  "('4','M',4,100,80,0,60,10,3),('9','M',9,100,80,0,60,10,0)");
        rig.open();
        QReadThread thread, other;
        const auto connect = [port = QString::fromStdString(rig.sim.portPath())](QReadThread &t) { return t.ConnectRtu(port, "N", 9600, 8, 1) == 1; };
        // Connecting again releases the port held before; meanwhile it is busy for others.
        QVERIFY(connect(thread) && connect(thread) && !connect(other));
        thread.SetPollList(rig.tiles());
        PollEntry entry;
        QVERIFY(thread.ReadPollEntry(4, entry) && !thread.ReadPollEntry(5, entry) && !thread.ReadPollEntry(-1, entry));
        const auto read = [&thread](int index) {
            PollEntry e;
            while (!thread.ReadPollEntry(index, e))
                QThread::msleep(1);
            return e;
        };
        QSignalSpy lost(&thread, &QReadThread::portLost), restored(&thread, &QReadThread::portRestored);
        thread.SetPollPause(0);
        thread.start();
        thread.ResumePolling();
        // Three answering devices falling silent in a row are a silent bus:
        // all go offline at once, and the first answer ends it.
        QTRY_VERIFY_WITH_TIMEOUT(read(3).online, 10000);
        for (int station = 1; station <= 4; ++station)
            rig.sim.setFault(station, ktsim::Fault::Silence);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
        QVERIFY(lost.at(0).at(0).toString().endsWith(": 总线无应答"));
        for (int i = 0; i < 4; ++i)
            QVERIFY(!read(i).online);
        for (int station = 1; station <= 4; ++station)
            rig.sim.setFault(station, ktsim::Fault::None);
        QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, 10000);
        QCOMPARE(lost.size(), 1);
        // Station 9 never answered: after three failures it is read only every
        // tenth round, so twenty rounds take at most two of its.
        QTRY_VERIFY_WITH_TIMEOUT(read(4).failedReads >= 3, 15000);
        const int failed = read(4).failedReads;
        const uint64_t rounds = rig.sim.framesReceived() + 5 * 20;
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim.framesReceived() > rounds, 15000);
        QVERIFY2(read(4).failedReads - failed <= 3, qPrintable(QString::number(read(4).failedReads - failed)));
        // A stop that comes before the new thread runs must not be lost; the
        // thread is left running for its end to stop.
        for (int cycle = 0; cycle < 100; ++cycle) {
            thread.StopPolling();
            QVERIFY2(thread.wait(5000), qPrintable(QString::number(cycle)));
            thread.start();
        }
    }

    void commands_data()
    {
        // A tree path to right-click (empty: below the last node), or "start <port>".
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("setup"); // "monitoring", or SQL run on data.db before the page opens
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QStringList>("rows"); // what changed in data.db
        const QString same = "A+[D1,D2] E+[]";
        const QString addArea = "menu 添加子区域 > 添加子区域";
        const QString input = "input 新建区域|请输入区域名称";
        const QString areaMenu = "menu 添加设备,删除区域";
        const QString deviceMenu = "menu 修改设备,删除设备";
        const QString editor = "editor 添加新设备|";
        const QString modifier = "editor 修改设备|";
        const QString temperature = editor + "温度 ℃|温度范围：-200.0~850.0 ℃|";
        const QString percent = "湿度 %RH|湿度范围：0~100 %RH|";
        const QString humidity = editor + percent;
        const QString twoD1 = "INSERT INTO Devices VALUES('D1','E',5,100,80,0,60,10,0)\nINSERT INTO TreeView VALUES('D1','E',2)";
        const QString ask = "box 删除设备|确认删除设备吗？";
        const QString refuse = "CREATE TRIGGER no BEFORE %1 BEGIN SELECT RAISE(ABORT, 'no'); END";
        const QString failed = "box warning|添加失败!";
        const QStringList none;
        QTest::newRow("start: no devices") << "start sim" << "DELETE FROM Devices" << QStringList{"box tips|没有需要监控的设备!"} << same << none;
        QTest::newRow("start: port 无") << "start 无" << "" << QStringList{"box warning|连接失败!请确认COM口是否空闲"} << same << none;
        QTest::newRow("area: empty name") << "" << "" << QStringList{addArea, input + " > =", "box warning|名称不能为空!"} << same << none;
        QTest::newRow("area: the header text") << "" << "" << QStringList{addArea, input + " > =设备列表", failed} << same << none;
        QTest::newRow("area: a device's name") << "" << "" << QStringList{addArea, input + " > =D1", failed} << same << none;
        QTest::newRow("area while monitoring") << "" << "monitoring" << QStringList{addArea, input + " > =B"} << "A[D1,D2] E[] B[]" << QStringList{"+B<设备列表:1"};
        QTest::newRow("delete area with devices") << "A" << "" << QStringList{areaMenu + " > 删除区域", "box warning|请清除设备后再删除！"} << same << none;
        QTest::newRow("delete empty area") << "E" << "" << QStringList{areaMenu + " > 删除区域"} << "A+[D1,D2]" << QStringList{"-E<设备列表:1"};
        QTest::newRow("delete area the file holds devices of") << "E" << "INSERT INTO Devices VALUES('X','E',5,100,80,0,60,10,0)" << QStringList{areaMenu + " > 删除区域", "box warning|请清除设备后再删除！"} << same << none;
        // The editor as it is left. The address fields take no extra digit, humidity and
        // voltage no point, humidity no sign, temperature, also chosen again, one decimal.
        // A name without its blanks.
        QTest::newRow("device") << "E" << "" << QStringList{areaMenu + " > 添加设备", humidity + " H1 |247|100|70|5|65|10 > =1| H1 |2470|100|70|-5|6.5|10"} << "A[D1,D2] E+[H1]" << QStringList{"+H1<E:2", "+H1<E@247/100#1[70,5,65,10]"};
        // Refused, with the field named; the editor stays open.
        const QString voltage = editor + "电压 mV|电压范围：-32767~32768 mV|V|255|65535|32767|-3276|15|-32768";
        QTest::newRow("device: address 255") << "E" << "" << QStringList{areaMenu + " > 添加设备", voltage + " > =2|V|2550|655350|32767|-32769|1.5|-32768", "box warning|设备地址应在1~247之间!", voltage} << same << none;
        QTest::newRow("device: no name") << "E" << "" << QStringList{areaMenu + " > 添加设备", temperature + "|||||| > =0|||||||", "box warning|设备名称不能为空!", temperature + "||||||"} << same << none;
        QTest::newRow("device: limits out of order") << "E" << "" << QStringList{areaMenu + " > 添加设备", humidity + "H|5|100|50|5|60|10 > =1|H|5|100|50|5|60|10", "box warning|报警上限不能小于异常上限!", humidity + "H|5|100|50|5|60|10"} << same << none;
        QTest::newRow("device: name taken") << "E" << "" << QStringList{areaMenu + " > 添加设备", temperature + "D2|1|1|80.5|0|60|10 > =1,0|D2|1|1|80.55|0|60|10", failed} << same << none;
        QTest::newRow("device: refused by the store") << "E" << refuse.arg("INSERT ON TreeView") << QStringList{areaMenu + " > 添加设备", temperature + "D3|1|100|80|0|60|10 > =0|D3|1|100|80|0|60|10", failed} << same << none;
        QTest::newRow("device: monitoring") << "E" << "monitoring" << QStringList{areaMenu + " > 添加设备", "box warning|请暂停监控后再添加新设备"} << same << none;
        QTest::newRow("modify: the device of that area") << "E/D1" << twoD1 << QStringList{deviceMenu + " > 修改设备", modifier + "电流 uA|电流范围：-32767~32768 uA|D1 ro|7|200|500|-500|300|-300 > =3|X|7|200|500|-500|300|-300"} << "A+[D1,D2] E+[D1]" << QStringList{"-D1<E@5/100#0[80,0,60,10]", "+D1<E@7/200#3[500,-500,300,-300]"};
        QTest::newRow("modify: type out of range") << "A/D1" << "UPDATE Devices SET Devicetype = 7" << QStringList{deviceMenu + " > 修改设备", modifier + "||D1 ro|1|100|80|0|60|10 > =|D1|1|100|80|0|60|10", "box warning|请选择设备类型!", modifier + "||D1 ro|1|100|80|0|60|10"} << same << none;
        QTest::newRow("modify: humidity 150") << "A/D2" << "UPDATE Devices SET MaxTemp = 150" << QStringList{deviceMenu + " > 修改设备", modifier + percent + "D2 ro|2|100|150|5|70|20 > =1|D2|2|100|150|5|70|20", "box warning|报警上限应在0~100之间!", modifier + percent + "D2 ro|2|100|150|5|70|20"} << same << none;
        QTest::newRow("modify: refused by the store") << "A/D1" << refuse.arg("UPDATE ON Devices") << QStringList{deviceMenu + " > 修改设备", modifier + percent + "D1 ro|5|5|5|5|5|5 > =1|D1|5|5|5|5|5|5", "box warning|修改失败!"} << same << none;
        QTest::newRow("delete device: no") << "A/D1" << "" << QStringList{deviceMenu + " > 删除设备", ask + " > 否"} << same << none;
        QTest::newRow("delete device: the one of that area") << "A/D1" << twoD1 << QStringList{deviceMenu + " > 删除设备", ask + " > 是"} << "A+[D2] E+[D1]" << QStringList{"-D1<A:2", "-D1<A@1/100#0[80,0,60,10]"};
        QTest::newRow("delete device: refused by the store") << "A/D1" << refuse.arg("DELETE ON Devices") << QStringList{deviceMenu + " > 删除设备", ask + " > 是", "box warning|删除失败!"} << same << none;
        QTest::newRow("delete device: monitoring") << "A/D1" << "monitoring" << QStringList{deviceMenu + " > 删除设备", "box warning|请暂停监控后再删除设备"} << same << none;
    }

    void commands()
    {
        QFETCH(QString, target);
        QFETCH(QString, setup);
        QFETCH(QStringList, script);
        Rig rig;
        seed("A", "('D1','A',1,100,80,0,60,10,0),('D2','A',2,100,90,5,70,20,1)");
        seed("E");
        for (const QString &statement : setup.split('\n', Qt::SkipEmptyParts))
            if (statement != "monitoring")
                QCOMPARE(sql(statement), QStringList());
        rig.open();
        rig.tree()->expandAll();
        const QStringList before = dump();
        if (setup == "monitoring")
            rig.startStop("sim");
        rig.script = script;
        if (target.startsWith("start "))
            rig.startStop(target.section(' ', 1));
        else
            rig.rightClick(target);
        for (QString &line : script)
            line = line.section(" > ", 0, 0);
        QCOMPARE(rig.seen, script);
        QTEST(rig.treeText(), "tree");
        const QStringList after = dump();
        QStringList rows; // what went ("-") and came ("+")
        for (const QString &row : before + after)
            if (before.contains(row) != after.contains(row))
                rows << (after.contains(row) ? '+' : '-') + row;
        QTEST(rows, "rows");
        QCOMPARE(rig.caption(), QString(setup == "monitoring" ? "监控中" : "开始监控"));
        // The labels count the tiles in each state, after an addition or a deletion too.
        if (setup != "monitoring")
            QCOMPARE(rig.counts(), rig.counts(true));

        // The page built again on the same file shows what this one shows: the
        // tiles follow the rows.
        const QString tree = rig.treeText(false);
        const QStringList tiles = rig.tileTexts(false);
        rig.open();
        QCOMPARE(rig.treeText(false), tree);
        QCOMPARE(rig.tileTexts(false), tiles);
    }
};

QTEST_MAIN(TestDeviceView)
#include "tst_deviceview.moc"
