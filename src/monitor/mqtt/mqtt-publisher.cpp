#include "monitor/mqtt/mqtt-publisher.h"

#include "monitor/mqtt/mqtt-client.h"
#include "monitor/mqtt/mqtt-payloads.h"

#include <QTimer>

#include <limits>

namespace {

// Readings queued at once while the backlog is sent: memory stays bounded
// whatever the length of the outage.
constexpr int ReplayChunk = 2000;
constexpr int MaxInFlight = 1000;

} // namespace

MqttPublisher::MqttPublisher(const MqttConfig &config, HistoryStore *store, const QVector<SeriesInfo> &series,
                             QObject *parent)
    : QObject(parent), m_config(config), m_store(store), m_client(new MqttClient(config, this))
{
    for (const SeriesInfo &info : series) {
        m_instruments << info.name;
        m_series.insert(info.name, info);
    }
    connect(m_client, &MqttClient::connected, this, &MqttPublisher::connected);
    connect(m_client, &MqttClient::disconnected, this, &MqttPublisher::disconnected);
    connect(m_client, &MqttClient::acknowledged, this, &MqttPublisher::acknowledged);
}

QString MqttPublisher::topic(const QString &instrument, const QString &leaf) const
{
    return MqttPayloads::instrumentTopic(m_config.topicPrefix, instrument, leaf);
}

MqttPayloads::Message MqttPublisher::readingMessage(const QString &series, qint64 timeMs, double value,
                                                    qint64 seq) const
{
    const auto info = m_series.constFind(series);
    if (info == m_series.constEnd() || info->isKelvin())
        return {topic(series, QStringLiteral("temperature")), MqttPayloads::reading(timeMs, value, seq)};
    return {topic(series, QStringLiteral("value")),
            MqttPayloads::valueReading(timeMs, value, info->unit, info->stateWord(value), seq)};
}

bool MqttPublisher::start(bool persistentSession)
{
    return m_client->start(MqttPayloads::monitorStatusTopic(m_config.topicPrefix, m_config.clientId),
                           persistentSession);
}

void MqttPublisher::stop()
{
    m_client->stop();
}

void MqttPublisher::connected()
{
    for (auto it = m_retained.constBegin(); it != m_retained.constEnd(); ++it)
        m_client->publish(it.key(), it.value(), true);
    if (m_config.homeAssistant) {
        for (const SeriesInfo &info : qAsConst(m_series)) {
            const MqttPayloads::Message sensor =
                info.channel.isEmpty()
                    ? MqttPayloads::homeAssistantSensor(m_config.topicPrefix, m_config.clientId, info.name)
                    : MqttPayloads::homeAssistantChannel(m_config.topicPrefix, m_config.clientId, info.name,
                                                         info.instrument, info.unit, !info.states.isEmpty());
            m_client->publish(sensor.topic, sensor.payload, true);
        }
    }
    for (const MqttPayloads::Message &note : qAsConst(m_unsentNotes))
        m_client->publish(note.topic, note.payload, false);
    m_unsentNotes.clear();
    // What the broker missed, from the store, before any live reading.
    emit storeCommitWanted();
    for (const QString &instrument : qAsConst(m_instruments)) {
        const qint64 acked = m_store->acknowledgedSeq(instrument);
        qint64 fromMs = 0;
        if (m_store->firstTimeAfter(instrument, acked, &fromMs))
            m_replaying.insert(instrument, {acked, fromMs - 1, std::numeric_limits<qint64>::max()});
    }
    replayMore();
}

void MqttPublisher::disconnected()
{
    m_inFlight.clear();
    m_replaying.clear();
}

void MqttPublisher::replayMore()
{
    if (!m_client->isConnected())
        return;
    emit storeCommitWanted();
    for (auto it = m_replaying.begin(); it != m_replaying.end();) {
        if (m_inFlight.size() >= MaxInFlight)
            break;
        const QString instrument = it.key();
        Cursor &cursor = it.value();
        int queued = 0;
        m_store->readingsAfter(instrument, cursor.acked, cursor.timeMs, cursor.seq, ReplayChunk,
                               [&](const StoredReading &reading) {
                                   int mid = 0;
                                   const MqttPayloads::Message message =
                                       readingMessage(instrument, reading.timeMs, reading.kelvin, reading.seq);
                                   if (m_client->publish(message.topic, message.payload, true, &mid)) {
                                       m_inFlight.insert(mid, {instrument, reading.seq, reading.timeMs});
                                       cursor.timeMs = reading.timeMs;
                                       cursor.seq = reading.seq;
                                       ++queued;
                                   }
                               });
        // A chunk shorter than asked for reached the newest reading: live from here.
        if (queued < ReplayChunk)
            it = m_replaying.erase(it);
        else
            ++it;
    }
    m_client->flush();
}

void MqttPublisher::acknowledged(int mid)
{
    const auto it = m_inFlight.constFind(mid);
    if (it == m_inFlight.constEnd())
        return;
    m_store->setAcknowledged(it->instrument, it->seq, it->timeMs);
    m_inFlight.erase(it);
    if (!m_replaying.isEmpty() && m_inFlight.size() < MaxInFlight / 2)
        QTimer::singleShot(0, this, &MqttPublisher::replayMore);
}

void MqttPublisher::publishReading(const QString &instrument, qint64 timeMs, double value, qint64 seq)
{
    // While the backlog of this instrument is sent, the store carries it.
    if (!m_client->isConnected() || m_replaying.contains(instrument))
        return;
    if (m_inFlight.size() >= MaxInFlight) {
        // A broker that takes messages and does not acknowledge them: the
        // readings wait in the store, as while it is away, and go out from
        // there once acknowledgements come again.
        const Cursor last = m_lastLive.value(instrument, {0, std::numeric_limits<qint64>::min(), 0});
        m_replaying.insert(instrument, {m_store->acknowledgedSeq(instrument), last.timeMs, last.seq});
        return;
    }
    int mid = 0;
    const MqttPayloads::Message message = readingMessage(instrument, timeMs, value, seq);
    if (m_client->publish(message.topic, message.payload, true, &mid)) {
        m_inFlight.insert(mid, {instrument, seq, timeMs});
        m_lastLive.insert(instrument, {0, timeMs, seq});
    }
    m_client->flush();
}

int MqttPublisher::inFlight() const
{
    return m_inFlight.size();
}

void MqttPublisher::publishRetained(const QString &name, const QByteArray &payload)
{
    m_retained.insert(name, payload);
    m_client->publish(name, payload, true);
    m_client->flush();
}

void MqttPublisher::publishStatus(const QString &instrument, InstrumentStatus status)
{
    if (status == InstrumentStatus::Maintenance)
        return;
    const QString where = topic(instrument, QStringLiteral("status"));
    const QByteArray word = instrumentStatusName(status).toUtf8();
    if (m_retained.value(where) != word)
        publishRetained(where, word);
}

bool MqttPublisher::isConnected() const
{
    return m_client->isConnected();
}

void MqttPublisher::publishInfo(const QString &instrument, const InstrumentIdentity &identity)
{
    publishRetained(topic(instrument, QStringLiteral("info")), MqttPayloads::info(identity));
}

void MqttPublisher::publishAlarm(const QString &instrument, const QString &alarm, bool raised, double value,
                                 qint64 timeMs, const QString &acknowledgedBy, qint64 acknowledgedMs)
{
    publishRetained(topic(instrument, QStringLiteral("alarm/") + alarm),
                    MqttPayloads::alarm(raised, value, timeMs, acknowledgedBy, acknowledgedMs));
}

void MqttPublisher::publishNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author)
{
    const QString where = instrument.isEmpty() ? m_config.topicPrefix + QStringLiteral("/monitor/") + m_config.clientId
                                                     + QStringLiteral("/note")
                                               : topic(instrument, QStringLiteral("note"));
    const QByteArray payload = MqttPayloads::note(timeMs, text, author);
    if (!m_client->publish(where, payload, false)) {
        if (m_unsentNotes.size() >= 1000)
            m_unsentNotes.removeFirst();
        m_unsentNotes.append({where, payload});
        return;
    }
    m_client->flush();
}
