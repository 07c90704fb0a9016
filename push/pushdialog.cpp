#include "pushdialog.h"
#include "ui_pushdialog.h"

#include <QFileDialog>

namespace {

using Kind = HistorySchema::EventKind;

QList<QPair<const char *, Kind>> kindBoxes()
{
    return {{"chkBoxAlarm", HistorySchema::Alarm},
            {"chkBoxAbnormal", HistorySchema::Abnormal},
            {"chkBoxOffline", HistorySchema::Offline},
            {"chkBoxNormal", HistorySchema::BackToNormal},
            {"chkBoxSensorError", HistorySchema::SensorError}};
}

} // namespace

PushDialog::PushDialog(const PushSettings &settings, QWidget *parent)
    : QDialog(parent), ui(new Ui::PushDialog), stored(settings)
{
    ui->setupUi(this);
    ui->LEditBrokerHost->setText(settings.host);
    ui->SpinBrokerPort->setValue(settings.port);
    ui->LEditClientId->setText(settings.clientId);
    ui->LEditUserName->setText(settings.user);
    if (!settings.password.isEmpty())
        ui->LEditPassword->setPlaceholderText(tr("(已保存，留空不变)"));
    ui->LEditTopicPrefix->setText(settings.prefix);
    ui->chkBoxTls->setChecked(settings.tls);
    ui->LEditCaFile->setText(settings.caFile);
    ui->LEditWebhookUrl->setText(settings.webhookUrl);
    for (const auto &box : kindBoxes())
        findChild<QCheckBox *>(box.first)->setChecked(settings.kinds.contains(box.second));
    ui->chkBoxReadings->setChecked(settings.publishReadings);
}

PushDialog::~PushDialog()
{
    delete ui;
}

PushSettings PushDialog::settings() const
{
    PushSettings s = stored;
    s.host = ui->LEditBrokerHost->text().trimmed();
    s.port = ui->SpinBrokerPort->value();
    s.clientId = ui->LEditClientId->text().trimmed();
    s.user = ui->LEditUserName->text();
    if (s.user.isEmpty())
        s.password.clear();
    else if (!ui->LEditPassword->text().isEmpty())
        s.password = ui->LEditPassword->text();
    s.prefix = ui->LEditTopicPrefix->text().trimmed();
    if (s.prefix.isEmpty())
        s.prefix = QStringLiteral("tarvo");
    s.tls = ui->chkBoxTls->isChecked();
    s.caFile = ui->LEditCaFile->text().trimmed();
    s.webhookUrl = ui->LEditWebhookUrl->text().trimmed();
    s.kinds.clear();
    for (const auto &box : kindBoxes()) {
        if (findChild<QCheckBox *>(box.first)->isChecked())
            s.kinds << box.second;
    }
    s.publishReadings = ui->chkBoxReadings->isChecked();
    return s;
}

void PushDialog::showTestResult(bool ok, const QString &message)
{
    ui->pBSendTest->setEnabled(true);
    ui->LBTestResult->setStyleSheet(ok ? QString() : QStringLiteral("color: rgb(200, 0, 0);"));
    ui->LBTestResult->setText(message);
}

void PushDialog::on_pBSendTest_clicked()
{
    ui->pBSendTest->setEnabled(false);
    ui->LBTestResult->setStyleSheet(QString());
    ui->LBTestResult->setText(tr("发送中…"));
    emit testRequested(settings());
}

void PushDialog::on_pBCaFile_clicked()
{
    const QString file = QFileDialog::getOpenFileName(this, tr("CA 证书"), ui->LEditCaFile->text(),
                                                      tr("证书 (*.crt *.pem);;所有文件 (*)"));
    if (!file.isEmpty())
        ui->LEditCaFile->setText(file);
}
