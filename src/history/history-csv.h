#pragma once

// The store's readings as CSV, the same wherever they are exported (the
// command line, the viewer): a header, then one row per reading with its time
// (ISO 8601 in UTC, with milliseconds and a Z), its instrument and its kelvin.

#include <QString>

class HistoryStore;
class QTextStream;

// A field quoted as CSV needs it: with a comma, a quote or a line break.
QString csvField(const QString &text);
// Writes the header and the readings of one instrument (empty: all) in
// [fromMs, toMs]. False with the store's error when it cannot be read.
// Temperatures in kelvin as ever (temperature_K, three decimals); where a
// line instrument's channel is among them, value and unit columns instead.
bool allInKelvin(HistoryStore &store, const QString &instrument);
// local: times in local time with their offset (else UTC, with a Z).
bool writeReadingsCsv(HistoryStore &store, const QString &instrument, qint64 fromMs, qint64 toMs, QTextStream &out,
                      bool local = false);
