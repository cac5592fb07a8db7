// Identification and the staged read-back of the instrument's settings, plus the
// ADC voltage readings that arrive through the same parameter replies.

#include "mainwindow.h"

#include "combo-index.h"
#include "device/device-serial.h"
#include "device/instrument-settings.h"
#include "device/log-categories.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"
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
    qCDebug(lcUi) << "Device model" << device->model << "version" << device->version << "serial number"
                  << device->serialNumber;
    if (!device->managementMode) {
        getParametersStage = 0;
        getParameters();
    }
}

void MainWindow::getParameters()
{
    qCDebug(lcUi) << "getParameters(): getParametersStage =" << getParametersStage;
    if (unsigned(getParametersStage) >= unsigned(InstrumentSettings::SettingCount)) {
        getParametersStage = -1;
        return;
    }
    // Paused while a transfer holds the line; its end sends this query.
    if (device && device->activeTransfer() == Device::NoTransfer)
        device->serialSendCommand(QString::fromLatin1(InstrumentSettings::Settings[getParametersStage].query));
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
    qCDebug(lcUi) << "deviceParameterReceived(): key =" << key << ", value = " << value;
    updatingFromDevice = true;

    // Which widgets show which setting; how a value is read follows its kind.
    const struct {
        const char *key;
        QComboBox *combo;
        QDoubleSpinBox *spin;
        QPushButton *enableButton;
    } shownBy[] = {
        {"cal", ui->sensorCombo, nullptr, nullptr},
        {"rs232:period", ui->rs232AutomaticOutputCombo, ui->rs232OutputPeriodSpin, ui->enableSerialOutputButton},
        {"rs485:period", ui->rs485AutomaticOutputCombo, ui->rs485OutputPeriodSpin, nullptr},
        {"relay1:default", ui->relay1DefaultStateCombo, nullptr, nullptr},
        {"relay1:temp", nullptr, ui->relay1TempSpin, nullptr},
        {"relay1:hyst", nullptr, ui->relay1HystSpin, nullptr},
        {"relay2:default", ui->relay2DefaultStateCombo, nullptr, nullptr},
        {"relay2:temp", nullptr, ui->relay2TempSpin, nullptr},
        {"relay2:hyst", nullptr, ui->relay2HystSpin, nullptr},
        {"display:period", nullptr, nullptr, nullptr},
    };
    using InstrumentSettings::Kind;
    const InstrumentSettings::Setting *setting = InstrumentSettings::find(key);
    if (setting) {
        for (const auto &widgets : shownBy) {
            if (key != QLatin1String(widgets.key))
                continue;
            switch (setting->kind) {
            case Kind::Sensor:
                if (const InstrumentSettings::SensorCurve *sensor = InstrumentSettings::sensorByKeyword(value))
                    ui->sensorCombo->setCurrentIndex(ui->sensorCombo->findData(sensor->code));
                ui->sensorNameValue->setText(ui->sensorCombo->currentText());
                break;
            case Kind::Period:
                applyOutputPeriod(value, widgets.combo, widgets.spin, widgets.enableButton);
                break;
            case Kind::State:
                applyIndex(value, widgets.combo);
                break;
            case Kind::Temperature:
                applyDouble(value, widgets.spin);
                break;
            case Kind::Display: {
                bool ok = false;
                const int period = value.toInt(&ok, 10);
                if (ok)
                    ui->displayRefreshSpin->setValue(period);
                break;
            }
            }
        }
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
            ui->adcCalibrationRealValue->setText(QString::asprintf("%8.6lf V (%s)", microvolts / 1000000.0, state));
    }

    updatingFromDevice = false;
    // Only the answer to the query in flight moves the read-back on: a stray
    // line (a late voltage reading, an echo) is shown as itself and skips nothing.
    if (getParametersStage >= 0 && getParametersStage < InstrumentSettings::SettingCount
        && key == QLatin1String(InstrumentSettings::Settings[getParametersStage].key)) {
        ++getParametersStage;
        getParameters();
    }
}
