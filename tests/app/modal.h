#ifndef MODAL_H
#define MODAL_H

#include <QtWidgets>

#include <functional>

// Runs `step` from the event loop every few milliseconds while `context`
// lives, until it returns true, so a test can act inside the modal loops of
// the code under test. Steps wait for a running event loop: the login window
// is of the splash kind, which processes events while it is being shown,
// before its modal loop starts, and a dialog closed then would never end it.
inline void whenReady(QObject *context, std::function<bool()> step)
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        if (QThread::currentThread()->loopLevel() > 0 && step())
            timer->deleteLater();
    });
    timer->start(10);
}

// Answers every modal window that comes up while `context` lives, as an
// operator would: a message box with OK, recording it as "<icon>|<title>|<text>"
// in `boxes`; any other window with its button `close`.
inline void answerModals(QObject *context, QStringList *boxes, const char *close = nullptr)
{
    whenReady(context, [boxes, close] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal); box && box->isVisible()) {
            *boxes << QString("%1|%2|%3").arg(QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()),
                                              box->windowTitle(), box->text());
            box->done(QMessageBox::Ok);
        } else if (auto *button = modal && close ? modal->findChild<QPushButton *>(close) : nullptr) {
            button->click();
        }
        return false;
    });
}

#endif
