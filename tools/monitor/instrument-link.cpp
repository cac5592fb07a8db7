#include "instrument-link.h"

#include "device/device-serial.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"

#include <QDateTime>
#include <QSerialPort>

InstrumentLink::InstrumentLink(const InstrumentConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_reconnector(new PortReconnector(this)), m_knownSerial(config.serial)
{}

void InstrumentLink::start()
{
    if (!open(m_config.port)) {
        m_lastProblem = QStringLiteral("cannot open %1").arg(m_config.port);
        emit event(m_config.name, QStringLiteral("lost"), QStringLiteral("%1; waiting for it").arg(m_lastProblem));
        waitForPort();
    }
}

void InstrumentLink::stop()
{
    m_reconnector->stop();
    if (m_device) {
        m_device->disconnect(this);
        m_device->close();
        m_device->deleteLater();
        m_device = nullptr;
    }
}

bool InstrumentLink::open(const QString &path)
{
    auto *device = new Device(this);
    if (!device->openPort(path)) {
        device->close();
        device->deleteLater();
        return false;
    }
    m_device = device;
    connect(device, &Device::identified, this, &InstrumentLink::identified);
    connect(device, &Device::unknownInstrument, this,
            [this](const QString &answer) { refuse(QStringLiteral("not a VKRHX350 (%1 answered)").arg(answer)); });
    connect(device, &Device::temperatureChanged, this, [this](double kelvin) {
        // Readings count only from an instrument that is the configured one.
        if (m_connected)
            emit reading(m_config.name, QDateTime::currentMSecsSinceEpoch(), kelvin);
    });
    connect(device, &Device::connectionLost, this, &InstrumentLink::lost);
    return true;
}

void InstrumentLink::identified()
{
    if (!m_device || m_connected)
        return;
    if (m_device->managementMode) {
        refuse(QStringLiteral("the instrument is in its management firmware"));
        return;
    }
    const QString other = otherInstrumentMessage(m_config.port, m_knownSerial, m_device->serialNumber);
    if (!other.isEmpty()) {
        refuse(other);
        return;
    }
    m_knownSerial = m_device->serialNumber;
    m_connected = true;
    m_lastProblem.clear();
    emit event(m_config.name, QStringLiteral("connected"),
               QStringLiteral("%1 %2, serial number %3, version %4")
                   .arg(m_device->manufacturer, m_device->model, m_device->serialNumber, m_device->version));
    emit identity(m_config.name, m_device->model, m_device->serialNumber, m_device->version);
    // Only what the configuration asks for goes to the instrument.
    if (m_config.period > 0)
        m_device->serialSendCommand(QString::asprintf(Protocol::Rs232PeriodFormat, m_config.period));
}

void InstrumentLink::refuse(const QString &why)
{
    // The same refusal every ten seconds is one event, not thousands a day.
    if (why != m_lastProblem)
        emit event(m_config.name, QStringLiteral("refused"), why);
    m_lastProblem = why;
    stop();
    waitForPort(PortReconnector::LongestDelayMs);
}

void InstrumentLink::lost(const QString &reason)
{
    const bool wasConnected = m_connected;
    m_connected = false;
    if (m_device) {
        m_device->disconnect(this);
        m_device->deleteLater();
        m_device = nullptr;
    }
    if (wasConnected || reason != m_lastProblem)
        emit event(m_config.name, QStringLiteral("lost"), reason);
    m_lastProblem = reason;
    waitForPort();
}

void InstrumentLink::waitForPort(int firstDelayMs)
{
    m_connected = false;
    if (!PortReconnector::canReturn(m_config.port)) {
        emit event(m_config.name, QStringLiteral("lost"),
                   QStringLiteral("%1 is a pseudo-terminal, which does not come back; give a link to it "
                                  "(socat link=, frostgauge-sim --link) to have it reopened")
                       .arg(m_config.port));
        return;
    }
    m_reconnector->start(
        m_config.port, [this](const QString &path) { return open(path); }, firstDelayMs);
}
