#pragma once

// Times as the history's commands take and write them.

#include <QString>

// The times the history's tools take and draw: from 1970 to the end of the
// year 9999. Kept within these, no arithmetic on a range can overflow.
constexpr qint64 EarliestHistoryMs = 0;
constexpr qint64 LatestHistoryMs = 253402300799999; // 9999-12-31T23:59:59.999Z

// Parses a time given on a command line: ISO 8601 (local time unless it says
// otherwise) or milliseconds since the epoch. False when it is neither, or
// outside the times above.
bool parseHistoryTime(const QString &text, qint64 *ms);
// ms held within the times above.
inline qint64 clampHistoryTime(qint64 ms)
{
    return ms < EarliestHistoryMs ? EarliestHistoryMs : ms > LatestHistoryMs ? LatestHistoryMs : ms;
}
// UTC, ISO 8601 with milliseconds.
QString isoTime(qint64 ms);
