#include "monitor/monitor.h"

#include "monitor/alarm.h"
#include "monitor/instrument-link.h"
#include "monitor/mqtt-publisher.h"

#include <QDateTime>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// One line per event on standard error; journald adds the time.
void logLine(const QString &line)
{
    fprintf(stderr, "%s\n", qPrintable(line));
    fflush(stderr);
}

} // namespace

Monitor::Monitor(const MonitorConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_commitTimer(new QTimer(this)), m_tickTimer(new QTimer(this)),
      m_retentionTimer(new QTimer(this))
{
    connect(m_commitTimer, &QTimer::timeout, this, &Monitor::commit);
    connect(m_tickTimer, &QTimer::timeout, this, [this] {
        const qint64 now = nowMs();
        for (Alarm *alarm : qAsConst(m_alarms))
            alarm->tick(now);
    });
    connect(m_retentionTimer, &QTimer::timeout, this, &Monitor::applyRetention);
}

bool Monitor::start()
{
    if (!m_store.openForWriting(m_config.storePath)) {
        m_error = m_store.error();
        return false;
    }
    if (m_config.mqtt.enabled) {
        QStringList names;
        for (const InstrumentConfig &instrument : qAsConst(m_config.instruments))
            names << instrument.name;
        m_mqtt = new MqttPublisher(m_config.mqtt, &m_store, names, this);
        connect(m_mqtt, &MqttPublisher::logLine, this, &logLine);
        if (!m_mqtt->start(&m_error))
            return false;
    }
    const qint64 started = nowMs();
    for (const AlarmConfig &alarmConfig : qAsConst(m_config.alarms)) {
        auto *alarm = new Alarm(alarmConfig, started, this);
        connect(
            alarm, &Alarm::changed, this,
            [this](const QString &name, const QString &instrument, const QString &state, double value, qint64 timeMs) {
                const QString detail =
                    std::isfinite(value) ? QStringLiteral("%1 at %2 K").arg(name).arg(value, 0, 'f', 3) : name;
                m_store.addEvent(instrument, timeMs, QStringLiteral("alarm ") + state, detail);
                if (m_mqtt)
                    m_mqtt->publishAlarm(instrument, name, state, value, timeMs);
                logLine(QStringLiteral("%1: alarm %2 %3").arg(instrument, detail, state));
            });
        m_alarms.append(alarm);
    }
    record(QString(), QStringLiteral("monitor started"),
           QStringLiteral("%1 instrument(s), %2 alarm(s)").arg(m_config.instruments.size()).arg(m_alarms.size()));
    for (const InstrumentConfig &instrumentConfig : qAsConst(m_config.instruments)) {
        auto *link = new InstrumentLink(instrumentConfig, this);
        connect(link, &InstrumentLink::reading, this, &Monitor::reading);
        connect(link, &InstrumentLink::event, this, &Monitor::record);
        connect(link, &InstrumentLink::identity, this,
                [this](const QString &instrument, const QString &model, const QString &serialNumber,
                       const QString &version) {
                    if (m_mqtt)
                        m_mqtt->publishInfo(instrument, model, serialNumber, version);
                });
        m_links.append(link);
    }
    m_commitTimer->start(CommitIntervalMs);
    m_tickTimer->start(200);
    if (m_config.retentionDays > 0) {
        applyRetention();
        m_retentionTimer->start(3600 * 1000);
    }
    for (InstrumentLink *link : qAsConst(m_links))
        link->start();
    commit();
    return true;
}

void Monitor::stop()
{
    for (InstrumentLink *link : qAsConst(m_links))
        link->stop();
    record(QString(), QStringLiteral("monitor stopped"), QString());
    commit();
    if (m_mqtt)
        m_mqtt->stop();
}

void Monitor::record(const QString &instrument, const QString &kind, const QString &detail)
{
    const qint64 now = nowMs();
    m_store.addEvent(instrument, now, kind, detail);
    logLine(instrument.isEmpty()
                ? QStringLiteral("%1%2").arg(kind, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail)
                : QStringLiteral("%1: %2%3")
                      .arg(instrument, kind, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
    if (m_mqtt && !instrument.isEmpty()) {
        if (kind == QLatin1String("connected"))
            m_mqtt->publishStatus(instrument, QStringLiteral("online"));
        else if (kind == QLatin1String("lost") || kind == QLatin1String("refused"))
            m_mqtt->publishStatus(instrument, kind);
    }
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->config().instrument != instrument)
            continue;
        if (kind == QLatin1String("connected"))
            alarm->connected(now);
        else if (kind == QLatin1String("lost") || kind == QLatin1String("refused"))
            alarm->lost(now);
        else if (kind == QLatin1String("maintenance") || kind == QLatin1String("maintenance ended"))
            alarm->maintenance(kind == QLatin1String("maintenance"), now);
    }
}

void Monitor::reading(const QString &instrument, qint64 timeMs, double kelvin)
{
    // The sequence number is given as the reading enters the store's queue, and
    // the reading goes to the broker at once, not with the store's batch.
    qint64 storedMs = timeMs;
    const qint64 seq = m_store.addReading(instrument, timeMs, kelvin, &storedMs);
    if (m_mqtt)
        m_mqtt->publishReading(instrument, storedMs, kelvin, seq);
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->config().instrument == instrument)
            alarm->reading(timeMs, kelvin);
    }
}

void Monitor::commit()
{
    if (m_store.commit()) {
        if (m_storeFailing)
            logLine(QStringLiteral("store: writing again"));
        m_storeFailing = false;
        return;
    }
    // Kept queued and tried again at the next commit; said once, not every half second.
    if (!m_storeFailing)
        logLine(QStringLiteral("store: %1 (readings are kept in memory and written when it works again)")
                    .arg(m_store.error()));
    m_storeFailing = true;
}

void Monitor::applyRetention()
{
    qint64 deleted = 0;
    const qint64 cutoff = nowMs() - qint64(m_config.retentionDays) * 24 * 3600 * 1000;
    if (m_store.deleteReadingsBefore(cutoff, &deleted) && deleted > 0)
        logLine(QStringLiteral("store: %1 readings older than %2 days deleted (the per-minute rows stay)")
                    .arg(deleted)
                    .arg(m_config.retentionDays));
}
