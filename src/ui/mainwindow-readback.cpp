// Identification and the staged read-back of the instrument's settings, plus the
// ADC voltage readings that arrive through the same parameter replies.

#include "mainwindow.h"

#include "device/device-serial.h"
#include "device/protocol.h"
#include "combo-index.h"
#include "device/port-reconnect.h"
#include "ui_mainwindow.h"

#include <QDebug>

#include <cmath>
#include <limits>

void MainWindow::deviceIdentified()
{
    if (!device)
        return;
    const QString refusal = otherInstrumentMessage(openPortName, reconnectSerial, device->serialNumber);
    if (!refusal.isEmpty()) {
        // Another instrument on the returned port: closed, and no more waiting.
        endConnection(refusal);
        return;
    }
    // After a foreign answer the buttons were off; a VKRHX350 brings them back.
    updateAvailability(true);
    ui->modelValue->setText(device->model);
    ui->serialNumberValue->setText(device->serialNumber);
    ui->versionValue->setText(device->version);
    qDebug() << "Device model" << device->model << "version" << device->version
             << "serial number" << device->serialNumber;
    if (!device->managementMode) {
        getParametersStage = 0;
        getParameters();
    }
}

void MainWindow::getParameters()
{
    qDebug() << "getParameters(): getParametersStage =" << getParametersStage;
    if (unsigned(getParametersStage) >= unsigned(Protocol::ReadbackQueryCount)) {
        getParametersStage = -1;
        return;
    }
    // Paused while a transfer holds the line; its end sends this query.
    if (device && device->activeTransfer() == Device::NoTransfer)
        device->serialSendCommand(
            QString::fromLatin1(Protocol::ReadbackQueries[getParametersStage].query));
}

namespace {

void applyOutputPeriod(const QString &value, QComboBox *outputCombo, QDoubleSpinBox *periodSpin,
                       QPushButton *enableButton)
{
    bool ok = false;
    const int period = value.toInt(&ok, 10);
    if (!ok)
        return;
    if (period != 0) {
        outputCombo->setCurrentIndex(1);
        periodSpin->setValue(period);
        if (enableButton)
            enableButton->hide();
    } else {
        outputCombo->setCurrentIndex(0);
        if (enableButton)
            enableButton->show();
    }
}

void applyIndex(const QString &value, QComboBox *combo)
{
    bool ok = false;
    const int index = value.toInt(&ok, 10);
    if (ok)
        selectComboIndex(combo, index);
}

void applyDouble(const QString &value, QDoubleSpinBox *spin)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (ok && std::isfinite(number))
        spin->setValue(number);
}

} // namespace

void MainWindow::deviceParameterReceived(const QString &key, const QString &value)
{
    qDebug() << "deviceParameterReceived(): key =" << key << ", value = " << value;
    updatingFromDevice = true;

    if (key == QLatin1String("cal")) {
        for (const Protocol::SensorKeyword &sensor : Protocol::SensorKeywords) {
            if (value == QLatin1String(sensor.keyword)) {
                ui->sensorCombo->setCurrentIndex(ui->sensorCombo->findData(sensor.code));
                break;
            }
        }
        ui->sensorNameValue->setText(ui->sensorCombo->currentText());
    } else if (key == QLatin1String("rs232:period")) {
        applyOutputPeriod(value, ui->rs232AutomaticOutputCombo, ui->rs232OutputPeriodSpin,
                          ui->enableSerialOutputButton);
    } else if (key == QLatin1String("rs485:period")) {
        applyOutputPeriod(value, ui->rs485AutomaticOutputCombo, ui->rs485OutputPeriodSpin,
                          nullptr);
    } else if (key == QLatin1String("relay1:default")) {
        applyIndex(value, ui->relay1DefaultStateCombo);
    } else if (key == QLatin1String("relay2:default")) {
        applyIndex(value, ui->relay2DefaultStateCombo);
    } else if (key == QLatin1String("relay1:temp")) {
        applyDouble(value, ui->relay1TempSpin);
    } else if (key == QLatin1String("relay1:hyst")) {
        applyDouble(value, ui->relay1HystSpin);
    } else if (key == QLatin1String("relay2:temp")) {
        applyDouble(value, ui->relay2TempSpin);
    } else if (key == QLatin1String("relay2:hyst")) {
        applyDouble(value, ui->relay2HystSpin);
    } else if (key == QLatin1String("display:period")) {
        bool ok = false;
        const int period = value.toInt(&ok, 10);
        if (ok)
            ui->displayRefreshSpin->setValue(period);
    } else if (key == QLatin1String(Protocol::UncalibratedVoltageKey)) {
        bool ok = false;
        const int microvolts = value.toInt(&ok, 10);
        if (ok) {
            const double volts = microvolts / 1000000.0;
            const QString text = QString::asprintf("%8.6lf V", volts);
            if (adcMeasureTarget == 0) {
                adcMeasured1 = volts;
                ui->adcCalibrationR1->setText(text);
                adcCalibrationValueChanged(std::numeric_limits<double>::quiet_NaN());
            } else if (adcMeasureTarget == 1) {
                adcMeasured2 = volts;
                ui->adcCalibrationR2->setText(text);
                adcCalibrationValueChanged(std::numeric_limits<double>::quiet_NaN());
            }
            adcMeasureTarget = -1;
        }
    } else if (key == QLatin1String(Protocol::CalibratedVoltageKey)) {
        QString number = value;
        const char *state = "uncalibrated";
        if (number.endsWith(QLatin1String(" C"))) {
            number.chop(2);
            state = "calibrated";
        } else if (number.endsWith(QLatin1String(" U"))) {
            number.chop(2);
        }
        bool ok = false;
        const int microvolts = number.toInt(&ok, 10);
        if (ok)
            ui->adcCalibrationRealValue->setText(
                QString::asprintf("%8.6lf V (%s)", microvolts / 1000000.0, state));
    }

    updatingFromDevice = false;
    // Only the answer to the query in flight moves the read-back on: a stray
    // line (a late voltage reading, an echo) is shown as itself and skips nothing.
    if (getParametersStage >= 0 && getParametersStage < Protocol::ReadbackQueryCount
        && key == QLatin1String(Protocol::ReadbackQueries[getParametersStage].key)) {
        ++getParametersStage;
        getParameters();
    }
}
