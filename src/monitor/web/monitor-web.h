#pragma once

// What the monitor serves over HTTP: the live state of every instrument (kept
// here as the monitor reports it), the JSON API over the store, the event
// stream, the Prometheus metrics and the dashboard's pages.

#include "device/instrument-identity.h"
#include "history/history-store.h"
#include "monitor/common/monitor-config.h"
#include "monitor/web/http-server.h"

#include <QHash>
#include <QObject>

#include <functional>

class MonitorWeb : public QObject
{
    Q_OBJECT

public:
    // Points per chart at the most, and the default.
    static constexpr int MaxPoints = 10000;
    static constexpr int DefaultPoints = 1000;
    // Readings a CSV download holds at the most.
    static constexpr qint64 MaxCsvRows = 200000;

    MonitorWeb(const MonitorConfig &config, HistoryStore *store, QObject *parent = nullptr);
    // Listens; false with error set (a busy port, unreadable TLS files).
    bool start(QString *error);
    void stop();

    // What the monitor learns, as it learns it. An archive adds its sources'
    // instruments as it hears of them.
    void addInstrument(const QString &instrument);
    // An archive's series that is a channel in this unit.
    void setUnit(const QString &instrument, const QString &unit);
    void reading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq);
    void status(const QString &instrument, const QString &status);
    void identity(const QString &instrument, const InstrumentIdentity &identity);
    void alarm(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs);
    void acknowledged(const QString &name, const QString &who, qint64 timeMs);
    void note(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);

    // What a logged-in person writes: the monitor does it, and returns why not
    // (empty when done).
    using NoteWriter =
        std::function<QString(const QString &instrument, qint64 timeMs, const QString &text, const QString &author)>;
    using Acknowledger = std::function<QString(const QString &alarm, const QString &who, const QString &note)>;
    void setWriters(const NoteWriter &note, const Acknowledger &acknowledge);

    HttpResponse handle(const HttpRequest &request);
    HttpServer *server() const { return m_server; }
    // Whether a page follows the event stream now.
    bool hasLiveClients() const { return m_server->streamCount() > 0; }

private:
    // A series on the pages: an instrument, or a channel of a line instrument.
    struct Instrument {
        SeriesInfo info; // its unit, and the instrument whose status and identity it shares
        InstrumentIdentity identity;
        QString status = QStringLiteral("starting");
        qint64 timeMs = -1;
        double kelvin = 0;
        qint64 seq = 0;
        qint64 readings = 0; // since the monitor started
    };
    struct AlarmState {
        QString instrument;
        bool raised = false;
        double value = 0;
        qint64 timeMs = -1;
        QString acknowledgedBy;
        qint64 acknowledgedMs = 0;
    };

    QByteArray instrumentsJson() const;
    HttpResponse history(const HttpRequest &request);
    HttpResponse events(const HttpRequest &request);
    HttpResponse readingsCsv(const HttpRequest &request);
    HttpResponse metrics();
    HttpResponse postNote(const HttpRequest &request);
    HttpResponse postAcknowledgement(const HttpRequest &request);
    HttpResponse page(const QString &path);
    // The instrument= (one configured), from= and to= (the last hour by
    // default) of a request; false with the refusal set.
    bool instrumentRange(const HttpRequest &request, QString *instrument, qint64 *from, qint64 *to,
                         HttpResponse *refusal) const;
    // A time parameter: absent gives fallback; false with the refusal set.
    bool timeParameter(const HttpRequest &request, const QString &name, qint64 fallback, qint64 *ms,
                       HttpResponse *refusal) const;

    MonitorConfig m_config;
    HistoryStore *m_store;
    HttpServer *m_server;
    QStringList m_names; // in the configuration's order
    QHash<QString, Instrument> m_instruments;
    // "instrument=..." and, for a channel, ",channel=..." of a series' metrics.
    QString metricLabels(const QString &series) const;
    // A series' latest value for the pages: "value" and "unit", a state's
    // word, and "kelvin" as ever for a temperature in kelvin.
    void addValue(QJsonObject *object, const Instrument &state, double value) const;
    QHash<QString, AlarmState> m_alarms; // by alarm name
    QStringList m_alarmNames;            // in the configuration's order
    QHash<QString, QByteArray> m_assets; // path -> bytes, read at start
    QHash<QString, QByteArray> m_assetTypes;
    NoteWriter m_writeNote;
    Acknowledger m_acknowledge;
};
