// Drives the real main window over the demo bus and saves the README's
// screenshots. Run by scripts/screenshots in a folder holding the demo data.db
// and history.db:
//   screenshots OUTDIR PORT
// Any message box that comes up is an error: its text is printed, the box
// is closed and the run ends non-zero.
#include "mainwindow.h"
#include "tempwidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTextCodec>
#include <QTimer>
#include <QTreeView>

#include <cstdio>

namespace {

int failures = 0;

void fail(const QString &what)
{
    std::fprintf(stderr, "screenshots: %s\n", qPrintable(what));
    ++failures;
}

template <typename T>
T *child(QWidget *in, const char *name)
{
    T *w = in ? in->findChild<T *>(QLatin1String(name)) : nullptr;
    if (!w)
        fail(QStringLiteral("no %1 in %2").arg(QLatin1String(name), in ? in->objectName() : QStringLiteral("(none)")));
    return w;
}

bool click(QWidget *in, const char *name)
{
    auto *button = child<QAbstractButton>(in, name);
    if (button)
        button->click();
    return button;
}

void setValue(QWidget *in, const char *name, int value)
{
    if (auto *spin = child<QSpinBox>(in, name))
        spin->setValue(value);
}

// Both pages have a port box; ours is inside the page.
void setPort(QWidget *page, const QString &port)
{
    auto *box = child<QComboBox>(page, "cBBoxCom");
    if (!box)
        return;
    if (box->isEditable()) {
        box->setEditText(port);
    } else {
        box->addItem(port);
        box->setCurrentText(port);
    }
}

int count(QWidget *page, const char *label)
{
    auto *l = page->findChild<QLabel *>(QLatin1String(label));
    return l ? l->text().toInt() : -1;
}

// The page a toolbar button brings up, found by the page's object name.
QWidget *page(QWidget &window, const char *button, const char *name)
{
    QWidget *p = window.findChild<QWidget *>(QLatin1String(name));
    if (!p)
        fail(QStringLiteral("this build has no page %1").arg(QLatin1String(name)));
    else
        click(&window, button);
    return p;
}

void save(QWidget &window, const QString &file)
{
    QTest::qWait(300); // let the last repaints land
    if (!window.grab().save(file))
        fail(QStringLiteral("cannot write %1").arg(file));
    else
        std::fprintf(stderr, "screenshots: wrote %s\n", qPrintable(file));
}

} // namespace

int main(int argc, char *argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: screenshots OUTDIR PORT\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QString port = QString::fromLocal8Bit(argv[2]);

    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            fail(QStringLiteral("message box: %1").arg(box->text()));
            box->done(QMessageBox::Ok);
        }
    });
    boxWatch.start(100);

    MainWindow window;
    window.resize(1300, 880); // room for a frame log of a dozen lines
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        fail(QStringLiteral("the main window was not shown"));
    QTest::qWait(1200); // the clock's first tick
    save(window, out.filePath("mainwindow.png"));

    // Monitoring: every tile state at once. The demo bus starts its
    // excursions at their peak, and they come back every period.
    if (QWidget *monitor = page(window, "BtnTbarDeviceMonitor", "DeviceView")) {
        window.resize(1300, 660); // the tile grid spreads its rows over the height

        if (auto *tree = child<QTreeView>(monitor, "treeDevice"))
            tree->expandAll();
        setPort(monitor, port);
        if (auto *interval = child<QDoubleSpinBox>(monitor, "MonitorTimeSpinner"))
            interval->setValue(0.5);
        if (click(monitor, "pBStartMonitor")) {
            const bool mixed = QTest::qWaitFor(
                [monitor] {
                    return count(monitor, "LBDeviceView_normal") > 0 && count(monitor, "LBDeviceView_abnormal") > 0
                        && count(monitor, "LBDeviceView_warning") > 1 && count(monitor, "LBDeviceView_OffLine") == 1;
                },
                150000);
            if (!mixed)
                fail(QStringLiteral("the tiles never showed every state"));
            save(window, out.filePath("monitoring.png"));
            click(monitor, "pBStartMonitor"); // the debugging page needs the port
        }

        // The log page over the generated week: a tile's double-click opens
        // its trend, the toolbar button the journal.
        const QList<TempWidget *> tiles = monitor->findChildren<TempWidget *>();
        if (tiles.isEmpty()) {
            fail(QStringLiteral("no tiles"));
        } else if (QWidget *log = window.findChild<QWidget *>(QStringLiteral("UserLog"))) {
            window.resize(1300, 760);
            if (auto *range = child<QComboBox>(log, "cBRange"))
                range->setCurrentIndex(2); // 7 days
            QTest::mouseDClick(tiles.first(), Qt::LeftButton);
            save(window, out.filePath("trend.png"));
            if (auto *tabs = child<QTabWidget>(log, "tabLog"))
                tabs->setCurrentIndex(0);
            save(window, out.filePath("journal.png"));
        } else {
            fail(QStringLiteral("this build has no page UserLog"));
        }
    }

    window.resize(1300, 880);
    // Debugging: generic reads and the KT101, then the KT104's one-key reads.
    if (QWidget *debug = page(window, "BtnTbarComSetting", "DeviceDebug")) {
        setPort(debug, port);
        if (click(debug, "BtnComConect")) {
            setValue(debug, "SpinDebugRServerAddr", 4); // the voltage module
            setValue(debug, "SpinDebugRRegAddr", 100);
            setValue(debug, "SpinDebugRRegNum", 1);
            click(debug, "BtnDebugRead");
            click(debug, "BtnReadBaseMeg"); // the KT101's settings, temperature and offset
            click(debug, "BtnReadTemp");
            click(debug, "BtnReadOffset");
            save(window, out.filePath("debugging.png"));

            if (auto *model = child<QComboBox>(debug, "ChooseWD"))
                model->setCurrentIndex(1);
            setValue(debug, "SpinDebugRServerAddr3", 2);
            click(debug, "BtnKT104ReadTemp");
            click(debug, "BtnKT104ReadRes");
            save(window, out.filePath("kt104.png"));
            click(debug, "BtnComConect");
        }
    }
    return failures ? 1 : 0;
}
