#pragma once

// Every reading of the store into a time-series engine by Prometheus remote
// write, each once, with its own time, oldest first. The writer sends from
// the store, never from memory: what the engine took (a 2xx) is kept in the
// store per series, so a restart, a killed monitor or an outage of hours goes
// on where it stopped. One request at a time, of a bounded number of samples:
// memory stays bounded whatever the backlog. A refused connection, a time-out,
// a 5xx or a 429 is an outage: tried again with growing waits, said once, and
// recorded with its length and what was sent after it. A 4xx is the engine
// refusing data (a sample too old for its head block, out of order): each
// series of the batch is sent on its own, its oldest readings one at a time
// until one is taken; the refused ones are counted and never sent again.

#include "history/history-event.h"
#include "history/history-store.h"
#include "monitor/common/monitor-config.h"
#include "monitor/remote-write/remote-write-payloads.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSslConfiguration>

#include <deque>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class RemoteWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxSamplesPerRequest = 5000;
    static constexpr int LongestRetryMs = 60000;
    static constexpr int RequestTimeoutMs = 30000;

    using Clock = std::function<qint64()>;

    // series: the monitor's own (an archive's are found in the store).
    RemoteWriter(const RemoteWriteConfig &config, HistoryStore *store, const QVector<SeriesInfo> &series, Clock clock,
                 QObject *parent = nullptr);
    // Reads the login and certificate files; false with why.
    bool start(QString *why);
    void stop();
    // Readings were committed: a request goes soon.
    void readingsStored();
    // A request that takes nothing, to see whether the engine takes our
    // login; done() gets empty when it does, else why not.
    void probe(const std::function<void(const QString &problem)> &done);
    int samplesSent() const { return int(m_sent); }
    int samplesRefused() const { return int(m_refusedTotal); }

signals:
    // Taken positions are kept with the store's next commit.
    void storeCommitWanted();
    void event(EventKind kind, const QString &detail);

private:
    struct Series {
        QString name; // as stored
        RemoteWrite::Labels labels;
        double factor = 1; // to the metric's base unit
    };
    struct Taken {
        int series;
        qint64 timeMs;
        qint64 seq;
    };
    void sendNext();
    void send(int from, int to);
    void answered(QNetworkReply *reply, int from, int to);
    void searchNext();
    void refuse(int from, int to);
    void endRefusedBurst();
    void batchDone();
    void outage(const QString &why);
    bool seriesOf(const QString &stored, Series *series);
    QNetworkReply *post(const QByteArray &body);
    QString engineWords(QNetworkReply *reply) const;

    RemoteWriteConfig m_config;
    HistoryStore *m_store;
    Clock m_clock;
    QHash<QString, SeriesInfo> m_local;
    QNetworkAccessManager *m_network;
    QTimer *m_soon;  // a request after new readings
    QTimer *m_retry; // the same request again after an outage's wait
    QTimer *m_every; // a look at the store now and then (an archive's refills)
    QByteArray m_authorization;
    QSslConfiguration m_ssl;
    bool m_running = false;
    bool m_busy = false;

    // The batch under way: its series and samples, and what each series'
    // position becomes once all of it is taken or refused.
    QVector<Series> m_series;
    QVector<RemoteWrite::Sample> m_samples;
    QVector<Taken> m_taken;
    QHash<QString, HistoryStore::RemotePosition> m_positions;
    bool m_more = false; // a series had more than it could send in this batch
    bool m_batchOpen = false;
    int m_from = 0; // the request under way (or to send again)
    int m_to = 0;
    // A series' samples [lo, hi) whose refused oldest ones are being looked
    // for: one at a time while they are refused, then the rest whole.
    struct Search {
        int lo;
        int hi;
        bool single;
    };
    std::deque<Search> m_searches;
    QString m_lastRefusal;

    int m_retryMs = 1000;
    qint64 m_outageSinceMs = -1; // -1: none
    QString m_outageWhy;
    qint64 m_sentAfterOutage = -1; // -1: not after an outage
    qint64 m_outageEndMs = 0;
    qint64 m_outageLengthMs = 0;
    qint64 m_sent = 0;
    qint64 m_refused = 0; // in the burst under way
    qint64 m_refusedTotal = 0;
    QString m_refusedWhy;
};
