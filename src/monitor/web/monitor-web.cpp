#include "monitor/web/monitor-web.h"

#include "drivers/channel-units.h"
#include "frostgauge-version.h"
#include "history/history-csv.h"
#include "history/history-note.h"
#include "history/history-time.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

// The pages are built into the library; a static library's resources must be
// asked for by name (outside any namespace).
static void initWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace {

// Where Debian's libjs-dygraphs installs the chart library.
#ifndef FROSTGAUGE_DYGRAPHS_DIR
#define FROSTGAUGE_DYGRAPHS_DIR "/usr/share/javascript/dygraphs"
#endif

QJsonValue number(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

// A label value in the Prometheus text format.
QString label(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QByteArray streamEvent(const char *name, const QJsonObject &data)
{
    return QByteArray("event: ") + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
}

HttpResponse badParameter(const QString &name, const QString &why)
{
    return HttpResponse::text(400, QStringLiteral("%1: %2").arg(name, why));
}

} // namespace

MonitorWeb::MonitorWeb(const MonitorConfig &config, HistoryStore *store, QObject *parent)
    : QObject(parent), m_config(config), m_store(store),
      m_server(new HttpServer(
          config.http, [this](const HttpRequest &request) { return handle(request); }, this))
{
    for (const SeriesInfo &series : config.localSeries()) {
        m_names << series.name;
        Instrument state;
        state.info = series;
        m_instruments.insert(series.name, state);
    }
    for (const AlarmConfig &alarm : config.alarms) {
        m_alarms.insert(alarm.name, AlarmState{alarm.instrument, false, 0, -1, QString(), 0});
        m_alarmNames << alarm.name;
    }
}

void MonitorWeb::addInstrument(const QString &instrument)
{
    if (m_names.contains(instrument))
        return;
    m_names << instrument;
    // An archive's instrument: a temperature of its own.
    Instrument state;
    state.info = {instrument, instrument, QString(), QStringLiteral("K"), {}};
    m_instruments.insert(instrument, state);
}

void MonitorWeb::setUnit(const QString &instrument, const QString &unit)
{
    addInstrument(instrument);
    m_instruments[instrument].info.unit = unit;
}

QString MonitorWeb::metricLabels(const QString &series) const
{
    const SeriesInfo &info = m_instruments.value(series).info;
    if (info.channel.isEmpty())
        return QStringLiteral("instrument=") + label(series);
    return QStringLiteral("instrument=%1,channel=%2").arg(label(info.instrument), label(info.channel));
}

void MonitorWeb::addValue(QJsonObject *object, const Instrument &state, double value) const
{
    const bool known = state.timeMs >= 0;
    if (state.info.isKelvin() || state.info.name.isEmpty())
        object->insert(QStringLiteral("kelvin"), known ? number(value) : QJsonValue());
    object->insert(QStringLiteral("value"), known ? number(value) : QJsonValue());
    object->insert(QStringLiteral("unit"), state.info.name.isEmpty() ? QStringLiteral("K") : state.info.unit);
    if (!state.info.states.isEmpty())
        object->insert(QStringLiteral("state"), known ? QJsonValue(state.info.stateWord(value)) : QJsonValue());
}

bool MonitorWeb::start(QString *error)
{
    // The pages and the chart library are read once: the service's sandbox
    // and a changed package cannot pull them away while it runs.
    initWebResources();
    const QString dygraphs = qEnvironmentVariable("FROSTGAUGE_DYGRAPHS_DIR", QStringLiteral(FROSTGAUGE_DYGRAPHS_DIR));
    const QList<QPair<QString, QString>> files = {
        {QStringLiteral("/"), QStringLiteral(":/web/index.html")},
        {QStringLiteral("/instrument"), QStringLiteral(":/web/instrument.html")},
        {QStringLiteral("/assets/style.css"), QStringLiteral(":/web/style.css")},
        {QStringLiteral("/assets/dashboard.js"), QStringLiteral(":/web/dashboard.js")},
        {QStringLiteral("/assets/instrument.js"), QStringLiteral(":/web/instrument.js")},
        {QStringLiteral("/assets/values.js"), QStringLiteral(":/web/values.js")},
        {QStringLiteral("/assets/dygraph.min.js"), dygraphs + QStringLiteral("/dygraph.min.js")},
        {QStringLiteral("/assets/dygraph.min.css"), dygraphs + QStringLiteral("/dygraph.min.css")},
    };
    for (const auto &file : files) {
        QFile asset(file.second);
        if (!asset.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("[http]: %1 cannot be read (%2)%3")
                         .arg(file.second, asset.errorString(),
                              file.second.startsWith(dygraphs) ? QStringLiteral("; it comes with libjs-dygraphs")
                                                               : QString());
            return false;
        }
        m_assets.insert(file.first, asset.readAll());
        const QString suffix = QFileInfo(file.second).suffix();
        m_assetTypes.insert(file.first, suffix == QLatin1String("css")  ? "text/css; charset=utf-8"
                                        : suffix == QLatin1String("js") ? "text/javascript; charset=utf-8"
                                                                        : "text/html; charset=utf-8");
    }
    return m_server->start(error);
}

void MonitorWeb::stop()
{
    m_server->stop();
}

void MonitorWeb::reading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq)
{
    Instrument &state = m_instruments[instrument];
    state.timeMs = timeMs;
    state.kelvin = kelvin;
    state.seq = seq;
    ++state.readings;
    // Ten a second from each instrument: no event is made where no page follows.
    if (!hasLiveClients())
        return;
    QJsonObject event{
        {"instrument", instrument}, {"time", isoTime(timeMs)}, {"time_ms", double(timeMs)}, {"seq", double(seq)}};
    addValue(&event, state, kelvin);
    m_server->broadcast(streamEvent("reading", event));
}

void MonitorWeb::status(const QString &instrument, const QString &status)
{
    // Each channel of an instrument is in its instrument's state.
    bool found = false;
    for (auto it = m_instruments.begin(); it != m_instruments.end(); ++it) {
        if (it.key() != instrument && it->info.instrument != instrument)
            continue;
        found = true;
        it->status = status;
        m_server->broadcast(streamEvent("status", {{"instrument", it.key()}, {"status", status}}));
    }
    if (!found) {
        m_instruments[instrument].status = status;
        m_server->broadcast(streamEvent("status", {{"instrument", instrument}, {"status", status}}));
    }
}

void MonitorWeb::identity(const QString &instrument, const InstrumentIdentity &identity)
{
    bool found = false;
    for (auto it = m_instruments.begin(); it != m_instruments.end(); ++it) {
        if (it.key() == instrument || it->info.instrument == instrument) {
            it->identity = identity;
            found = true;
        }
    }
    if (!found)
        m_instruments[instrument].identity = identity;
}

void MonitorWeb::setWriters(const NoteWriter &note, const Acknowledger &acknowledge)
{
    m_writeNote = note;
    m_acknowledge = acknowledge;
}

void MonitorWeb::acknowledged(const QString &name, const QString &who, qint64 timeMs)
{
    AlarmState &state = m_alarms[name];
    state.acknowledgedBy = who;
    state.acknowledgedMs = timeMs;
    m_server->broadcast(streamEvent(
        "acknowledged", {{"alarm", name}, {"instrument", state.instrument}, {"by", who}, {"time", isoTime(timeMs)}}));
}

void MonitorWeb::note(const QString &instrument, qint64 timeMs, const QString &text, const QString &author)
{
    m_server->broadcast(streamEvent("note", {{"instrument", instrument},
                                             {"time", isoTime(timeMs)},
                                             {"time_ms", double(timeMs)},
                                             {"text", text},
                                             {"author", author}}));
}

void MonitorWeb::alarm(const QString &name, const QString &instrument, bool raised, double value, qint64 timeMs)
{
    m_alarms[name] = AlarmState{instrument, raised, value, timeMs, QString(), 0};
    if (!m_alarmNames.contains(name))
        m_alarmNames << name; // a source's own alarm, heard through the broker
    m_server->broadcast(streamEvent("alarm", {{"alarm", name},
                                              {"instrument", instrument},
                                              {"state", raised ? "raised" : "cleared"},
                                              {"value", number(value)},
                                              {"time", isoTime(timeMs)}}));
}

namespace {

// A JSON object as a request's body; false with the refusal set.
bool bodyObject(const HttpRequest &request, QJsonObject *object, HttpResponse *refusal)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *refusal = HttpResponse::text(400, QStringLiteral("the body is not a JSON object"));
        return false;
    }
    *object = document.object();
    return true;
}

} // namespace

HttpResponse MonitorWeb::postNote(const HttpRequest &request)
{
    QJsonObject body;
    HttpResponse refusal;
    if (!bodyObject(request, &body, &refusal))
        return refusal;
    const QJsonValue text = body.value(QLatin1String("text"));
    const QJsonValue instrument = body.value(QLatin1String("instrument"));
    const QJsonValue time = body.value(QLatin1String("time"));
    if (!text.isString())
        return badParameter(QStringLiteral("text"), QStringLiteral("a note needs some text"));
    const QString problem = noteProblem(text.toString());
    if (!problem.isEmpty())
        return badParameter(QStringLiteral("text"), problem);
    if (!instrument.isUndefined() && !instrument.isNull()
        && (!instrument.isString()
            || (!instrument.toString().isEmpty() && !m_instruments.contains(instrument.toString()))))
        return badParameter(QStringLiteral("instrument"), QStringLiteral("no such instrument"));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 at = now;
    // The time as the other parameters take it, or milliseconds as a number; now without one.
    bool timeOk = time.isUndefined() || time.isNull();
    if (time.isString())
        timeOk = parseHistoryTime(time.toString(), &at);
    else if (time.isDouble() && std::isfinite(time.toDouble()) && std::fabs(time.toDouble()) < 1e16)
        timeOk = (at = qint64(time.toDouble()), true);
    if (!timeOk)
        return badParameter(QStringLiteral("time"), QStringLiteral("ISO 8601 or milliseconds since 1970"));
    const QString timeProblem = noteTimeProblem(at, now);
    if (!timeProblem.isEmpty())
        return badParameter(QStringLiteral("time"), timeProblem);
    const QString failed = m_writeNote ? m_writeNote(instrument.toString(), at, text.toString(), request.user)
                                       : QStringLiteral("notes are not taken here");
    if (!failed.isEmpty())
        return HttpResponse::text(503, failed);
    HttpResponse created = HttpResponse::json(QJsonDocument(QJsonObject{{"time", isoTime(at)},
                                                                        {"instrument", instrument.toString()},
                                                                        {"text", text.toString()},
                                                                        {"author", request.user}})
                                                  .toJson(QJsonDocument::Compact));
    created.status = 201;
    return created;
}

HttpResponse MonitorWeb::postAcknowledgement(const HttpRequest &request)
{
    QJsonObject body;
    HttpResponse refusal;
    if (!bodyObject(request, &body, &refusal))
        return refusal;
    const QJsonValue alarm = body.value(QLatin1String("alarm"));
    const QJsonValue note = body.value(QLatin1String("note"));
    if (!alarm.isString() || !m_alarms.contains(alarm.toString()))
        return HttpResponse::text(404, QStringLiteral("no alarm %1").arg(alarm.toString()));
    if (!note.isUndefined() && !note.isNull()) {
        const QString problem = note.isString() ? noteProblem(note.toString()) : QStringLiteral("a note is text");
        if (!problem.isEmpty())
            return badParameter(QStringLiteral("note"), problem);
    }
    const QString failed = m_acknowledge ? m_acknowledge(alarm.toString(), request.user, note.toString())
                                         : QStringLiteral("alarm %1 is not this monitor's own").arg(alarm.toString());
    if (!failed.isEmpty())
        return HttpResponse::text(409, failed);
    return HttpResponse::json(QJsonDocument(QJsonObject{{"alarm", alarm.toString()}, {"acknowledged_by", request.user}})
                                  .toJson(QJsonDocument::Compact));
}

QByteArray MonitorWeb::instrumentsJson() const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QJsonArray list;
    for (const QString &name : m_names) {
        const Instrument &state = m_instruments.value(name);
        QJsonArray alarms;
        for (const QString &alarm : m_alarmNames) {
            const AlarmState &alarmState = m_alarms.value(alarm);
            if (alarmState.instrument == name)
                alarms.append(QJsonObject{{"name", alarm},
                                          {"raised", alarmState.raised},
                                          {"acknowledged_by", alarmState.acknowledgedBy.isEmpty()
                                                                  ? QJsonValue()
                                                                  : QJsonValue(alarmState.acknowledgedBy)},
                                          {"acknowledged_time", alarmState.acknowledgedBy.isEmpty()
                                                                    ? QJsonValue()
                                                                    : QJsonValue(isoTime(alarmState.acknowledgedMs))}});
        }
        QJsonObject entry{
            {"name", name},
            {"model", state.identity.model},
            {"serial_number", state.identity.serialNumber},
            {"version", state.identity.version},
            {"status", state.status},
            {"time", state.timeMs < 0 ? QJsonValue() : QJsonValue(isoTime(state.timeMs))},
            {"time_ms", state.timeMs < 0 ? QJsonValue() : QJsonValue(double(state.timeMs))},
            {"age_seconds", state.timeMs < 0 ? QJsonValue() : QJsonValue((now - state.timeMs) / 1000.0)},
            {"seq", double(state.seq)},
            {"alarms", alarms},
        };
        addValue(&entry, state, state.kelvin);
        list.append(entry);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

bool MonitorWeb::timeParameter(const HttpRequest &request, const QString &name, qint64 fallback, qint64 *ms,
                               HttpResponse *refusal) const
{
    if (!request.query.contains(name)) {
        *ms = fallback;
        return true;
    }
    if (parseHistoryTime(request.query.value(name), ms))
        return true;
    *refusal = badParameter(name, QStringLiteral("takes ") + QLatin1String(HistoryTimeForms));
    return false;
}

bool MonitorWeb::instrumentRange(const HttpRequest &request, QString *instrument, qint64 *from, qint64 *to,
                                 HttpResponse *refusal) const
{
    *instrument = request.query.value(QStringLiteral("instrument"));
    if (!m_instruments.contains(*instrument)) {
        *refusal = badParameter(QStringLiteral("instrument"),
                                instrument->isEmpty() ? QStringLiteral("is missing")
                                                      : QStringLiteral("no instrument %1").arg(*instrument));
        return false;
    }
    if (!timeParameter(request, QStringLiteral("to"), QDateTime::currentMSecsSinceEpoch(), to, refusal)
        || !timeParameter(request, QStringLiteral("from"), *to - 3600 * 1000, from, refusal))
        return false;
    if (*from > *to) {
        *refusal = badParameter(QStringLiteral("from"), QStringLiteral("comes after to"));
        return false;
    }
    return true;
}

HttpResponse MonitorWeb::history(const HttpRequest &request)
{
    QString instrument;
    qint64 from = 0;
    qint64 to = 0;
    HttpResponse refusal;
    if (!instrumentRange(request, &instrument, &from, &to, &refusal))
        return refusal;
    int points = DefaultPoints;
    if (request.query.contains(QStringLiteral("points"))) {
        bool ok = false;
        points = request.query.value(QStringLiteral("points")).toInt(&ok);
        if (!ok || points < 1 || points > MaxPoints)
            return badParameter(QStringLiteral("points"),
                                QStringLiteral("takes a whole number from 1 to %1").arg(MaxPoints));
    }
    // The viewer's query: the lowest and highest reading of each column, so
    // that a spike of one reading shows at any range; a range of fewer
    // readings than columns gives them one by one (lo equals hi).
    QVector<EnvelopePoint> columns;
    if (!m_store->envelope(instrument, from, to, points, &columns))
        return HttpResponse::text(500, QStringLiteral("the store cannot be read: %1").arg(m_store->error()));
    QJsonArray rows;
    for (const EnvelopePoint &point : qAsConst(columns))
        rows.append(QJsonArray{double(point.timeMs), number(point.lo), number(point.hi)});
    return HttpResponse::json(
        QJsonDocument(
            QJsonObject{{"instrument", instrument}, {"from", isoTime(from)}, {"to", isoTime(to)}, {"columns", rows}})
            .toJson(QJsonDocument::Compact));
}

HttpResponse MonitorWeb::readingsCsv(const HttpRequest &request)
{
    QString instrument;
    qint64 from = 0;
    qint64 to = 0;
    HttpResponse refusal;
    if (!instrumentRange(request, &instrument, &from, &to, &refusal))
        return refusal;
    // Built in memory, so bounded: a longer range is for frostgauge-cli history.
    // A temperature in kelvin as ever; a channel's value in its unit, as it came.
    const SeriesInfo &info = m_instruments.value(instrument).info;
    const bool kelvin = info.name.isEmpty() || info.isKelvin();
    QByteArray csv = kelvin                ? QByteArray("time,instrument,temperature_K\n")
                     : info.unit.isEmpty() ? QByteArray("time,instrument,value\n")
                                           : "time,instrument,value_" + csvField(info.unit).toUtf8() + '\n';
    qint64 rows = 0;
    const bool read = m_store->readings(
        instrument, from, to,
        [&](const StoredReading &reading) {
            ++rows;
            csv += isoTime(reading.timeMs).toUtf8() + ',' + csvField(reading.instrument).toUtf8() + ','
                   + (kelvin ? QByteArray::number(reading.kelvin, 'f', 3)
                             : QByteArray::number(reading.kelvin, 'g', QLocale::FloatingPointShortest))
                   + '\n';
        },
        MaxCsvRows + 1);
    if (!read)
        return HttpResponse::text(500, QStringLiteral("the store cannot be read: %1").arg(m_store->error()));
    if (rows > MaxCsvRows)
        return HttpResponse::text(413, QStringLiteral("more than %1 readings in this range; choose a shorter one, or "
                                                      "use frostgauge-cli history on the store")
                                           .arg(MaxCsvRows));
    HttpResponse response;
    response.contentType = "text/csv; charset=utf-8";
    response.body = csv;
    response.headers.append(
        qMakePair(QByteArray("Content-Disposition"), QByteArray("attachment; filename=\"readings.csv\"")));
    return response;
}

HttpResponse MonitorWeb::events(const HttpRequest &request)
{
    const QString instrument = request.query.value(QStringLiteral("instrument"));
    if (!instrument.isEmpty() && !m_instruments.contains(instrument))
        return badParameter(QStringLiteral("instrument"), QStringLiteral("no instrument %1").arg(instrument));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 from = 0;
    qint64 to = 0;
    HttpResponse refusal;
    if (!timeParameter(request, QStringLiteral("to"), now, &to, &refusal)
        || !timeParameter(request, QStringLiteral("from"), to - 24 * 3600 * 1000, &from, &refusal))
        return refusal;
    if (from > to)
        return badParameter(QStringLiteral("from"), QStringLiteral("comes after to"));
    QVector<StoredEvent> stored;
    if (!m_store->events(instrument, from, to, &stored))
        return HttpResponse::text(500, QStringLiteral("the store cannot be read: %1").arg(m_store->error()));
    // The newest thousand at the most: a page lists them, it does not archive them.
    const int first = qMax(0, stored.size() - 1000);
    QJsonArray list;
    for (int i = first; i < stored.size(); ++i) {
        const StoredEvent &stored_event = stored.at(i);
        list.append(QJsonObject{{"time", isoTime(stored_event.timeMs)},
                                {"time_ms", double(stored_event.timeMs)},
                                {"instrument", stored_event.instrument},
                                {"kind", stored_event.kindText},
                                {"detail", stored_event.detail},
                                {"author", stored_event.author}});
    }
    return HttpResponse::json(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

HttpResponse MonitorWeb::metrics()
{
    QString text;
    const auto family = [&](const char *name, const char *type, const char *help) {
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                    .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    };
    // The shortest text that reads back as the same double (148.473, not 148.47300000000001).
    const auto value = [](double number) { return QString::number(number, 'g', QLocale::FloatingPointShortest); };

    // The latest value of each series, a family per quantity in its base unit
    // (a pressure in mbar as pascals); a state channel as a set of its words.
    QStringList order{QStringLiteral("frostgauge_temperature_kelvin")};
    QHash<QString, QString> families;
    for (const QString &name : qAsConst(m_names)) {
        const Instrument &state = m_instruments.value(name);
        if (state.timeMs < 0)
            continue;
        const SeriesInfo &info = state.info;
        QString metric;
        QString lines;
        if (!info.states.isEmpty()) {
            metric = QStringLiteral("frostgauge_state");
            for (const auto &word : info.states)
                lines += QStringLiteral("%1{%2,state=%3} %4\n")
                             .arg(metric, metricLabels(name), label(word.first))
                             .arg(word.second == state.kelvin ? 1 : 0);
        } else {
            const ChannelUnit *unit = findChannelUnit(info.name.isEmpty() ? QStringLiteral("K") : info.unit);
            metric = QStringLiteral("frostgauge_") + QLatin1String(unit ? unit->metric : "value");
            lines = QStringLiteral("%1{%2} %3\n")
                        .arg(metric, metricLabels(name), value(state.kelvin * (unit ? unit->toBase : 1)));
        }
        if (!order.contains(metric))
            order << metric;
        families[metric] += lines;
    }
    for (const QString &metric : qAsConst(order)) {
        const QString help = metric == QLatin1String("frostgauge_temperature_kelvin")
                                 ? QStringLiteral("The instrument's latest reading.")
                             : metric == QLatin1String("frostgauge_state")
                                 ? QStringLiteral("1 for the state a channel shows, 0 for its others.")
                                 : QStringLiteral("A channel's latest reading, in %1.")
                                       .arg(metric.mid(metric.lastIndexOf(QLatin1Char('_')) + 1));
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n").arg(metric, help) + families.value(metric);
    }
    family("frostgauge_reading_timestamp_seconds", "gauge",
           "When the latest reading was taken, in seconds since 1970.");
    for (const QString &name : qAsConst(m_names)) {
        const Instrument &state = m_instruments.value(name);
        if (state.timeMs >= 0)
            text += QStringLiteral("frostgauge_reading_timestamp_seconds{%1} %2\n")
                        .arg(metricLabels(name), value(state.timeMs / 1000.0));
    }
    family("frostgauge_readings_total", "counter", "Readings stored since the monitor started.");
    for (const QString &name : qAsConst(m_names))
        text += QStringLiteral("frostgauge_readings_total{%1} %2\n")
                    .arg(metricLabels(name))
                    .arg(m_instruments.value(name).readings);
    family("frostgauge_instrument_up", "gauge", "1 while the instrument is online, 0 otherwise.");
    for (const QString &name : qAsConst(m_names))
        text += QStringLiteral("frostgauge_instrument_up{%1} %2\n")
                    .arg(metricLabels(name))
                    .arg(m_instruments.value(name).status == QLatin1String("online") ? 1 : 0);
    family("frostgauge_alarm_active", "gauge", "1 while the alarm is raised, 0 otherwise.");
    for (const QString &alarm : qAsConst(m_alarmNames))
        text += QStringLiteral("frostgauge_alarm_active{alarm=%1,instrument=%2} %3\n")
                    .arg(label(alarm), label(m_alarms.value(alarm).instrument))
                    .arg(m_alarms.value(alarm).raised ? 1 : 0);
    if (m_config.mqtt.enabled) {
        family("frostgauge_mqtt_backlog_readings", "gauge",
               "Readings stored that the MQTT broker has not acknowledged yet.");
        for (const QString &name : qAsConst(m_names)) {
            const qint64 seq = m_instruments.value(name).seq;
            const qint64 acked = m_store->acknowledgedSeq(name);
            text += QStringLiteral("frostgauge_mqtt_backlog_readings{%1} %2\n")
                        .arg(metricLabels(name))
                        .arg(seq > 0 ? qMax<qint64>(0, seq - acked) : 0);
        }
    }
    qint64 storeBytes = 0;
    for (const QString &suffix : {QString(), QStringLiteral("-wal")})
        storeBytes += QFileInfo(m_config.storePath + suffix).size();
    family("frostgauge_store_size_bytes", "gauge", "The size of the history store with its write-ahead log.");
    text += QStringLiteral("frostgauge_store_size_bytes %1\n").arg(storeBytes);
    family("frostgauge_http_stream_clients", "gauge", "Clients following the live event stream.");
    text += QStringLiteral("frostgauge_http_stream_clients %1\n").arg(m_server->streamCount());
    family("frostgauge_build_info", "gauge", "The monitor's version, as a label; always 1.");
    text += QStringLiteral("frostgauge_build_info{version=%1} 1\n").arg(label(QStringLiteral(FROSTGAUGE_VERSION)));

    HttpResponse response;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = text.toUtf8();
    return response;
}

HttpResponse MonitorWeb::page(const QString &path)
{
    // Only what is in the table is served: no path reaches the file system.
    QString key = path;
    if (path.startsWith(QLatin1String("/instrument/"))) {
        const QString name = path.mid(int(qstrlen("/instrument/")));
        if (!m_instruments.contains(name))
            return HttpResponse::text(404, QStringLiteral("no instrument %1").arg(name));
        key = QStringLiteral("/instrument");
    } else if (path == QLatin1String("/instrument") || !m_assets.contains(path)) {
        return HttpResponse::text(404, QStringLiteral("nothing at %1").arg(path));
    }
    HttpResponse response;
    response.contentType = m_assetTypes.value(key);
    response.body = m_assets.value(key);
    response.headers.append(
        qMakePair(QByteArray("Cache-Control"),
                  QByteArray(key.startsWith(QLatin1String("/assets/")) ? "max-age=3600" : "no-cache")));
    response.headers.append(qMakePair(QByteArray("Content-Security-Policy"),
                                      QByteArray("default-src 'self'; style-src 'self' 'unsafe-inline'")));
    return response;
}

HttpResponse MonitorWeb::handle(const HttpRequest &request)
{
    const QString &path = request.path;
    if (request.method == QLatin1String("POST")) {
        const bool note = path == QLatin1String("/api/notes");
        if (!note && path != QLatin1String("/api/acknowledge")) {
            HttpResponse refused = HttpResponse::text(405, QStringLiteral("%1 takes GET").arg(path));
            refused.headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD")));
            return refused;
        }
        // Writing needs to know who writes.
        if (m_config.http.users.isEmpty())
            return HttpResponse::text(403, QStringLiteral("writing needs a login: give [http] password_file"));
        return note ? postNote(request) : postAcknowledgement(request);
    }
    if (path == QLatin1String("/api/instruments"))
        return HttpResponse::json(instrumentsJson());
    if (path == QLatin1String("/api/history"))
        return history(request);
    if (path == QLatin1String("/api/events"))
        return events(request);
    if (path == QLatin1String("/api/readings.csv"))
        return readingsCsv(request);
    if (path == QLatin1String("/metrics"))
        return metrics();
    if (path == QLatin1String("/api/stream")) {
        HttpResponse stream;
        stream.stream = true;
        stream.body = "retry: 2000\nevent: instruments\ndata: " + instrumentsJson() + "\n\n";
        return stream;
    }
    return page(path);
}
