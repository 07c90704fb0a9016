#include "modal.h"
#include "dlgabout.h"
#include "dlghelp.h"
#include "mainwindow.h"
#include "userlog.h"

#include <QDesktopServices>
#include <QLCDNumber>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTime>
#include <QtTest>

// Stands in for the browser: the desktop hands https addresses to it.
class UrlCatcher : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl &url) { urls.append(url); }

public:
    QList<QUrl> urls;
};

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void imagesAreBuiltIn();
    void toolbarAndPages();
    void clockShowsTheTimeAfterATick();
    void logPageKeepsItsSize();
    void aboutBox();
    void webShopButton();
    void helpDialog();
};

void TestMainWindow::imagesAreBuiltIn()
{
    QCOMPARE(QPixmap(":/Logo/image/login.bmp").size(), QSize(505, 323));
    QVERIFY(!QPixmap(":/Logo/image/ico/Tarvo.bmp").isNull());
    QVERIFY(!QPixmap(":/Logo/image/shop.png").isNull());
}

void TestMainWindow::toolbarAndPages()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.windowTitle(), QString::fromUtf8("塔沃监控管理平台"));

    const QList<QPair<const char *, const char *>> buttons = {
        {"BtnTbarComSetting", "设备调试"},
        {"BtnTbarDeviceMonitor", "设备监控"},
        {"BtnTbarLogRecord", "日志查询"},
        {"BtnTbarAbout", "关于"},
    };
    for (const auto &b : buttons) {
        auto *button = window.findChild<QPushButton *>(b.first);
        QVERIFY2(button, b.first);
        QCOMPARE(button->text(), QString::fromUtf8(b.second));
    }
    auto *shop = window.findChild<QPushButton *>("BtnTbarOpenWebsize");
    QVERIFY(shop);
    QVERIFY(!shop->icon().isNull());
    QCOMPARE(window.findChild<QLCDNumber *>("LcdTBarRealTime")->digitCount(), 8);

    // Today the stack holds the placeholder and the log page; the debugging
    // and monitoring pages are inserted between them.
    auto *stack = window.findChild<QStackedWidget *>("MWSWidgetMainBody");
    QVERIFY(stack);
    QCOMPARE(stack->count(), 2);
    QCOMPARE(stack->widget(0)->objectName(), QString("page"));
    QVERIFY(qobject_cast<UserLog *>(stack->widget(1)));
    QCOMPARE(stack->currentIndex(), 0);

    window.findChild<QPushButton *>("BtnTbarLogRecord")->click();
    QCOMPARE(stack->currentIndex(), 0);
}

void TestMainWindow::clockShowsTheTimeAfterATick()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *lcd = window.findChild<QLCDNumber *>("LcdTBarRealTime");

    QTimer *clock = nullptr;
    for (QTimer *t : window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (t->interval() == 1000 && t->isActive())
            clock = t;
    }
    QVERIFY2(clock, "no running one-second timer");
    QSignalSpy ticks(clock, &QTimer::timeout);
    QVERIFY(ticks.wait(5000));
    const QTime after = QTime::currentTime();
    const QImage shown = lcd->grab().toImage();

    // The display has no text getter: compare with what it draws for the
    // expected texts (the tick may have happened in the previous second).
    QStringList expected;
    for (const QTime &t : {after, after.addSecs(-1), after.addSecs(-2)}) {
        expected << t.toString("hh:mm:ss");
        lcd->display(expected.last());
        if (lcd->grab().toImage() == shown)
            return;
    }
    QFAIL(qPrintable("the clock shows none of " + expected.join(", ")));
}

void TestMainWindow::logPageKeepsItsSize()
{
    MainWindow window;
    window.resize(1600, 1000);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *stack = window.findChild<QStackedWidget *>("MWSWidgetMainBody");
    auto *log = window.findChild<UserLog *>();
    stack->setCurrentWidget(log);
    QVERIFY(stack->width() > 900 && stack->height() > 440);
    QCOMPARE(log->size(), QSize(900, 440));
}

void TestMainWindow::aboutBox()
{
    MainWindow window;
    window.show();
    auto *about = window.findChild<dlgAbout *>();
    QVERIFY(about);

    // Each click runs the same about box modally; "关闭" ends it with Rejected.
    for (int showing = 0; showing < 2; ++showing) {
        QSignalSpy finished(about, &QDialog::finished);
        bool wasModal = false;
        whenReady(about, [about, &wasModal] {
            if (!about->isVisible())
                return false;
            wasModal = about->isModal();
            about->findChild<QPushButton *>("ButDlgAbout")->click();
            return true;
        });
        window.findChild<QPushButton *>("BtnTbarAbout")->click();
        QVERIFY(wasModal);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
        QCOMPARE(window.findChildren<dlgAbout *>().size(), 1);
    }
}

void TestMainWindow::webShopButton()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    MainWindow window;
    window.findChild<QPushButton *>("BtnTbarOpenWebsize")->click();
    window.findChild<QPushButton *>("BtnTbarOpenWebsize")->click();
    QDesktopServices::unsetUrlHandler("https");

    QCOMPARE(catcher.urls.size(), 2);
    QCOMPARE(catcher.urls[0], catcher.urls[1]);
    QVERIFY(catcher.urls[0].isValid());
    QCOMPARE(catcher.urls[0].host(), QString("www.example.com"));
}

void TestMainWindow::helpDialog()
{
    DlgHelp help;
    QCOMPARE(help.windowTitle(), QString::fromUtf8("通信常见问题"));
    QCOMPARE(help.findChild<QLabel *>("label_5")->text(),
             QString::fromUtf8("5.设备通讯参数出厂默认：9600 8 N 1 站号：1"));
    QCOMPARE(help.findChild<QLabel *>("label_11")->text().count('\n'), 2);

    // "确定" closes it; the same object serves the next showing.
    for (int showing = 0; showing < 2; ++showing) {
        whenReady(&help, [&help] {
            if (!help.isVisible())
                return false;
            help.findChild<QPushButton *>("YES")->click();
            return true;
        });
        QCOMPARE(help.exec(), int(QDialog::Rejected));
        QVERIFY(!help.isVisible());
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
