#pragma once

// What the monitor publishes to an MQTT broker, and when.
//
// Nothing is lost while the broker is away: every reading is in the store with
// its sequence number, and the last one the broker acknowledged is kept there
// too. On (re)connecting, what the broker missed is published from the store in
// time order, in chunks, before live readings resume. Retained states are
// sent again after a reconnection (a broker without persistence forgets them).

#include "device/instrument-identity.h"
#include "history/history-store.h"
#include "monitor/common/instrument-status.h"
#include "monitor/common/monitor-config.h"
#include "monitor/mqtt/mqtt-payloads.h"

#include <QHash>
#include <QObject>

class MqttClient;

class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    // series: every series of the monitor's own instruments.
    MqttPublisher(const MqttConfig &config, HistoryStore *store, const QVector<SeriesInfo> &series,
                  QObject *parent = nullptr);

    // Starts connecting. False, with the reason logged, when the configuration
    // cannot be used (an unreadable password file, a bad TLS file). An archive
    // keeps a persistent session: the broker queues its sources' messages
    // while it is away.
    bool start(bool persistentSession = false);
    // The connection, which the archive's parts share.
    MqttClient *client() const { return m_client; }
    // Says "offline" and disconnects.
    void stop();
    bool isConnected() const;
    // Messages sent that the broker has not acknowledged yet: bounded, so that
    // a broker that never acknowledges costs no more memory than a slow one.
    int inFlight() const;

    // A reading of a series: a temperature in kelvin, or a channel's value.
    void publishReading(const QString &series, qint64 timeMs, double value, qint64 seq);
    // Whether the instrument is read: "online" or why not. A maintenance is no
    // state here, and a word already published is not published again.
    void publishStatus(const QString &instrument, InstrumentStatus status);
    void publishInfo(const QString &instrument, const InstrumentIdentity &identity);
    void publishAlarm(const QString &instrument, const QString &alarm, bool raised, double value, qint64 timeMs,
                      const QString &acknowledgedBy = QString(), qint64 acknowledgedMs = 0);
    // Not retained: a note is an event, not a state.
    void publishNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);

signals:
    // The backlog is read from the store: what is queued for it must be
    // written first. The monitor, which decides when the store commits, does.
    void storeCommitWanted();

private:
    void connected();
    void disconnected();
    void acknowledged(int mid);
    void replayMore();
    void publishRetained(const QString &topic, const QByteArray &payload);
    QString topic(const QString &instrument, const QString &leaf) const;
    // Where a reading of a series goes, and how it reads.
    MqttPayloads::Message readingMessage(const QString &series, qint64 timeMs, double value, qint64 seq) const;

    MqttConfig m_config;
    HistoryStore *m_store;
    QStringList m_instruments; // the series, in order
    QHash<QString, SeriesInfo> m_series;
    MqttClient *m_client;

    struct InFlight {
        QString instrument;
        qint64 seq;
        qint64 timeMs;
    };
    QHash<int, InFlight> m_inFlight;
    // Per instrument while the backlog is being sent: what the broker had, and
    // the last reading queued (the backlog goes in time order).
    struct Cursor {
        qint64 acked;
        qint64 timeMs;
        qint64 seq;
    };
    QHash<QString, Cursor> m_replaying;
    // The last reading of each instrument that went out live (its time and seq).
    QHash<QString, Cursor> m_lastLive;
    QHash<QString, QByteArray> m_retained;
    // Notes written while the broker was away, sent when it is back.
    QList<MqttPayloads::Message> m_unsentNotes;
};
