#include "monitor/monitor.h"

#include "monitor/alarm-command.h"
#include "monitor/alarm.h"
#include "monitor/archive/remote-source.h"
#include "monitor/archive/replay-responder.h"
#include "monitor/common/monitor-log.h"
#include "monitor/instrument-link.h"
#include "monitor/mqtt/mqtt-publisher.h"
#include "monitor/remote-write/remote-writer.h"
#include "monitor/web/monitor-web.h"

#include "drivers/driver-registry.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMetaMethod>
#include <QTimer>

#include <cmath>
#include <utility>

namespace {

void logLine(const QString &line)
{
    qCInfo(lcMonitor).noquote() << line;
}

} // namespace

Monitor::Monitor(const MonitorConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_clock(&QDateTime::currentMSecsSinceEpoch),
      m_driverFactory([](const InstrumentConfig &instrument) {
          DriverOptions options;
          options.periodMs = instrument.period;
          options.share = instrument.share;
          options.maintenanceLimitSeconds = instrument.maintenanceLimitSeconds;
          options.protocol = instrument.protocol;
          options.channels = instrument.channels;
          return createInstrumentDriver(instrument.driver, options);
      }),
      m_commitTimer(new QTimer(this)), m_tickTimer(new QTimer(this)), m_retentionTimer(new QTimer(this)),
      m_storeWatch(new QTimer(this)), m_commitSoon(new QTimer(this))
{
    m_commitSoon->setSingleShot(true);
    connect(m_commitSoon, &QTimer::timeout, this, &Monitor::commit);
    connect(m_storeWatch, &QTimer::timeout, this, &Monitor::watchStore);
    connect(m_storeWatch, &QTimer::timeout, this, &Monitor::passOnNotes);
    m_monotonic.start();
    connect(m_commitTimer, &QTimer::timeout, this, &Monitor::commit);
    connect(m_tickTimer, &QTimer::timeout, this, [this] {
        const qint64 now = m_clock();
        watchStall();
        watchClock(now);
        for (Alarm *alarm : qAsConst(m_alarms))
            alarm->tick(now);
        for (RemoteSource *source : qAsConst(m_sources))
            source->tick(now);
    });
    connect(m_retentionTimer, &QTimer::timeout, this, &Monitor::applyRetention);
}

void Monitor::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void Monitor::setDriverFactory(DriverFactory factory)
{
    m_driverFactory = std::move(factory);
}

bool Monitor::start()
{
    // Run by hand, the store's folder may not be there yet (systemd's
    // StateDirectory= makes the unit's): made when it can be.
    const QString folder = QFileInfo(m_config.storePath).absolutePath();
    if (!QFileInfo::exists(folder) && !QDir().mkpath(folder)) {
        qCCritical(lcMonitor).noquote()
            << QStringLiteral("cannot make the store's folder %1: this user may not write where it goes; give [store] "
                              "path= a folder of yours, or run the service with systemd (its StateDirectory= makes "
                              "/var/lib/frostgauge)")
                   .arg(folder);
        return false;
    }
    if (!m_store.openForWriting(m_config.storePath)) {
        qCCritical(lcMonitor).noquote() << m_store.error();
        return false;
    }
    // While the store cannot be written, five minutes of every instrument at
    // its rate (the fastest output, ten a second, when the configuration does
    // not set it) wait in memory; older ones are dropped and counted.
    int perFiveMinutes = 0;
    for (const InstrumentConfig &instrument : qAsConst(m_config.instruments))
        perFiveMinutes += 300 * (instrument.period > 0 ? 1000 / instrument.period : 10);
    // An archive's answers come in bursts of many thousands between commits;
    // what it drops while its store cannot be written, it asks for again.
    if (!m_config.sources.isEmpty())
        perFiveMinutes += ArchiveWaitingReadings;
    m_store.setMaxWaitingReadings(qMax(MinWaitingReadings, perFiveMinutes));
    // Each series' unit is kept with it, for those who read the store.
    for (const SeriesInfo &series : m_config.localSeries())
        m_store.setUnit(series.name, series.unit);
    if (m_config.mqtt.enabled)
        startMqtt();
    if (m_config.http.enabled && !startWeb())
        return false;
    // Notes written before this start went out then (or never will).
    m_lastNoteId = m_store.lastEventId();
    startAlarms();
    record(QString(), EventKind::MonitorStarted,
           m_config.sources.isEmpty()
               ? QStringLiteral("%1 instrument(s), %2 alarm(s)").arg(m_config.instruments.size()).arg(m_alarms.size())
               : QStringLiteral("%1 instrument(s), %2 source(s), %3 alarm(s)")
                     .arg(m_config.instruments.size())
                     .arg(m_config.sources.size())
                     .arg(m_alarms.size()));
    startArchive();
    if (m_config.remoteWrite.enabled && !startRemoteWrite())
        return false;
    if (m_mqtt && !m_mqtt->start(!m_sources.isEmpty()))
        return false;
    if (!startLinks())
        return false;
    m_commitTimer->start(CommitIntervalMs);
    m_storeWatch->start(StoreWatchIntervalMs);
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

void Monitor::startMqtt()
{
    const QVector<SeriesInfo> series = m_config.localSeries();
    QStringList names;
    for (const SeriesInfo &info : series)
        names << info.name;
    m_mqtt = new MqttPublisher(m_config.mqtt, &m_store, series, this);
    connect(m_mqtt, &MqttPublisher::storeCommitWanted, this, &Monitor::commit);
    // Any monitor answers an archive's requests for what it missed.
    m_replays = new ReplayResponder(m_config.mqtt, &m_store, names, m_mqtt->client(), this);
    connect(m_replays, &ReplayResponder::storeCommitWanted, this, &Monitor::commit);
    connect(this, &Monitor::readingDurable, m_mqtt, &MqttPublisher::publishReading);
    connect(this, &Monitor::statusChanged, m_mqtt, &MqttPublisher::publishStatus);
    connect(this, &Monitor::identityKnown, m_mqtt, &MqttPublisher::publishInfo);
    connect(this, &Monitor::alarmChanged, m_mqtt,
            [this](const QString &alarm, const QString &instrument, bool raised, double value, qint64 timeMs) {
                m_mqtt->publishAlarm(instrument, alarm, raised, value, timeMs);
            });
    connect(
        this, &Monitor::alarmAcknowledged, m_mqtt,
        [this](const QString &alarm, const QString &instrument, const QString &who, qint64 timeMs, double raisedValue,
               qint64 raisedMs) { m_mqtt->publishAlarm(instrument, alarm, true, raisedValue, raisedMs, who, timeMs); });
    connect(this, &Monitor::notePassedOn, m_mqtt,
            [this](const QString &instrument, qint64 timeMs, const QString &text, const QString &author) {
                // An archived instrument's note is its source's to publish.
                if (!instrument.contains(QLatin1Char('/')))
                    m_mqtt->publishNote(instrument, timeMs, text, author);
            });
}

bool Monitor::startWeb()
{
    m_web = new MonitorWeb(m_config, &m_store, this);
    QString error;
    if (!m_web->start(&error)) {
        qCCritical(lcMonitor).noquote() << QStringLiteral("%1 (in %2)").arg(error, m_config.path);
        return false;
    }
    for (const HttpListen &listen : qAsConst(m_config.http.listen))
        logLine(QStringLiteral("http: serving on %1://%2")
                    .arg(m_config.http.tls() ? QLatin1String("https") : QLatin1String("http"), listen.text()));
    for (const QString &warning : qAsConst(m_config.warnings))
        logLine(warning);
    m_web->setWriters([this](const QString &instrument, qint64 timeMs, const QString &text,
                             const QString &author) { return writeNote(instrument, timeMs, text, author); },
                      [this](const QString &alarm, const QString &who, const QString &note) {
                          return acknowledge(alarm, who, note);
                      });
    connect(this, &Monitor::readingDurable, m_web, &MonitorWeb::reading);
    connect(this, &Monitor::sourceReading, m_web, &MonitorWeb::reading);
    connect(this, &Monitor::statusChanged, m_web, [this](const QString &instrument, InstrumentStatus status) {
        m_web->status(instrument, instrumentStatusName(status));
    });
    connect(this, &Monitor::identityKnown, m_web, &MonitorWeb::identity);
    connect(this, &Monitor::alarmChanged, m_web, &MonitorWeb::alarm);
    connect(this, &Monitor::alarmAcknowledged, m_web,
            [this](const QString &alarm, const QString &, const QString &who, qint64 timeMs) {
                m_web->acknowledged(alarm, who, timeMs);
            });
    connect(this, &Monitor::notePassedOn, m_web, &MonitorWeb::note);
    return true;
}

void Monitor::startAlarms()
{
    const qint64 started = m_clock();
    for (const AlarmConfig &alarmConfig : qAsConst(m_config.alarms)) {
        auto *alarm = new Alarm(alarmConfig, started, this);
        connect(alarm, &Alarm::changed, this, &Monitor::onAlarmChanged);
        connect(alarm, &Alarm::acknowledged, this, &Monitor::onAlarmAcknowledged);
        m_alarms.append(alarm);
    }
}

bool Monitor::startLinks()
{
    for (const InstrumentConfig &instrumentConfig : qAsConst(m_config.instruments)) {
        InstrumentDriver *driver = m_driverFactory(instrumentConfig);
        if (!driver) {
            qCCritical(lcMonitor).noquote() << QStringLiteral("%1: no driver %2 (in %3)")
                                                   .arg(instrumentConfig.name, instrumentConfig.driver, m_config.path);
            return false;
        }
        auto *link = new InstrumentLink(instrumentConfig, driver, m_clock, this);
        connect(link, &InstrumentLink::reading, this, &Monitor::reading);
        connect(link, &InstrumentLink::event, this, &Monitor::record);
        connect(link, &InstrumentLink::identity, this, &Monitor::identityKnown);
        m_links.append(link);
    }
    return true;
}

void Monitor::startArchive()
{
    for (const SourceConfig &sourceConfig : qAsConst(m_config.sources)) {
        auto *source = new RemoteSource(sourceConfig, &m_store, m_mqtt->client(), this);
        m_sources.append(source);
        if (m_web) {
            for (const QString &name : source->instruments())
                m_web->addInstrument(name);
            connect(source, &RemoteSource::instrumentAdded, m_web, &MonitorWeb::addInstrument);
            connect(source, &RemoteSource::status, m_web, &MonitorWeb::status);
            connect(source, &RemoteSource::identity, m_web, &MonitorWeb::identity);
            connect(source, &RemoteSource::alarm, m_web, &MonitorWeb::alarm);
            connect(source, &RemoteSource::acknowledged, m_web, &MonitorWeb::acknowledged);
            connect(source, &RemoteSource::unitKnown, m_web, &MonitorWeb::setUnit);
        }
        connect(source, &RemoteSource::unitKnown, this,
                [this](const QString &instrument, const QString &unit) { m_remoteUnits.insert(instrument, unit); });
        connect(source, &RemoteSource::event, this, &Monitor::recordRemote);
        connect(source, &RemoteSource::storeCommitWanted, this, &Monitor::commit);
        connect(source, &RemoteSource::reading, this,
                [this](const QString &instrument, qint64 timeMs, double value, qint64 seq) {
                    m_newReadings = true;
                    emit sourceReading(instrument, timeMs, value, seq);
                    feedAlarms(instrument, timeMs, value);
                });
    }
}

bool Monitor::startRemoteWrite()
{
    m_remote = new RemoteWriter(m_config.remoteWrite, &m_store, m_config.localSeries(), m_clock, this);
    connect(m_remote, &RemoteWriter::storeCommitWanted, this, &Monitor::commit);
    connect(m_remote, &RemoteWriter::event, this,
            [this](EventKind kind, const QString &detail) { record(QString(), kind, detail); });
    // Readings go from the store once committed: a commit of new ones sends them.
    connect(this, &Monitor::readingDurable, m_remote, &RemoteWriter::readingsStored);
    connect(this, &Monitor::sourceReading, m_remote, &RemoteWriter::readingsStored);
    QString why;
    if (!m_remote->start(&why)) {
        qCCritical(lcMonitor).noquote() << QStringLiteral("[remote_write]: %1").arg(why);
        return false;
    }
    return true;
}

void Monitor::stopAlarmCommands()
{
    // A command still running (a mailer that hangs) ends with the monitor,
    // children and all, and the log says so. They run side by side, so they
    // share one grace: twenty hanging commands hold the stop no longer than one.
    const QDeadlineTimer grace(AlarmCommand::StopGraceMs);
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->command())
            alarm->command()->stop(grace);
    }
}

bool Monitor::stop(const QString &reason)
{
    for (InstrumentLink *link : qAsConst(m_links))
        link->stop();
    stopAlarmCommands();
    record(QString(), EventKind::MonitorStopped, reason);
    commit();
    if (m_mqtt)
        m_mqtt->stop();
    if (m_web)
        m_web->stop();
    if (m_storeLost || !m_storeFailing)
        return !m_storeLost;
    const HistoryStore::Dropped dropped = m_store.takeDropped();
    qCCritical(lcMonitor).noquote() << QStringLiteral(
                                           "store: %1; %2 readings and %3 events that could not be written are lost%4")
                                           .arg(m_store.error())
                                           .arg(m_store.waitingReadings())
                                           .arg(m_store.waitingEvents())
                                           .arg(dropped.count > 0
                                                    ? QStringLiteral(", and before them ")
                                                          + droppedText(dropped, QStringLiteral("dropped"))
                                                    : QString());
    return false;
}

void Monitor::onAlarmChanged(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs)
{
    // An archive's channel in its unit, as the source said it.
    const auto remoteUnit = m_remoteUnits.constFind(instrument);
    const QString valueText = remoteUnit == m_remoteUnits.constEnd()
                                  ? m_config.valueText(instrument, value)
                                  : QStringLiteral("%1 %2").arg(QString::number(value, 'g', 6), *remoteUnit).trimmed();
    const QString detail = std::isfinite(value) ? QStringLiteral("%1 at %2").arg(name, valueText) : name;
    m_store.addEvent(instrument, timeMs, raised ? EventKind::AlarmRaised : EventKind::AlarmCleared, detail);
    emit alarmChanged(name, instrument, raised, value, timeMs);
    logLine(QStringLiteral("%1: alarm %2 %3")
                .arg(instrument, detail, raised ? QLatin1String("raised") : QLatin1String("cleared")));
}

void Monitor::onAlarmAcknowledged(const QString &name, const QString &instrument, const QString &who, qint64 timeMs)
{
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->config().name == name)
            emit alarmAcknowledged(name, instrument, who, timeMs, alarm->raisedValue(), alarm->raisedMs());
    }
}

QString Monitor::acknowledge(const QString &name, const QString &who, const QString &note)
{
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->config().name != name)
            continue;
        const qint64 now = m_clock();
        QString why;
        if (!alarm->acknowledge(who, now, &why))
            return why;
        const QString detail = note.isEmpty() ? name : QStringLiteral("%1: %2").arg(name, note);
        m_store.addEvent(alarm->config().instrument, now, EventKind::AlarmAcknowledged, detail, who);
        logLine(
            QStringLiteral("%1: alarm %2 acknowledged by %3%4")
                .arg(alarm->config().instrument, name, who, note.isEmpty() ? QString() : QStringLiteral(": ") + note));
        commit();
        return QString();
    }
    return QStringLiteral("alarm %1 is not this monitor's own (a source's alarm is acknowledged at its monitor)")
        .arg(name);
}

QString Monitor::writeNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author)
{
    m_store.addEvent(instrument, timeMs, EventKind::Note, text, author);
    commit();
    if (m_storeFailing)
        return QStringLiteral("the note waits in memory: %1").arg(m_failureCause);
    passOnNotes();
    return QString();
}

void Monitor::passOnNotes()
{
    if (m_storeLost)
        return;
    m_store.eventsAfter(m_lastNoteId, EventKind::Note, 100, [this](qint64 id, const StoredEvent &note) {
        m_lastNoteId = id;
        logLine(QStringLiteral("%1note by %2 at %3: %4")
                    .arg(note.instrument.isEmpty() ? QString() : note.instrument + QStringLiteral(": "),
                         note.author.isEmpty() ? QStringLiteral("someone") : note.author, isoTime(note.timeMs),
                         note.detail));
        emit notePassedOn(note.instrument, note.timeMs, note.detail, note.author);
    });
}

void Monitor::record(const QString &instrument, EventKind kind, const QString &detail)
{
    const qint64 now = m_clock();
    const QString name = eventKindName(kind);
    m_store.addEvent(instrument, now, kind, detail);
    logLine(instrument.isEmpty()
                ? QStringLiteral("%1%2").arg(name, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail)
                : QStringLiteral("%1: %2%3")
                      .arg(instrument, name, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
    emit eventRecorded(instrument, now, kind, detail);
    if (!instrument.isEmpty())
        updateStatus(instrument, kind);
    alarmEvent(instrument, kind, now);
}

void Monitor::updateStatus(const QString &instrument, EventKind kind)
{
    InstrumentStatus status;
    if (!statusAfterEvent(kind, &status))
        return;
    const auto known = m_statuses.constFind(instrument);
    if (known != m_statuses.constEnd() && *known == status)
        return;
    m_statuses.insert(instrument, status);
    emit statusChanged(instrument, status);
}

void Monitor::alarmEvent(const QString &instrument, EventKind kind, qint64 now)
{
    for (Alarm *alarm : qAsConst(m_alarms)) {
        // A channel's alarm hears its instrument's events.
        const QString &series = alarm->config().instrument;
        if (series != instrument && !series.startsWith(instrument + QLatin1Char(':')))
            continue;
        if (kind == EventKind::Connected || kind == EventKind::AnsweringAgain)
            alarm->connected(now);
        else if (isLossEvent(kind))
            alarm->lost(now);
        else if (isMaintenanceEvent(kind))
            alarm->maintenance(kind == EventKind::Maintenance, now);
    }
}

void Monitor::recordRemote(const QString &instrument, EventKind kind, const QString &detail)
{
    const qint64 now = m_clock();
    m_store.addEvent(instrument, now, kind, detail);
    logLine(QStringLiteral("%1: %2: %3").arg(instrument, eventKindName(kind), detail));
    emit eventRecorded(instrument, now, kind, detail);
    alarmEvent(instrument, kind, now);
}

void Monitor::reading(const QString &series, qint64 timeMs, double value, const QString &unit)
{
    // The sequence number is given as the reading enters the store's queue.
    // It leaves the process only once the store holds it: a monitor killed
    // before the commit starts again from the last committed number, which
    // then was never seen outside. So a reading someone follows live goes out
    // after a commit at the next pass of the loop, not with the half-second batch.
    const qint64 seq = m_store.addReading(series, timeMs, value);
    m_newReadings = true;
    // A reading after nothing but impossible values: the instrument is read again.
    const auto status = m_statuses.find(series);
    if (status != m_statuses.end() && *status == InstrumentStatus::Impossible) {
        *status = InstrumentStatus::Online;
        emit statusChanged(series, InstrumentStatus::Online);
    }
    if (isSignalConnected(QMetaMethod::fromSignal(&Monitor::readingDurable))) {
        // The oldest go first, as the store drops its oldest waiting readings.
        if (int(m_unpublished.size()) >= m_store.maxWaitingReadings())
            m_unpublished.pop_front();
        m_unpublished.push_back({series, timeMs, value, seq, unit});
        if (!m_storeFailing && !m_commitSoon->isActive() && followedLive())
            m_commitSoon->start(PublishCommitDelayMs);
    }
    feedAlarms(series, timeMs, value);
    // Readings faster than the half-second batch (a flood through a
    // pseudo-terminal or a network) are committed before they reach the
    // bound, beyond which the oldest would go.
    if (!m_storeFailing && m_store.waitingReadings() >= m_store.maxWaitingReadings() / 2)
        commit();
}

bool Monitor::followedLive() const
{
    return (m_mqtt && m_mqtt->isConnected()) || (m_web && m_web->hasLiveClients()) || (!m_web && !m_mqtt && !m_remote);
}

void Monitor::feedAlarms(const QString &instrument, qint64 timeMs, double value)
{
    for (Alarm *alarm : qAsConst(m_alarms)) {
        if (alarm->config().instrument == instrument)
            alarm->reading(timeMs, value);
    }
}

void Monitor::commit()
{
    // Nothing goes into a store that was deleted or replaced under us.
    if (m_storeLost)
        return;
    if (m_store.commit()) {
        publishCommitted();
        // The retention counts back from the newest reading: the first
        // readings of this run (after a monitor that was off for weeks) let
        // the older ones go without waiting for the hour.
        if (m_newReadings && !m_prunedAfterNewReadings && m_config.retentionDays > 0) {
            m_prunedAfterNewReadings = true;
            QTimer::singleShot(0, this, &Monitor::applyRetention);
        }
        const bool recovered = m_storeFailing;
        if (recovered) {
            m_storeFailing = false;
            m_droppingSaid = false;
            logLine(QStringLiteral("store: writing again"));
        }
        // Every drop is said, with the numbers it cost: a gap in seq is
        // either in the store's history as such, or was never a reading.
        const HistoryStore::Dropped dropped = m_store.takeDropped();
        if (dropped.count > 0) {
            record(QString(), EventKind::ReadingsDropped,
                   droppedText(dropped,
                               recovered
                                   ? QStringLiteral("while the store could not be written (%1)").arg(m_failureCause)
                                   : QStringLiteral("faster than the store took them")));
            m_store.commit();
        }
        return;
    }
    // Kept queued and tried again at the next commit; said once, not every half second.
    if (!m_storeFailing) {
        m_failureCause = m_store.error();
        logLine(QStringLiteral("store: %1 (readings wait in memory, %2 at the most, and are written when it works "
                               "again)")
                    .arg(m_failureCause)
                    .arg(m_store.maxWaitingReadings()));
    }
    m_storeFailing = true;
    if (!m_droppingSaid && m_store.waitingReadings() >= m_store.maxWaitingReadings()) {
        m_droppingSaid = true;
        logLine(QStringLiteral("store: %1 readings waiting; the oldest are dropped from now on")
                    .arg(m_store.waitingReadings()));
    }
}

QString Monitor::droppedText(const HistoryStore::Dropped &dropped, const QString &why)
{
    QStringList numbers;
    for (auto range = dropped.seqs.constBegin(); range != dropped.seqs.constEnd(); ++range)
        numbers << QStringLiteral("%1 of %2")
                       .arg(range->first == range->second
                                ? QString::number(range->first)
                                : QStringLiteral("%1-%2").arg(range->first).arg(range->second),
                            range.key());
    return QStringLiteral("%1 readings from %2 to %3, the oldest waiting, %4%5")
        .arg(dropped.count)
        .arg(isoTime(dropped.firstMs), isoTime(dropped.lastMs), why,
             numbers.isEmpty() ? QString() : QStringLiteral("; seq ") + numbers.join(QLatin1String(", ")));
}

void Monitor::publishCommitted()
{
    // Taken first: a listener may have the monitor commit again.
    const std::deque<Unpublished> durable = std::exchange(m_unpublished, {});
    for (const Unpublished &reading : durable)
        emit readingDurable(reading.series, reading.timeMs, reading.value, reading.seq, reading.unit);
}

void Monitor::watchStall()
{
    const qint64 tick = m_monotonic.elapsed();
    if (m_lastTickMs >= 0 && tick - m_lastTickMs >= StallMs)
        record(QString(), EventKind::Stalled,
               QStringLiteral("the monitor did not run for %1 s (stopped, or the machine busy or frozen); what it "
                              "read after that carries the time it read it, not the time it was sent")
                   .arg((tick - m_lastTickMs) / 1000.0, 0, 'f', 1));
    m_lastTickMs = tick;
}

void Monitor::watchClock(qint64 now)
{
    // Readings keep the system clock's time: when it jumps (set by hand, or
    // corrected after running wrong), the history says why the curve does.
    const qint64 jump = m_clockWatch.look(now, m_monotonic.elapsed());
    if (jump != 0 && m_clockJumpedAt < 0)
        m_clockJumpedAt = now;
    if (jump != 0)
        record(QString(), EventKind::ClockJumped,
               QStringLiteral("the system clock went %1 by %2 s")
                   .arg(jump > 0 ? QLatin1String("forward") : QLatin1String("back"))
                   .arg(qAbs(jump) / 1000.0, 0, 'f', 1));
}

void Monitor::watchStore()
{
    QString why;
    if (m_store.stillAtItsPath(&why))
        return;
    // Nothing more goes into a file nobody will read again. The service
    // manager starts the monitor anew, which makes a new store at the path.
    qCCritical(lcMonitor).noquote()
        << QStringLiteral("store: %1; stopping, so that a new store is made at the path").arg(why);
    m_storeLost = true;
    for (QTimer *timer : {m_commitTimer, m_commitSoon, m_storeWatch, m_tickTimer, m_retentionTimer})
        timer->stop();
    // Its log must not be read into the file now at the path (a backup put
    // back, the new store the restarted monitor makes).
    const QString cleared = m_store.abandon();
    if (!cleared.isEmpty())
        logLine(QStringLiteral("store: %1").arg(cleared));
    for (InstrumentLink *link : qAsConst(m_links))
        link->stop();
    stopAlarmCommands();
    if (m_mqtt)
        m_mqtt->stop();
    if (m_web)
        m_web->stop();
    emit failed(1);
}

void Monitor::applyRetention()
{
    if (m_pruning || m_storeLost)
        return;
    // A clock that jumped stamped readings it cannot be trusted for: nothing is
    // deleted by it until a person has looked (and restarted the monitor).
    if (m_clockJumpedAt >= 0) {
        if (!m_retentionSuspendedSaid)
            logLine(QStringLiteral("store: retention suspended since the system clock jumped at %1; nothing is "
                                   "deleted until the monitor is restarted with the clock right")
                        .arg(isoTime(m_clockJumpedAt)));
        m_retentionSuspendedSaid = true;
        return;
    }
    // Never past the newest reading less the retention: a clock far ahead
    // (a bad battery before the network's time comes) deletes nothing new.
    const qint64 retentionMs = qint64(m_config.retentionDays) * 24 * 3600 * 1000;
    qint64 newest = 0;
    qint64 cutoff = m_clock() - retentionMs;
    if (m_store.newestReadingTime(&newest))
        cutoff = qMin(cutoff, newest - retentionMs);
    m_pruning = true;
    m_pruned = 0;
    pruneBatch(cutoff);
}

void Monitor::pruneBatch(qint64 cutoff)
{
    if (m_storeLost) {
        m_pruning = false;
        return;
    }
    qint64 deleted = 0;
    bool more = false;
    if (!m_store.deleteReadingsBefore(cutoff, &deleted, PruneBatchReadings, &more)) {
        m_pruning = false;
        if (!m_pruneFailing)
            logLine(QStringLiteral("store: old readings could not be deleted: %1 (tried again every hour, and "
                                   "said again only after a prune has worked)")
                        .arg(m_store.error()));
        m_pruneFailing = true;
        return;
    }
    m_pruneFailing = false;
    m_pruned += deleted;
    if (more) {
        // The loop runs between batches: readings keep their times.
        QTimer::singleShot(0, this, [this, cutoff] { pruneBatch(cutoff); });
        return;
    }
    m_pruning = false;
    if (m_pruned > 0)
        logLine(QStringLiteral("store: %1 readings older than %2 days deleted (the per-minute rows stay)")
                    .arg(m_pruned)
                    .arg(m_config.retentionDays));
}
