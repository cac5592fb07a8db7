#pragma once

// libmosquitto on the monitor's own event loop (no threads): the client's
// socket is watched with notifiers and its housekeeping runs on a timer. It
// connects, reconnects at doubling intervals up to ten seconds, publishes and
// reports acknowledgements; what to publish and when is the publisher's.

#include "monitor/common/monitor-config.h"

#include <QObject>

struct mosquitto;
class QSocketNotifier;
class QTimer;

class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(const MqttConfig &config, QObject *parent = nullptr);
    ~MqttClient() override;

    // Sets the client up (Last Will on willTopic, login, TLS) and starts
    // connecting. False, with the reason logged, when the configuration cannot
    // be used (an unreadable password file, a bad TLS file). With a persistent
    // session the broker keeps the subscriptions and queues what arrives for
    // them while the client is away.
    bool start(const QString &willTopic, bool persistentSession = false);
    // Publishes "offline" on the Will's topic and disconnects.
    void stop();

    bool isConnected() const { return m_connected; }
    // False when not connected or the library refuses; mid identifies the
    // message in acknowledged().
    bool publish(const QString &topic, const QByteArray &payload, bool retain, int *mid = nullptr);
    // Lets what was published go out (and watches for more to write).
    void flush();
    // At QoS 1; done again by the owner at each connected().
    bool subscribe(const QString &pattern);

signals:
    void connected();
    void disconnected();
    // The broker has the message (QoS 1 and 2), or it left (QoS 0).
    void acknowledged(int mid);
    void message(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *client, void *self, int result);
    static void onDisconnect(mosquitto *client, void *self, int result);
    static void onPublish(mosquitto *client, void *self, int mid);
    static void onMessage(mosquitto *client, void *self, const struct mosquitto_message *message);
    // Marks the time the library spends in one of the callbacks above.
    struct CallbackScope {
        explicit CallbackScope(MqttClient *client) : client(client) { ++client->m_inCallback; }
        ~CallbackScope() { --client->m_inCallback; }
        CallbackScope(const CallbackScope &) = delete;
        CallbackScope &operator=(const CallbackScope &) = delete;
        MqttClient *client;
    };

    void connectResult(int result);
    void lose(int result);
    void connectNow();
    void scheduleReconnect();
    void watchSocket();
    void service();
    QString endpoint() const;

    MqttConfig m_config;
    QString m_willTopic;
    mosquitto *m_client = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    int m_socket = -1;
    QTimer *m_miscTimer;
    QTimer *m_retryTimer;
    int m_retryDelayMs = 500;
    bool m_connected = false;
    bool m_stopping = false;
    bool m_attempted = false;
    bool m_down = true; // no connection, nor an attempt under way
    int m_inCallback = 0;
    QString m_lastProblem;
};
