#ifndef QDLGLOGIN_H
#define QDLGLOGIN_H

#include <QDialog>
#include <QPoint>
#include <QString>

#include <optional>

namespace Ui {
class dlgLogin;
}

// The login gate: one user name and an MD5 digest of its password, kept in
// the user's settings store. Frameless, so it is moved by dragging its body.
class QDlgLogin : public QDialog
{
    Q_OBJECT

public:
    explicit QDlgLogin(QWidget *parent = nullptr);
    ~QDlgLogin() override;

    // The user of the last successful login.
    static QString loggedInUser();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_btnOK_clicked();

private:
    QString encrypt(const QString &text) const;
    void readSettings();
    void writeSettings();

    bool moving = false;
    QPoint lastPos;                 // cursor offset from the window's top-left corner
    std::optional<QPoint> dragFrom; // press position, until the cursor has travelled far enough
    QString user;
    QString pswd;
    int tryCount = 0;
    Ui::dlgLogin *ui;
};

#endif
