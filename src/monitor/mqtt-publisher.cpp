#include "monitor/mqtt-publisher.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cmath>

namespace {

constexpr int LongestRetryMs = 10000;
// Readings queued at once while the backlog is sent: memory stays bounded
// whatever the length of the outage.
constexpr int ReplayChunk = 2000;
constexpr int MaxInFlight = 1000;

QString isoUtc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Only one library initialisation per process, whatever the number of clients.
void initialiseLibrary()
{
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace

MqttPublisher::MqttPublisher(const MqttConfig &config, HistoryStore *store, const QStringList &instruments,
                             QObject *parent)
    : QObject(parent), m_config(config), m_store(store), m_instruments(instruments), m_miscTimer(new QTimer(this)),
      m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &MqttPublisher::connectNow);
    connect(m_miscTimer, &QTimer::timeout, this, &MqttPublisher::service);
}

MqttPublisher::~MqttPublisher()
{
    if (m_client)
        mosquitto_destroy(m_client);
}

QString MqttPublisher::topic(const QString &instrument, const QString &leaf) const
{
    return m_config.topicPrefix + QLatin1Char('/') + instrument + QLatin1Char('/') + leaf;
}

bool MqttPublisher::start(QString *error)
{
    initialiseLibrary();
    m_client = mosquitto_new(m_config.clientId.toUtf8().constData(), true, this);
    if (!m_client) {
        *error = QStringLiteral("mqtt: cannot create a client");
        return false;
    }
    mosquitto_connect_callback_set(m_client, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(m_client, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(m_client, &MqttPublisher::onPublish);
    mosquitto_max_inflight_messages_set(m_client, MaxInFlight);

    // A monitor that dies without a word leaves "offline" behind.
    const QByteArray will = topic(QStringLiteral("monitor"), m_config.clientId + QStringLiteral("/status")).toUtf8();
    mosquitto_will_set(m_client, will.constData(), 7, "offline", 1, true);

    if (!m_config.username.isEmpty()) {
        QByteArray password;
        if (!m_config.passwordFile.isEmpty()) {
            QFile file(m_config.passwordFile);
            if (!file.open(QIODevice::ReadOnly) || file.size() > 4096) {
                *error = QStringLiteral("mqtt: cannot read the password file %1").arg(m_config.passwordFile);
                return false;
            }
            password = file.readLine().trimmed();
        }
        mosquitto_username_pw_set(m_client, m_config.username.toUtf8().constData(),
                                  m_config.passwordFile.isEmpty() ? nullptr : password.constData());
    }
    if (m_config.tls()) {
        const QByteArray ca = QFile::encodeName(m_config.caFile);
        const QByteArray cert = QFile::encodeName(m_config.certFile);
        const QByteArray key = QFile::encodeName(m_config.keyFile);
        const int result =
            mosquitto_tls_set(m_client, ca.constData(), nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                              key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            *error =
                QStringLiteral("mqtt: TLS files not usable: %1").arg(QString::fromUtf8(mosquitto_strerror(result)));
            return false;
        }
    }
    m_miscTimer->start(1000);
    connectNow();
    return true;
}

void MqttPublisher::stop()
{
    m_stopping = true;
    m_retryTimer->stop();
    if (m_connected) {
        send(topic(QStringLiteral("monitor"), m_config.clientId + QStringLiteral("/status")), "offline", true);
        mosquitto_disconnect(m_client);
        // Let the last packets and the DISCONNECT leave.
        for (int i = 0; i < 20 && mosquitto_want_write(m_client); ++i)
            mosquitto_loop_write(m_client, 1);
    }
}

void MqttPublisher::connectNow()
{
    m_down = false;
    const int result = m_attempted
                           ? mosquitto_reconnect_async(m_client)
                           : mosquitto_connect_async(m_client, m_config.host.toUtf8().constData(), m_config.port, 30);
    m_attempted = true;
    if (result != MOSQ_ERR_SUCCESS) {
        const QString problem = QStringLiteral("mqtt: cannot reach %1:%2: %3")
                                    .arg(m_config.host)
                                    .arg(m_config.port)
                                    .arg(QString::fromUtf8(mosquitto_strerror(result)));
        if (problem != m_lastProblem)
            emit logLine(problem + QStringLiteral("; readings are kept and sent when it is back"));
        m_lastProblem = problem;
        m_down = true;
        scheduleReconnect();
        return;
    }
    watchSocket();
}

void MqttPublisher::scheduleReconnect()
{
    if (m_stopping)
        return;
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = qMin(m_retryDelayMs * 2, LongestRetryMs);
}

void MqttPublisher::watchSocket()
{
    // A connection that ended is not watched until the next attempt: its socket
    // stays readable (at its end) and would wake the loop without pause.
    const int socket = m_down ? -1 : mosquitto_socket(m_client);
    if (socket != m_socket) {
        // Deleted later: this may run inside one of their own signals.
        for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        m_readNotifier = m_writeNotifier = nullptr;
        m_socket = socket;
        if (socket >= 0) {
            m_readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
            connect(m_readNotifier, &QSocketNotifier::activated, this, [this] {
                const int result = mosquitto_loop_read(m_client, 1);
                if (result != MOSQ_ERR_SUCCESS)
                    lose(result);
                watchSocket();
            });
            m_writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
            connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] {
                const int result = mosquitto_loop_write(m_client, 1);
                if (result != MOSQ_ERR_SUCCESS)
                    lose(result);
                watchSocket();
            });
        }
    }
    // Write readiness is watched only while something waits to go out: an idle
    // writable socket would wake the loop without pause.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client));
}

void MqttPublisher::service()
{
    if (m_socket >= 0) {
        // Keep-alive pings, and the end of a connection whose broker stopped answering.
        if (mosquitto_loop_misc(m_client) != MOSQ_ERR_SUCCESS)
            lose(MOSQ_ERR_NO_CONN);
        watchSocket();
    }
}

void MqttPublisher::onConnect(mosquitto *, void *self, int result)
{
    static_cast<MqttPublisher *>(self)->connected(result);
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int result)
{
    static_cast<MqttPublisher *>(self)->lose(result == 0 ? MOSQ_ERR_SUCCESS : MOSQ_ERR_CONN_LOST);
}

void MqttPublisher::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttPublisher *>(self)->acknowledged(mid);
}

void MqttPublisher::connected(int result)
{
    if (result != 0) {
        // Refused (a wrong password, a client not allowed): said once, tried again slowly.
        const QString problem = QStringLiteral("mqtt: %1:%2 refused the connection: %3")
                                    .arg(m_config.host)
                                    .arg(m_config.port)
                                    .arg(QString::fromUtf8(mosquitto_connack_string(result)));
        if (problem != m_lastProblem)
            emit logLine(problem + QStringLiteral("; readings are kept in the store"));
        m_lastProblem = problem;
        return; // the read that delivered the refusal ends the connection and schedules the next try
    }
    m_connected = true;
    m_retryDelayMs = 500;
    m_lastProblem.clear();
    emit logLine(QStringLiteral("mqtt: connected to %1:%2").arg(m_config.host).arg(m_config.port));
    send(topic(QStringLiteral("monitor"), m_config.clientId + QStringLiteral("/status")), "online", true);
    for (auto it = m_retained.constBegin(); it != m_retained.constEnd(); ++it)
        send(it.key(), it.value(), true);
    if (m_config.homeAssistant) {
        for (const QString &instrument : qAsConst(m_instruments)) {
            const QString id = m_config.clientId + QLatin1Char('_') + instrument;
            const QJsonObject sensor{
                {"name", instrument + QStringLiteral(" temperature")},
                {"unique_id", id},
                {"state_topic", topic(instrument, QStringLiteral("temperature"))},
                {"value_template", "{{ value_json.kelvin }}"},
                {"unit_of_measurement", "K"},
                {"device_class", "temperature"},
                {"state_class", "measurement"},
                {"availability_topic", topic(instrument, QStringLiteral("status"))},
                {"payload_available", "online"},
                {"payload_not_available", "lost"},
            };
            send(QStringLiteral("homeassistant/sensor/%1/config").arg(id), compact(sensor), true);
        }
    }
    // What the broker missed, from the store, before any live reading.
    m_store->commit();
    for (const QString &instrument : qAsConst(m_instruments))
        m_replaying.insert(instrument, {m_store->acknowledgedSeq(instrument), m_store->acknowledgedTimeMs(instrument)});
    replayMore();
}

void MqttPublisher::replayMore()
{
    if (!m_connected)
        return;
    for (auto it = m_replaying.begin(); it != m_replaying.end();) {
        if (m_inFlight.size() >= MaxInFlight)
            break;
        const QString instrument = it.key();
        Cursor &cursor = it.value();
        int queued = 0;
        m_store->commit();
        m_store->readingsAfter(instrument, cursor.seq, cursor.timeMs, ReplayChunk, [&](const StoredReading &reading) {
            int mid = 0;
            if (send(topic(instrument, QStringLiteral("temperature")),
                     readingPayload(reading.timeMs, reading.kelvin, reading.seq), true, &mid)) {
                m_inFlight.insert(mid, {instrument, reading.seq, reading.timeMs});
                cursor = {reading.seq, reading.timeMs};
                ++queued;
            }
        });
        // A chunk shorter than asked for reached the newest reading: live from here.
        if (queued < ReplayChunk)
            it = m_replaying.erase(it);
        else
            ++it;
    }
    watchSocket();
}

void MqttPublisher::lose(int result)
{
    // Reported by a failed read or write, by the library's own disconnect
    // callback, or both: handled once per connection attempt.
    if (m_down || m_stopping)
        return;
    m_down = true;
    watchSocket();
    const bool was = m_connected;
    m_connected = false;
    m_inFlight.clear();
    m_replaying.clear();
    if (was) {
        emit logLine(QStringLiteral("mqtt: connection to %1:%2 lost (%3); readings are kept and sent when it is back")
                         .arg(m_config.host)
                         .arg(m_config.port)
                         .arg(QString::fromUtf8(mosquitto_strerror(result))));
    } else if (m_lastProblem.isEmpty()) {
        m_lastProblem = QStringLiteral("mqtt: cannot reach %1:%2: %3")
                            .arg(m_config.host)
                            .arg(m_config.port)
                            .arg(QString::fromUtf8(mosquitto_strerror(result)));
        emit logLine(m_lastProblem + QStringLiteral("; readings are kept and sent when it is back"));
    }
    scheduleReconnect();
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

bool MqttPublisher::send(const QString &topicName, const QByteArray &payload, bool retain, int *mid)
{
    if (!m_connected)
        return false;
    const QByteArray name = topicName.toUtf8();
    const int result =
        mosquitto_publish(m_client, mid, name.constData(), payload.size(), payload.constData(), m_config.qos, retain);
    if (result != MOSQ_ERR_SUCCESS)
        return false;
    // Out at once rather than at the next turn of the loop.
    mosquitto_loop_write(m_client, 1);
    return true;
}

QByteArray MqttPublisher::readingPayload(qint64 timeMs, double kelvin, qint64 seq) const
{
    // Three decimals, as the instrument reports them.
    return QStringLiteral("{\"time\":\"%1\",\"kelvin\":%2,\"seq\":%3}")
        .arg(isoUtc(timeMs))
        .arg(kelvin, 0, 'f', 3)
        .arg(seq)
        .toUtf8();
}

void MqttPublisher::publishReading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq)
{
    // While the backlog of this instrument is sent, the store carries it.
    if (!m_connected || m_replaying.contains(instrument))
        return;
    int mid = 0;
    if (send(topic(instrument, QStringLiteral("temperature")), readingPayload(timeMs, kelvin, seq), true, &mid))
        m_inFlight.insert(mid, {instrument, seq, timeMs});
    watchSocket();
}

void MqttPublisher::publishStatus(const QString &instrument, const QString &status)
{
    const QString name = topic(instrument, QStringLiteral("status"));
    m_retained.insert(name, status.toUtf8());
    send(name, status.toUtf8(), true);
    watchSocket();
}

void MqttPublisher::publishInfo(const QString &instrument, const QString &model, const QString &serialNumber,
                                const QString &version)
{
    const QString name = topic(instrument, QStringLiteral("info"));
    const QByteArray payload = compact({{"model", model}, {"serial_number", serialNumber}, {"version", version}});
    m_retained.insert(name, payload);
    send(name, payload, true);
    watchSocket();
}

void MqttPublisher::publishAlarm(const QString &instrument, const QString &alarm, const QString &state, double value,
                                 qint64 timeMs)
{
    const QString name = topic(instrument, QStringLiteral("alarm/") + alarm);
    QJsonObject object{{"state", state}, {"time", isoUtc(timeMs)}};
    object.insert(QStringLiteral("value"), std::isfinite(value) ? QJsonValue(value) : QJsonValue());
    const QByteArray payload = compact(object);
    m_retained.insert(name, payload);
    send(name, payload, true);
    watchSocket();
}
