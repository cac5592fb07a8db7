// Settings widgets: each change is stored at once and, with a port open, sent
// to the instrument. Values being shown from a read-back reply are not echoed.

#include "mainwindow.h"

#include "device/device-serial.h"
#include "device/instrument-settings.h"
#include "device/protocol.h"
#include "settings-keys.h"
#include "ui_mainwindow.h"

#include <QSettings>

int MainWindow::rs232OutputPeriod() const
{
    if (ui->rs232AutomaticOutputCombo->currentData().toInt() == 0)
        return 0;
    return int(ui->rs232OutputPeriodSpin->value());
}

int MainWindow::rs485OutputPeriod() const
{
    if (ui->rs485AutomaticOutputCombo->currentData().toInt() == 0)
        return 0;
    return int(ui->rs485OutputPeriodSpin->value());
}

void MainWindow::sensorChanged(int)
{
    if (updatingFromDevice)
        return;
    const int code = ui->sensorCombo->currentData().toInt();
    settings->setValue(SettingsKeys::SensorId, code);
    ui->sensorNameValue->setText(ui->sensorCombo->currentText());
    if (const InstrumentSettings::SensorCurve *sensor = InstrumentSettings::sensorByCode(code))
        sendSetting(QString::asprintf(Protocol::SensorCommandFormat, sensor->keyword));
}

namespace {
// Stores a relay value and, with a port open, sends it: the four relay boxes
// differ only in key and command.
void storeAndSend(MainWindow *window, const char *key, double value, const char *format)
{
    if (window->updatingFromDevice)
        return;
    window->settings->setValue(QLatin1String(key), value);
    window->sendSetting(QString::asprintf(format, value));
}
} // namespace

void MainWindow::relay1TempSpinChanged(double value)
{
    storeAndSend(this, SettingsKeys::Relay1Temperature, value, Protocol::Relay1TemperatureFormat);
}

void MainWindow::relay2TempSpinChanged(double value)
{
    storeAndSend(this, SettingsKeys::Relay2Temperature, value, Protocol::Relay2TemperatureFormat);
}

void MainWindow::relay1HystSpinChanged(double value)
{
    storeAndSend(this, SettingsKeys::Relay1Hysteresis, value, Protocol::Relay1HysteresisFormat);
}

void MainWindow::relay2HystSpinChanged(double value)
{
    storeAndSend(this, SettingsKeys::Relay2Hysteresis, value, Protocol::Relay2HysteresisFormat);
}

void MainWindow::relay1DefaultStateChanged(int)
{
    if (updatingFromDevice)
        return;
    const int code = ui->relay1DefaultStateCombo->currentData().toInt();
    settings->setValue(SettingsKeys::Relay1DefaultState, code);
    sendSetting(QString::asprintf(Protocol::Relay1DefaultFormat, code));
}

void MainWindow::relay2DefaultStateChanged(int)
{
    if (updatingFromDevice)
        return;
    const int code = ui->relay2DefaultStateCombo->currentData().toInt();
    settings->setValue(SettingsKeys::Relay2DefaultState, code);
    sendSetting(QString::asprintf(Protocol::Relay2DefaultFormat, code));
}

void MainWindow::rs232AutomaticOutputChanged(int)
{
    if (updatingFromDevice)
        return;
    const int code = ui->rs232AutomaticOutputCombo->currentData().toInt();
    settings->setValue(SettingsKeys::Rs232Output, code);
    ui->enableSerialOutputButton->setVisible(code == 0);
    sendSetting(QString::asprintf(Protocol::Rs232PeriodFormat, rs232OutputPeriod()));
}

void MainWindow::rs232OutputPeriodSpinChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(SettingsKeys::Rs232OutputPeriod, ui->rs232OutputPeriodSpin->value());
    sendSetting(QString::asprintf(Protocol::Rs232PeriodFormat, rs232OutputPeriod()));
}

void MainWindow::rs485AutomaticOutputChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(SettingsKeys::Rs485Output, ui->rs485AutomaticOutputCombo->currentData().toInt());
    sendSetting(QString::asprintf(Protocol::Rs485PeriodFormat, rs485OutputPeriod()));
}

void MainWindow::rs485OutputPeriodSpinChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(SettingsKeys::Rs485OutputPeriod, ui->rs485OutputPeriodSpin->value());
    sendSetting(QString::asprintf(Protocol::Rs485PeriodFormat, rs485OutputPeriod()));
}

void MainWindow::displayRefreshSpinChanged(int value)
{
    // Stored even while a read-back reply is shown: the instrument's display
    // period is remembered, the others are not.
    settings->setValue(SettingsKeys::DisplayRefreshPeriod, value);
    if (updatingFromDevice)
        return;
    sendSetting(QString::asprintf(Protocol::DisplayPeriodFormat, value));
}

void MainWindow::sendSetting(const QString &command)
{
    if (device && !lineClosedToCommands())
        device->serialSendCommand(command);
}

void MainWindow::applyButtonClicked() {}

void MainWindow::saveButtonClicked()
{
    sendSetting(QString::fromLatin1(Protocol::Save));
}
