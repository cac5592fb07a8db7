#pragma once

// Times as the history's commands take and write them.

#include <QString>

// The times the history's tools take and draw: from 1970 to the end of the
// year 9999. Kept within these, no arithmetic on a range can overflow.
constexpr qint64 EarliestHistoryMs = 0;
constexpr qint64 LatestHistoryMs = 253402300799999; // 9999-12-31T23:59:59.999Z

// Parses a time given on a command line: ISO 8601 (local time unless it says
// otherwise), milliseconds since the epoch, or a time relative to nowMs (the
// clock's by default): "now", "-10m", "-12h", "-7d" (s, m, h, d, w), "2 hours
// ago". False when it is none of these, or outside the times above.
bool parseHistoryTime(const QString &text, qint64 *ms, qint64 nowMs = -1);
// What parseHistoryTime takes, for messages.
inline constexpr char HistoryTimeForms[] = "an ISO 8601 time (2026-12-10T06:00:00), milliseconds since 1970, or a time "
                                           "before now (-10m, -12h, -7d, \"2 hours ago\", now), from 1970 to the end "
                                           "of 9999";
// The same time in the computer's local time, with its offset from UTC.
QString localIsoTime(qint64 ms);

// ms held within the times above.
inline qint64 clampHistoryTime(qint64 ms)
{
    return ms < EarliestHistoryMs ? EarliestHistoryMs : ms > LatestHistoryMs ? LatestHistoryMs : ms;
}
// UTC, ISO 8601 with milliseconds.
QString isoTime(qint64 ms);
