#include "drivers/vkrhx350/vkrhx350-driver.h"

#include "device/device-serial.h"
#include "device/instrument-settings.h"
#include "device/protocol.h"
#include "drivers/port-stream.h"

#include <QTimer>

Vkrhx350Driver::Vkrhx350Driver(const DriverOptions &options, QObject *parent)
    : InstrumentDriver(parent), m_options(options), m_maintenanceLimit(new QTimer(this))
{
    m_maintenanceLimit->setSingleShot(true);
    m_maintenanceLimit->setInterval(options.maintenanceLimitSeconds * 1000);
    connect(m_maintenanceLimit, &QTimer::timeout, this, &Vkrhx350Driver::maintenanceOverdue);
}

QVector<InstrumentChannel> Vkrhx350Driver::channels() const
{
    return {{QString(), QStringLiteral("K"), ColdestKelvin, HottestKelvin}};
}

bool Vkrhx350Driver::open(const QString &port)
{
    auto *device = new Device(this);
    if (PortStream::isTcp(port)) {
        // A serial server or ser2net: the instrument's bytes as on its port,
        // once the connection is made. The stream goes with the device.
        auto *stream = new PortStream(device);
        QString why;
        if (!stream->open(port, SerialLine(), &why)) {
            device->deleteLater();
            return false;
        }
        connect(stream, &PortStream::opened, device, [device, stream] {
            stream->handOver();
            device->openLink(stream->device());
        });
        connect(stream, &PortStream::lost, this, [this, device](const QString &reason) {
            if (m_device == device)
                portLost(reason);
        });
    } else if (!device->openPort(port)) {
        device->close();
        device->deleteLater();
        return false;
    }
    m_device = device;
    m_accepted = false;
    device->setStrictReadings(true);
    connect(device, &Device::identified, this, &Vkrhx350Driver::identified);
    connect(device, &Device::unknownInstrument, this, [this](const QString &answer) {
        emit refused(QStringLiteral("not a VKRHX350 (%1 answered)").arg(answer));
    });
    connect(device, &Device::temperatureChanged, this, [this](double kelvin) {
        if (m_accepted)
            emit reading(0, kelvin);
    });
    connect(device, &Device::connectionLost, this, [this, device](const QString &reason) {
        if (m_device == device)
            portLost(reason);
    });
    connect(device, &Device::parameterReceived, this, [this](const QString &key, const QString &value) {
        m_settings.insert(key.trimmed(), value.trimmed());
        readBackNext(key.trimmed());
    });
    // Restarted on a port that stayed (a power cycle behind a powered adapter):
    // what the configuration sets is set again once the instrument answers.
    connect(device, &Device::deviceRestarted, this, [this] { m_restarted = m_accepted && !m_maintenance; });
    // A reset that a client asked for, or that its exchange led to.
    connect(device, &Device::deviceReset, this, [this] {
        if (m_client)
            startMaintenance(QStringLiteral("the instrument restarts for a client of %1").arg(m_options.share));
    });
    connect(device, &Device::bytesReceived, this, &InstrumentDriver::received);
    updateListenOnly();
    return true;
}

void Vkrhx350Driver::close()
{
    m_accepted = false;
    if (!m_device)
        return;
    m_device->disconnect(this);
    m_device->close();
    m_device->deleteLater();
    m_device = nullptr;
}

void Vkrhx350Driver::stop()
{
    m_maintenanceLimit->stop();
    close();
}

void Vkrhx350Driver::portLost(const QString &reason)
{
    m_accepted = false;
    if (m_device) {
        m_device->disconnect(this);
        m_device->deleteLater();
        m_device = nullptr;
    }
    emit lost(reason);
}

void Vkrhx350Driver::identifyAgain()
{
    if (m_device && !m_device->isListeningOnly())
        m_device->serialSendCommand(QString::fromLatin1(Protocol::OpeningSequence));
}

void Vkrhx350Driver::setClientPresent(bool present)
{
    m_client = present;
    updateListenOnly();
    // A client that left in the middle of its maintenance may have heard the
    // instrument's return for itself: the monitor asks where it stands.
    if (!present && m_maintenance && m_device)
        m_device->serialSendCommand(QString::fromLatin1(Protocol::IdentifyQuery));
}

void Vkrhx350Driver::clientLine(const QByteArray &line)
{
    if (!m_device)
        return;
    if (line == Protocol::SystemReset)
        startMaintenance(QStringLiteral("a client of %1 reset the instrument").arg(m_options.share));
    QString value;
    if (const InstrumentSettings::Setting *setting = InstrumentSettings::fromCommand(line, &value)) {
        // A change is an event; the same value sent again (a client repeating
        // itself) is not.
        const QString key = QLatin1String(setting->key);
        const QString before = m_settings.value(key, QStringLiteral("unknown"));
        if (before != value)
            emit event(EventKind::Setting, QStringLiteral("%1: %2 -> %3").arg(key, before, value));
        m_settings.insert(key, value);
    }
    m_device->forwardBytes(line);
}

qint64 Vkrhx350Driver::bytesNotYetSent() const
{
    return m_device ? m_device->bytesNotYetSent() : 0;
}

void Vkrhx350Driver::identified()
{
    if (!m_device)
        return;
    const bool management = m_device->inManagementMode();
    if (m_accepted) {
        // Identified again: by a client's query, or after a restart.
        if (m_restarted && !m_maintenance && !management) {
            m_restarted = false;
            sendConfiguredSettings();
        }
        if (m_maintenance && !management)
            endMaintenance();
        else if (management && m_client)
            startMaintenance(
                QStringLiteral("a client of %1 put the instrument in its management firmware").arg(m_options.share));
        else if (management)
            startApplication();
        return;
    }
    const QString problem = identityProblem(m_device->identity());
    if (!problem.isEmpty()) {
        emit refused(problem);
        return;
    }
    emit answered();
    // Found in its management firmware: a client of the shared port may be
    // in the middle of something; with nobody there, it is started, as when a
    // client leaves it so, and asked again after the maintenance's limit.
    if (management) {
        if (m_client)
            startMaintenance(
                QStringLiteral("a client of %1 put the instrument in its management firmware").arg(m_options.share));
        else
            startApplication();
        return;
    }
    m_accepted = true;
    // Back in its application after the port was lost during a maintenance.
    if (m_maintenance) {
        m_maintenance = false;
        m_maintenanceLimit->stop();
        updateListenOnly();
        emit event(EventKind::MaintenanceEnded, backInApplication());
    }
    emit connected(m_device->identity());
    if (!m_device)
        return;
    sendConfiguredSettings();
    if (isShared()) {
        m_readBack = 0;
        m_device->serialSendCommand(QString::fromLatin1(InstrumentSettings::Settings[0].query));
    }
}

void Vkrhx350Driver::startMaintenance(const QString &why)
{
    if (m_maintenance)
        return;
    m_maintenance = true;
    emit event(EventKind::Maintenance, why);
    updateListenOnly();
    m_maintenanceLimit->start();
}

void Vkrhx350Driver::maintenanceOverdue()
{
    if (!m_maintenance)
        return;
    m_maintenance = false;
    updateListenOnly();
    emit event(EventKind::MaintenanceEnded,
               QStringLiteral("not back in its application %1 s after the maintenance began; it may need a person "
                              "(silence alarms count again)")
                   .arg(m_options.maintenanceLimitSeconds));
    // Asked where it stands: one left in its management firmware is started.
    if (m_device && !m_client)
        m_device->serialSendCommand(QString::fromLatin1(Protocol::IdentifyQuery));
}

void Vkrhx350Driver::endMaintenance()
{
    m_maintenance = false;
    m_maintenanceLimit->stop();
    updateListenOnly();
    const QString problem = identityProblem(m_device->identity());
    if (!problem.isEmpty()) {
        emit refused(problem);
        return;
    }
    emit event(EventKind::MaintenanceEnded, backInApplication());
    emit identityChanged(m_device->identity());
    sendConfiguredSettings();
}

void Vkrhx350Driver::startApplication()
{
    // Nobody is there to finish what was begun in the management firmware:
    // the instrument goes back to measuring, which the history says.
    const QString why = QStringLiteral("in its management firmware with no client; starting its application");
    if (m_maintenance)
        emit event(EventKind::Maintenance, why);
    else
        startMaintenance(why);
    m_device->serialSendCommand(QString::fromLatin1(Protocol::Boot));
}

QString Vkrhx350Driver::backInApplication() const
{
    const InstrumentIdentity identity = m_device->identity();
    return QStringLiteral("%1 version %2 back in its application").arg(identity.model, identity.version);
}

void Vkrhx350Driver::updateListenOnly()
{
    if (m_device)
        m_device->setListeningOnly(m_maintenance && m_client);
}

void Vkrhx350Driver::sendConfiguredSettings()
{
    // Only what the configuration asks for is set, at every connect and after
    // every restart (a restarted instrument may have forgotten it).
    if (m_options.periodMs > 0)
        m_device->serialSendCommand(QString::asprintf(Protocol::Rs232PeriodFormat, m_options.periodMs));
}

void Vkrhx350Driver::readBackNext(const QString &answeredKey)
{
    if (m_readBack < 0 || !m_device || answeredKey != QLatin1String(InstrumentSettings::Settings[m_readBack].key))
        return;
    if (++m_readBack >= InstrumentSettings::SettingCount) {
        m_readBack = -1;
        return;
    }
    m_device->serialSendCommand(QString::fromLatin1(InstrumentSettings::Settings[m_readBack].query));
}
