#include "modal.h"
#include "qdlglogin.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

namespace {
// Known answers, from md5sum.
const QString md5Of60592 = "f8e53d3d3593839e999ec5ade5ee5b5f";
const QString md5OfAbc = "900150983cd24fb0d6963f7d28e17f72";

QLineEdit *field(QDlgLogin *dlg, const char *name)
{
    return dlg->findChild<QLineEdit *>(name);
}

void attempt(QDlgLogin *dlg, const QString &name, const QString &password)
{
    field(dlg, "editUser")->setText(name);
    field(dlg, "editPSWD")->setText(password);
    dlg->findChild<QPushButton *>("btnOK")->click();
}
}

class TestQDlgLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firstRunAcceptsTheDefaults_data();
    void firstRunAcceptsTheDefaults();
    void credentials_data();
    void credentials();
    void threeWarningsThenForcedExit_data();
    void threeWarningsThenForcedExit();
    void rememberedName_data();
    void rememberedName();
    void dragging();

private:
    QPointer<QDlgLogin> dlg;
};

void TestQDlgLogin::initTestCase()
{
    // Never run against the operator's real settings.
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY(!home.isEmpty());
    QVERIFY(QSettings("KRM-Qt", "tarvo").fileName().startsWith(home));
}

void TestQDlgLogin::init()
{
    QSettings("KRM-Qt", "tarvo").clear();
}

void TestQDlgLogin::cleanup()
{
    delete dlg.data();
}

void TestQDlgLogin::firstRunAcceptsTheDefaults_data()
{
    QTest::addColumn<bool>("save");
    QTest::newRow("name saved") << true;
    QTest::newRow("name not saved") << false;
}

void TestQDlgLogin::firstRunAcceptsTheDefaults()
{
    QFETCH(bool, save);
    dlg = new QDlgLogin;
    dlg->show();
    QSignalSpy accepted(dlg.data(), &QDialog::accepted);

    {
        BoxAnswerer answerer;
        attempt(dlg, "tarvo", "60591");
        QCOMPARE(answerer.boxes.size(), 1);
    }
    QVERIFY2(QSettings("KRM-Qt", "tarvo").allKeys().isEmpty(), "a failed login wrote settings");

    dlg->findChild<QCheckBox *>("chkBoxSave")->setChecked(save);
    attempt(dlg, "tarvo", "60592");
    QCOMPARE(accepted.count(), 1);

    QSettings settings("KRM-Qt", "tarvo");
    QCOMPARE(settings.value("Username").toString(), QString("tarvo"));
    QCOMPARE(settings.value("PSWD").toString(), md5Of60592);
    QVERIFY(settings.contains("saved"));
    QCOMPARE(settings.value("saved").toBool(), save);
}

void TestQDlgLogin::credentials_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("exact") << "tarvo" << "60592" << true;
    QTest::newRow("blanks around both") << "  tarvo \t" << " 60592  " << true;
    QTest::newRow("blank inside the name") << "tar vo" << "60592" << false;
    QTest::newRow("blank inside the password") << "tarvo" << "605 92" << false;
    QTest::newRow("name in another case") << "Tarvo" << "60592" << false;
    QTest::newRow("wrong password") << "tarvo" << "605920" << false;
    QTest::newRow("empty password") << "tarvo" << "" << false;
    QTest::newRow("empty name") << "" << "60592" << false;
    QTest::newRow("both empty") << "" << "" << false;
}

void TestQDlgLogin::credentials()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    dlg = new QDlgLogin;
    dlg->show();
    QSignalSpy accepts(dlg.data(), &QDialog::accepted);
    QSignalSpy rejects(dlg.data(), &QDialog::rejected);

    BoxAnswerer answerer;
    attempt(dlg, name, password);

    QCOMPARE(accepts.count(), accepted ? 1 : 0);
    QCOMPARE(rejects.count(), 0);
    if (accepted) {
        QVERIFY(answerer.boxes.isEmpty());
        return;
    }
    QCOMPARE(answerer.boxes.size(), 1);
    const BoxAnswerer::Box &box = answerer.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.title, QString::fromUtf8("错误提示"));
    QCOMPARE(box.text, QString::fromUtf8("用户名或密码错误"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The dialog stays, with what was typed.
    QVERIFY(dlg->isVisible());
    QCOMPARE(field(dlg, "editUser")->text(), name);
    QCOMPARE(field(dlg, "editPSWD")->text(), password);
}

void TestQDlgLogin::threeWarningsThenForcedExit_data()
{
    QTest::addColumn<int>("wrongAttempts");
    QTest::addColumn<int>("result");
    QTest::newRow("right at once") << 0 << int(QDialog::Accepted);
    QTest::newRow("right on the fourth try") << 3 << int(QDialog::Accepted);
    QTest::newRow("wrong four times") << 4 << int(QDialog::Rejected);
}

void TestQDlgLogin::threeWarningsThenForcedExit()
{
    QFETCH(int, wrongAttempts);
    QFETCH(int, result);
    // Run it as the program does: modal, deleting itself when it closes.
    dlg = new QDlgLogin;
    BoxAnswerer answerer;
    whenReady(dlg, [&] {
        for (int i = 0; i < wrongAttempts && dlg; ++i)
            attempt(dlg, "tarvo", "wrong");
        if (dlg && dlg->isVisible())
            attempt(dlg, "tarvo", "60592");
        return true;
    });
    QCOMPARE(dlg->exec(), result);
    QVERIFY2(dlg.isNull(), "the dialog did not delete itself");

    QCOMPARE(answerer.boxes.size(), wrongAttempts);
    for (int i = 0; i < qMin(wrongAttempts, 3); ++i) {
        QCOMPARE(answerer.boxes[i].icon, QMessageBox::Warning);
        QCOMPARE(answerer.boxes[i].title, QString::fromUtf8("错误提示"));
        QCOMPARE(answerer.boxes[i].text, QString::fromUtf8("用户名或密码错误"));
    }
    if (wrongAttempts == 4) {
        const BoxAnswerer::Box &last = answerer.boxes.last();
        QCOMPARE(last.icon, QMessageBox::Critical);
        QCOMPARE(last.title, QString::fromUtf8("错误"));
        QCOMPARE(last.text, QString::fromUtf8("输入错误次数太多，强行退出"));
        QCOMPARE(last.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

void TestQDlgLogin::rememberedName_data()
{
    QTest::addColumn<bool>("saved");
    QTest::newRow("saved") << true;
    QTest::newRow("not saved") << false;
}

void TestQDlgLogin::rememberedName()
{
    QFETCH(bool, saved);
    {
        QSettings settings("KRM-Qt", "tarvo");
        settings.setValue("Username", "operator");
        settings.setValue("PSWD", md5OfAbc);
        settings.setValue("saved", saved);
    }
    dlg = new QDlgLogin;
    dlg->show();
    QCOMPARE(field(dlg, "editUser")->text(), saved ? QString("operator") : QString());
    QCOMPARE(dlg->findChild<QCheckBox *>("chkBoxSave")->isChecked(), saved);
    QVERIFY(field(dlg, "editPSWD")->text().isEmpty());
    QCOMPARE(field(dlg, "editPSWD")->echoMode(), QLineEdit::Password);

    // The stored account replaces the default one.
    QSignalSpy accepted(dlg.data(), &QDialog::accepted);
    {
        BoxAnswerer answerer;
        attempt(dlg, "tarvo", "60592");
        QCOMPARE(answerer.boxes.size(), 1);
    }
    attempt(dlg, "operator", "abc");
    QCOMPARE(accepted.count(), 1);
}

void TestQDlgLogin::dragging()
{
    dlg = new QDlgLogin;
    dlg->show();
    dlg->move(300, 200);
    QCOMPARE(dlg->pos(), QPoint(300, 200));

    auto send = [this](QEvent::Type type, QPoint global, Qt::MouseButton button, Qt::MouseButtons buttons) {
        const QPointF local = global - dlg->pos();
        QMouseEvent event(type, local, local, global, button, buttons, Qt::NoModifier);
        QApplication::sendEvent(dlg, &event);
    };

    // Right and middle buttons never drag.
    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        send(QEvent::MouseButtonPress, {350, 250}, button, button);
        send(QEvent::MouseMove, {450, 330}, Qt::NoButton, button);
        send(QEvent::MouseButtonRelease, {450, 330}, button, Qt::NoButton);
        QCOMPARE(dlg->pos(), QPoint(300, 200));
    }

    // A left drag: a small wobble on the press is not a drag, then the window
    // keeps the cursor's offset, also on the way back.
    send(QEvent::MouseButtonPress, {350, 250}, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, {351, 251}, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dlg->pos(), QPoint(300, 200));
    send(QEvent::MouseMove, {450, 330}, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dlg->pos(), QPoint(400, 280));
    send(QEvent::MouseMove, {351, 250}, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dlg->pos(), QPoint(301, 200));
    // ...right into the screen's top-left corner.
    send(QEvent::MouseMove, {52, 51}, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dlg->pos(), QPoint(2, 1));

    // Releasing ends the drag, even if a move with a held button follows.
    send(QEvent::MouseButtonRelease, {52, 51}, Qt::LeftButton, Qt::NoButton);
    send(QEvent::MouseMove, {300, 300}, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dlg->pos(), QPoint(2, 1));
}

QTEST_MAIN(TestQDlgLogin)
#include "tst_qdlglogin.moc"
