#include "qdlglogin.h"
#include "ui_qdlglogin.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSettings>

namespace {
const char *const settingsOrg = "KRM-Qt";
const char *const settingsApp = "tarvo";
const char *const defaultUser = "tarvo";
const char *const defaultPassword = "60592";

// A stored text; one that is empty or of another type (a list, from a value
// with a comma) counts as absent.
QString textSetting(const QSettings &settings, const char *key, const QString &fallback)
{
    const QVariant value = settings.value(key);
    return value.type() == QVariant::String && !value.toString().isEmpty() ? value.toString() : fallback;
}
}

QDlgLogin::QDlgLogin(QWidget *parent)
    : QDialog(parent), ui(new Ui::dlgLogin)
{
    ui->setupUi(this);
    ui->editPSWD->setEchoMode(QLineEdit::Password);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::SplashScreen);
    readSettings();
}

QDlgLogin::~QDlgLogin()
{
    delete ui;
}

QString QDlgLogin::encrypt(const QString &text) const
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString QDlgLogin::loggedInUser()
{
    // One user name, which only a successful login stores.
    return textSetting(QSettings(settingsOrg, settingsApp), "Username", defaultUser);
}

void QDlgLogin::readSettings()
{
    QSettings settings(settingsOrg, settingsApp);
    const bool saved = settings.value("saved", false).toBool();
    user = textSetting(settings, "Username", defaultUser);
    pswd = textSetting(settings, "PSWD", encrypt(defaultPassword));
    if (saved)
        ui->editUser->setText(user);
    ui->chkBoxSave->setChecked(saved);
}

void QDlgLogin::writeSettings()
{
    QSettings settings(settingsOrg, settingsApp);
    settings.setValue("Username", user);
    settings.setValue("PSWD", pswd);
    settings.setValue("saved", ui->chkBoxSave->isChecked());
}

void QDlgLogin::on_btnOK_clicked()
{
    const QString name = ui->editUser->text().trimmed();
    const QString password = ui->editPSWD->text().trimmed();
    if (name == user && encrypt(password) == pswd) {
        writeSettings();
        accept();
        return;
    }

    ++tryCount;
    if (tryCount < 4) {
        QMessageBox::warning(this, QString::fromUtf8("错误提示"), QString::fromUtf8("用户名或密码错误"),
                             QMessageBox::Ok);
    } else {
        QMessageBox::critical(this, QString::fromUtf8("错误"), QString::fromUtf8("输入错误次数太多，强行退出"),
                              QMessageBox::Ok);
        reject();
    }
}

void QDlgLogin::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        moving = true;
        lastPos = event->globalPos() - pos();
        dragFrom = event->globalPos();
    }
    QDialog::mousePressEvent(event);
}

void QDlgLogin::mouseMoveEvent(QMouseEvent *event)
{
    // The click-or-drag threshold is measured on the cursor's travel since the
    // press; once crossed, the window follows the cursor anywhere on screen,
    // the top-left corner included.
    if (moving && event->buttons() != Qt::NoButton) {
        const QPoint global = event->globalPos();
        if (dragFrom && (global - *dragFrom).manhattanLength() > QApplication::startDragDistance())
            dragFrom.reset();
        if (!dragFrom) {
            move(global - lastPos);
            lastPos = global - pos();
        }
    }
    QDialog::mouseMoveEvent(event);
}

void QDlgLogin::mouseReleaseEvent(QMouseEvent *)
{
    moving = false;
}
