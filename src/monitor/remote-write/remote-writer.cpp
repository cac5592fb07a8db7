#include "monitor/remote-write/remote-writer.h"

#include "history/history-time.h"
#include "monitor/common/monitor-log.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslKey>
#include <QTimer>

#include <limits>

namespace {

void say(const QString &line)
{
    qCInfo(lcMonitor).noquote() << line;
}

// A file's first line: a password or a token, without its line end.
bool firstLine(const QString &path, QByteArray *line, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    *line = file.readLine(4096).trimmed();
    if (line->isEmpty()) {
        *why = QStringLiteral("%1 is empty").arg(path);
        return false;
    }
    return true;
}

// 4xx answers that say nothing about the data: the login, the address, a
// method or the engine being busy. These are outages, not refusals.
bool outageStatus(int status)
{
    return status == 401 || status == 403 || status == 404 || status == 405 || status == 407 || status == 408
           || status == 429 || status >= 500 || status == 0;
}

} // namespace

RemoteWriter::RemoteWriter(const RemoteWriteConfig &config, HistoryStore *store, const QVector<SeriesInfo> &series,
                           Clock clock, QObject *parent)
    : QObject(parent), m_config(config), m_store(store), m_clock(std::move(clock)),
      m_network(new QNetworkAccessManager(this)), m_soon(new QTimer(this)), m_retry(new QTimer(this)),
      m_every(new QTimer(this))
{
    for (const SeriesInfo &info : series)
        m_local.insert(info.name, info);
    m_soon->setSingleShot(true);
    connect(m_soon, &QTimer::timeout, this, &RemoteWriter::sendNext);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (m_running && !m_busy)
            send(m_from, m_to);
    });
    // An archive's refills come without a local reading: looked for now and then.
    m_every->setInterval(5000);
    connect(m_every, &QTimer::timeout, this, [this] {
        if (!m_soon->isActive())
            sendNext();
    });
}

bool RemoteWriter::start(QString *why)
{
    QByteArray secret;
    if (!m_config.username.isEmpty()) {
        if (!firstLine(m_config.passwordFile, &secret, why))
            return false;
        m_authorization = "Basic " + (m_config.username.toUtf8() + ':' + secret).toBase64();
    } else if (!m_config.bearerTokenFile.isEmpty()) {
        if (!firstLine(m_config.bearerTokenFile, &secret, why))
            return false;
        m_authorization = "Bearer " + secret;
    }
    m_ssl = QSslConfiguration::defaultConfiguration();
    if (!m_config.caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(m_config.caFile);
        if (authorities.isEmpty()) {
            *why = QStringLiteral("%1 holds no certificate").arg(m_config.caFile);
            return false;
        }
        m_ssl.setCaCertificates(authorities);
    }
    if (!m_config.certFile.isEmpty()) {
        const QList<QSslCertificate> own = QSslCertificate::fromPath(m_config.certFile);
        QFile keyFile(m_config.keyFile);
        const QByteArray keyText = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
        QSslKey key(keyText, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(keyText, QSsl::Ec);
        if (own.isEmpty() || key.isNull()) {
            *why = own.isEmpty() ? QStringLiteral("%1 holds no certificate").arg(m_config.certFile)
                                 : QStringLiteral("%1 holds no private key this monitor can read (RSA or EC, not "
                                                  "encrypted)")
                                       .arg(m_config.keyFile);
            return false;
        }
        m_ssl.setLocalCertificate(own.first());
        m_ssl.setPrivateKey(key);
    }
    m_running = true;
    m_every->start();
    m_soon->start(0);
    return true;
}

void RemoteWriter::stop()
{
    m_running = false;
    m_soon->stop();
    m_retry->stop();
    m_every->stop();
}

void RemoteWriter::readingsStored()
{
    // What came in the next tenth of a second goes in the same request.
    if (m_running && !m_busy && !m_soon->isActive())
        m_soon->start(100);
}

QNetworkReply *RemoteWriter::post(const QByteArray &body)
{
    QNetworkRequest request{QUrl(m_config.url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-protobuf"));
    request.setRawHeader("Content-Encoding", "snappy");
    request.setRawHeader("X-Prometheus-Remote-Write-Version", "0.1.0");
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("frostgauge-monitor"));
    if (!m_authorization.isEmpty())
        request.setRawHeader("Authorization", m_authorization);
    if (request.url().scheme() == QLatin1String("https"))
        request.setSslConfiguration(m_ssl);
    request.setTransferTimeout(RequestTimeoutMs);
    return m_network->post(request, body);
}

QString RemoteWriter::engineWords(QNetworkReply *reply) const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::SslHandshakeFailedError)
        return QStringLiteral("TLS: %1; check ca_file, and cert_file with key_file").arg(reply->errorString());
    if (status == 0)
        return reply->errorString();
    const QString body = QString::fromUtf8(reply->readAll().left(300)).simplified();
    const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    QString words = QStringLiteral("%1 %2").arg(status).arg(reason).trimmed();
    if (status == 401 || status == 403)
        words += QStringLiteral(": the engine refused the login; check username with password_file, or "
                                "bearer_token_file");
    else if (status == 404)
        words += QStringLiteral(": no remote-write receiver at %1").arg(m_config.url);
    return body.isEmpty() ? words : QStringLiteral("%1 (%2)").arg(words, body);
}

void RemoteWriter::probe(const std::function<void(const QString &problem)> &done)
{
    QNetworkReply *reply = post(RemoteWrite::writeRequest({}, {}));
    connect(reply, &QNetworkReply::finished, this, [this, reply, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        done(reply->error() == QNetworkReply::NoError && status / 100 == 2 ? QString() : engineWords(reply));
    });
}

bool RemoteWriter::seriesOf(const QString &stored, Series *series)
{
    RemoteWrite::SeriesName name;
    const auto local = m_local.constFind(stored);
    if (local != m_local.constEnd()) {
        name = {local->instrument, local->channel, QString(), local->unit, !local->states.isEmpty()};
    } else if (stored.contains(QLatin1Char('/'))) {
        name = RemoteWrite::archivedSeries(stored, m_store->unitOf(stored));
    } else {
        return false; // a name the store keeps events of only (a line instrument's own)
    }
    series->name = stored;
    series->labels = RemoteWrite::seriesLabels(name, m_config.monitorName, m_config.labels, &series->factor);
    return true;
}

void RemoteWriter::sendNext()
{
    if (!m_running || m_busy || m_batchOpen)
        return;
    m_series.clear();
    m_samples.clear();
    m_taken.clear();
    m_positions.clear();
    m_searches.clear();
    m_more = false;
    int room = MaxSamplesPerRequest;
    const QStringList names = m_store->instruments();
    for (const QString &name : names) {
        if (room <= 0) {
            m_more = true;
            break;
        }
        Series series;
        if (!seriesOf(name, &series))
            continue;
        HistoryStore::RemotePosition position = m_store->remotePosition(name);
        if (!position.inPass) {
            // A pass over the readings above the watermark, in time order.
            qint64 fromMs = 0;
            if (!m_store->firstTimeAfter(name, position.watermark, &fromMs))
                continue;
            position = {position.watermark, fromMs - 1, std::numeric_limits<qint64>::max(), true, position.watermark};
        }
        const int index = m_series.size();
        int got = 0;
        m_store->readingsAfter(name, position.watermark, position.cursorTimeMs, position.cursorSeq, room,
                               [&](const StoredReading &reading) {
                                   m_samples.append({index, reading.timeMs, reading.kelvin * series.factor});
                                   m_taken.append({index, reading.timeMs, reading.seq});
                                   position.cursorTimeMs = reading.timeMs;
                                   position.cursorSeq = reading.seq;
                                   position.passHighest = qMax(position.passHighest, reading.seq);
                                   ++got;
                               });
        if (got < room) {
            // Every reading above the watermark is in: the pass ends with this batch.
            position.watermark = qMax(position.watermark, position.passHighest);
            position.inPass = false;
        } else {
            m_more = true;
        }
        room -= got;
        m_positions.insert(name, position);
        if (got > 0)
            m_series.append(series);
    }
    if (m_samples.isEmpty()) {
        batchDone();
        return;
    }
    m_batchOpen = true;
    send(0, int(m_samples.size()));
}

void RemoteWriter::send(int from, int to)
{
    QVector<RemoteWrite::Labels> labels;
    for (const Series &series : qAsConst(m_series))
        labels.append(series.labels);
    m_busy = true;
    m_from = from;
    m_to = to;
    QNetworkReply *reply = post(RemoteWrite::writeRequest(labels, m_samples.mid(from, to - from)));
    connect(reply, &QNetworkReply::finished, this, [this, reply, from, to] { answered(reply, from, to); });
}

void RemoteWriter::answered(QNetworkReply *reply, int from, int to)
{
    reply->deleteLater();
    m_busy = false;
    if (!m_running)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool taken = reply->error() == QNetworkReply::NoError && status / 100 == 2;
    if (!taken)
        m_lastRefusal = engineWords(reply);
    if (!taken
        && (outageStatus(status) || reply->error() == QNetworkReply::OperationCanceledError
            || reply->error() == QNetworkReply::TimeoutError)) {
        // The same request goes again after a wait.
        outage(m_lastRefusal);
        m_retry->start(m_retryMs);
        m_retryMs = qMin(2 * m_retryMs, int(LongestRetryMs));
        return;
    }
    if (taken) {
        m_sent += to - from;
        m_retryMs = 1000;
        if (m_outageSinceMs >= 0) {
            m_outageEndMs = m_clock();
            m_outageLengthMs = m_outageEndMs - m_outageSinceMs;
            m_sentAfterOutage = 0;
            say(QStringLiteral("remote write: %1 takes readings again after %2 s")
                    .arg(m_config.url)
                    .arg(m_outageLengthMs / 1000));
            m_outageSinceMs = -1;
        }
        if (m_sentAfterOutage >= 0)
            m_sentAfterOutage += to - from;
        if (m_refused > 0 && m_searches.empty())
            endRefusedBurst();
    } else if (m_searches.empty() && !(from == 0 && to == int(m_samples.size()) && m_series.size() == 1)) {
        // The engine refuses some of the batch: each series is looked at on its own.
        for (int start = 0; start < m_samples.size();) {
            int end = start;
            while (end < m_samples.size() && m_samples.at(end).series == m_samples.at(start).series)
                ++end;
            m_searches.push_back({start, end, false});
            start = end;
        }
        searchNext();
        return;
    } else {
        if (m_searches.empty())
            m_searches.push_back({0, int(m_samples.size()), true});
    }
    if (!m_searches.empty()) {
        // A series' refused readings are its oldest (too old for the engine's
        // head block, or older than what it holds). They are found one by one
        // from the oldest, and the rest goes whole: a reading taken before an
        // older one would make that one out of order for the engine.
        Search &search = m_searches.front();
        if (taken) {
            search.lo = to;
            search.single = false;
        } else if (to - from == 1) {
            refuse(from, to);
            search.lo = to;
        } else {
            search.single = true;
        }
        searchNext();
        return;
    }
    batchDone();
}

void RemoteWriter::searchNext()
{
    while (!m_searches.empty() && m_searches.front().lo >= m_searches.front().hi)
        m_searches.pop_front();
    if (m_searches.empty()) {
        if (m_refused > 0)
            endRefusedBurst();
        batchDone();
        return;
    }
    const Search &search = m_searches.front();
    send(search.lo, search.single ? search.lo + 1 : search.hi);
}

void RemoteWriter::refuse(int from, int to)
{
    if (to <= from)
        return;
    m_refusedTotal += to - from;
    if (m_refused == 0) {
        const Taken &first = m_taken.at(from);
        m_refusedWhy = m_lastRefusal;
        say(QStringLiteral("remote write: %1 refused readings of %2 from %3 on: %4 (counted, not sent again; said once "
                           "for a burst)")
                .arg(m_config.url, m_series.at(first.series).name, isoTime(first.timeMs), m_refusedWhy));
    }
    m_refused += to - from;
}

void RemoteWriter::endRefusedBurst()
{
    emit event(EventKind::SamplesRefused,
               QStringLiteral("%1 reading(s) refused by %2: %3").arg(m_refused).arg(m_config.url, m_refusedWhy));
    m_refused = 0;
}

void RemoteWriter::batchDone()
{
    m_batchOpen = false;
    for (auto it = m_positions.constBegin(); it != m_positions.constEnd(); ++it)
        m_store->setRemotePosition(it.key(), it.value());
    if (!m_positions.isEmpty())
        emit storeCommitWanted();
    m_positions.clear();
    if (m_more) {
        m_soon->start(0);
        return;
    }
    // The backlog of an outage is in: the outage goes into the history.
    if (m_sentAfterOutage >= 0) {
        emit event(EventKind::RemoteWriteOutage,
                   QStringLiteral("%1 from %2 to %3 (%4 s): %5; %6 reading(s) sent after it")
                       .arg(m_config.url, isoTime(m_outageEndMs - m_outageLengthMs), isoTime(m_outageEndMs))
                       .arg(m_outageLengthMs / 1000)
                       .arg(m_outageWhy)
                       .arg(m_sentAfterOutage));
        m_sentAfterOutage = -1;
    }
}

void RemoteWriter::outage(const QString &why)
{
    if (m_outageSinceMs >= 0)
        return;
    m_outageSinceMs = m_clock();
    m_outageWhy = why;
    say(QStringLiteral("remote write: %1: %2; readings wait in the store and go when it takes them again (said "
                       "once for the outage)")
            .arg(m_config.url, why));
}
