#include "monitor/instrument-link.h"

#include "monitor/shared-port.h"

#include "device/device-serial.h"
#include "device/instrument-settings.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"
#include "history/history-time.h"

#include <QDateTime>
#include <QSerialPort>

InstrumentLink::InstrumentLink(const InstrumentConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_reconnector(new PortReconnector(this)), m_knownSerial(config.serial)
{}

void InstrumentLink::start()
{
    if (!m_config.share.isEmpty())
        share();
    if (!open(m_config.port)) {
        m_lastProblem = QStringLiteral("cannot open %1").arg(m_config.port);
        emit event(m_config.name, EventKind::Lost, QStringLiteral("%1; waiting for it").arg(m_lastProblem));
        waitForPort();
    }
}

void InstrumentLink::share()
{
    m_share = new SharedPort(m_config.share, m_config.port, this);
    QString error;
    if (!m_share->open(&error)) {
        // Logging goes on without the shared port.
        emit event(m_config.name, EventKind::Share, QStringLiteral("not shared: %1").arg(error));
        delete m_share;
        m_share = nullptr;
        return;
    }
    connect(m_share, &SharedPort::clientConnected, this, [this] {
        emit event(m_config.name, EventKind::Client, QStringLiteral("connected to %1").arg(m_config.share));
        updateListenOnly();
    });
    connect(m_share, &SharedPort::clientDisconnected, this, [this] {
        emit event(m_config.name, EventKind::Client, QStringLiteral("left %1").arg(m_config.share));
        updateListenOnly();
        // A client that left in the middle of its maintenance may have heard the
        // instrument's return for itself: the monitor asks where it stands.
        if (m_maintenance && m_device)
            m_device->serialSendCommand(QString::fromLatin1(Protocol::IdentifyQuery));
    });
    connect(m_share, &SharedPort::clientLine, this, &InstrumentLink::clientLine);
    connect(m_share, &SharedPort::failed, this, [this](const QString &why) {
        emit event(m_config.name, EventKind::Share, QStringLiteral("no longer shared: %1").arg(why));
    });
}

void InstrumentLink::clientLine(const QByteArray &line)
{
    // With the instrument away the line has nowhere to go; the client's own
    // time-out tells it so.
    if (!m_device)
        return;
    if (line == Protocol::SystemReset)
        startMaintenance(QStringLiteral("a client of %1 reset the instrument").arg(m_config.share));
    QString value;
    if (const InstrumentSettings::Setting *setting = InstrumentSettings::fromCommand(line, &value)) {
        const QString key = QLatin1String(setting->key);
        emit event(m_config.name, EventKind::Setting,
                   QStringLiteral("%1: %2 -> %3").arg(key, m_settings.value(key, QStringLiteral("unknown")), value));
        m_settings.insert(key, value);
    }
    m_device->forwardBytes(line);
}

void InstrumentLink::startMaintenance(const QString &why)
{
    if (m_maintenance)
        return;
    m_maintenance = true;
    emit event(m_config.name, EventKind::Maintenance, why);
    updateListenOnly();
}

void InstrumentLink::endMaintenance()
{
    m_maintenance = false;
    updateListenOnly();
    const QString other = otherInstrumentMessage(m_config.port, m_knownSerial, m_device->serialNumber);
    if (!other.isEmpty()) {
        refuse(other);
        return;
    }
    emit event(m_config.name, EventKind::MaintenanceEnded, backInApplication());
    emit identity(m_config.name, m_device->identity());
    sendConfiguredSettings();
}

void InstrumentLink::sendConfiguredSettings()
{
    // Only what the configuration asks for is set, at every connect and after
    // every restart (a restarted instrument may have forgotten it).
    if (m_config.period > 0)
        m_device->serialSendCommand(QString::asprintf(Protocol::Rs232PeriodFormat, m_config.period));
}

QString InstrumentLink::backInApplication() const
{
    return QStringLiteral("%1 version %2 back in its application").arg(m_device->model, m_device->version);
}

void InstrumentLink::updateListenOnly()
{
    if (m_device)
        m_device->listenOnly = m_maintenance && m_share && m_share->hasClient();
}

void InstrumentLink::reportRejected()
{
    if (m_rejected.count == 0)
        return;
    emit event(m_config.name, EventKind::ReadingsRejected,
               QStringLiteral("%1 value(s) from %2 to %3 that no sensor of the instrument reports, the first %4 K")
                   .arg(m_rejected.count)
                   .arg(isoTime(m_rejected.firstMs), isoTime(m_rejected.lastMs))
                   .arg(m_rejected.firstValue, 0, 'g', 6));
    m_rejected = Rejected();
}

void InstrumentLink::stop()
{
    reportRejected();
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
        if (!m_connected)
            return;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (kelvin > 0 && kelvin <= HottestKelvin) {
            reportRejected();
            emit reading(m_config.name, now, kelvin);
            return;
        }
        // A value no sensor of this instrument reports (a corrupted line, a
        // broken sensor): not a reading, so nothing misleading reaches alarms,
        // summaries or subscribers. Said once per burst.
        if (m_rejected.count++ == 0) {
            m_rejected.firstMs = now;
            m_rejected.firstValue = kelvin;
        }
        m_rejected.lastMs = now;
    });
    connect(device, &Device::connectionLost, this, &InstrumentLink::lost);
    connect(device, &Device::parameterReceived, this, [this](const QString &key, const QString &value) {
        m_settings.insert(key.trimmed(), value.trimmed());
        readBackNext(key.trimmed());
    });
    // Restarted on a port that stayed (a power cycle behind a powered adapter):
    // what the configuration sets is set again once the instrument answers.
    connect(device, &Device::deviceRestarted, this, [this] { m_restarted = m_connected && !m_maintenance; });
    // A reset that a client asked for, or that its exchange led to.
    connect(device, &Device::deviceReset, this, [this] {
        if (m_share && m_share->hasClient())
            startMaintenance(QStringLiteral("the instrument restarts for a client of %1").arg(m_config.share));
    });
    if (m_share) {
        // Everything the instrument says reaches the client too, as it came.
        connect(device, &Device::bytesReceived, m_share, &SharedPort::send);
    }
    updateListenOnly();
    return true;
}

void InstrumentLink::identified()
{
    if (!m_device)
        return;
    if (m_connected) {
        // Identified again: by a client's query, or after a restart.
        if (m_restarted && !m_maintenance && !m_device->managementMode) {
            m_restarted = false;
            sendConfiguredSettings();
        }
        if (m_maintenance && !m_device->managementMode)
            endMaintenance();
        else if (m_device->managementMode && m_share && m_share->hasClient())
            startMaintenance(
                QStringLiteral("a client of %1 put the instrument in its management firmware").arg(m_config.share));
        return;
    }
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
    // Back in its application after the port was lost during a maintenance.
    if (m_maintenance) {
        m_maintenance = false;
        updateListenOnly();
        emit event(m_config.name, EventKind::MaintenanceEnded, backInApplication());
    }
    emit event(m_config.name, EventKind::Connected,
               QStringLiteral("%1 %2, serial number %3, version %4")
                   .arg(m_device->manufacturer, m_device->model, m_device->serialNumber, m_device->version));
    emit identity(m_config.name, m_device->identity());
    sendConfiguredSettings();
    if (m_share) {
        m_readBack = 0;
        m_device->serialSendCommand(QString::fromLatin1(InstrumentSettings::Settings[0].query));
    }
}

void InstrumentLink::readBackNext(const QString &answeredKey)
{
    if (m_readBack < 0 || !m_device || answeredKey != QLatin1String(InstrumentSettings::Settings[m_readBack].key))
        return;
    if (++m_readBack >= InstrumentSettings::SettingCount) {
        m_readBack = -1;
        return;
    }
    m_device->serialSendCommand(QString::fromLatin1(InstrumentSettings::Settings[m_readBack].query));
}

void InstrumentLink::refuse(const QString &why)
{
    // The same refusal every ten seconds is one event, not thousands a day.
    if (why != m_lastProblem)
        emit event(m_config.name, EventKind::Refused, why);
    m_lastProblem = why;
    stop();
    waitForPort(PortReconnector::LongestDelayMs);
}

void InstrumentLink::lost(const QString &reason)
{
    reportRejected();
    const bool wasConnected = m_connected;
    m_connected = false;
    if (m_device) {
        m_device->disconnect(this);
        m_device->deleteLater();
        m_device = nullptr;
    }
    if (wasConnected || reason != m_lastProblem)
        emit event(m_config.name, EventKind::Lost, reason);
    m_lastProblem = reason;
    waitForPort();
}

void InstrumentLink::waitForPort(int firstDelayMs)
{
    m_connected = false;
    if (!PortReconnector::canReturn(m_config.port)) {
        emit event(m_config.name, EventKind::Lost,
                   QStringLiteral("%1 is a pseudo-terminal, which does not come back; give a link to it "
                                  "(socat link=, frostgauge-sim --link) to have it reopened")
                       .arg(m_config.port));
        return;
    }
    m_reconnector->start(
        m_config.port, [this](const QString &path) { return open(path); }, firstDelayMs);
}
