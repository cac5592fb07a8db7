// Port list, opening and closing the port, and the instrument's reset and
// restart announcements.

#include "mainwindow.h"

#include "device/device-serial.h"
#include "device/log-categories.h"
#include "device/port-list.h"
#include "device/port-reconnect.h"
#include "settings-keys.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QSerialPort>
#include <QSettings>

void MainWindow::serialPortsRefreshButtonClicked()
{
    reconnector->stop();
    const QString remembered = settings->value(SettingsKeys::SerialPortName, QStringLiteral("COM1")).toString();
    const QVector<PortEntry> entries = availablePortEntries();
    ui->serialPortCombo->clear();
    for (int i = 0; i < entries.size(); ++i) {
        ui->serialPortCombo->addItem(entries.at(i).displayText, entries.at(i).portName);
        if (entries.at(i).portName == remembered)
            ui->serialPortCombo->setCurrentIndex(i);
    }
}

void MainWindow::serialPortOpenButtonClicked()
{
    if (device)
        return;
    const QString name = ui->serialPortCombo->currentData().toString();
    if (name.isEmpty())
        return;
    // The operator's choice ends any wait for a lost port, and any instrument goes.
    reconnector->stop();
    reconnectSerial.clear();
    openPortNamed(name);
}

bool MainWindow::openPortNamed(const QString &name)
{
    qCDebug(lcUi) << "Opening port" << name << "...";
    device = new Device(this);
    if (!device->openPort(name)) {
        // The attempt's Device goes at once, so Open can be tried again.
        const QString reason = portOpenError(name, device->port ? device->port->errorString() : QString());
        device->close();
        device->deleteLater();
        device = nullptr;
        statusBar()->showMessage(QStringLiteral("Cannot open port %1: %2").arg(name, reason));
        return false;
    }

    openPortName = name;
    updateAvailability(true);
    settings->setValue(SettingsKeys::SerialPortName, name);
    statusBar()->showMessage(QStringLiteral("Ready"));
    connectDevice();
    return true;
}

void MainWindow::portLost(const QString &reason)
{
    if (!device)
        return;
    // The instrument that was there is the one to find again.
    if (device->isIdentified)
        reconnectSerial = device->serialNumber;
    const QString path = openPortName;
    if (!PortReconnector::canReturn(path)) {
        endConnection(QStringLiteral("Connection lost: %1").arg(reason));
        return;
    }
    const QString waiting = QStringLiteral("Connection lost: %1; waiting for %2 to return").arg(reason, path);
    endConnection(waiting);
    reconnector->start(path, [this, waiting](const QString &name) {
        if (device)
            return false;
        if (openPortNamed(name))
            return true;
        statusBar()->showMessage(waiting);
        return false;
    });
}

void MainWindow::connectDevice()
{
    connect(device, &Device::deviceReset, this, &MainWindow::deviceReset);
    connect(device, &Device::deviceRestarted, this, &MainWindow::deviceRestarted);
    connect(device, &Device::identified, this, &MainWindow::deviceIdentified);
    connect(device, &Device::temperatureChanged, this, &MainWindow::temperatureChanged);
    connect(device, &Device::progress, this, &MainWindow::deviceProgress);
    connect(device, &Device::parameterReceived, this, &MainWindow::deviceParameterReceived);
    connect(device, &Device::unknownInstrument, this, &MainWindow::deviceNotRecognized);
    connect(device, &Device::transferStarted, this, [this] { setTransferRunning(true); });
    connect(device, &Device::transferEnded, this,
            [this](Device::Transfer transfer, bool succeeded, const QString &message) {
                deviceTransferEnded(transfer == Device::FirmwareUpgrade, succeeded, message);
            });
    connect(device, &Device::connectionLost, this, &MainWindow::portLost);
}

void MainWindow::serialPortCloseButtonClicked()
{
    if (!device)
        return;
    qCDebug(lcUi) << "Closing port ...";
    endConnection(QStringLiteral("Port closed"));
}

void MainWindow::endConnection(const QString &statusText)
{
    if (!device)
        return;
    device->close();
    // Lines already read must not reach the window from a connection it ended.
    device->disconnect(this);
    device->deleteLater();
    device = nullptr;
    updateAvailability(false);
    statusBar()->showMessage(statusText);
}

void MainWindow::updateAvailability(bool open)
{
    ui->serialPortCombo->setEnabled(!open);
    ui->serialPortOpenButton->setEnabled(!open);
    ui->serialPortCloseButton->setEnabled(open);
    ui->applyButton->setEnabled(open);
    ui->sensorUploadButton->setEnabled(open);
    ui->upgradeButton->setEnabled(open);
}

void MainWindow::deviceNotRecognized(const QString &answer)
{
    // Show what answered, and offer nothing that needs the instrument.
    const QStringList fields = answer.split(QLatin1Char(','));
    ui->modelValue->setText(fields.size() > 1 ? fields.at(0) + QLatin1Char(' ') + fields.at(1) : answer);
    ui->serialNumberValue->setText(fields.value(2, QStringLiteral("-")));
    ui->versionValue->setText(fields.value(3, QStringLiteral("-")));
    ui->applyButton->setEnabled(false);
    ui->sensorUploadButton->setEnabled(false);
    ui->upgradeButton->setEnabled(false);
    getParametersStage = -1;
    statusBar()->showMessage(QStringLiteral("Not a VKRHX350: %1 answered").arg(answer));
}

void MainWindow::quitTriggered()
{
    reconnector->stop();
    serialPortCloseButtonClicked();
    close();
}

void MainWindow::checkForUpdatesTriggered() {}

void MainWindow::deviceReset()
{
    statusBar()->showMessage(QStringLiteral("Device reset"), 2000);
}

void MainWindow::deviceRestarted() {}
