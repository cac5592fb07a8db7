// ADC calibration tab: two reference readings, the offset and slope computed
// from them, and the commands that send, reset and check the calibration.

#include "mainwindow.h"

#include "device/adc-calibration.h"
#include "device/device-serial.h"
#include "device/wire-values.h"
#include "ui_mainwindow.h"

namespace {
// A reading normally answers within milliseconds; after this a missing one no
// longer blocks the buttons.
constexpr qint64 MeasureAnswerMs = 3000;
} // namespace

void MainWindow::measureReference(int target)
{
    if (!device || lineClosedToCommands())
        return;
    // The answer carries no reference number: while one is awaited, a second
    // press would make it land on the other reference and swap the two.
    if (adcMeasureTarget != -1 && adcMeasureClock.isValid() && adcMeasureClock.elapsed() < MeasureAnswerMs) {
        statusBar()->showMessage(QStringLiteral("Waiting for the reading of reference %1").arg(adcMeasureTarget + 1),
                                 2000);
        return;
    }
    if (!device->measureUncalibrated()) {
        adcMeasureTarget = -1;
        return;
    }
    adcMeasureTarget = target;
    adcMeasureClock.start();
}

void MainWindow::adcCalibrationR1MeasureButtonClicked()
{
    measureReference(0);
}

void MainWindow::adcCalibrationR2MeasureButtonClicked()
{
    measureReference(1);
}

void MainWindow::adcCalibrationRealMasureButtonClicked()
{
    if (device && !lineClosedToCommands())
        device->measureCalibrated();
}

void MainWindow::adcCalibrationButtonClicked()
{
    if (!device || lineClosedToCommands())
        return;
    qint32 scaledOffset = 0;
    qint32 scaledSlope = 0;
    if (!scaleAdcCalibration(adcOffset, adcSlope, &scaledOffset, &scaledSlope)) {
        statusBar()->showMessage(QStringLiteral("Calibration not sent: offset %1 V or slope %2 is out of range")
                                     .arg(adcOffset)
                                     .arg(adcSlope));
    }
    device->sendADCCalibration(adcOffset, adcSlope);
}

void MainWindow::adcCalibrationResetButtonClicked()
{
    if (device && !lineClosedToCommands())
        device->sendADCCalibration(0.0, 0.0);
}

void MainWindow::adcCalibrationValueChanged(double)
{
    adcReal1 = ui->adcCalibrationV1->value();
    adcReal2 = ui->adcCalibrationV2->value();
    if (!computeAdcCalibration(adcMeasured1, adcMeasured2, adcReal1, adcReal2, &adcOffset, &adcSlope))
        return;
    ui->adcCalibrationSlope->setText(QString::asprintf("%11.9lf", adcSlope));
    ui->adcCalibrationOffset->setText(QString::asprintf("%8.6lf V", adcOffset));
}
