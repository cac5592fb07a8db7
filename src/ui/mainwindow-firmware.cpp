// Upgrade tab: picking and checking a firmware image and confirming; and what
// both long transfers share: the progress bar, a line kept quiet while one
// runs, and its end.

#include "mainwindow.h"

#include "device/device-serial.h"
#include "device/input-file.h"
#include "device/log-categories.h"
#include "firmware/firmware.h"
#include "firmware/version-compare.h"
#include "progress-percent.h"
#include "settings-keys.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSettings>

#include <memory>

void MainWindow::firmwareUpgradeButtonClicked()
{
    if (!device || refuseConcurrentTransfer(true))
        return;
    const QString lastPath = settings->value(SettingsKeys::FirmwareUpgradeLastPath, QString()).toString();
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    if (!lastPath.isEmpty())
        dialog.setDirectory(lastPath);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Firmware files (*.crp)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    settings->setValue(SettingsKeys::FirmwareUpgradeLastPath, dialog.directory().path());

    QByteArray data;
    QString error;
    if (!readInputFile(dialog.selectedFiles().first(), MaxFirmwareImageBytes, &data, &error)) {
        QMessageBox::critical(this, QStringLiteral("Firmware upgrade"), error, QMessageBox::Ok, QMessageBox::Ok);
        return;
    }

    // The port may have gone while the dialog was open.
    if (!device)
        return;
    const std::unique_ptr<Firmware> image(Firmware::fromFileData(data, device->compatId));
    if (!image->valid()) {
        QMessageBox::critical(this, QStringLiteral("Firmware upgrade"),
                              QStringLiteral("Invalid or unsupported firmware file"), QMessageBox::Ok, QMessageBox::Ok);
        return;
    }
    qCDebug(lcUi) << "firmware vendor:" << image->vendor();
    qCDebug(lcUi) << "firmware model:" << image->model();
    qCDebug(lcUi) << "firmware version:" << image->version();
    qCDebug(lcUi) << "firmware blob size:" << image->blob().size();

    const QString question = firmwareUpgradeQuestion(device->version, image->version());
    const auto answer = QMessageBox::question(this, QStringLiteral("Firmware upgrade"), question,
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    // The port may have gone, or an upload started, while the question was open.
    if (answer != QMessageBox::Yes || !device || refuseConcurrentTransfer(true))
        return;
    ui->upgradeMessageLabel->clear();
    device->upgradeFirmware(image->blob());
}

void MainWindow::setTransferRunning(bool running)
{
    // The settings and the ADC panel would put their commands between the
    // transfer's steps; the transfer buttons stay, and refuse with a message.
    ui->tab_2->setEnabled(!running);
    ui->calibrationTab->setEnabled(!running);
    ui->enableSerialOutputButton->setEnabled(!running);
}

bool MainWindow::lineClosedToCommands()
{
    if (!device)
        return false;
    if (!device->foreignIdentification.isEmpty()) {
        statusBar()->showMessage(
            QStringLiteral("Not a VKRHX350: nothing is sent to it (%1 answered)").arg(device->foreignIdentification));
        return true;
    }
    if (device->activeTransfer() == Device::NoTransfer)
        return false;
    statusBar()->showMessage(QStringLiteral("A transfer is under way: nothing else is sent until it ends"));
    return true;
}

void MainWindow::deviceTransferEnded(bool upgrade, bool succeeded, const QString &message)
{
    setTransferRunning(false);
    statusBar()->showMessage(message);
    if (upgrade)
        ui->upgradeMessageLabel->setText(message);
    qCDebug(lcUi) << "transfer ended" << (succeeded ? "successfully:" : "with failure:") << message;
    // A read-back that a transfer interrupted goes on from its next query.
    if (getParametersStage != -1)
        getParameters();
}

void MainWindow::deviceProgress(int state, int stateMax)
{
    ui->progressBar->setValue(progressPercent(state, stateMax));
}
