// tarvoprobe: what scripts/test-windows-gui reads the program's widgets
// with under wine. Loaded into tarvo.exe with Qt's own option
// -plugin tarvoprobe:<file> (from a generic/ folder that only the test's copy
// of the package has), it writes every visible widget that has an object
// name to <file> four times a second, one a line:
//
//   <object path> TAB <left> <top> <width> <height> TAB <text>
//
// The path joins the object names from the window down
// (MainWindow.centralWidget.BtnTbarAbout; unnamed parents are left out), the
// rectangle is in screen coordinates, where xdotool clicks, and the text is
// what the widget shows: a button's or label's text, the text of an edit or a
// spin box, a combo box's current item, a text view's plain text (line breaks
// as \n). The file is replaced whole, so a reader never sees half of it.
#include <QApplication>
#include <QGenericPlugin>
#include <QSaveFile>
#include <QTimer>
#include <QWidget>

namespace {

QString path(const QWidget *widget)
{
    QStringList names;
    for (const QObject *o = widget; o; o = o->parent())
        if (!o->objectName().isEmpty())
            names.prepend(o->objectName());
    return names.join(QLatin1Char('.'));
}

QString shown(const QWidget *widget)
{
    for (const char *property : {"currentText", "plainText", "text"}) {
        const QVariant v = widget->property(property);
        if (v.isValid())
            return v.toString().replace(QLatin1Char('\n'), QLatin1String("\\n"))
                .replace(QLatin1Char('\t'), QLatin1Char(' '));
    }
    return {};
}

class Probe : public QObject
{
public:
    explicit Probe(const QString &file) : file(file)
    {
        connect(&timer, &QTimer::timeout, this, &Probe::write);
        timer.start(250);
    }

private:
    void write()
    {
        QByteArray out;
        for (const QWidget *w : QApplication::allWidgets()) {
            if (!w->isVisible() || w->objectName().isEmpty())
                continue;
            const QPoint at = w->mapToGlobal(QPoint(0, 0));
            out += QStringLiteral("%1\t%2 %3 %4 %5\t%6\n").arg(path(w)).arg(at.x()).arg(at.y())
                       .arg(w->width()).arg(w->height()).arg(shown(w)).toUtf8();
        }
        QSaveFile save(file);
        if (save.open(QIODevice::WriteOnly) && save.write(out) == out.size())
            save.commit();
    }

    QString file;
    QTimer timer;
};

} // namespace

class ProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe.json")

public:
    QObject *create(const QString &, const QString &file) override { return new Probe(file); }
};

#include "probe.moc"
