#pragma once

// Publishes the monitor's readings, states and alarms to an MQTT broker with
// libmosquitto, on the monitor's own event loop (no threads): the client's
// socket is watched with notifiers and its housekeeping runs on a timer.
//
// Nothing is lost while the broker is away: every reading is in the store with
// its sequence number, and the last one the broker acknowledged is kept there
// too. On (re)connecting, what the broker missed is published from the store in
// sequence order, in chunks, before live readings resume.

#include "history/history-store.h"
#include "monitor/monitor-config.h"

#include <QHash>
#include <QObject>
#include <QSet>

struct mosquitto;
class QSocketNotifier;
class QTimer;

class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    MqttPublisher(const MqttConfig &config, HistoryStore *store, const QStringList &instruments,
                  QObject *parent = nullptr);
    ~MqttPublisher() override;

    // Sets the client up and starts connecting. False with error set when the
    // configuration cannot be used (an unreadable password file, a bad TLS file).
    bool start(QString *error);
    // Says "offline" and disconnects.
    void stop();

    void publishReading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq);
    void publishStatus(const QString &instrument, const QString &status);
    void publishInfo(const QString &instrument, const QString &model, const QString &serialNumber,
                     const QString &version);
    void publishAlarm(const QString &instrument, const QString &alarm, const QString &state, double value,
                      qint64 timeMs);

signals:
    void logLine(const QString &line);

private:
    static void onConnect(mosquitto *client, void *self, int result);
    static void onDisconnect(mosquitto *client, void *self, int result);
    static void onPublish(mosquitto *client, void *self, int mid);

    void connected(int result);
    void lose(int result);
    void acknowledged(int mid);
    void connectNow();
    void scheduleReconnect();
    void watchSocket();
    void service();
    void replayMore();
    bool send(const QString &topic, const QByteArray &payload, bool retain, int *mid = nullptr);
    QString topic(const QString &instrument, const QString &leaf) const;
    QByteArray readingPayload(qint64 timeMs, double kelvin, qint64 seq) const;

    MqttConfig m_config;
    HistoryStore *m_store;
    QStringList m_instruments;
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
    QString m_lastProblem;

    struct InFlight {
        QString instrument;
        qint64 seq;
        qint64 timeMs;
    };
    QHash<int, InFlight> m_inFlight;
    // Per instrument while the backlog is being sent: the last reading queued.
    struct Cursor {
        qint64 seq;
        qint64 timeMs;
    };
    QHash<QString, Cursor> m_replaying;
    // Retained states, sent again after a reconnection (a broker without
    // persistence forgets them).
    QHash<QString, QByteArray> m_retained;
};
