#include "mainwindow.h"
#include "modal.h"
#include "qdlglogin.h"
#include "session.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QtTest>

namespace {
QDlgLogin *activeLogin()
{
    return qobject_cast<QDlgLogin *>(QApplication::activeModalWidget());
}

MainWindow *shownMainWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<MainWindow *>(w); window && window->isVisible())
            return window;
    }
    return nullptr;
}

bool logIn()
{
    QDlgLogin *login = activeLogin();
    if (!login)
        return false;
    login->findChild<QLineEdit *>("editUser")->setText("tarvo");
    login->findChild<QLineEdit *>("editPSWD")->setText("60592");
    login->findChild<QPushButton *>("btnOK")->click();
    return true;
}
}

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings("KRM-Qt", "tarvo").clear(); }
    void cancelledLoginEndsAtOnce();
    void loginShowsTheMainWindowUntilItCloses();
    void exitCodeOfTheEventLoopIsReturned();
};

void TestSession::cancelledLoginEndsAtOnce()
{
    QObject context;
    bool mainWindowSeen = false;
    whenReady(&context, [] {
        QDlgLogin *login = activeLogin();
        if (login)
            login->findChild<QPushButton *>("btnCancel")->click();
        return login != nullptr;
    });
    // If a main window came up anyway, record it and close it so the test ends.
    whenReady(&context, [&mainWindowSeen] {
        if (MainWindow *window = shownMainWindow()) {
            mainWindowSeen = true;
            window->close();
        }
        return false;
    });
    QCOMPARE(runSession(), 0);
    QVERIFY(!mainWindowSeen);
}

void TestSession::loginShowsTheMainWindowUntilItCloses()
{
    QObject context;
    QPointer<MainWindow> seen;
    int page = -1;
    whenReady(&context, logIn);
    whenReady(&context, [&] {
        seen = shownMainWindow();
        if (!seen)
            return false;
        page = seen->findChild<QStackedWidget *>("MWSWidgetMainBody")->currentIndex();
        seen->close();
        return true;
    });
    QCOMPARE(runSession(), 0);
    QCOMPARE(page, 0);
    QVERIFY2(seen.isNull(), "the main window outlived the session");
}

void TestSession::exitCodeOfTheEventLoopIsReturned()
{
    QObject context;
    whenReady(&context, logIn);
    whenReady(&context, [] {
        if (!shownMainWindow())
            return false;
        QApplication::exit(3);
        return true;
    });
    QCOMPARE(runSession(), 3);
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
