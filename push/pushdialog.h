#ifndef PUSHDIALOG_H
#define PUSHDIALOG_H

#include "pushsettings.h"

#include <QDialog>

namespace Ui {
class PushDialog;
}

// The alarm push settings. The stored password is never put back into its
// field: left empty, the field keeps it; an empty user name drops it.
class PushDialog : public QDialog
{
    Q_OBJECT

public:
    explicit PushDialog(const PushSettings &settings, QWidget *parent = nullptr);
    ~PushDialog() override;

    PushSettings settings() const;
    void showTestResult(bool ok, const QString &message);

signals:
    void testRequested(const PushSettings &settings);

private slots:
    void on_pBSendTest_clicked();
    void on_pBCaFile_clicked();

private:
    Ui::PushDialog *ui;
    PushSettings stored;
};

#endif
