#include "history/history-csv.h"

#include "history/history-store.h"

#include <QTextStream>

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

bool writeReadingsCsv(HistoryStore &store, const QString &instrument, qint64 fromMs, qint64 toMs, QTextStream &out)
{
    out << "time,instrument,temperature_K\n";
    return store.readings(instrument, fromMs, toMs, [&](const StoredReading &reading) {
        out << isoTime(reading.timeMs) << ',' << csvField(reading.instrument)
            << QString::asprintf(",%.3f\n", reading.kelvin);
    });
}
