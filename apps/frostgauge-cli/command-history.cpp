// history: what a frostgauge-monitor store holds, as CSV or JSON.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "history-options/store-selection.h"
#include "history/history-csv.h"
#include "history/history-store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cmath>
#include <limits>

namespace {

class JsonRows
{
public:
    void append(const QJsonObject &row)
    {
        out() << (m_count++ == 0 ? "[\n" : ",\n") << QJsonDocument(row).toJson(QJsonDocument::Compact);
    }
    void finish() { out() << (m_count == 0 ? "[]\n" : "\n]\n"); }

private:
    qint64 m_count = 0;
};

} // namespace

int commandHistory(const QStringList &arguments)
{
    QCommandLineParser parser;
    StoreSelection selection;
    const QCommandLineOption everyOption(QStringLiteral("every"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption csvOption(QStringLiteral("csv"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption eventsOption(QStringLiteral("events"));
    const QCommandLineOption localOption(QStringLiteral("local"));
    selection.addOptionsTo(parser);
    parser.addOptions({everyOption, csvOption, jsonOption, eventsOption, localOption});
    if (const int code = parseCommandLine(QStringLiteral("history"), parser, arguments))
        return code;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return fail(QStringLiteral("history needs one STORE"), Usage);
    if (parser.isSet(csvOption) && parser.isSet(jsonOption))
        return fail(QStringLiteral("give --csv or --json, not both"), Usage);
    if (const int code = selection.readTimes(parser))
        return code;
    qint64 everyMs = 0;
    if (parser.isSet(everyOption)) {
        double seconds = 0;
        if (!parseSeconds(parser.value(everyOption), 0.001, 31536000, &seconds))
            return fail(QStringLiteral("--every takes a number of seconds from 0.001 to 31536000"), Usage);
        everyMs = qint64(std::llround(seconds * 1000));
    }
    if (everyMs > 0 && parser.isSet(eventsOption))
        return fail(QStringLiteral("give --every or --events, not both"), Usage);

    if (selection.fromGiven && selection.toGiven && selection.fromMs > selection.toMs)
        return fail(QStringLiteral("--from must come before --to: the range %1 to %2 is empty")
                        .arg(isoTime(selection.fromMs), isoTime(selection.toMs)),
                    Usage);
    if (const int code = selection.open(parser, positional.first()))
        return code;
    HistoryStore &store = selection.store;
    const QString &instrument = selection.instrument;
    // UTC with a Z, or with --local the computer's time with its offset.
    const auto time = parser.isSet(localOption) ? &localIsoTime : &isoTime;
    const qint64 from = selection.fromMs;
    const qint64 to = selection.toMs;

    const bool json = parser.isSet(jsonOption);
    // JSON is written as it is read, one object a line inside the array: any
    // store in bounded memory.
    JsonRows rows;
    if (parser.isSet(eventsOption)) {
        if (!json)
            out() << "time,instrument,kind,detail,author\n";
        QVector<StoredEvent> events;
        if (!store.events(instrument, from, to, &events))
            return fail(store.error(), Failure);
        for (const StoredEvent &event : qAsConst(events)) {
            if (json)
                rows.append(QJsonObject{{"time", time(event.timeMs)},
                                        {"instrument", event.instrument},
                                        {"kind", event.kindText},
                                        {"detail", event.detail},
                                        {"author", event.author}});
            else
                out() << time(event.timeMs) << ',' << csvField(event.instrument) << ',' << csvField(event.kindText)
                      << ',' << csvField(event.detail) << ',' << csvField(event.author) << '\n';
        }
    } else if (everyMs > 0) {
        const bool kelvin = allInKelvin(store, instrument);
        if (!json)
            out() << (kelvin ? "time,instrument,min_K,max_K,mean_K,count\n"
                             : "time,instrument,min,max,mean,count,unit\n");
        // Written as read: --every 0.001 over a month is millions of buckets.
        const bool ok = store.buckets(instrument, from, to, everyMs, [&](const Bucket &bucket) {
            if (json) {
                QJsonObject row{{"time", time(bucket.startMs)},
                                {"instrument", bucket.instrument},
                                {"min", bucket.min},
                                {"max", bucket.max},
                                {"mean", bucket.mean},
                                {"count", bucket.count}};
                if (!kelvin)
                    row.insert(QStringLiteral("unit"), store.unitOf(bucket.instrument));
                rows.append(row);
            } else if (kelvin)
                out() << time(bucket.startMs) << ',' << csvField(bucket.instrument)
                      << QString::asprintf(",%.3f,%.3f,%.3f,", bucket.min, bucket.max, bucket.mean) << bucket.count
                      << '\n';
            else
                out() << time(bucket.startMs) << ',' << csvField(bucket.instrument) << ','
                      << QString::number(bucket.min, 'g', 6) << ',' << QString::number(bucket.max, 'g', 6) << ','
                      << QString::number(bucket.mean, 'g', 6) << ',' << bucket.count << ','
                      << csvField(store.unitOf(bucket.instrument)) << '\n';
        });
        if (!ok)
            return fail(store.error(), Failure);
    } else if (!json) {
        if (!writeReadingsCsv(store, instrument, from, to, out(), parser.isSet(localOption)))
            return fail(store.error(), Failure);
    } else {
        QHash<QString, QString> units;
        const bool ok = store.readings(instrument, from, to, [&](const StoredReading &reading) {
            auto unit = units.find(reading.instrument);
            if (unit == units.end())
                unit = units.insert(reading.instrument, store.unitOf(reading.instrument));
            // A temperature as ever; a channel's value with its unit.
            if (*unit == QLatin1String("K"))
                rows.append(QJsonObject{
                    {"time", time(reading.timeMs)}, {"instrument", reading.instrument}, {"kelvin", reading.kelvin}});
            else
                rows.append(QJsonObject{{"time", time(reading.timeMs)},
                                        {"instrument", reading.instrument},
                                        {"value", reading.kelvin},
                                        {"unit", *unit}});
        });
        if (!ok)
            return fail(store.error(), Failure);
    }
    if (json)
        rows.finish();
    return Success;
}
