#pragma once

// The service: one link per instrument, one store writer, the alarms. The
// parts talk through signals; the store is written in batches every half
// second, so a killed monitor loses at most about a second of readings. The
// monitor alone decides when the store commits. Every part logs through the
// frostgauge.monitor category (monitor-log.h).

#include "history/history-store.h"
#include "monitor/clock-watch.h"
#include "monitor/monitor-config.h"

#include <QElapsedTimer>
#include <QObject>
#include <QVector>

#include <deque>

class Alarm;
class InstrumentLink;
class MonitorWeb;
class MqttPublisher;
class RemoteSource;
class ReplayResponder;
class QTimer;

class Monitor : public QObject
{
    Q_OBJECT

public:
    static constexpr int CommitIntervalMs = 500;
    // With MQTT, how soon after a reading the store commits, so that it is
    // published once durable.
    static constexpr int PublishCommitDelayMs = 5;
    // Readings that wait for an unwritable store, at the least.
    static constexpr int MinWaitingReadings = 3000;
    // And for an archive, beyond its own instruments' (tens of bytes each).
    static constexpr int ArchiveWaitingReadings = 100000;
    // How often the store's path is checked to still name the file written.
    static constexpr int StoreWatchIntervalMs = 2000;

    explicit Monitor(const MonitorConfig &config, QObject *parent = nullptr);
    // Opens the store and starts every link. False, with the reason logged as
    // critical, when the store cannot be opened or MQTT not set up.
    bool start();
    // Writes what is pending and records the stop, with reason as its detail
    // (empty for an ordinary stop). False, with the loss logged, when the
    // store cannot take what waits.
    bool stop(const QString &reason = QString());

signals:
    // The monitor cannot go on (its store was deleted or replaced): it has
    // stopped its links and wrote nothing more; the process should end with code.
    void failed(int code);

private:
    void record(const QString &instrument, EventKind kind, const QString &detail);
    // A remote instrument's event: stored and logged, and passed to its alarms.
    void recordRemote(const QString &instrument, EventKind kind, const QString &detail);
    void startArchive();
    void alarmEvent(const QString &instrument, EventKind kind, qint64 now);
    void alarmChanged(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs);
    void alarmAcknowledged(const QString &name, const QString &instrument, const QString &who, qint64 timeMs);
    // A note from the web page, into the store at once.
    QString writeNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);
    QString acknowledge(const QString &alarm, const QString &who, const QString &note);
    // Notes in the store that were not yet passed on (those of other writers
    // too: the command line, the viewer) go out on MQTT and to the web page.
    void passOnNotes();
    void reading(const QString &instrument, qint64 timeMs, double kelvin);
    void commit();
    // With MQTT or HTTP: the readings the last commit made durable go out.
    void publishCommitted();
    void applyRetention();
    void watchClock(qint64 now);
    void watchStore();
    void stopAlarmCommands();

    MonitorConfig m_config;
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
        QString instrument;
        qint64 timeMs;
        double kelvin;
        qint64 seq;
    };
    std::deque<Unpublished> m_unpublished;
    bool m_storeFailing = false;
    bool m_storeLost = false; // deleted or replaced under the monitor: it has stopped
    bool m_droppingSaid = false;
    QString m_failureCause;
    qint64 m_lastNoteId = 0;
    MqttPublisher *m_mqtt = nullptr;
    ReplayResponder *m_replays = nullptr;
    QVector<RemoteSource *> m_sources;
    MonitorWeb *m_web = nullptr;
};
