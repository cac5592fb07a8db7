#include "monitor/archive/remote-source.h"

#include "history/history-note.h"
#include "monitor/common/monitor-log.h"
#include "monitor/mqtt/mqtt-client.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

using namespace ArchivePayloads;

namespace {

// A status is one of the source's few words; anything longer or odd is not one.
bool plausibleStatus(const QByteArray &payload)
{
    if (payload.isEmpty() || payload.size() > 32)
        return false;
    for (const char c : payload) {
        if (!((c >= 'a' && c <= 'z') || c == ' '))
            return false;
    }
    return true;
}

bool plausibleName(const QString &name)
{
    if (name.isEmpty() || name.size() > 200 || name == QLatin1String("monitor"))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c.category() == QChar::Other_Control
            || c.category() == QChar::Other_Format)
            return false;
    }
    return true;
}

} // namespace

RemoteSource::RemoteSource(const SourceConfig &config, HistoryStore *store, MqttClient *client, QObject *parent)
    : QObject(parent), m_config(config), m_store(store), m_client(client),
      m_prefix(config.topicPrefix + QLatin1Char('/')),
      m_monitorTopic(config.topicPrefix + QStringLiteral("/monitor/") + config.clientId),
      m_statusTopic(m_monitorTopic + QStringLiteral("/status")), m_noteTopic(m_monitorTopic + QStringLiteral("/note")),
      m_answerTopic(m_monitorTopic + QStringLiteral("/replayed"))
{
    for (const QString &instrument : config.instruments)
        remote(instrument, QString());
    // What an earlier run archived is known before the source says anything.
    const QString mine = config.name + QLatin1Char('/');
    for (const QString &name : store->instruments()) {
        if (name.startsWith(mine) && m_names.size() < MaxInstruments)
            remote(name.mid(mine.size()), QString());
    }
    if (client) {
        connect(client, &MqttClient::connected, this, &RemoteSource::connected);
        connect(client, &MqttClient::message, this,
                [this](const QString &topic, const QByteArray &payload, bool retained) {
                    receive(topic, payload, retained, QDateTime::currentMSecsSinceEpoch());
                });
    }
}

QString RemoteSource::archivedName(const QString &source, const QString &instrument)
{
    return source + QLatin1Char('/') + instrument;
}

QString RemoteSource::monitorTopic() const
{
    return m_monitorTopic;
}

QString RemoteSource::requestTopic() const
{
    return monitorTopic() + QStringLiteral("/replay");
}

QString RemoteSource::answerTopic() const
{
    return m_answerTopic;
}

void RemoteSource::connected()
{
    // The source's own state and its answers first: its retained last readings
    // may ask for a range at once.
    m_client->subscribe(monitorTopic() + QStringLiteral("/status"));
    m_client->subscribe(answerTopic());
    const QString prefix = m_config.topicPrefix + QLatin1Char('/');
    m_client->subscribe(monitorTopic() + QStringLiteral("/note"));
    for (const QString &leaf : {QStringLiteral("+/temperature"), QStringLiteral("+/value"), QStringLiteral("+/status"),
                                QStringLiteral("+/info"), QStringLiteral("+/alarm/+"), QStringLiteral("+/note")})
        m_client->subscribe(prefix + leaf);
    // Requests that went out before are asked again: the source may never have had them.
    for (Remote &remote : m_remotes) {
        remote.asking = false;
        remote.retryAtMs = 0;
    }
}

RemoteSource::Remote *RemoteSource::remote(const QString &instrument, const QString &topic)
{
    const auto known = m_remotes.find(instrument);
    if (known != m_remotes.end())
        return &known.value();
    if (!m_config.instruments.isEmpty() && !topic.isEmpty() && !m_config.instruments.contains(instrument)) {
        refuse(topic, QStringLiteral("an instrument not in the source's instruments= list"));
        return nullptr;
    }
    if (!plausibleName(instrument)) {
        refuse(topic, QStringLiteral("an instrument name no monitor gives"));
        return nullptr;
    }
    if (m_remotes.size() >= MaxInstruments) {
        refuse(topic, QStringLiteral("more instruments than %1").arg(MaxInstruments));
        return nullptr;
    }
    Remote &added = m_remotes[instrument];
    added.name = archivedName(m_config.name, instrument);
    const SeqRanges &held = m_store->archivedSeqs(added.name);
    added.liveSeq = held.highest();
    // How far its numbers may have run on since is measured from its newest reading.
    m_store->newestTime(added.name, &added.liveTimeMs);
    m_names.append(added.name);
    if (!topic.isEmpty())
        emit instrumentAdded(added.name);
    return &added;
}

void RemoteSource::refuse(const QString &topic, const QString &kind)
{
    if (m_said.contains(kind))
        return;
    m_said.insert(kind);
    qCInfo(lcMonitor).noquote() << QStringLiteral("source %1: a message on %2 is refused: %3 (said once for this "
                                                  "kind; nothing of it is stored)")
                                       .arg(m_config.name, topic, kind);
}

void RemoteSource::receive(const QString &topic, const QByteArray &payload, bool retained, qint64 nowMs)
{
    Q_UNUSED(retained);
    m_nowMs = nowMs;
    // A thousand messages a second come through here: the topics are compared
    // with strings made once, and the levels cut without copies.
    if (!topic.startsWith(m_prefix))
        return;
    if (topic == m_answerTopic) {
        answer(payload, topic, nowMs);
        return;
    }
    if (topic == m_statusTopic) {
        monitorStatus(payload);
        return;
    }
    if (topic == m_noteTopic) {
        remoteNote(nullptr, payload, topic);
        return;
    }
    const QVector<QStringRef> levelRefs = topic.midRef(m_prefix.size()).split(QLatin1Char('/'));
    if (levelRefs.size() < 2 || levelRefs.first() == QLatin1String("monitor"))
        return; // another monitor's own topics under the same prefix
    const QString instrument = levelRefs.first().toString();
    const QStringRef &leaf = levelRefs.at(1);
    if (levelRefs.size() == 2 && leaf == QLatin1String("temperature")) {
        if (Remote *found = remote(instrument, topic))
            liveReading(found, payload, topic, nowMs);
    } else if (levelRefs.size() == 2 && leaf == QLatin1String("value")) {
        if (Remote *found = remote(instrument, topic))
            liveValue(found, payload, topic, nowMs);
    } else if (levelRefs.size() == 2 && leaf == QLatin1String("status")) {
        if (Remote *found = remote(instrument, topic))
            instrumentStatus(found, payload, topic);
    } else if (levelRefs.size() == 2 && leaf == QLatin1String("info")) {
        if (Remote *found = remote(instrument, topic)) {
            const QJsonObject info = QJsonDocument::fromJson(payload.left(4096)).object();
            if (payload.size() > 4096 || info.isEmpty()) {
                refuse(topic, QStringLiteral("information that is not a JSON object"));
                return;
            }
            InstrumentIdentity heard;
            heard.model = info.value(QLatin1String("model")).toString().left(64);
            heard.serialNumber = info.value(QLatin1String("serial_number")).toString().left(64);
            heard.version = info.value(QLatin1String("version")).toString().left(64);
            emit identity(found->name, heard);
        }
    } else if (levelRefs.size() == 2 && leaf == QLatin1String("note")) {
        if (Remote *found = remote(instrument, topic))
            remoteNote(found, payload, topic);
    } else if (levelRefs.size() == 3 && leaf == QLatin1String("alarm")) {
        if (Remote *found = remote(instrument, topic))
            remoteAlarm(found, levelRefs.at(2).toString(), payload, topic);
    }
}

void RemoteSource::liveReading(Remote *remote, const QByteArray &payload, const QString &topic, qint64 nowMs)
{
    RemoteReading reading;
    const Problem problem = parseReading(payload, nowMs, &reading);
    if (problem != Problem::None) {
        refuse(topic, problemText(problem));
        return;
    }
    keepLive(remote, reading, topic, nowMs);
}

void RemoteSource::liveValue(Remote *remote, const QByteArray &payload, const QString &topic, qint64 nowMs)
{
    RemoteReading reading;
    QString unit;
    const Problem problem = parseValueReading(payload, nowMs, &reading, &unit);
    if (problem != Problem::None) {
        refuse(topic, problemText(problem));
        return;
    }
    if (remote->unit != unit) {
        remote->unit = unit;
        m_store->setUnit(remote->name, unit);
        emit unitKnown(remote->name, unit);
    }
    keepLive(remote, reading, topic, nowMs);
}

void RemoteSource::keepLive(Remote *remote, const RemoteReading &reading, const QString &topic, qint64 nowMs)
{
    const SeqRanges &held = m_store->archivedSeqs(remote->name);
    const qint64 highest = held.highest();
    // A number far beyond the last (a wrong publisher, a damaged message)
    // would make the archive ask for billions and hold the rest as lost.
    const qint64 since = qMax<qint64>(0, (reading.timeMs - remote->liveTimeMs) / 1000);
    if (highest > 0 && reading.seq > highest && reading.seq - highest > PlausibleJump + 100 * since) {
        refuse(topic, QStringLiteral("a sequence number far beyond the last one held"));
        return;
    }
    if (!m_store->addArchivedReading(remote->name, reading.timeMs, reading.kelvin, reading.seq)) {
        if (!m_said.contains(QStringLiteral("repeat")))
            qCInfo(lcMonitor).noquote() << QStringLiteral("source %1: readings already held arrive again (a "
                                                          "broker's redelivery); they are dropped (said once)")
                                               .arg(m_config.name);
        m_said.insert(QStringLiteral("repeat"));
    }
    if (reading.seq > remote->liveSeq) {
        remote->liveSeq = reading.seq;
        remote->liveTimeMs = reading.timeMs;
        emit this->reading(remote->name, reading.timeMs, reading.kelvin, reading.seq);
    }
    askIfMissing(remote, nowMs);
}

qint64 RemoteSource::missingCount(Remote *remote)
{
    const SeqRanges &held = m_store->archivedSeqs(remote->name);
    const qint64 highest = held.highest();
    return highest - held.countIn(1, highest);
}

int RemoteSource::requestsUnderWay() const
{
    int asking = 0;
    for (const Remote &remote : m_remotes)
        asking += remote.asking ? 1 : 0;
    return asking;
}

void RemoteSource::askIfMissing(Remote *remote, qint64 nowMs)
{
    if (remote->asking || nowMs < remote->retryAtMs || !m_client || !m_client->isConnected())
        return;
    // Asked first (one range held: nothing missing, at once), the count of requests after.
    const SeqRanges &held = m_store->archivedSeqs(remote->name);
    const QVector<SeqRange> missing = held.missing(1, held.highest(), 1);
    if (missing.isEmpty())
        return;
    if (requestsUnderWay() >= MaxRequests)
        return; // the clock's next tick asks
    const QString instrument = remote->name.mid(m_config.name.size() + 1);
    ReplayRequest request{instrument, missing.first().first,
                          qMin(missing.first().last, missing.first().first + MaxAnswerSpan - 1)};
    if (!m_client->publish(requestTopic(), replayRequest(request), false))
        return;
    m_client->flush();
    qCInfo(lcMonitor).noquote() << QStringLiteral("source %1: asking for readings %2 to %3 of %4, missing here")
                                       .arg(m_config.name)
                                       .arg(request.fromSeq)
                                       .arg(request.toSeq)
                                       .arg(instrument);
    remote->asking = true;
    remote->asked = request;
    remote->askedAtMs = nowMs;
    remote->missingBefore = missingCount(remote);
}

void RemoteSource::answer(const QByteArray &payload, const QString &topic, qint64 nowMs)
{
    ReplayAnswer answer;
    // A channel's answer is of values in its unit, a temperature's of kelvin.
    const Problem problem = parseReplayAnswer(payload, nowMs, &answer, [this](const QString &instrument) {
        const auto found = m_remotes.constFind(instrument);
        return found == m_remotes.constEnd() || found->unit == QLatin1String("K");
    });
    if (problem != Problem::None) {
        refuse(topic, problemText(problem));
        return;
    }
    Remote *found = m_remotes.contains(answer.instrument) ? &m_remotes[answer.instrument] : nullptr;
    if (!found) {
        // Answers to another archive's requests for instruments not kept here.
        return;
    }
    if (answer.refused > 0)
        refuse(topic, problemText(answer.refusedProblem));
    for (const RemoteReading &reading : qAsConst(answer.readings))
        m_store->addArchivedReading(found->name, reading.timeMs, reading.kelvin, reading.seq);
    if (m_store->waitingReadings() >= CommitAfterReadings)
        emit storeCommitWanted();
    if (!answer.done)
        return;
    // Numbers the source no longer has are a gap for good, said once as an event.
    found->sourceLastSeq = answer.lastSeq;
    for (const SeqRange &lost : qAsConst(answer.lost)) {
        const SeqRanges &held = m_store->archivedSeqs(found->name);
        if (lost.last > answer.lastSeq || held.countIn(lost.first, lost.last) == lost.last - lost.first + 1)
            continue;
        m_store->settleLost(found->name, lost.first, lost.last);
        emit event(found->name, EventKind::Gap,
                   QStringLiteral("readings %1 to %2 are not in %3's store (deleted by its retention, or dropped "
                                  "there); the archive has a gap there")
                       .arg(lost.first)
                       .arg(lost.last)
                       .arg(m_config.name));
    }
    if (!found->asking || answer.answered.fromSeq != found->asked.fromSeq)
        return; // another archive's answer: what it brought is kept all the same
    found->asking = false;
    if (missingCount(found) < found->missingBefore) {
        found->retryMs = RetryMs;
        found->retryAtMs = 0;
    } else {
        // Nothing new came: the source cannot help now; asked again later.
        found->retryAtMs = nowMs + found->retryMs;
        found->retryMs = qMin(found->retryMs * 2, LongestRetryMs);
    }
    askIfMissing(found, nowMs);
}

void RemoteSource::monitorStatus(const QByteArray &payload)
{
    const bool online = payload == "online";
    if (!online && payload != "offline")
        return;
    if (m_sourceHeard && online == m_sourceOnline)
        return;
    // The first word heard is the state the archive starts from, not a change.
    const bool change = m_sourceHeard;
    m_sourceHeard = true;
    m_sourceOnline = online;
    for (Remote &remote : m_remotes) {
        if (online) {
            // Back from away: whatever went unanswered meanwhile is asked at once.
            if (change) {
                remote.asking = false;
                remote.retryAtMs = 0;
                remote.retryMs = RetryMs;
            }
            emit status(remote.name, remote.status.isEmpty() ? QStringLiteral("starting") : remote.status);
        } else {
            emit status(remote.name, QStringLiteral("source offline"));
            if (change)
                emit event(remote.name, EventKind::Lost,
                           QStringLiteral("source %1 offline: its monitor left the broker").arg(m_config.name));
        }
    }
}

void RemoteSource::instrumentStatus(Remote *remote, const QByteArray &payload, const QString &topic)
{
    if (!plausibleStatus(payload)) {
        refuse(topic, QStringLiteral("a status that is not one of a monitor's words"));
        return;
    }
    const QString status = QString::fromLatin1(payload);
    if (status == remote->status)
        return;
    const bool first = remote->status.isEmpty();
    remote->status = status;
    if (!m_sourceOnline && first)
        return; // shown once the source's monitor is heard online
    emit this->status(remote->name, status);
    // The first word heard is the state the archive starts from, not a change.
    if (!first)
        emit event(remote->name, status == QLatin1String("online") ? EventKind::Connected : EventKind::Lost,
                   QStringLiteral("%1 says %2").arg(m_config.name, status));
}

void RemoteSource::remoteAlarm(Remote *remote, const QString &alarm, const QByteArray &payload, const QString &topic)
{
    const QJsonObject fields = QJsonDocument::fromJson(payload.left(4096)).object();
    const QString state = fields.value(QLatin1String("state")).toString();
    const QDateTime time = QDateTime::fromString(fields.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    if (payload.size() > 4096 || (state != QLatin1String("raised") && state != QLatin1String("cleared"))
        || !time.isValid() || !plausibleName(alarm)) {
        refuse(topic, QStringLiteral("an alarm that is not a monitor's alarm message"));
        return;
    }
    const QJsonValue value = fields.value(QLatin1String("value"));
    const QString name = archivedName(m_config.name, alarm);
    emit this->alarm(name, remote->name, state == QLatin1String("raised"),
                     value.isDouble() ? value.toDouble() : std::nan(""), time.toMSecsSinceEpoch());
    // Who took it on at the source, as its monitor says.
    const QJsonObject taken = fields.value(QLatin1String("acknowledged")).toObject();
    const QDateTime takenAt = QDateTime::fromString(taken.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    const QString by = taken.value(QLatin1String("by")).toString().left(100);
    if (state == QLatin1String("raised") && !by.isEmpty() && takenAt.isValid())
        emit acknowledged(name, by, takenAt.toMSecsSinceEpoch());
}

void RemoteSource::remoteNote(Remote *remote, const QByteArray &payload, const QString &topic)
{
    const QJsonObject fields = QJsonDocument::fromJson(payload.left(8192)).object();
    const QDateTime time = QDateTime::fromString(fields.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    const QString text = fields.value(QLatin1String("text")).toString();
    const QString author = fields.value(QLatin1String("author")).toString().left(100);
    if (payload.size() > 8192 || !time.isValid() || !noteProblem(text).isEmpty()
        || !noteTimeProblem(time.toMSecsSinceEpoch(), m_nowMs).isEmpty()) {
        refuse(topic, QStringLiteral("a note that is not a monitor's note message"));
        return;
    }
    // A note on the source's monitor itself is kept on no instrument, saying whose it is.
    const QString instrument = remote ? remote->name : QString();
    const QString kept = remote ? text : QStringLiteral("[%1] %2").arg(m_config.name, text);
    // A redelivered note is kept once.
    if (m_store->hasNote(instrument, time.toMSecsSinceEpoch(), kept))
        return;
    m_store->addEvent(instrument, time.toMSecsSinceEpoch(), EventKind::Note, kept, author);
}

void RemoteSource::tick(qint64 nowMs)
{
    m_nowMs = nowMs;
    for (Remote &remote : m_remotes) {
        if (remote.asking && nowMs - remote.askedAtMs > AnswerTimeoutMs)
            remote.asking = false; // unanswered: the source was away, or the request lost
        askIfMissing(&remote, nowMs);
    }
}
