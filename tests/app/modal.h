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

// Answers every message box that comes up while `context` lives with OK, as
// an operator would, recording it as "<icon>|<title>|<text>" in `boxes`.
inline void answerModals(QObject *context, QStringList *boxes)
{
    whenReady(context, [boxes] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); box && box->isVisible()) {
            *boxes << QString("%1|%2|%3").arg(QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()),
                                              box->windowTitle(), box->text());
            box->done(QMessageBox::Ok);
        }
        return false;
    });
}

#endif
