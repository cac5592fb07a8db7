#include "monitor/mqtt/mqtt-client.h"

#include "monitor/common/monitor-log.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

namespace {

constexpr int LongestRetryMs = 10000;
constexpr int MaxInFlight = 1000;
constexpr int KeepAliveSeconds = 30;

// Only one library initialisation per process, whatever the number of clients.
void initialiseLibrary()
{
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    Q_UNUSED(done);
}

QString reason(int result)
{
    return QString::fromUtf8(mosquitto_strerror(result));
}

} // namespace

MqttClient::MqttClient(const MqttConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_miscTimer(new QTimer(this)), m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &MqttClient::connectNow);
    connect(m_miscTimer, &QTimer::timeout, this, &MqttClient::service);
}

MqttClient::~MqttClient()
{
    if (m_client)
        mosquitto_destroy(m_client);
}

QString MqttClient::endpoint() const
{
    return QStringLiteral("%1:%2").arg(m_config.host).arg(m_config.port);
}

bool MqttClient::start(const QString &willTopic, bool persistentSession)
{
    initialiseLibrary();
    m_willTopic = willTopic;
    m_client = mosquitto_new(m_config.clientId.toUtf8().constData(), !persistentSession, this);
    if (!m_client) {
        qCCritical(lcMonitor).noquote() << "mqtt: cannot create a client";
        return false;
    }
    mosquitto_connect_callback_set(m_client, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_client, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(m_client, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_client, &MqttClient::onMessage);
    mosquitto_max_inflight_messages_set(m_client, MaxInFlight);

    // A monitor that dies without a word leaves "offline" behind.
    const QByteArray will = willTopic.toUtf8();
    mosquitto_will_set(m_client, will.constData(), 7, "offline", 1, true);

    if (!m_config.username.isEmpty()) {
        QByteArray password;
        if (!m_config.passwordFile.isEmpty()) {
            QFile file(m_config.passwordFile);
            if (!file.open(QIODevice::ReadOnly) || file.size() > 4096) {
                qCCritical(lcMonitor).noquote() << "mqtt: cannot read the password file" << m_config.passwordFile;
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
            qCCritical(lcMonitor).noquote() << "mqtt: TLS files not usable:" << reason(result);
            return false;
        }
    }
    m_miscTimer->start(1000);
    connectNow();
    return true;
}

void MqttClient::stop()
{
    m_stopping = true;
    m_retryTimer->stop();
    if (m_connected) {
        publish(m_willTopic, "offline", true);
        mosquitto_disconnect(m_client);
        // Let the last packets and the DISCONNECT leave.
        for (int i = 0; i < 20 && mosquitto_want_write(m_client); ++i)
            mosquitto_loop_write(m_client, 1);
    }
}

void MqttClient::connectNow()
{
    m_down = false;
    const int result = m_attempted ? mosquitto_reconnect_async(m_client)
                                   : mosquitto_connect_async(m_client, m_config.host.toUtf8().constData(),
                                                             m_config.port, KeepAliveSeconds);
    m_attempted = true;
    if (result != MOSQ_ERR_SUCCESS) {
        const QString problem = QStringLiteral("mqtt: cannot reach %1: %2").arg(endpoint(), reason(result));
        if (problem != m_lastProblem)
            qCInfo(lcMonitor).noquote() << problem + QStringLiteral("; readings are kept and sent when it is back");
        m_lastProblem = problem;
        m_down = true;
        scheduleReconnect();
        return;
    }
    watchSocket();
}

void MqttClient::scheduleReconnect()
{
    if (m_stopping)
        return;
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = qMin(m_retryDelayMs * 2, LongestRetryMs);
}

void MqttClient::watchSocket()
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

void MqttClient::flush()
{
    watchSocket();
}

void MqttClient::service()
{
    if (m_socket >= 0) {
        // Keep-alive pings, and the end of a connection whose broker stopped answering.
        if (mosquitto_loop_misc(m_client) != MOSQ_ERR_SUCCESS)
            lose(MOSQ_ERR_NO_CONN);
        watchSocket();
    }
}

void MqttClient::onConnect(mosquitto *, void *self, int result)
{
    const CallbackScope scope(static_cast<MqttClient *>(self));
    static_cast<MqttClient *>(self)->connectResult(result);
}

void MqttClient::onDisconnect(mosquitto *, void *self, int result)
{
    const CallbackScope scope(static_cast<MqttClient *>(self));
    static_cast<MqttClient *>(self)->lose(result == 0 ? MOSQ_ERR_SUCCESS : MOSQ_ERR_CONN_LOST);
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    const CallbackScope scope(static_cast<MqttClient *>(self));
    emit static_cast<MqttClient *>(self)->acknowledged(mid);
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    const CallbackScope scope(static_cast<MqttClient *>(self));
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    emit static_cast<MqttClient *>(self)->message(topic, payload, message->retain);
}

bool MqttClient::subscribe(const QString &pattern)
{
    if (!m_connected)
        return false;
    const bool ok = mosquitto_subscribe(m_client, nullptr, pattern.toUtf8().constData(), 1) == MOSQ_ERR_SUCCESS;
    watchSocket();
    return ok;
}

void MqttClient::connectResult(int result)
{
    if (result != 0) {
        // Refused (a wrong password, a client not allowed): said once, tried again slowly.
        const QString problem = QStringLiteral("mqtt: %1 refused the connection: %2")
                                    .arg(endpoint(), QString::fromUtf8(mosquitto_connack_string(result)));
        if (problem != m_lastProblem)
            qCInfo(lcMonitor).noquote() << problem + QStringLiteral("; readings are kept in the store");
        m_lastProblem = problem;
        return; // the read that delivered the refusal ends the connection and schedules the next try
    }
    m_connected = true;
    m_retryDelayMs = 500;
    m_lastProblem.clear();
    qCInfo(lcMonitor).noquote() << QStringLiteral("mqtt: connected to %1").arg(endpoint());
    publish(m_willTopic, "online", true);
    emit connected();
    watchSocket();
}

void MqttClient::lose(int result)
{
    // Reported by a failed read or write, by the library's own disconnect
    // callback, or both: handled once per connection attempt.
    if (m_down || m_stopping)
        return;
    m_down = true;
    watchSocket();
    const bool was = m_connected;
    m_connected = false;
    if (was) {
        qCInfo(lcMonitor).noquote()
            << QStringLiteral("mqtt: connection to %1 lost (%2); readings are kept and sent when it is back")
                   .arg(endpoint(), reason(result));
        emit disconnected();
    } else if (m_lastProblem.isEmpty()) {
        m_lastProblem = QStringLiteral("mqtt: cannot reach %1: %2").arg(endpoint(), reason(result));
        qCInfo(lcMonitor).noquote() << m_lastProblem + QStringLiteral("; readings are kept and sent when it is back");
    }
    scheduleReconnect();
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain, int *mid)
{
    if (!m_connected)
        return false;
    const QByteArray name = topic.toUtf8();
    const int result =
        mosquitto_publish(m_client, mid, name.constData(), payload.size(), payload.constData(), m_config.qos, retain);
    if (result != MOSQ_ERR_SUCCESS)
        return false;
    // Out at once rather than at the next turn of the loop; but not from
    // within one of the library's callbacks: a write that finds the
    // connection gone reports it through the disconnect callback, under the
    // lock the library holds while it calls us, and the loop would never
    // return. There the read that called us ends by watching the socket for
    // writing, and the packet leaves at the next turn.
    if (m_inCallback == 0)
        mosquitto_loop_write(m_client, 1);
    return true;
}
