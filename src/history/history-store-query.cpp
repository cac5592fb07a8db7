// Reading the history: instruments, readings, buckets, events, the plot's
// envelope and the time span. A query that fails says so through error().

#include "history/history-store.h"

#include "history/history-time.h"
#include "history/sqlite-statement.h"

QStringList HistoryStore::instruments()
{
    QStringList names;
    SqliteStatement list(m_db, "SELECT name FROM instruments ORDER BY name");
    int status = SQLITE_ERROR;
    while (list && (status = list.step()) == SQLITE_ROW)
        names << list.text(0);
    if (status != SQLITE_DONE)
        fail(QStringLiteral("cannot read"));
    return names;
}

bool HistoryStore::readings(const QString &instrument, qint64 fromMs, qint64 toMs,
                            const std::function<void(const StoredReading &)> &each, qint64 limit)
{
    SqliteStatement query(
        m_db, "SELECT i.name, r.time_ms, r.kelvin, r.seq FROM readings r JOIN instruments i ON i.id = r.instrument "
              "WHERE (?1 = '' OR i.name = ?1) AND r.time_ms BETWEEN ?2 AND ?3 "
              "ORDER BY r.time_ms, i.name LIMIT ?4");
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    query.bind(4, limit);
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each({query.text(0), query.integer(1), query.real(2), query.integer(3)});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

bool HistoryStore::buckets(const QString &instrument, qint64 fromMs, qint64 toMs, qint64 everyMs,
                           QVector<Bucket> *result)
{
    result->clear();
    return buckets(instrument, fromMs, toMs, everyMs, [result](const Bucket &bucket) { result->append(bucket); });
}

bool HistoryStore::buckets(const QString &instrument, qint64 fromMs, qint64 toMs, qint64 everyMs,
                           const std::function<void(const Bucket &)> &each)
{
    // Whole minutes come from the per-minute rows, which outlive the readings.
    // Readings of minutes read again after the clock was set back (another
    // pass) are buckets of their own, beside the first pass's of the same time.
    // Times are after 1970: integer division floors them.
    const bool byMinute = everyMs % 60000 == 0;
    const bool passes = minutesHavePasses(); // a store no writer of this version opened has one pass
    QByteArray sql;
    if (byMinute)
        sql = QByteArray("SELECT i.name, (m.minute * 60000 / ?4) * ?4 AS b, "
                         "min(m.lo), max(m.hi), sum(m.total) / sum(m.n), sum(m.n), ")
              + (passes ? "m.pass" : "0")
              + " AS p FROM minutes m JOIN instruments i ON i.id = m.instrument "
                "WHERE (?1 = '' OR i.name = ?1) AND m.minute * 60000 BETWEEN ?2 AND ?3 ";
    else
        sql = QByteArray("SELECT i.name, (r.time_ms / ?4) * ?4 AS b, "
                         "min(r.kelvin), max(r.kelvin), avg(r.kelvin), count(*), ")
              + (passes ? "coalesce((SELECT c.pass FROM clock_passes c WHERE c.instrument = r.instrument "
                          "AND c.first_seq <= r.seq ORDER BY c.first_seq DESC LIMIT 1), 0)"
                        : "0")
              + " AS p FROM readings r JOIN instruments i ON i.id = r.instrument "
                "WHERE (?1 = '' OR i.name = ?1) AND r.time_ms BETWEEN ?2 AND ?3 ";
    sql += "GROUP BY i.name, p, b ORDER BY b, i.name, p";
    SqliteStatement query(m_db, sql.constData());
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    query.bind(4, everyMs);
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each({query.text(0), query.integer(1), query.real(2), query.real(3), query.real(4), query.integer(5)});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

bool HistoryStore::events(const QString &instrument, qint64 fromMs, qint64 toMs, QVector<StoredEvent> *result)
{
    result->clear();
    // A store no writer of this version opened yet has no authors.
    const QByteArray sql = QByteArray("SELECT e.time_ms, coalesce(i.name, ''), e.kind, e.detail, ")
                           + (eventsHaveAuthors() ? "coalesce(e.author, '')" : "''")
                           + " FROM events e LEFT JOIN instruments i ON i.id = e.instrument "
                             "WHERE (?1 = '' OR i.name = ?1 OR e.instrument IS NULL) AND e.time_ms BETWEEN ?2 AND ?3 "
                             "ORDER BY e.time_ms, e.id";
    SqliteStatement query(m_db, sql.constData());
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    int status;
    while ((status = query.step()) == SQLITE_ROW) {
        const QString kind = query.text(2);
        result->append({query.integer(0), query.text(1), eventKindFromName(kind), kind, query.text(3), query.text(4)});
    }
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

bool HistoryStore::hasNote(const QString &instrument, qint64 timeMs, const QString &text)
{
    const qint64 id = instrument.isEmpty() ? 0 : instrumentId(instrument, true);
    for (const PendingEvent &event : m_pendingEvents) {
        if (event.kind == EventKind::Note && event.instrument == id && event.timeMs == timeMs && event.detail == text)
            return true;
    }
    SqliteStatement query(kept("SELECT 1 FROM events WHERE time_ms = ?1 AND kind = ?2 AND detail = ?3 "
                               "AND coalesce(instrument, 0) = ?4"));
    query.bind(1, timeMs);
    query.bind(2, eventKindName(EventKind::Note));
    query.bind(3, text);
    query.bind(4, id);
    return query && query.step() == SQLITE_ROW;
}

qint64 HistoryStore::lastEventId()
{
    SqliteStatement query(m_db, "SELECT coalesce(max(id), 0) FROM events");
    return query && query.step() == SQLITE_ROW ? query.integer(0) : 0;
}

bool HistoryStore::eventsAfter(qint64 afterId, EventKind kind, int limit,
                               const std::function<void(qint64 id, const StoredEvent &event)> &each)
{
    SqliteStatement query(kept("SELECT e.id, e.time_ms, coalesce(i.name, ''), e.kind, e.detail, coalesce(e.author, '') "
                               "FROM events e LEFT JOIN instruments i ON i.id = e.instrument "
                               "WHERE e.id > ? AND e.kind = ? ORDER BY e.id LIMIT ?"));
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, afterId);
    query.bind(2, eventKindName(kind));
    query.bind(3, qint64(limit));
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each(query.integer(0), {query.integer(1), query.text(2), kind, query.text(3), query.text(4), query.text(5)});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

bool HistoryStore::envelope(const QString &instrument, qint64 fromMs, qint64 toMs, int columns,
                            QVector<EnvelopePoint> *points)
{
    points->clear();
    // Readings outside the times the tools draw are not drawn; within them the
    // arithmetic below cannot overflow.
    fromMs = clampHistoryTime(fromMs);
    toMs = clampHistoryTime(toMs);
    if (toMs < fromMs || columns < 1)
        return true;
    const qint64 id = instrumentId(instrument, false);
    if (!id)
        return true;
    // Rounded up, so that the columns cover the whole range.
    const qint64 span = toMs - fromMs + 1;
    const qint64 width = qMax<qint64>(1, span / columns + (span % columns != 0));
    // From half a minute per column the per-minute rows serve: a minute then
    // lands at most two columns early, and a range never needs more readings
    // than thirty per column.
    const bool byMinute = width >= 30000;
    SqliteStatement query(m_db, byMinute ? "SELECT minute * 60000, lo, hi FROM minutes "
                                           "WHERE instrument = ? AND minute BETWEEN ? AND ? ORDER BY minute"
                                         : "SELECT time_ms, kelvin FROM readings "
                                           "WHERE instrument = ? AND time_ms BETWEEN ? AND ? ORDER BY time_ms");
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, id);
    query.bind(2, byMinute ? floorDiv(fromMs, 60000) : fromMs);
    query.bind(3, byMinute ? floorDiv(toMs, 60000) : toMs);
    qint64 lastColumn = -1;
    int status;
    while ((status = query.step()) == SQLITE_ROW) {
        const qint64 timeMs = query.integer(0);
        const double lo = query.real(1);
        const double hi = byMinute ? query.real(2) : lo;
        // The minute that holds fromMs starts before it: it belongs to the first column.
        const qint64 column = qMax<qint64>(0, (timeMs - fromMs) / width);
        if (column == lastColumn) {
            EnvelopePoint &point = points->last();
            point.lo = qMin(point.lo, lo);
            point.hi = qMax(point.hi, hi);
        } else {
            points->append({timeMs, lo, hi});
            lastColumn = column;
        }
    }
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

bool HistoryStore::timeSpan(qint64 *firstMs, qint64 *lastMs)
{
    // The per-minute rows outlive the readings that retention deletes. Asked per
    // instrument, each bound is one look-up in a table's key.
    SqliteStatement query(m_db,
                          "SELECT min(first), max(last) FROM ("
                          "SELECT (SELECT min(time_ms) FROM readings WHERE instrument = i.id) AS first, "
                          "(SELECT max(time_ms) FROM readings WHERE instrument = i.id) AS last FROM instruments i "
                          "UNION ALL SELECT (SELECT min(minute) FROM minutes WHERE instrument = i.id) * 60000, "
                          "(SELECT max(minute) FROM minutes WHERE instrument = i.id) * 60000 FROM instruments i)");
    if (!query || query.step() != SQLITE_ROW)
        return fail(QStringLiteral("cannot read"));
    if (sqlite3_column_type(query.get(), 0) == SQLITE_NULL)
        return false;
    *firstMs = query.integer(0);
    *lastMs = query.integer(1);
    return true;
}
