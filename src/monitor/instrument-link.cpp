#include "monitor/instrument-link.h"

#include "monitor/shared-port.h"

#include "device/device-serial.h"
#include "device/instrument-settings.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"
#include "history/history-time.h"

#include <QDateTime>
#include <QSerialPort>
#include <QTimer>

InstrumentLink::InstrumentLink(const InstrumentConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_reconnector(new PortReconnector(this)), m_knownSerial(config.serial),
      m_feedTimer(new QTimer(this)), m_maintenanceLimit(new QTimer(this)), m_identifyTimer(new QTimer(this))
{
    // The port's queue is looked at again this often while a client's lines wait.
    m_feedTimer->setInterval(5);
    m_feedTimer->setSingleShot(true);
    connect(m_feedTimer, &QTimer::timeout, this, &InstrumentLink::feedInstrument);
    m_maintenanceLimit->setSingleShot(true);
    m_maintenanceLimit->setInterval(config.maintenanceLimitSeconds * 1000);
    connect(m_maintenanceLimit, &QTimer::timeout, this, &InstrumentLink::maintenanceOverdue);
    m_identifyTimer->setSingleShot(true);
    connect(m_identifyTimer, &QTimer::timeout, this, &InstrumentLink::identifyAgain);
}

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
    connect(m_share, &SharedPort::clientDisconnected, this, &InstrumentLink::clientLeft);
    connect(m_share, &SharedPort::clientLine, this, &InstrumentLink::clientLine);
    connect(m_share, &SharedPort::clientsCollided, this, [this] {
        emit event(m_config.name, EventKind::Client,
                   QStringLiteral("two clients had %1 open at once; both were hung up").arg(m_config.share));
    });
    connect(m_share, &SharedPort::failed, this, [this](const QString &why) {
        emit event(m_config.name, EventKind::Share, QStringLiteral("no longer shared: %1").arg(why));
    });
}

void InstrumentLink::clientLeft()
{
    // What it wrote and the instrument did not take yet goes with it.
    m_clientLines.clear();
    m_clientBytes = 0;
    m_feedTimer->stop();
    if (m_sinceClientLine.isValid() && !m_sinceClientLine.hasExpired(AnswerWindowMs))
        m_share->quietFor(int(AnswerWindowMs - m_sinceClientLine.elapsed()));
    emit event(m_config.name, EventKind::Client, QStringLiteral("left %1").arg(m_config.share));
    updateListenOnly();
    // A client that left in the middle of its maintenance may have heard the
    // instrument's return for itself: the monitor asks where it stands.
    if (m_maintenance && m_device)
        m_device->serialSendCommand(QString::fromLatin1(Protocol::IdentifyQuery));
}

void InstrumentLink::clientLine(const QByteArray &line)
{
    // With the instrument away the line has nowhere to go; the client's own
    // time-out tells it so.
    if (!m_device)
        return;
    m_clientLines.push_back(line);
    m_clientBytes += line.size();
    feedInstrument();
}

void InstrumentLink::feedInstrument()
{
    while (!m_clientLines.empty() && m_device && m_device->bytesNotYetSent() < ClientBytesInFlight) {
        const QByteArray line = m_clientLines.front();
        m_clientLines.pop_front();
        m_clientBytes -= line.size();
        forwardClientLine(line);
    }
    if (!m_device) {
        m_clientLines.clear();
        m_clientBytes = 0;
    }
    if (m_share)
        m_share->setPaused(m_clientBytes >= ClientBacklogBytes);
    if (!m_clientLines.empty() && !m_feedTimer->isActive())
        m_feedTimer->start();
}

void InstrumentLink::forwardClientLine(const QByteArray &line)
{
    if (line == Protocol::SystemReset)
        startMaintenance(QStringLiteral("a client of %1 reset the instrument").arg(m_config.share));
    QString value;
    if (const InstrumentSettings::Setting *setting = InstrumentSettings::fromCommand(line, &value)) {
        // A change is an event; the same value sent again (a client repeating
        // itself) is not.
        const QString key = QLatin1String(setting->key);
        const QString before = m_settings.value(key, QStringLiteral("unknown"));
        if (before != value)
            emit event(m_config.name, EventKind::Setting, QStringLiteral("%1: %2 -> %3").arg(key, before, value));
        m_settings.insert(key, value);
    }
    m_device->forwardBytes(line);
    m_sinceClientLine.start();
    // What comes from now on may answer this client: it hears it. (Answers
    // to the one that left still on their way then are at most the few bytes
    // that were in flight.)
    if (m_share)
        m_share->quietFor(0);
}

void InstrumentLink::startMaintenance(const QString &why)
{
    if (m_maintenance)
        return;
    m_maintenance = true;
    emit event(m_config.name, EventKind::Maintenance, why);
    updateListenOnly();
    m_maintenanceLimit->start();
}

void InstrumentLink::maintenanceOverdue()
{
    if (!m_maintenance)
        return;
    m_maintenance = false;
    updateListenOnly();
    emit event(m_config.name, EventKind::MaintenanceEnded,
               QStringLiteral("not back in its application %1 s after the maintenance began; it may need a person "
                              "(silence alarms count again)")
                   .arg(m_config.maintenanceLimitSeconds));
    // Asked where it stands: one left in its management firmware is started.
    if (m_device && !(m_share && m_share->hasClient()))
        m_device->serialSendCommand(QString::fromLatin1(Protocol::IdentifyQuery));
}

void InstrumentLink::endMaintenance()
{
    m_maintenance = false;
    m_maintenanceLimit->stop();
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
    m_identifyTimer->stop();
    m_feedTimer->stop();
    m_maintenanceLimit->stop();
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
    m_identifyTimer->start(m_identifyWaitMs);
    return true;
}

void InstrumentLink::identifyAgain()
{
    if (m_connected || !m_device)
        return;
    // Said once for a silent stretch; it is asked again, each time after
    // twice the wait, as a lost port is looked for.
    if (m_identifyWaitMs == FirstIdentifyWaitMs)
        emit event(m_config.name, EventKind::NoAnswer,
                   QStringLiteral("to identification on %1; asking again").arg(m_config.port));
    m_identifyWaitMs = qMin(2 * m_identifyWaitMs, int(PortReconnector::LongestDelayMs));
    if (!m_device->listenOnly)
        m_device->serialSendCommand(QString::fromLatin1(Protocol::OpeningSequence));
    m_identifyTimer->start(m_identifyWaitMs);
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
        const bool client = m_share && m_share->hasClient();
        if (m_maintenance && !m_device->managementMode)
            endMaintenance();
        else if (m_device->managementMode && client)
            startMaintenance(
                QStringLiteral("a client of %1 put the instrument in its management firmware").arg(m_config.share));
        else if (m_device->managementMode)
            startApplication();
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
    m_identifyTimer->stop();
    m_identifyWaitMs = FirstIdentifyWaitMs;
    m_lastProblem.clear();
    // Back in its application after the port was lost during a maintenance.
    if (m_maintenance) {
        m_maintenance = false;
        m_maintenanceLimit->stop();
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

void InstrumentLink::startApplication()
{
    // Nobody is there to finish what was begun in the management firmware:
    // the instrument goes back to measuring, which the history says.
    const QString why = QStringLiteral("in its management firmware with no client; starting its application");
    if (m_maintenance)
        emit event(m_config.name, EventKind::Maintenance, why);
    else
        startMaintenance(why);
    m_device->serialSendCommand(QString::fromLatin1(Protocol::Boot));
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
    m_identifyTimer->stop();
    m_identifyWaitMs = FirstIdentifyWaitMs;
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
