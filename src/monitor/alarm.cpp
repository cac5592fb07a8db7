#include "monitor/alarm.h"

#include "monitor/alarm-command.h"

#include <QDateTime>
#include <QProcessEnvironment>

#include <cmath>
#include <limits>

Alarm::Alarm(const AlarmConfig &config, qint64 startMs, QObject *parent)
    : QObject(parent), m_config(config), m_lastReadingMs(startMs), m_lastValue(std::numeric_limits<double>::quiet_NaN())
{
    if (!config.command.isEmpty())
        m_command = new AlarmCommand(config.name, config.command, qRound(config.commandTimeoutSeconds * 1000), this);
}

void Alarm::reading(qint64 timeMs, double kelvin)
{
    m_lastReadingMs = timeMs;
    m_lastValue = kelvin;
    if (m_config.kind == AlarmConfig::Silence) {
        if (m_raised)
            setRaised(false, kelvin, timeMs);
        return;
    }
    if (m_config.kind != AlarmConfig::Value)
        return;
    // A state alarm: raised while the channel shows the state.
    const bool outside = m_config.hasState ? kelvin == m_config.stateValue
                                           : (m_config.hasAbove && kelvin > m_config.above)
                                                 || (m_config.hasBelow && kelvin < m_config.below);
    // Back inside only past the hysteresis band: a reading wobbling on a limit
    // does not raise and clear the alarm at every sample.
    const bool inside = m_config.hasState
                            ? !outside
                            : (!m_config.hasAbove || kelvin <= m_config.above - m_config.hysteresis)
                                  && (!m_config.hasBelow || kelvin >= m_config.below + m_config.hysteresis);
    if (outside) {
        if (m_outsideSinceMs < 0)
            m_outsideSinceMs = timeMs;
        if (!m_raised && timeMs - m_outsideSinceMs >= qint64(m_config.holdSeconds * 1000))
            setRaised(true, kelvin, timeMs);
    } else {
        m_outsideSinceMs = -1;
        if (m_raised && inside)
            setRaised(false, kelvin, timeMs);
    }
}

void Alarm::connected(qint64 timeMs)
{
    if (m_config.kind == AlarmConfig::Lost) {
        m_outsideSinceMs = -1;
        if (m_raised)
            setRaised(false, m_lastValue, timeMs);
    }
    // A gap is no silence of the instrument's own.
    m_lastReadingMs = qMax(m_lastReadingMs, timeMs);
}

void Alarm::lost(qint64 timeMs)
{
    if (m_config.kind == AlarmConfig::Lost && m_outsideSinceMs < 0)
        m_outsideSinceMs = timeMs;
    tick(timeMs);
}

void Alarm::maintenance(bool under, qint64 timeMs)
{
    m_maintenance = under;
    // The silence counts from the end of the maintenance, as from a connect.
    if (!under)
        m_lastReadingMs = qMax(m_lastReadingMs, timeMs);
}

void Alarm::tick(qint64 timeMs)
{
    switch (m_config.kind) {
    case AlarmConfig::Silence:
        if (!m_raised && !m_maintenance && timeMs - m_lastReadingMs >= qint64(m_config.silenceSeconds * 1000))
            setRaised(true, m_lastValue, timeMs);
        break;
    case AlarmConfig::Lost:
        if (!m_raised && m_outsideSinceMs >= 0 && timeMs - m_outsideSinceMs >= qint64(m_config.holdSeconds * 1000))
            setRaised(true, m_lastValue, timeMs);
        break;
    case AlarmConfig::Value:
        break;
    }
    // Someone must take a raised alarm on: until then its command runs again.
    if (m_raised && m_command && m_config.repeatSeconds > 0 && m_acknowledgedBy.isEmpty()
        && timeMs - m_lastRunMs >= qint64(m_config.repeatSeconds * 1000) && !m_command->isRunning()) {
        m_lastRunMs = timeMs;
        runCommand(true, m_lastValue, timeMs, ++m_repeats);
    }
}

bool Alarm::acknowledge(const QString &who, qint64 timeMs, QString *why)
{
    if (!m_raised) {
        *why = QStringLiteral("alarm %1 is not raised").arg(m_config.name);
        return false;
    }
    if (!m_acknowledgedBy.isEmpty()) {
        *why = QStringLiteral("alarm %1 was acknowledged already by %2 at %3")
                   .arg(m_config.name, m_acknowledgedBy,
                        QDateTime::fromMSecsSinceEpoch(m_acknowledgedMs, Qt::UTC).toString(Qt::ISODateWithMs));
        return false;
    }
    m_acknowledgedBy = who;
    m_acknowledgedMs = timeMs;
    emit acknowledged(m_config.name, m_config.instrument, who, timeMs);
    return true;
}

void Alarm::setRaised(bool raised, double value, qint64 timeMs)
{
    m_raised = raised;
    // Each raise wants its own acknowledgement.
    m_acknowledgedBy.clear();
    m_acknowledgedMs = 0;
    m_lastRunMs = timeMs;
    m_repeats = 0;
    if (raised) {
        m_raisedValue = value;
        m_raisedMs = timeMs;
    }
    emit changed(m_config.name, m_config.instrument, raised, value, timeMs);
    if (m_command)
        runCommand(raised, value, timeMs);
}

void Alarm::runCommand(bool raised, double value, qint64 timeMs, int repeat)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString state = raised ? QStringLiteral("raised") : QStringLiteral("cleared");
    environment.insert(QStringLiteral("FROSTGAUGE_ALARM"), m_config.name);
    environment.insert(QStringLiteral("FROSTGAUGE_INSTRUMENT"), m_config.instrument);
    environment.insert(QStringLiteral("FROSTGAUGE_STATE"), state);
    environment.insert(QStringLiteral("FROSTGAUGE_VALUE"),
                       std::isfinite(value) ? QString::number(value, 'f', 3) : QString());
    environment.insert(QStringLiteral("FROSTGAUGE_TIME"),
                       QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(Qt::ISODateWithMs));
    // Which run of a raise this is: 0 the first, then 1, 2 ... while unacknowledged.
    environment.insert(QStringLiteral("FROSTGAUGE_REPEAT"), QString::number(repeat));
    m_command->run(state, environment);
}
