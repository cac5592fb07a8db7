#pragma once

// The service: one link per instrument, one store writer, the alarms. The
// parts talk through signals; the store is written in batches every half
// second, so a killed monitor loses at most about a second of readings. The
// monitor alone decides when the store commits. What happened goes out as
// signals (a reading once it is durable, a status, an alarm, a note), which
// MQTT, the web part and tests follow. Every part logs through the
// frostgauge.monitor category (monitor-log.h).

#include "device/instrument-identity.h"
#include "history/history-store.h"
#include "monitor/clock-watch.h"
#include "monitor/common/instrument-status.h"
#include "monitor/common/monitor-config.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QVector>

#include <deque>
#include <functional>

class Alarm;
class InstrumentDriver;
class InstrumentLink;
class MonitorWeb;
class RemoteWriter;
class MqttPublisher;
class RemoteSource;
class ReplayResponder;
class QTimer;

class Monitor : public QObject
{
    Q_OBJECT

public:
    static constexpr int CommitIntervalMs = 500;
    // With someone following live (a broker, a page's stream), how soon after
    // a reading the store commits, so that it goes out once durable: once the
    // loop has taken what else is waiting, which then shares the commit.
    static constexpr int PublishCommitDelayMs = 0;
    // Readings that wait for an unwritable store, at the least.
    static constexpr int MinWaitingReadings = 3000;
    // And for an archive, beyond its own instruments' (tens of bytes each).
    static constexpr int ArchiveWaitingReadings = 100000;
    // How often the store's path is checked to still name the file written.
    static constexpr int StoreWatchIntervalMs = 2000;
    // A loop that did not run for this long (the process stopped, the
    // machine frozen) is said: what was read after it carries its reading time.
    static constexpr int StallMs = 5000;
    // Readings deleted by the retention in one go; the loop runs between.
    static constexpr qint64 PruneBatchReadings = 20000;

    using Clock = std::function<qint64()>;
    using DriverFactory = std::function<InstrumentDriver *(const InstrumentConfig &config)>;

    explicit Monitor(const MonitorConfig &config, QObject *parent = nullptr);
    // Before start: the time readings and events are stamped with (the system
    // clock's by default), and the drivers of the instruments (the one each
    // configuration names by default).
    void setClock(Clock clock);
    void setDriverFactory(DriverFactory factory);
    // Opens the store and starts every link. False, with the reason logged as
    // critical, when the store cannot be opened or MQTT not set up.
    bool start();
    // Writes what is pending and records the stop, with reason as its detail
    // (empty for an ordinary stop). False, with the loss logged, when the
    // store cannot take what waits.
    bool stop(const QString &reason = QString());

    // Whether the store could not be written at the last commit (readings wait).
    bool storeFailing() const { return m_storeFailing; }
    // Deletes readings older than the retention, in batches (hourly by itself
    // from the start on).
    void applyRetention();
    bool pruning() const { return m_pruning; }

    // A note from a person (the web page), into the store at once: empty when
    // written, else why it only waits in memory.
    QString writeNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);
    // A person takes a raised alarm on: empty when done, else why not.
    QString acknowledge(const QString &alarm, const QString &who, const QString &note);

signals:
    // The monitor cannot go on (its store was deleted or replaced): it has
    // stopped its links and wrote nothing more; the process should end with code.
    void failed(int code);
    // A reading of an instrument of this monitor, once the store holds it, in
    // its channel's unit ("K").
    void readingDurable(const QString &series, qint64 timeMs, double value, qint64 seq, const QString &unit);
    // A reading an archived source published (the archive keeps it in the store).
    void sourceReading(const QString &series, qint64 timeMs, double value, qint64 seq);
    // Each change of an instrument's status, once.
    void statusChanged(const QString &instrument, InstrumentStatus status);
    void identityKnown(const QString &instrument, const InstrumentIdentity &identity);
    // value: the reading that decided it (NaN if none).
    void alarmChanged(const QString &alarm, const QString &instrument, bool raised, double value, qint64 timeMs);
    void alarmAcknowledged(const QString &alarm, const QString &instrument, const QString &who, qint64 timeMs,
                           double raisedValue, qint64 raisedMs);
    // A note in the store, by whichever writer (the command line, the viewer,
    // the web page), passed on once.
    void notePassedOn(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);
    // Any event the monitor stored, as stored.
    void eventRecorded(const QString &instrument, qint64 timeMs, EventKind kind, const QString &detail);

private:
    void record(const QString &instrument, EventKind kind, const QString &detail);
    // A remote instrument's event: stored and logged, and passed to its alarms.
    void recordRemote(const QString &instrument, EventKind kind, const QString &detail);
    void startMqtt();
    bool startWeb();
    void startArchive();
    bool startRemoteWrite();
    void startAlarms();
    // False, with the reason logged, for an instrument no driver is made for.
    bool startLinks();
    // The one place alarms learn what happened to their instrument.
    void feedAlarms(const QString &instrument, qint64 timeMs, double value);
    void alarmEvent(const QString &instrument, EventKind kind, qint64 now);
    void onAlarmChanged(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs);
    void onAlarmAcknowledged(const QString &name, const QString &instrument, const QString &who, qint64 timeMs);
    void updateStatus(const QString &instrument, EventKind kind);
    // Whether a reading should be made durable at once: someone follows live.
    bool followedLive() const;
    // Notes in the store that were not yet passed on (those of other writers
    // too: the command line, the viewer) go out on MQTT and to the web page.
    void passOnNotes();
    void reading(const QString &series, qint64 timeMs, double value, const QString &unit);
    void commit();
    static QString droppedText(const HistoryStore::Dropped &dropped, const QString &why);
    // The readings the last commit made durable go out.
    void publishCommitted();
    void pruneBatch(qint64 cutoff);
    void watchStall();
    void watchClock(qint64 now);
    void watchStore();
    void stopAlarmCommands();

    MonitorConfig m_config;
    Clock m_clock;
    DriverFactory m_driverFactory;
    HistoryStore m_store;
    QVector<InstrumentLink *> m_links;
    QVector<Alarm *> m_alarms;
    QTimer *m_commitTimer;
    QTimer *m_tickTimer;
    QTimer *m_retentionTimer;
    QTimer *m_storeWatch;
    // With MQTT: a commit soon after a reading, which then goes out.
    QTimer *m_commitSoon;
    QElapsedTimer m_monotonic;
    ClockWatch m_clockWatch;
    struct Unpublished {
        QString series;
        qint64 timeMs;
        double value;
        qint64 seq;
        QString unit;
    };
    std::deque<Unpublished> m_unpublished;
    QHash<QString, InstrumentStatus> m_statuses;
    bool m_storeFailing = false;
    bool m_storeLost = false; // deleted or replaced under the monitor: it has stopped
    bool m_droppingSaid = false;
    bool m_pruning = false;
    bool m_newReadings = false; // a reading came in this run
    bool m_prunedAfterNewReadings = false;
    bool m_pruneFailing = false;
    qint64 m_pruned = 0;
    qint64 m_clockJumpedAt = -1;           // when a jump of the clock was first seen
    QHash<QString, QString> m_remoteUnits; // an archive's series that are channels, and their units
    qint64 m_lastTickMs = -1;              // on the monotonic clock
    bool m_retentionSuspendedSaid = false;
    QString m_failureCause;
    qint64 m_lastNoteId = 0;
    MqttPublisher *m_mqtt = nullptr;
    ReplayResponder *m_replays = nullptr;
    QVector<RemoteSource *> m_sources;
    MonitorWeb *m_web = nullptr;
    RemoteWriter *m_remote = nullptr;
};
