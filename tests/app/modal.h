#ifndef MODAL_H
#define MODAL_H

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <functional>

// Answers every message box that comes up while it lives, as an operator
// pressing OK would, and remembers what each box said.
class BoxAnswerer : public QObject
{
public:
    struct Box {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
    };

    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::answer);
        timer.start(10);
    }

    QList<Box> boxes;

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons()});
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    QTimer timer;
};

// Runs `step` from the event loop every few milliseconds until it returns
// true, so a test can act inside the modal loops of the code under test.
// Steps wait for a running event loop: the login window is of the splash
// kind, which processes events while it is being shown, before its modal
// loop starts, and a dialog closed at that moment would never end that loop.
inline void whenReady(QObject *context, std::function<bool()> step)
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        if (QThread::currentThread()->loopLevel() > 0 && step())
            timer->deleteLater();
    });
    timer->start(10);
}

#endif
