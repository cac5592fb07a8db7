// Upgrade tab: picking and checking a firmware image, confirming, and the
// progress bar shared by both long transfers.

#include "mainwindow.h"

#include "device/device-serial.h"
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
    if (!device)
        return;
    const QString lastPath =
        settings->value(SettingsKeys::FirmwareUpgradeLastPath, QString()).toString();
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    if (!lastPath.isEmpty())
        dialog.setDirectory(lastPath);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Firmware files (*.crp)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    settings->setValue(SettingsKeys::FirmwareUpgradeLastPath, dialog.directory().path());

    QFile file(dialog.selectedFiles().first());
    QByteArray data;
    if (file.open(QIODevice::ReadOnly))
        data = file.read(file.size());

    // The port may have gone while the dialog was open.
    if (!device)
        return;
    const std::unique_ptr<Firmware> image(Firmware::fromFileData(data, device->compatId));
    if (!image->valid()) {
        QMessageBox::critical(this, QStringLiteral("Firmware upgrade"),
                              QStringLiteral("Invalid or unsupported firmware file"),
                              QMessageBox::Ok, QMessageBox::Ok);
        return;
    }
    qDebug() << "firmware vendor:" << image->vendor();
    qDebug() << "firmware model:" << image->model();
    qDebug() << "firmware version:" << image->version();
    qDebug() << "firmware blob size:" << image->blob().size();

    const QString question = firmwareUpgradeQuestion(device->version, image->version());
    const auto answer = QMessageBox::question(this, QStringLiteral("Firmware upgrade"), question,
                                              QMessageBox::Yes | QMessageBox::No,
                                              QMessageBox::Yes);
    if (answer != QMessageBox::Yes || !device)
        return;
    if (refuseConcurrentTransfer(true))
        return;
    device->upgradeFirmware(image->blob());
}

void MainWindow::deviceProgress(int state, int stateMax)
{
    ui->progressBar->setValue(progressPercent(state, stateMax));
}
