#pragma once

// Times as the history's commands take and write them.

#include <QString>

// Parses a time given on a command line: ISO 8601 (local time unless it says
// otherwise) or milliseconds since the epoch. False when it is neither.
bool parseHistoryTime(const QString &text, qint64 *ms);
// UTC, ISO 8601 with milliseconds.
QString isoTime(qint64 ms);
