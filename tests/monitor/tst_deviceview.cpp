#include "deviceview.h"
#include "modal.h"
#include "newdevice.h"
#include "sqlitehelper.h"

#include "sim/simulator.h"

#include <QSerialPortInfo>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString Root = QStringLiteral("设备列表");

DeviceRecord device(const QString &name, const QString &area, int addr, int type, double max = 80, double min = 0,
                    double umax = 60, double umin = 10, int reg = 100)
{
    return {{"name", name}, {"parent", area}, {"DeviceAddr", addr}, {"RegAddr", reg}, {"MaxTemp", max},
            {"MinTemp", min}, {"MaxUnnormalTemp", umax}, {"MinUnnormalTemp", umin}, {"Devicetype", type}};
}

// Runs SQL on data.db in the working folder through a connection of its
// own; the first column of every row. A failure comes back as "failed".
QStringList sql(const QString &statement)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(QStringLiteral("data.db"));
        QSqlQuery query(db);
        if (!db.open() || !query.exec(statement))
            rows << "failed";
        while (query.next())
            rows << query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    return rows;
}

QStringList dump()
{
    return sql("SELECT item || '<' || parent || ':' || Level FROM TreeView UNION ALL SELECT name || '<' || parent || "
               "'@' || DeviceAddr || '/' || RegAddr || '#' || Devicetype || '[' || MaxTemp || ',' || MinTemp || ',' || "
               "MaxUnnormalTemp || ',' || MinUnnormalTemp || ']' FROM Devices");
}

// The rows that went ("-") and came ("+") between two dumps.
QStringList changes(const QStringList &before, const QStringList &after)
{
    QStringList result;
    for (const QString &row : before)
        if (!after.contains(row))
            result << '-' + row;
    for (const QString &row : after)
        if (!before.contains(row))
            result << '+' + row;
    return result;
}

// A monitoring page on its own data.db, a simulated bus, and an operator who
// answers whatever window comes up from a script of "window > answer" lines:
// the window part is recorded in `seen`, the answer acts on it (see act()).
struct Rig
{
    static QString pristine; // a data.db with empty tables

    Rig()
    {
        QDir::setCurrent(dir.path());
        QFile::copy(pristine, QStringLiteral("data.db"));
        whenReady(&context, [this] {
            act();
            return false;
        });
    }
    ~Rig() { QDir::setCurrent(QDir::tempPath()); }

    void open(int width = 1159)
    {
        page.reset(new DeviceView);
        page->resize(width, 500);
        page->show();
        page->LoadDeviceTiles();
    }
    template <typename T> T *find(const char *name) const { return page->findChild<T *>(name); }
    QList<TempWidget *> tiles() const { return page->findChildren<TempWidget *>(); }
    QTreeView *tree() const { return find<QTreeView>("treeDevice"); }
    QString caption() const { return find<QPushButton>("pBStartMonitor")->text(); }

    // "A+[D1,D2] E[]": areas, "+" for an expanded one, their devices.
    QString treeText(bool marks = true) const
    {
        QStringList areas;
        const QAbstractItemModel *model = tree()->model();
        for (int a = 0; a < model->rowCount(); ++a) {
            const QModelIndex area = model->index(a, 0);
            QStringList devices;
            for (int d = 0; d < model->rowCount(area); ++d)
                devices << model->index(d, 0, area).data().toString();
            areas << area.data().toString() + (marks && tree()->isExpanded(area) ? "+" : "") + '['
                         + devices.join(',') + ']';
        }
        return areas.join(' ');
    }
    QModelIndex indexOf(const QString &path) const
    {
        QModelIndex index;
        for (const QString &name : path.split('/', Qt::SkipEmptyParts))
            index = tree()->model()->match(tree()->model()->index(0, 0, index), Qt::DisplayRole, name, 1,
                                           Qt::MatchExactly).value(0);
        return index;
    }
    // Right-click on a node (made current first, as a click does) or below the last one.
    void rightClick(const QString &path)
    {
        const QModelIndex index = indexOf(path);
        QPoint pos(5, tree()->viewport()->height() - 5);
        if (index.isValid()) {
            tree()->scrollTo(index);
            tree()->setCurrentIndex(index);
            pos = tree()->visualRect(index).center();
        }
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, tree()->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(tree()->viewport(), &event);
    }
    // Labels "normal abnormal alarm offline", and the same counted from the tiles.
    QString counts() const
    {
        QStringList texts;
        for (const char *name : {"LBDeviceView_normal", "LBDeviceView_abnormal", "LBDeviceView_warning",
                                 "LBDeviceView_OffLine"})
            texts << find<QLabel>(name)->text();
        return texts.join(' ');
    }
    QString tileCounts() const
    {
        int n[4] = {};
        for (const TempWidget *tile : tiles())
            ++n[tile->state()];
        return QStringLiteral("%1 %2 %3 %4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]);
    }
    // What a tile says of its device: label, and tooltip without the blanks of line 4.
    QStringList tileTexts() const
    {
        QStringList texts;
        for (const TempWidget *tile : tiles())
            texts << tile->labelText() + '|' + tile->toolTip().replace(QRegularExpression(" +\n"), "\n");
        return texts;
    }
    QStringList snapshot() const
    {
        QStringList states;
        for (const TempWidget *tile : tiles())
            states << QString::number(tile->state()) + tile->valueText();
        return states;
    }
    void setPort(const QString &port, const QString &parity = "N")
    {
        find<QComboBox>("cBBoxCom")->setEditText(port);
        find<QComboBox>("cBBoxParity")->setCurrentText(parity);
    }
    void startStop() { find<QPushButton>("pBStartMonitor")->click(); }

    // Runs the page until `done`, checking all the while that the labels count the tiles.
    bool runUntil(const std::function<bool()> &done, int ms = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            QTest::qWait(10);
            if (checkCounts && countsBroken.isEmpty() && counts() != tileCounts())
                countsBroken = counts() + " shown for " + tileCounts();
            if (done())
                return true;
        }
        return false;
    }

    // Records the window that is up and answers it from the next script line.
    // The answer runs from the event loop, so that a window it opens in turn
    // is met by this timer again.
    void act()
    {
        QWidget *window = QApplication::activePopupWidget();
        if (!window)
            window = QApplication::activeModalWidget();
        if (busy || !window || !window->isVisible())
            return;
        const QString answer = script.isEmpty() ? QString() : script.takeFirst().section(" > ", 1);
        std::function<void()> respond;
        if (auto *menu = qobject_cast<QMenu *>(window)) {
            QStringList texts;
            QAction *chosen = nullptr;
            for (QAction *action : menu->actions()) {
                texts << action->text();
                chosen = action->text() == answer ? action : chosen;
            }
            seen << "menu " + texts.join(',');
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
            // "=text" enters the text and confirms; no answer cancels.
            respond = [input, answer] {
                input->setTextValue(answer.mid(1));
                answer.startsWith('=') ? input->accept() : input->reject();
            };
        } else if (auto *editor = qobject_cast<newdevice *>(window)) {
            static const char *const fields[] = {"LEditDeviceName", "LEditDeviceAddr", "LEditRegAddr", "LEditMaxTemp",
                                                 "LEditMinTemp", "LEditMaxUnnormalTemp", "LEditMinUnnormalTemp"};
            QStringList texts;
            for (const char *field : fields)
                texts << editor->findChild<QLineEdit *>(field)->text();
            seen << "editor " + editor->windowTitle() + '|' + editor->findChild<QGroupBox *>("groupBox_2")->title()
                        + '|' + texts.join(',')
                        + (editor->findChild<QLineEdit *>("LEditDeviceName")->isReadOnly() ? "|ro" : "");
            // "=type|name|addr|reg|max|min|umax|umin" is typed key by key; no answer cancels.
            respond = [editor, answer] {
                if (!answer.startsWith('='))
                    return editor->reject();
                const QStringList values = answer.mid(1).split('|');
                editor->findChild<QComboBox *>("cBdeviceType")->setCurrentIndex(values.at(0).toInt());
                for (int i = 0; i < 7; ++i) {
                    auto *edit = editor->findChild<QLineEdit *>(fields[i]);
                    edit->selectAll();
                    QTest::keyClick(edit, Qt::Key_Backspace);
                    QTest::keyClicks(edit, values.at(i + 1));
                }
                editor->findChild<QPushButton *>("pButtonYes")->click();
            };
        } else {
            return;
        }
        busy = true;
        QTimer::singleShot(0, window, [this, respond] {
            busy = false;
            respond();
        });
    }

    QTemporaryDir dir;
    ktsim::Simulator sim;
    QObject context;
    QScopedPointer<DeviceView> page;
    QStringList script;
    QStringList seen;
    bool busy = false; // an answer is on its way
    bool checkCounts = true;
    QString countsBroken;
};

QString Rig::pristine;

// Areas A (D1 temperature at station 1, D2 humidity at 2) and E (empty).
void seedAreas()
{
    for (const char *area : {"A", "E"})
        SqliteHelper::insertArea({{"item", area}, {"parent", Root}, {"Level", "1"}});
    SqliteHelper::insertDevice(device("D1", "A", 1, 0));
    SqliteHelper::insertDevice(device("D2", "A", 2, 1, 90, 5, 70, 20));
}

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

    void loadTooltipsAndPorts()
    {
        Rig rig;
        seedAreas();
        SqliteHelper::insertDevice(device("V%2", "E", 300, 2, 12.5, -5, 1e6, 0.1, 65535));
        rig.open();
        // The menus fill on their first showing.
        for (QMenu *menu : rig.page->findChildren<QMenu *>())
            QVERIFY(menu->isEmpty());
        QCOMPARE(rig.treeText(), QString("A[D1,D2] E[V%2]"));
        QCOMPARE(rig.counts(), QString("0 0 0 3"));
        rig.page->LoadDeviceTiles();
        QCOMPARE(rig.tiles().size(), 3);
        TempWidget *v = rig.page->FindDeviceTile("V%2");
        QVERIFY(v && !rig.page->FindDeviceTile("V"));
        QCOMPARE(v->deviceAddr(), quint8(44)); // the tile keeps the low 8 bits, the tooltip the record
        QCOMPARE(v->labelText(), QString("V%2(mV)"));
        const QString tip = "设备名称: V%2\n所属区域: E\n设备地址: 300\n寄存器地址: 65535%1\n最高温度: 12.5\n最低温度: -5\n"
                            "最高异常温度: 1e+06\n最低异常温度: 0.1";
        QCOMPARE(v->toolTip(), tip.arg(QString(28, ' ')));

        // A name no tile has changes nothing.
        rig.page->UpdateDeviceTile(device("V%2", "E", 300, 2, 12.5, -5, 1e6, 0.1, 65535));
        QCOMPARE(v->toolTip(), tip.arg(QString(24, ' ')));
        const QStringList before = rig.tileTexts();
        rig.page->UpdateDeviceTile(device("X", "E", 9, 1));
        QCOMPARE(rig.tileTexts(), before);

        // The port list: the platform's ports, or "无" when it has none.
        QStringList expected;
        for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
            expected << port.portName();
        if (expected.isEmpty())
            expected << "无";
        auto *com = rig.find<QComboBox>("cBBoxCom");
        QVERIFY(com->isEditable() && com->count() == 0);
        for (int click = 0; click < 2; ++click) {
            rig.find<QPushButton>("pBFlashCOM")->click();
            QStringList items;
            for (int i = 0; i < com->count(); ++i)
                items << com->itemText(i);
            QCOMPARE(items, expected);
        }
    }

    void columns_data()
    {
        QTest::addColumn<int>("loadWidth");
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("arranged");
        QTest::newRow("500 then 250") << 500 << "00 01 02 03 10" << 250 << "00 01 10 11 20";
        QTest::newRow("119 then 120") << 119 << "00 10 20 30 40" << 120 << "00 10 20 30 40";
        QTest::newRow("700 then 40") << 700 << "00 01 02 03 04" << 40 << "00 10 20 30 40";
    }

    void columns()
    {
        QFETCH(int, loadWidth);
        QFETCH(int, width);
        Rig rig;
        for (int i = 0; i < 5; ++i)
            SqliteHelper::insertDevice(device(QString::number(i), "A", 1, 0));
        rig.page.reset(new DeviceView);
        rig.page->show();
        const auto setWidth = [&rig](int tileArea) {
            rig.find<QScrollArea>("TempView")->setFixedWidth(tileArea);
            rig.page->layout()->activate();
        };
        const auto cells = [&rig] {
            auto *grid = qobject_cast<QGridLayout *>(rig.find<QWidget>("scrollAreaWidgetContents")->layout());
            QStringList cells;
            int row, column, rows, columns;
            for (TempWidget *tile : rig.tiles()) {
                grid->getItemPosition(grid->indexOf(tile), &row, &column, &rows, &columns);
                cells << QStringLiteral("%1%2").arg(row).arg(column);
            }
            return cells.join(' ');
        };
        setWidth(loadWidth);
        rig.page->LoadDeviceTiles();
        QTEST(cells(), "loaded");
        setWidth(width);
        rig.page->ArrangeTiles();
        QTEST(cells(), "arranged");
    }

    void startRefused_data()
    {
        QTest::addColumn<bool>("devices");
        QTest::addColumn<QString>("port"); // "sim": the simulator's
        QTest::addColumn<QString>("parity");
        QTest::addColumn<QString>("box");
        const QString failed = "box warning|连接失败!请确认COM口是否空闲";
        QTest::newRow("no devices") << false << "sim" << "N" << "box tips|没有需要监控的设备!";
        QTest::newRow("port never chosen") << true << "" << "N" << failed;
        QTest::newRow("port 无") << true << "无" << "N" << failed;
        QTest::newRow("missing port") << true << "/dev/tarvo-no-such-port" << "N" << failed;
        QTest::newRow("parity S") << true << "sim" << "S" << failed;
        QTest::newRow("parity M") << true << "sim" << "M" << failed;
    }

    void startRefused()
    {
        QFETCH(bool, devices);
        QFETCH(QString, port);
        Rig rig;
        rig.sim.addModule({});
        QVERIFY(rig.sim.start());
        if (devices)
            seedAreas();
        rig.open();
        const QString simPort = QString::fromStdString(rig.sim.portPath());
        QFETCH(QString, parity);
        rig.setPort(port == "sim" ? simPort : port, parity);
        rig.startStop();
        QFETCH(QString, box);
        QCOMPARE(rig.seen, QStringList{box});
        QCOMPARE(rig.caption(), QString("开始监控"));
        QCOMPARE(rig.sim.framesReceived(), uint64_t(0));
        if (!devices)
            return;
        // Tried again at once with good settings, it starts; and stops.
        rig.setPort(simPort);
        rig.startStop();
        QCOMPARE(rig.caption(), QString("监控中"));
        rig.startStop();
        QCOMPARE(rig.caption(), QString("开始监控"));
    }

    void monitoringRun()
    {
        // Tile 0 falls silent later; 1 normal, 2 abnormal, 3 no sensor; 4 has
        // an address above 247 whose low bits name station 1; station 9 is absent.
        Rig rig;
        const ktsim::ModuleSpec modules[] = {{ktsim::ModuleType::Voltage, 4}, {ktsim::ModuleType::KT101, 1},
                                             {ktsim::ModuleType::Humidity, 3}, {ktsim::ModuleType::KT104, 2}};
        for (const auto &module : modules)
            rig.sim.addModule(module);
        QVERIFY(rig.sim.start());
        rig.sim.setReg(4, 100, 1200);
        rig.sim.setReg(1, 100, 235);
        rig.sim.setReg(3, 100, 65);
        rig.sim.setReg(2, 100, 0xFFFF);
        SqliteHelper::insertArea({{"item", "M"}, {"parent", Root}, {"Level", "1"}});
        for (const DeviceRecord &d : {device("S0", "M", 4, 2, 5000, -100, 3000, 0), device("N1", "M", 1, 0),
                                      device("A2", "M", 3, 1), device("E3", "M", 2, 0), device("X4", "M", 257, 0),
                                      device("Y5", "M", 9, 0)})
            SqliteHelper::insertDevice(d);
        rig.open();
        rig.tree()->expandAll();
        rig.find<QDoubleSpinBox>("MonitorTimeSpinner")->setValue(0.5);
        rig.setPort(QString::fromStdString(rig.sim.portPath()));
        const QList<TempWidget *> tiles = rig.tiles();
        const auto states = [&tiles](std::initializer_list<TileState> wanted) {
            return [&tiles, wanted] {
                int i = 0;
                for (TileState state : wanted)
                    if (tiles.at(i++)->state() != state)
                        return false;
                return true;
            };
        };
        // The first tile whose reading or state differs from a snapshot.
        const auto firstChange = [&rig](const QStringList &before) {
            const QStringList now = rig.snapshot();
            for (int i = 0; i < now.size(); ++i)
                if (now.at(i) != before.value(i))
                    return i;
            return -1;
        };

        rig.startStop();
        QCOMPARE(rig.caption(), QString("监控中"));
        QVERIFY(rig.runUntil(states({Normal, Normal, Abnormal, Alarm})));
        QCOMPARE(tiles.at(1)->valueText(), QString("23.5"));
        QCOMPARE(tiles.at(3)->valueText(), QString("错误"));

        // Silenced at run time: offline at its next turn. Stopped right then,
        // the display has tile 1 next.
        rig.sim.setFault(4, ktsim::Fault::Silence);
        QVERIFY(rig.runUntil(states({Offline})));
        rig.startStop();
        QCOMPARE(rig.caption(), QString("开始监控"));
        QVERIFY(tiles.at(0)->valueText() == "1200" && tiles.at(4)->state() == Offline && tiles.at(5)->state() == Offline);
        QCOMPARE(tiles.at(4)->deviceAddr(), quint8(1));

        // A restart goes on where the display stopped, not at tile 0.
        rig.sim.setFault(4, ktsim::Fault::None);
        rig.sim.setReg(4, 100, 2000);
        rig.sim.setReg(1, 100, 700);
        rig.sim.setReg(2, 100, 300);
        QStringList before = rig.snapshot();
        rig.startStop();
        QVERIFY(rig.runUntil([&] { return firstChange(before) != -1; }));
        QCOMPARE(firstChange(before), 1);
        // Stopped right after tile 3's turn, then the last two devices deleted:
        // the display wraps to tile 0.
        QVERIFY(rig.runUntil([&] { return rig.snapshot().at(3) != before.at(3); }));
        rig.startStop();
        QVERIFY(tiles.at(4)->state() == Offline && tiles.at(5)->state() == Offline);
        rig.checkCounts = false; // a deletion leaves the labels to the next tick
        for (const char *name : {"M/X4", "M/Y5"}) {
            rig.script = QStringList{"menu 修改设备,删除设备 > 删除设备", "box 删除设备|确认删除设备吗？ > 是"};
            rig.rightClick(name);
        }
        QCOMPARE(rig.tiles().size(), 4);
        rig.sim.setReg(4, 100, 2500);
        before = rig.snapshot();
        rig.startStop();
        QVERIFY(rig.runUntil([&] { return firstChange(before) != -1; }));
        QCOMPARE(firstChange(before), 0);
        rig.checkCounts = true;
        QVERIFY(rig.runUntil([&] { return rig.counts() == rig.tileCounts(); }));
        QVERIFY(rig.runUntil(states({Normal, Abnormal, Abnormal, Normal})));
        rig.startStop();
        QVERIFY2(rig.countsBroken.isEmpty(), qPrintable(rig.countsBroken));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("target"); // tree path right-clicked; empty: below the last node
        QTest::addColumn<QString>("setup"); // "monitoring", or SQL run on data.db first
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("tiles");
        QTest::addColumn<QStringList>("rows"); // what changed in data.db
        const QString unchanged = "A+[D1,D2] E+[]";
        const QString menuObject = "menu 添加子区域 > 添加子区域";
        const QString input = "input 新建区域|请输入区域名称";
        const QString menuArea = "menu 添加设备,删除区域";
        const QString menuDevice = "menu 修改设备,删除设备";
        const QString newEditor = "editor 添加新设备|温度范围：-200.0~850.0 ℃|,,,,,,";
        const QString d1Editor = "editor 添加新设备|温度范围：-200.0~850.0 ℃|D1,1,100,80,0,60,10|ro";
        const QString ask = "box 删除设备|确认删除设备吗？";
        const QString refuse = "CREATE TRIGGER no BEFORE %1 ON Devices BEGIN SELECT RAISE(ABORT, 'no'); END";
        const QString added = "box warning|添加失败!";

        QTest::newRow("menu on empty space closed") << "" << "" << QStringList{"menu 添加子区域"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("area: cancelled") << "" << "" << QStringList{menuObject, input} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("area: empty name") << "" << "" << QStringList{menuObject, input + " > =", "box warning|名称不能为空!"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("area: the header text") << "" << "" << QStringList{menuObject, input + " > =设备列表", added} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("area: a device's name") << "" << "" << QStringList{menuObject, input + " > =D1", added} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("area: blanks") << "" << "" << QStringList{menuObject, input + " > =  "} << "A[D1,D2] E[]   []" << "D1,D2" << QStringList{"+  <设备列表:1"};
        QTest::newRow("area") << "" << "monitoring" << QStringList{menuObject, input + " > =B"} << "A[D1,D2] E[] B[]" << "D1,D2" << QStringList{"+B<设备列表:1"};
        QTest::newRow("delete area with devices") << "A" << "" << QStringList{menuArea + " > 删除区域", "box warning|请清除设备后再删除！"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("delete empty area") << "E" << "" << QStringList{menuArea + " > 删除区域"} << "A+[D1,D2]" << "D1,D2" << QStringList{"-E<设备列表:1"};
        QTest::newRow("device") << "E" << "" << QStringList{menuArea + " > 添加设备", newEditor + " > =1|H1|3000|100|70|-5|6.5|10"} << "A[D1,D2] E+[H1]" << "D1,D2,H1" << QStringList{"+H1<E:2", "+H1<E@300/100#1[70,5,65,10]"};
        QTest::newRow("device: cancelled") << "E" << "" << QStringList{menuArea + " > 添加设备", newEditor} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("device: name taken") << "E" << "" << QStringList{menuArea + " > 添加设备", newEditor + " > =0|D2|1|1|1|1|1|1", added} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("device: monitoring") << "E" << "monitoring" << QStringList{menuArea + " > 添加设备", "box warning|请暂停监控后再添加新设备"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("modify") << "A/D1" << "" << QStringList{menuDevice + " > 修改设备", d1Editor + " > =2|X|7|200|-500|500|300|-300"} << unchanged << "D1,D2" << QStringList{"-D1<A@1/100#0[80,0,60,10]", "+D1<A@7/200#2[-500,500,300,-300]"};
        QTest::newRow("modify: cancelled") << "A/D1" << "" << QStringList{menuDevice + " > 修改设备", d1Editor} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("modify: refused by the store") << "A/D1" << refuse.arg("UPDATE") << QStringList{menuDevice + " > 修改设备", d1Editor + " > =1|D1|5|5|5|5|5|5", added} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("modify: monitoring") << "A/D1" << "monitoring" << QStringList{menuDevice + " > 修改设备", "box warning|请暂停监控后再修改设备"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("delete device: no") << "A/D1" << "" << QStringList{menuDevice + " > 删除设备", ask + " > 否"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("delete device") << "A/D1" << "" << QStringList{menuDevice + " > 删除设备", ask + " > 是"} << "A+[D2] E+[]" << "D2" << QStringList{"-D1<A:2", "-D1<A@1/100#0[80,0,60,10]"};
        QTest::newRow("delete device: refused by the store") << "A/D1" << refuse.arg("DELETE") << QStringList{menuDevice + " > 删除设备", ask + " > 是", "box warning|删除失败!"} << unchanged << "D1,D2" << QStringList();
        QTest::newRow("delete device: monitoring") << "A/D1" << "monitoring" << QStringList{menuDevice + " > 删除设备", "box warning|请暂停监控后再删除设备"} << unchanged << "D1,D2" << QStringList();
    }

    void commands()
    {
        QFETCH(QString, target);
        QFETCH(QString, setup);
        QFETCH(QStringList, script);
        Rig rig;
        seedAreas();
        rig.sim.addModule({});
        QVERIFY(rig.sim.start());
        rig.open();
        rig.tree()->expandAll();
        const QString counts = rig.counts();
        const QStringList before = dump();
        if (setup == "monitoring") {
            rig.setPort(QString::fromStdString(rig.sim.portPath()));
            rig.startStop();
            QCOMPARE(rig.caption(), QString("监控中"));
        } else if (!setup.isEmpty()) {
            QCOMPARE(sql(setup), QStringList());
        }
        rig.script = script;
        rig.rightClick(target);
        QStringList windows;
        for (const QString &line : script)
            windows << line.section(" > ", 0, 0);
        QCOMPARE(rig.seen, windows);
        QTEST(rig.treeText(), "tree");
        QStringList names;
        for (const TempWidget *tile : rig.tiles())
            names << tile->name();
        QTEST(names.join(','), "tiles");
        QTEST(changes(before, dump()), "rows");
        if (setup == "monitoring")
            rig.startStop();
        else if (QTest::currentDataTag() == QString("device")) // a new tile counts as offline at once
            QCOMPARE(rig.counts(), QString("0 0 0 3"));
        else // a deletion leaves the labels alone
            QCOMPARE(rig.counts(), counts);

        // The page built again on the same file shows what this one shows.
        const QString tree = rig.treeText(false);
        const QStringList tiles = rig.tileTexts();
        rig.open();
        QCOMPARE(rig.treeText(false), tree);
        QCOMPARE(rig.tileTexts(), tiles);
    }

    void editorValidators_data()
    {
        QTest::addColumn<QList<int>>("types"); // chosen in this order
        QTest::addColumn<QString>("title");
        // "field text=state" (0 invalid, 1 intermediate, 2 acceptable); "Limits" stands for all four limit fields.
        QTest::addColumn<QStringList>("checks");
        QTest::newRow("new") << QList<int>() << "温度范围：-200.0~850.0 ℃"
                             << QStringList{"Limits -32768.0=2", "Limits 32767=2", "Limits -300=2", "Limits 1.25=0",
                                            "Limits a=0", "Limits -=1", "DeviceAddr 255=2", "DeviceAddr 256=1",
                                            "DeviceAddr 2550=0", "DeviceAddr -1=0", "RegAddr 65535=2",
                                            "RegAddr 655350=0"};
        QTest::newRow("temperature chosen again") << QList<int>{1, 0} << "温度范围：-200.0~850.0 ℃"
                                                  << QStringList{"Limits -200.0=2", "Limits 32767.0=2", "Limits -300=1", "Limits 1.25=0"};
        QTest::newRow("humidity") << QList<int>{1} << "湿度范围：0~100 %RH"
                                  << QStringList{"Limits 0=2", "Limits 100=2", "Limits 1000=0", "Limits -1=0", "Limits 5.5=0"};
        QTest::newRow("voltage") << QList<int>{2} << "电压范围：-32767~32768 mV"
                                 << QStringList{"Limits -32768=2", "Limits 32767=2", "Limits 327670=0", "Limits 1.5=0"};
        QTest::newRow("current") << QList<int>{3} << "电流范围：-32767~32768 uA"
                                 << QStringList{"Limits -32768=2", "Limits 32767=2", "Limits -32769=0"};
    }

    void editorValidators()
    {
        QFETCH(QList<int>, types);
        QFETCH(QStringList, checks);
        newdevice editor;
        for (int type : types)
            editor.findChild<QComboBox *>("cBdeviceType")->setCurrentIndex(type);
        QTEST(editor.findChild<QGroupBox *>("groupBox_2")->title(), "title");
        for (const QString &check : checks) {
            const QString field = check.section(' ', 0, 0);
            const QStringList fields = field == "Limits" ? QStringList{"MaxTemp", "MinTemp", "MaxUnnormalTemp", "MinUnnormalTemp"}
                                                         : QStringList{field};
            for (const QString &name : fields) {
                QString text = check.section(' ', 1).section('=', 0, 0);
                int pos = 0;
                const auto *validator = editor.findChild<QLineEdit *>("LEdit" + name)->validator();
                QVERIFY2(validator->validate(text, pos) == check.section('=', 1).toInt(), qPrintable(name + ' ' + check));
            }
        }
    }

    void editorFillAndRead_data()
    {
        QTest::addColumn<DeviceRecord>("record");
        QTest::addColumn<QString>("shown"); // type item, limits title, fields
        QTest::addColumn<DeviceRecord>("read");
        DeviceRecord voltage = device("V", "E", 300, 2, 40000.5, -5, 1e6, 0.1, 65535);
        DeviceRecord odd = device("T", "E", 1, 7);
        DeviceRecord empty{{"parent", "E"}};
        const auto read = [](DeviceRecord record, int type) {
            record.remove("parent");
            record["Devicetype"] = type;
            return record;
        };
        QTest::newRow("voltage, texts as stored") << voltage << "电压 mV|电压范围：-32767~32768 mV|V,300,65535,40000.5,-5,1e+06,0.1" << read(voltage, 2);
        QTest::newRow("type out of range") << odd << "|" "|T,1,100,80,0,60,10" << read(odd, -1);
        QTest::newRow("no values") << empty << "温度 ℃|温度范围：-200.0~850.0 ℃|,,,,,," << read(device("", "", 0, 0, 0, 0, 0, 0, 0), 0);
    }

    void editorFillAndRead()
    {
        QFETCH(DeviceRecord, record);
        newdevice editor;
        editor.setDeviceInfo(record);
        QStringList texts;
        for (const char *field : {"LEditDeviceName", "LEditDeviceAddr", "LEditRegAddr", "LEditMaxTemp", "LEditMinTemp",
                                  "LEditMaxUnnormalTemp", "LEditMinUnnormalTemp"})
            texts << editor.findChild<QLineEdit *>(field)->text();
        QTEST(editor.findChild<QComboBox *>("cBdeviceType")->currentText() + '|'
                  + editor.findChild<QGroupBox *>("groupBox_2")->title() + '|' + texts.join(','),
              "shown");
        QVERIFY(editor.findChild<QLineEdit *>("LEditDeviceName")->isReadOnly());
        QTEST(editor.getDeviceInfo(), "read");
    }
};

QTEST_MAIN(TestDeviceView)
#include "tst_deviceview.moc"
