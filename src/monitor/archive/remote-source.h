#pragma once

// One source of a facility archive: another lab's monitor, read through the
// broker. Its instruments are archived as SOURCE/INSTRUMENT with the sequence
// numbers the source gave them, each number once (the store keeps which it
// holds). A hole in the numbers, or a first contact after an outage, is filled
// by asking the source for the range; the numbers its store no longer has are
// recorded as a gap and not asked for again. Its status, information and alarm
// topics and its monitor's Last Will give the instruments' state.

#include "device/instrument-identity.h"
#include "history/history-store.h"
#include "monitor/archive/archive-payloads.h"
#include "monitor/common/monitor-config.h"

#include <QHash>
#include <QObject>
#include <QSet>

class MqttClient;

class RemoteSource : public QObject
{
    Q_OBJECT

public:
    // A request unanswered this long is asked again; after an answer that
    // brought nothing new the next waits from RetryMs, doubling to LongestRetryMs.
    static constexpr qint64 AnswerTimeoutMs = 60000;
    static constexpr qint64 RetryMs = 10000;
    static constexpr qint64 LongestRetryMs = 600000;
    // Requests under way at once for one source.
    static constexpr int MaxRequests = 4;
    // Instruments taken from a source without an instruments= list, at the most.
    static constexpr int MaxInstruments = 10000;
    // A live number this far beyond the last one, plus a hundred a second since
    // it, is not believed (nothing reads that fast).
    static constexpr qint64 PlausibleJump = 1000000;
    // Replayed readings waiting for the store beyond this many ask for a commit
    // at once: an answer comes far faster than the half-second batches.
    static constexpr int CommitAfterReadings = 20000;

    RemoteSource(const SourceConfig &config, HistoryStore *store, MqttClient *client, QObject *parent = nullptr);

    // The archive's name of a source's instrument.
    static QString archivedName(const QString &source, const QString &instrument);
    const SourceConfig &config() const { return m_config; }
    // The instruments heard of so far (or listed), as archived.
    QStringList instruments() const { return m_names; }
    bool sourceOnline() const { return m_sourceOnline; }

    // Asks again what went unanswered; called by the monitor's clock.
    void tick(qint64 nowMs);
    // For tests: a message as if from the broker, at nowMs.
    void receive(const QString &topic, const QByteArray &payload, bool retained, qint64 nowMs);
    void connected();

signals:
    // A live reading newer than any before (replayed ones are stored only).
    void reading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq);
    void status(const QString &instrument, const QString &status);
    void identity(const QString &instrument, const InstrumentIdentity &identity);
    void alarm(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs);
    // A source's raised alarm that someone acknowledged there.
    void acknowledged(const QString &name, const QString &who, qint64 timeMs);
    void event(const QString &instrument, EventKind kind, const QString &detail);
    void instrumentAdded(const QString &instrument);
    // A source's series is a channel in this unit (empty: a state), not a temperature.
    void unitKnown(const QString &instrument, const QString &unit);
    void storeCommitWanted();

private:
    struct Remote {
        QString name;       // as archived
        qint64 liveSeq = 0; // the newest live reading passed on
        qint64 liveTimeMs = 0;
        QString status;                     // as the source last said it
        QString unit = QStringLiteral("K"); // a channel's, once one of its readings came
        bool asking = false;
        qint64 askedAtMs = 0;
        ArchivePayloads::ReplayRequest asked;
        qint64 missingBefore = 0; // numbers missing when the request went out
        qint64 retryAtMs = 0;     // no request before this time
        qint64 retryMs = RetryMs;
        qint64 sourceLastSeq = -1; // from the last answer; -1: none yet
    };

    Remote *remote(const QString &instrument, const QString &topic);
    void liveReading(Remote *remote, const QByteArray &payload, const QString &topic, qint64 nowMs);
    void liveValue(Remote *remote, const QByteArray &payload, const QString &topic, qint64 nowMs);
    void keepLive(Remote *remote, const ArchivePayloads::RemoteReading &reading, const QString &topic, qint64 nowMs);
    void answer(const QByteArray &payload, const QString &topic, qint64 nowMs);
    void monitorStatus(const QByteArray &payload);
    void instrumentStatus(Remote *remote, const QByteArray &payload, const QString &topic);
    void remoteAlarm(Remote *remote, const QString &alarm, const QByteArray &payload, const QString &topic);
    // remote: null for a note on the source's monitor itself.
    void remoteNote(Remote *remote, const QByteArray &payload, const QString &topic);
    // Asks for the first range still missing below the newest number heard of,
    // when nothing else is asked for it and the time has come.
    void askIfMissing(Remote *remote, qint64 nowMs);
    qint64 missingCount(Remote *remote);
    int requestsUnderWay() const;
    // Logs a refused message once per kind.
    void refuse(const QString &topic, const QString &kind);
    QString requestTopic() const;
    QString answerTopic() const;
    QString monitorTopic() const;

    SourceConfig m_config;
    HistoryStore *m_store;
    MqttClient *m_client;
    const QString m_prefix; // PREFIX/
    const QString m_monitorTopic;
    const QString m_statusTopic;
    const QString m_noteTopic;
    const QString m_answerTopic;
    QHash<QString, Remote> m_remotes; // by the source's instrument name
    QStringList m_names;
    bool m_sourceOnline = false;
    bool m_sourceHeard = false; // its monitor's status topic was read
    qint64 m_nowMs = 0;
    QSet<QString> m_said;
};
