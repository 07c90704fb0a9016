#include "modal.h"
#include "qdlglogin.h"

#include <QtTest>

class TestQDlgLogin : public QObject
{
    Q_OBJECT

    const QString warning = "Warning|错误提示|用户名或密码错误", forcedExit = "Critical|错误|输入错误次数太多，强行退出";
    QPointer<QDlgLogin> dlg;
    QStringList boxes;

    void attempt(const QString &name, const QString &password)
    {
        dlg->findChild<QLineEdit *>("editUser")->setText(name);
        dlg->findChild<QLineEdit *>("editPSWD")->setText(password);
        dlg->findChild<QPushButton *>("btnOK")->click();
    }

    void open()
    {
        dlg = new QDlgLogin;
        boxes.clear();
        answerModals(dlg, &boxes);
    }

private slots:
    // init() wipes the store: never run against the operator's real settings.
    void initTestCase() { QVERIFY(!qEnvironmentVariable("XDG_CONFIG_HOME").isEmpty()); }
    void init() { QSettings("KRM-Qt", "tarvo").clear(); }
    void cleanup() { delete dlg.data(); }

    void firstRun_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("save");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QVariantMap>("stored"); // in the store before the dialog opens
        // Values that are empty or of another type count as absent.
        const QVariantMap none, list{{"Username", QStringList{"tarvo", "other"}}}, noPassword{{"PSWD", ""}};
        QTest::newRow("defaults, name saved") << "tarvo" << "60592" << true << true << none;
        QTest::newRow("blanks around both, not saved") << "  tarvo \t" << " 60592  " << false << true << none;
        QTest::newRow("blank inside the password") << "tarvo" << "605 92" << true << false << none;
        QTest::newRow("name in another case") << "Tarvo" << "60592" << true << false << none;
        QTest::newRow("name stored as a list") << "tarvo" << "60592" << true << true << list;
        QTest::newRow("name stored as a list, empty input") << "" << "60592" << true << false << list;
        QTest::newRow("empty password stored") << "tarvo" << "60592" << true << true << noPassword;
    }

    void firstRun()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(bool, save);
        QFETCH(bool, accepted);
        QFETCH(QVariantMap, stored);
        QSettings settings("KRM-Qt", "tarvo");
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings.setValue(it.key(), it.value());
        open();
        dlg->show();
        dlg->findChild<QCheckBox *>("chkBoxSave")->setChecked(save);
        QSignalSpy accepts(dlg.data(), &QDialog::accepted);
        attempt(name, password);
        QCOMPARE(accepts.count(), int(accepted));
        if (!accepted) {
            // Nothing is stored before a successful login.
            QCOMPARE(boxes, QStringList{warning});
            QCOMPARE(settings.allKeys(), stored.keys());
            return;
        }
        QCOMPARE(settings.value("Username").toString() + ' ' + settings.value("PSWD").toString(), QString("tarvo f8e53d3d3593839e999ec5ade5ee5b5f")); // md5sum
        QCOMPARE(settings.value("saved", !save).toBool(), save);

        // The next start offers the name only if asked to, and never the password.
        delete dlg.data();
        open();
        auto *pswd = dlg->findChild<QLineEdit *>("editPSWD");
        QCOMPARE(dlg->findChild<QLineEdit *>("editUser")->text(), save ? QString("tarvo") : QString());
        QCOMPARE(dlg->findChild<QCheckBox *>("chkBoxSave")->isChecked(), save);
        QVERIFY(pswd->text().isEmpty() && pswd->echoMode() == QLineEdit::Password);
    }

    void threeWarningsThenForcedExit()
    {
        // Run it as the program does: modal, deleting itself when it closes;
        // right on the fourth try, or wrong four times.
        for (int wrong : {3, 4}) {
            open();
            whenReady(dlg, [&] {
                for (int i = 0; i < wrong && dlg; ++i)
                    attempt("tarvo", "wrong");
                if (dlg && dlg->isVisible())
                    attempt("tarvo", "60592");
                return true;
            });
            QCOMPARE(dlg->exec(), int(wrong == 3 ? QDialog::Accepted : QDialog::Rejected));
            QVERIFY2(dlg.isNull(), "the dialog did not delete itself");
            QCOMPARE(boxes, (QStringList{warning, warning, warning, forcedExit}.mid(0, wrong)));
        }
    }

    void dragging()
    {
        open();
        dlg->show();
        dlg->move(300, 200);
        // Sends a mouse event at a screen position; returns where the window is then.
        auto send = [this](QEvent::Type type, QPoint global, Qt::MouseButtons held, Qt::MouseButton button = Qt::NoButton) {
            const QPointF local = global - dlg->pos();
            QMouseEvent event(type, local, local, global, button, held, Qt::NoModifier);
            QApplication::sendEvent(dlg, &event);
            return dlg->pos();
        };
        send(QEvent::MouseButtonPress, {350, 250}, Qt::RightButton, Qt::RightButton); // only the left button drags
        QCOMPARE(send(QEvent::MouseMove, {450, 330}, Qt::RightButton), QPoint(300, 200));
        send(QEvent::MouseButtonRelease, {450, 330}, Qt::NoButton, Qt::RightButton);
        // A left drag: a wobble on the press is not a drag; past the threshold the
        // window keeps the cursor's offset, for small steps too, and follows it
        // right into the screen's top-left corner. Releasing ends the drag.
        send(QEvent::MouseButtonPress, {350, 250}, Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(send(QEvent::MouseMove, {351, 251}, Qt::LeftButton), QPoint(300, 200));
        QCOMPARE(send(QEvent::MouseMove, {450, 330}, Qt::LeftButton), QPoint(400, 280));
        QCOMPARE(send(QEvent::MouseMove, {451, 330}, Qt::LeftButton), QPoint(401, 280));
        QCOMPARE(send(QEvent::MouseMove, {52, 51}, Qt::LeftButton), QPoint(2, 1));
        send(QEvent::MouseButtonRelease, {52, 51}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(send(QEvent::MouseMove, {300, 300}, Qt::LeftButton), QPoint(2, 1));
    }
};

QTEST_MAIN(TestQDlgLogin)
#include "tst_qdlglogin.moc"
