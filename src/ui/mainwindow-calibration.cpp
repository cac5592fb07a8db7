// ADC calibration tab: two reference readings, the offset and slope computed
// from them, and the commands that send, reset and check the calibration.

#include "mainwindow.h"

#include "device/adc-calibration.h"
#include "device/device-serial.h"
#include "ui_mainwindow.h"

void MainWindow::adcCalibrationR1MeasureButtonClicked()
{
    if (!device)
        return;
    adcMeasureTarget = 0;
    device->measureUncalibrated();
}

void MainWindow::adcCalibrationR2MeasureButtonClicked()
{
    if (!device)
        return;
    adcMeasureTarget = 1;
    device->measureUncalibrated();
}

void MainWindow::adcCalibrationRealMasureButtonClicked()
{
    if (device)
        device->measureCalibrated();
}

void MainWindow::adcCalibrationButtonClicked()
{
    if (!device)
        return;
    qint32 scaledOffset = 0;
    qint32 scaledSlope = 0;
    if (!Device::scaleAdcCalibration(adcOffset, adcSlope, &scaledOffset, &scaledSlope)) {
        statusBar()->showMessage(
            QStringLiteral("Calibration not sent: offset %1 V or slope %2 is out of range")
                .arg(adcOffset)
                .arg(adcSlope));
    }
    device->sendADCCalibration(adcOffset, adcSlope);
}

void MainWindow::adcCalibrationResetButtonClicked()
{
    if (device)
        device->sendADCCalibration(0.0, 0.0);
}

void MainWindow::adcCalibrationValueChanged(double)
{
    adcReal1 = ui->adcCalibrationV1->value();
    adcReal2 = ui->adcCalibrationV2->value();
    if (!computeAdcCalibration(adcMeasured1, adcMeasured2, adcReal1, adcReal2, &adcOffset,
                               &adcSlope))
        return;
    ui->adcCalibrationSlope->setText(QString::asprintf("%11.9lf", adcSlope));
    ui->adcCalibrationOffset->setText(QString::asprintf("%8.6lf V", adcOffset));
}
