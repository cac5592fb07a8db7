#include "monitor/archive/replay-responder.h"

#include "monitor/common/monitor-log.h"
#include "monitor/mqtt/mqtt-client.h"

#include <QTimer>

#include <limits>

using namespace ArchivePayloads;

ReplayResponder::ReplayResponder(const MqttConfig &config, HistoryStore *store, const QStringList &instruments,
                                 MqttClient *client, QObject *parent)
    : QObject(parent), m_config(config), m_store(store), m_instruments(instruments), m_client(client),
      m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &ReplayResponder::work);
    connect(client, &MqttClient::connected, this, &ReplayResponder::connected);
    connect(client, &MqttClient::disconnected, this, [this] { m_inFlight.clear(); });
    connect(client, &MqttClient::acknowledged, this, &ReplayResponder::acknowledged);
    connect(client, &MqttClient::message, this,
            [this](const QString &topic, const QByteArray &payload) { message(topic, payload); });
}

QString ReplayResponder::requestTopic() const
{
    return m_config.topicPrefix + QStringLiteral("/monitor/") + m_config.clientId + QStringLiteral("/replay");
}

QString ReplayResponder::answerTopic() const
{
    return m_config.topicPrefix + QStringLiteral("/monitor/") + m_config.clientId + QStringLiteral("/replayed");
}

void ReplayResponder::connected()
{
    m_client->subscribe(requestTopic());
    schedule();
}

void ReplayResponder::message(const QString &topic, const QByteArray &payload)
{
    if (topic != requestTopic())
        return;
    ReplayRequest request;
    Problem problem = parseReplayRequest(payload, &request);
    QString why = problemText(problem);
    if (problem == Problem::None && !m_instruments.contains(request.instrument))
        why = QStringLiteral("no instrument of this monitor is named so");
    if (!why.isEmpty()) {
        if (!m_said.contains(why))
            qCInfo(lcMonitor).noquote()
                << QStringLiteral("mqtt: a replay request on %1 is refused: %2 (said once)").arg(topic, why);
        m_said.insert(why);
        return;
    }
    // A newer request for an instrument replaces one that waits: the archive
    // asks for what it still misses, which the older one may no longer be.
    for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
        if (!it->started && it->request.instrument == request.instrument) {
            m_jobs.erase(it);
            break;
        }
    }
    if (int(m_jobs.size()) >= MaxQueuedRequests) {
        if (!m_said.contains(QStringLiteral("queue")))
            qCInfo(lcMonitor).noquote()
                << QStringLiteral("mqtt: more than %1 replay requests wait; the oldest waiting is dropped (said once)")
                       .arg(MaxQueuedRequests);
        m_said.insert(QStringLiteral("queue"));
        m_jobs.erase(m_jobs.size() > 1 ? m_jobs.begin() + 1 : m_jobs.begin());
    }
    Job job;
    job.request = request;
    m_jobs.push_back(job);
    schedule();
}

void ReplayResponder::acknowledged(int mid)
{
    if (m_inFlight.remove(mid))
        schedule();
}

void ReplayResponder::schedule()
{
    if (!m_jobs.empty() && !m_timer->isActive())
        m_timer->start(ChunkIntervalMs);
}

void ReplayResponder::work()
{
    if (m_jobs.empty() || !m_client->isConnected() || m_inFlight.size() >= MaxChunksInFlight)
        return; // an acknowledgement or the next connection goes on
    Job &job = m_jobs.front();
    if (!job.started && !begin(&job))
        return;
    if (step(&job)) {
        finish(job);
        m_jobs.pop_front();
    }
    m_client->flush();
    schedule();
}

bool ReplayResponder::begin(Job *job)
{
    // Only what a commit made durable is answered, and called lost when absent.
    emit storeCommitWanted();
    const QString &instrument = job->request.instrument;
    job->lastSeq = m_store->committedSeq(instrument);
    ReplayRequest &request = job->request;
    request.toSeq = qMin(request.toSeq, request.fromSeq + MaxAnswerSpan - 1);
    request.toSeq = qMin(request.toSeq, qMax(job->lastSeq, request.fromSeq));
    job->started = true;
    qint64 fromMs = 0;
    if (request.fromSeq > job->lastSeq || !m_store->firstTimeAfter(instrument, request.fromSeq - 1, &fromMs)) {
        // Nothing to walk: the end says what there is.
        job->walkTimeMs = std::numeric_limits<qint64>::max();
        return true;
    }
    job->walkTimeMs = fromMs - 1;
    job->walkSeq = std::numeric_limits<qint64>::max();
    return true;
}

bool ReplayResponder::step(Job *job)
{
    const ReplayRequest &request = job->request;
    if (request.fromSeq > job->lastSeq || job->walkTimeMs == std::numeric_limits<qint64>::max())
        return true;
    QVector<RemoteReading> chunk;
    int walked = 0;
    const bool read = m_store->readingsAfter(request.instrument, request.fromSeq - 1, job->walkTimeMs, job->walkSeq,
                                             ChunkReadings, [&](const StoredReading &reading) {
                                                 ++walked;
                                                 job->walkTimeMs = reading.timeMs;
                                                 job->walkSeq = reading.seq;
                                                 if (reading.seq > request.toSeq)
                                                     return;
                                                 chunk.append({reading.timeMs, reading.kelvin, reading.seq});
                                                 job->found.insert(reading.seq);
                                             });
    if (!read) {
        qCInfo(lcMonitor).noquote()
            << QStringLiteral("mqtt: a replay of %1 stops: %2").arg(request.instrument, m_store->error());
        job->found.insertRange(request.fromSeq, request.toSeq); // nothing is called lost on a failed read
        return true;
    }
    if (!chunk.isEmpty()) {
        int mid = 0;
        if (m_client->publish(answerTopic(), replayChunk(request.instrument, chunk), false, &mid))
            m_inFlight.insert(mid);
    }
    const qint64 wanted = request.toSeq - request.fromSeq + 1;
    return walked < ChunkReadings || job->found.countIn(request.fromSeq, request.toSeq) == wanted;
}

void ReplayResponder::finish(const Job &job)
{
    const ReplayRequest &request = job.request;
    QVector<SeqRange> lost;
    if (request.fromSeq <= job.lastSeq)
        lost = job.found.missing(request.fromSeq, qMin(request.toSeq, job.lastSeq), 1000);
    int mid = 0;
    if (m_client->publish(answerTopic(), replayEnd(request, lost, job.lastSeq), false, &mid))
        m_inFlight.insert(mid);
}
