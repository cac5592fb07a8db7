// Custom sensor tab: loading a curve file, plotting it and uploading it.

#include "mainwindow.h"

#include "device/device-serial.h"
#include "device/input-file.h"
#include "device/log-categories.h"
#include "device/sensor-curve.h"
#include "settings-keys.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSettings>

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

void MainWindow::sensorFileChooseButtonClicked()
{
    const QString lastPath = settings->value(SettingsKeys::SensorFileLastPath, QString()).toString();
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    if (!lastPath.isEmpty())
        dialog.setDirectory(lastPath);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Data files (*.cal *.dat *.tab *.txt);;All files (*.*)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;

    settings->setValue(SettingsKeys::SensorFileLastPath, dialog.directory().path());
    const QString path = dialog.selectedFiles().first();
    ui->sensorFileEdit->setText(path);
    settings->setValue(SettingsKeys::CustomSensorFile, path);
    loadSensorCurve(path);
}

void MainWindow::loadSensorCurve(const QString &path)
{
    QByteArray data;
    QString error;
    SensorCurve curve;
    if (!readInputFile(path, MaxSensorCurveFileBytes, &data, &error))
        curve.error = error;
    else
        curve = parseSensorCurve(data);
    if (!curve.error.isEmpty())
        statusBar()->showMessage(QStringLiteral("Curve not loaded: %1").arg(curve.error));
    curveTemperatures.clear();
    curveVoltages.clear();
    curveTemperatures.reserve(2048);
    curveVoltages.reserve(2048);
    for (int i = 0; i < curve.temperatures.size(); ++i) {
        qCDebug(lcUi, "calibration data: %lf, %lf", curve.temperatures.at(i), curve.voltages.at(i));
        curveTemperatures.append(curve.temperatures.at(i));
        curveVoltages.append(curve.voltages.at(i));
    }
    sensorCurve->setSamples(curveTemperatures.constData(), curveVoltages.constData(), curveTemperatures.size());
    sensorPlot->replot();
}

void MainWindow::sensorUploadButtonClicked()
{
    if (!device || refuseConcurrentTransfer(false))
        return;
    // An empty record would wipe the instrument's custom curve.
    if (curveTemperatures.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Custom sensor"), QStringLiteral("No calibration points loaded"));
        return;
    }
    settings->setValue(SettingsKeys::CustomSensorName, ui->sensorNameEdit->text());
    device->uploadCalibration(sensorCurveRecord(ui->sensorNameEdit->text(), curveTemperatures, curveVoltages));
}

bool MainWindow::refuseConcurrentTransfer(bool startingUpgrade)
{
    // The Device runs one transfer at a time; asking here first keeps the
    // operator from choosing a file or answering a question for nothing. The
    // same kind started again starts over.
    const Device::Transfer running = device->activeTransfer();
    if (startingUpgrade && running == Device::CalibrationUpload) {
        statusBar()->showMessage(QStringLiteral("A calibration upload is under way: firmware upgrade not started"));
        return true;
    }
    if (!startingUpgrade && running == Device::FirmwareUpgrade) {
        statusBar()->showMessage(QStringLiteral("A firmware upgrade is under way: calibration upload not started"));
        return true;
    }
    return false;
}
