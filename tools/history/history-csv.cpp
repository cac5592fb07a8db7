#include "history-csv.h"

#include "history-store.h"

#include <QTextStream>

const char ReadingsCsvHeader[] = "time,instrument,temperature_K\n";

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

QString readingCsvRow(const QString &instrument, qint64 timeMs, double kelvin)
{
    return isoTime(timeMs) + QLatin1Char(',') + csvField(instrument) + QString::asprintf(",%.3f\n", kelvin);
}

bool writeReadingsCsv(HistoryStore &store, const QString &instrument, qint64 fromMs, qint64 toMs, QTextStream &out)
{
    out << ReadingsCsvHeader;
    return store.readings(instrument, fromMs, toMs, [&](const StoredReading &reading) {
        out << readingCsvRow(reading.instrument, reading.timeMs, reading.kelvin);
    });
}
