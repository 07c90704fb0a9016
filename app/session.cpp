#include "session.h"

#include "mainwindow.h"
#include "qdlglogin.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int runSession()
{
    // Every window of the program, the login included, carries the logo.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/Logo/image/ico/Tarvo.bmp")));
    // The dialog deletes itself when it closes (it is a delete-on-close
    // dialog), so it must live on the heap and must not be deleted here.
    auto *login = new QDlgLogin(nullptr);
    if (login->exec() != QDialog::Accepted)
        return 0;

    MainWindow window;
    window.show();
    // From the event loop, so that a message it may bring up has a window under it.
    QTimer::singleShot(0, &window, [&window] { window.StartMonitoringAtLogin(); });
    return QApplication::exec();
}
