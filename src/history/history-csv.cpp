#include "history/history-csv.h"

#include "history/history-store.h"

#include <QHash>
#include <QLocale>
#include <QTextStream>

#include <algorithm>

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

bool allInKelvin(HistoryStore &store, const QString &instrument)
{
    const QStringList names = instrument.isEmpty() ? store.instruments() : QStringList{instrument};
    return std::all_of(names.cbegin(), names.cend(),
                       [&](const QString &name) { return store.unitOf(name) == QLatin1String("K"); });
}

bool writeReadingsCsv(HistoryStore &store, const QString &instrument, qint64 fromMs, qint64 toMs, QTextStream &out,
                      bool local)
{
    const auto time = local ? &localIsoTime : &isoTime;
    if (allInKelvin(store, instrument)) {
        out << "time,instrument,temperature_K\n";
        return store.readings(instrument, fromMs, toMs, [&](const StoredReading &reading) {
            out << time(reading.timeMs) << ',' << csvField(reading.instrument)
                << QString::asprintf(",%.3f\n", reading.kelvin);
        });
    }
    // Channels of line instruments: each value as it came (a vacuum has no
    // three decimals), with its unit.
    QHash<QString, QString> units;
    out << "time,instrument,value,unit\n";
    return store.readings(instrument, fromMs, toMs, [&](const StoredReading &reading) {
        auto unit = units.find(reading.instrument);
        if (unit == units.end())
            unit = units.insert(reading.instrument, store.unitOf(reading.instrument));
        out << time(reading.timeMs) << ',' << csvField(reading.instrument) << ','
            << QString::number(reading.kelvin, 'g', QLocale::FloatingPointShortest) << ',' << csvField(*unit) << '\n';
    });
}
