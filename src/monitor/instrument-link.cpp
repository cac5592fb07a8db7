#include "monitor/instrument-link.h"

#include "monitor/shared-port.h"

#include "device/port-reconnect.h"
#include "history/history-time.h"

#include <QTimer>

InstrumentLink::InstrumentLink(const InstrumentConfig &config, InstrumentDriver *driver, Clock clock, QObject *parent)
    : QObject(parent), m_config(config), m_driver(driver), m_channels(driver->channels()), m_clock(std::move(clock)),
      m_reconnector(new PortReconnector(this)), m_knownSerial(config.serial), m_feedTimer(new QTimer(this)),
      m_identifyTimer(new QTimer(this))
{
    m_driver->setParent(this);
    m_driver->setIdentityCheck([this](const InstrumentIdentity &identity) {
        return otherInstrumentMessage(m_config.port, m_knownSerial, identity.serialNumber);
    });
    connect(m_driver, &InstrumentDriver::answered, this, [this] {
        m_identifyTimer->stop();
        m_identifyWaitMs = FirstIdentifyWaitMs;
    });
    connect(m_driver, &InstrumentDriver::connected, this, &InstrumentLink::connected);
    connect(m_driver, &InstrumentDriver::identityChanged, this,
            [this](const InstrumentIdentity &identity) { emit this->identity(m_config.name, identity); });
    connect(m_driver, &InstrumentDriver::refused, this, &InstrumentLink::refuse);
    connect(m_driver, &InstrumentDriver::lost, this, &InstrumentLink::lost);
    connect(m_driver, &InstrumentDriver::reading, this, &InstrumentLink::driverReading);
    connect(m_driver, &InstrumentDriver::event, this,
            [this](EventKind kind, const QString &detail) { emit event(m_config.name, kind, detail); });
    // The port's queue is looked at again this often while a client's lines wait.
    m_feedTimer->setInterval(5);
    m_feedTimer->setSingleShot(true);
    connect(m_feedTimer, &QTimer::timeout, this, &InstrumentLink::feedInstrument);
    m_identifyTimer->setSingleShot(true);
    connect(m_identifyTimer, &QTimer::timeout, this, &InstrumentLink::identifyAgain);
}

QString InstrumentLink::seriesName(int channel) const
{
    return channelSeriesName(m_config.name, m_channels.at(channel).name);
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
    m_driver->setShared(true);
    // Everything the instrument says reaches the client too, as it came.
    connect(m_driver, &InstrumentDriver::received, m_share, &SharedPort::send);
    connect(m_share, &SharedPort::clientConnected, this, [this] {
        emit event(m_config.name, EventKind::Client, QStringLiteral("connected to %1").arg(m_config.share));
        m_driver->setClientPresent(true);
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
    m_driver->setClientPresent(false);
}

void InstrumentLink::clientLine(const QByteArray &line)
{
    // With the instrument away the line has nowhere to go; the client's own
    // time-out tells it so.
    if (!m_driver->isOpen())
        return;
    m_clientLines.push_back(line);
    m_clientBytes += line.size();
    feedInstrument();
}

void InstrumentLink::feedInstrument()
{
    while (!m_clientLines.empty() && m_driver->isOpen() && m_driver->bytesNotYetSent() < ClientBytesInFlight) {
        const QByteArray line = m_clientLines.front();
        m_clientLines.pop_front();
        m_clientBytes -= line.size();
        forwardClientLine(line);
    }
    if (!m_driver->isOpen()) {
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
    m_driver->clientLine(line);
    m_sinceClientLine.start();
    // What comes from now on may answer this client: it hears it. (Answers
    // to the one that left still on their way then are at most the few bytes
    // that were in flight.)
    if (m_share)
        m_share->quietFor(0);
}

void InstrumentLink::reportRejected()
{
    if (m_rejected.count == 0)
        return;
    emit event(m_config.name, EventKind::ReadingsRejected,
               QStringLiteral("%1 value(s) from %2 to %3 that no sensor of the instrument reports, the first %4 %5")
                   .arg(m_rejected.count)
                   .arg(isoTime(m_rejected.firstMs), isoTime(m_rejected.lastMs))
                   .arg(m_rejected.firstValue, 0, 'g', 6)
                   .arg(m_rejected.unit));
    m_rejected = Rejected();
}

void InstrumentLink::stop()
{
    reportRejected();
    m_reconnector->stop();
    m_identifyTimer->stop();
    m_feedTimer->stop();
    m_driver->stop();
}

bool InstrumentLink::open(const QString &path)
{
    if (!m_driver->open(path))
        return false;
    m_identifyTimer->start(m_identifyWaitMs);
    return true;
}

void InstrumentLink::driverReading(int channel, double value)
{
    // Readings count only from an instrument that is the configured one.
    if (!m_connected || channel < 0 || channel >= m_channels.size())
        return;
    const InstrumentChannel &about = m_channels.at(channel);
    const qint64 now = m_clock();
    if (about.holds(value)) {
        reportRejected();
        emit reading(seriesName(channel), now, value, about.unit);
        return;
    }
    // A value no sensor of this instrument reports (a corrupted line, a
    // broken sensor): not a reading, so nothing misleading reaches alarms,
    // summaries or subscribers. Said once per burst.
    if (m_rejected.count++ == 0) {
        m_rejected.firstMs = now;
        m_rejected.firstValue = value;
        m_rejected.unit = about.unit;
    }
    m_rejected.lastMs = now;
    // Nothing but such values: its status says so now, not when it stops.
    if (m_rejected.count == ImpossibleRunToSay)
        emit event(m_config.name, EventKind::OnlyImpossible,
                   QStringLiteral("%1 values in a row since %2 that no sensor of the instrument reports, the first %3 "
                                  "%4; no reading is taken until it sends a possible one")
                       .arg(m_rejected.count)
                       .arg(isoTime(m_rejected.firstMs))
                       .arg(m_rejected.firstValue, 0, 'g', 6)
                       .arg(m_rejected.unit));
}

void InstrumentLink::identifyAgain()
{
    if (m_connected || !m_driver->isOpen())
        return;
    // Said once for a silent stretch; it is asked again, each time after
    // twice the wait, as a lost port is looked for.
    if (m_identifyWaitMs == FirstIdentifyWaitMs)
        emit event(m_config.name, EventKind::NoAnswer,
                   QStringLiteral("to identification on %1; asking again").arg(m_config.port));
    m_identifyWaitMs = qMin(2 * m_identifyWaitMs, int(PortReconnector::LongestDelayMs));
    m_driver->identifyAgain();
    m_identifyTimer->start(m_identifyWaitMs);
}

void InstrumentLink::connected(const InstrumentIdentity &identity)
{
    m_knownSerial = identity.serialNumber;
    m_connected = true;
    m_identifyTimer->stop();
    m_identifyWaitMs = FirstIdentifyWaitMs;
    m_lastProblem.clear();
    // An instrument that does not tell all of it (a line instrument) leaves out what it did not tell.
    QString detail = QStringList{identity.manufacturer, identity.model}.join(QLatin1Char(' ')).trimmed();
    if (!identity.serialNumber.isEmpty())
        detail += QStringLiteral(", serial number ") + identity.serialNumber;
    if (!identity.version.isEmpty())
        detail += QStringLiteral(", version ") + identity.version;
    emit event(m_config.name, EventKind::Connected, detail);
    emit this->identity(m_config.name, identity);
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
