#pragma once

// A source monitor's side of filling an archive's gaps: requests for a range
// of an instrument's sequence numbers arrive on PREFIX/monitor/CLIENT_ID/replay
// and are answered from the store on .../replayed in chunks. The store is
// walked a chunk per turn of the event loop, with few chunks unacknowledged by
// the broker and a bounded rate, so live readings never wait behind an answer.
// An answer covers a bounded span; a request for a billion numbers gets the
// first span and the archive asks again.

#include "history/history-store.h"
#include "monitor/archive/archive-payloads.h"
#include "monitor/common/monitor-config.h"

#include <QObject>
#include <QSet>
#include <QStringList>

#include <deque>

class MqttClient;
class QTimer;

class ReplayResponder : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxChunksInFlight = 4;
    static constexpr int ChunkIntervalMs = 5; // 200 chunks a second at the most
    static constexpr int MaxQueuedRequests = 64;

    ReplayResponder(const MqttConfig &config, HistoryStore *store, const QStringList &instruments, MqttClient *client,
                    QObject *parent = nullptr);

    QString requestTopic() const;
    QString answerTopic() const;
    // How many requests wait or are being answered.
    int pending() const { return int(m_jobs.size()); }

signals:
    // An answer reads the store: what waits for it must be written first.
    void storeCommitWanted();

private:
    void connected();
    void message(const QString &topic, const QByteArray &payload);
    void acknowledged(int mid);
    void work();
    void schedule();

    struct Job {
        ArchivePayloads::ReplayRequest request;
        bool started = false;
        qint64 walkTimeMs = 0;
        qint64 walkSeq = 0;
        qint64 lastSeq = 0; // the store's, when the answer began
        SeqRanges found;
    };
    bool begin(Job *job);
    bool step(Job *job); // true when the job's answer is complete
    void finish(const Job &job);

    MqttConfig m_config;
    HistoryStore *m_store;
    QStringList m_instruments;
    MqttClient *m_client;
    QTimer *m_timer;
    std::deque<Job> m_jobs;
    QSet<int> m_inFlight;
    QSet<QString> m_said; // kinds of bad request already logged
};
