#include "history/history-store.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <cerrno>
#include <sys/stat.h>

#include <cmath>

namespace {

constexpr char FormatKey[] = "format";
constexpr char FormatValue[] = "frostgauge-history 1";

// Readings carry the instrument's id and the time as the key of a table
// without row ids: a reading costs little more than its three numbers.
constexpr char Schema[] = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS instruments(
    id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, last_seq INTEGER NOT NULL DEFAULT 0,
    acked_seq INTEGER NOT NULL DEFAULT 0, acked_time_ms INTEGER NOT NULL DEFAULT -1);
CREATE TABLE IF NOT EXISTS readings(
    instrument INTEGER NOT NULL, time_ms INTEGER NOT NULL, kelvin REAL NOT NULL, seq INTEGER NOT NULL,
    PRIMARY KEY(instrument, time_ms)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS minutes(
    instrument INTEGER NOT NULL, minute INTEGER NOT NULL,
    lo REAL NOT NULL, hi REAL NOT NULL, total REAL NOT NULL, n INTEGER NOT NULL,
    PRIMARY KEY(instrument, minute)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS events(
    id INTEGER PRIMARY KEY, instrument INTEGER, time_ms INTEGER NOT NULL,
    kind TEXT NOT NULL, detail TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events(time_ms);
)sql";

// A statement that finalizes itself.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }
    void bind(int index, qint64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    void bind(int index, double value) { sqlite3_bind_double(m_stmt, index, value); }
    void bind(int index, const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(m_stmt); }
    void reset() { sqlite3_reset(m_stmt); }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    double real(int column) const { return sqlite3_column_double(m_stmt, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column)),
                                 sqlite3_column_bytes(m_stmt, column));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

qint64 floorDiv(qint64 value, qint64 divisor)
{
    return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor);
}

} // namespace

HistoryStore::~HistoryStore()
{
    if (m_db)
        sqlite3_close(m_db);
}

bool HistoryStore::fail(const QString &what)
{
    m_error =
        QStringLiteral("%1: %2: %3").arg(m_path, what, m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString());
    return false;
}

bool HistoryStore::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromUtf8(message ? message : "error"));
    sqlite3_free(message);
    return false;
}

bool HistoryStore::openForWriting(const QString &path)
{
    return open(path, true);
}

bool HistoryStore::openForReading(const QString &path)
{
    return open(path, false);
}

bool HistoryStore::open(const QString &path, bool write)
{
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    m_path = path;
    if (!write) {
        const QFileInfo info(path);
        if (!info.exists()) {
            // A store behind a folder the reader may not enter (the service's
            // own) is there all the same: say which it is.
            struct stat status;
            const bool denied = ::stat(QFile::encodeName(path).constData(), &status) != 0 && errno == EACCES;
            m_error = denied ? QStringLiteral("%1: permission denied (a folder on its way is closed to this user; "
                                              "the service's own store is read with sudo, or from a copy)")
                                   .arg(path)
                             : QStringLiteral("%1: no such file").arg(path);
            return false;
        }
        if (!info.isFile()) {
            m_error = QStringLiteral("%1 is not a regular file").arg(path);
            return false;
        }
    }
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("cannot open the history store"));
    // A reader waits for a writer's checkpoint rather than failing at once.
    sqlite3_busy_timeout(m_db, 5000);

    // What the file holds, asked with statements that are finalized before the
    // handle may be closed (a close with a live statement frees nothing).
    enum { Store, Empty, Other } content = Other;
    {
        Statement probe(m_db, "SELECT value FROM meta WHERE key = 'format'");
        if (probe) {
            if (probe.step() == SQLITE_ROW && probe.text(0) == QLatin1String(FormatValue))
                content = Store;
        } else {
            Statement tables(m_db, "SELECT count(*) FROM sqlite_master");
            if (tables && tables.step() == SQLITE_ROW && tables.integer(0) == 0)
                content = Empty;
        }
    }
    // An empty file (or a new one) becomes a store when opened for writing.
    if (content == Other || (content == Empty && !write)) {
        m_error = QStringLiteral("%1 is not a Frostgauge history store").arg(path);
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    if (!write)
        return true;

    // WAL: readers go on while the monitor writes, and a killed writer leaves
    // the file whole. NORMAL syncs at checkpoints, which is enough for a
    // process crash; a power cut may lose the last commits, never the file.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || !exec(Schema))
        return false;
    Statement format(m_db, "INSERT OR IGNORE INTO meta(key, value) VALUES(?, ?)");
    format.bind(1, QString::fromLatin1(FormatKey));
    format.bind(2, QString::fromLatin1(FormatValue));
    if (format.step() != SQLITE_DONE)
        return fail(QStringLiteral("cannot write the store's format"));
    return true;
}

qint64 HistoryStore::instrumentId(const QString &name, bool create)
{
    const auto known = m_ids.constFind(name);
    if (known != m_ids.constEnd())
        return *known;
    Statement find(m_db, "SELECT id, last_seq, acked_seq, acked_time_ms FROM instruments WHERE name = ?");
    find.bind(1, name);
    qint64 id = 0;
    if (find.step() == SQLITE_ROW) {
        id = find.integer(0);
        m_lastSeq.insert(id, find.integer(1));
        m_acknowledged.insert(id, {find.integer(2), find.integer(3), false});
        // Times keep rising across restarts, even if the clock was set back:
        // the order of times is the order of sequence numbers.
        Statement newest(m_db, "SELECT max(time_ms) FROM readings WHERE instrument = ?");
        newest.bind(1, id);
        if (newest.step() == SQLITE_ROW && sqlite3_column_type(newest.get(), 0) != SQLITE_NULL)
            m_lastTimeMs.insert(id, newest.integer(0));
    } else if (create) {
        Statement insert(m_db, "INSERT INTO instruments(name) VALUES(?)");
        insert.bind(1, name);
        if (insert.step() == SQLITE_DONE)
            id = sqlite3_last_insert_rowid(m_db);
    }
    if (id)
        m_ids.insert(name, id);
    return id;
}

qint64 HistoryStore::addReading(const QString &instrument, qint64 timeMs, double kelvin, qint64 *storedTimeMs)
{
    const qint64 id = instrumentId(instrument, true);
    // Readings of one read share a millisecond; each keeps a place of its own.
    qint64 &last = m_lastTimeMs[id];
    if (timeMs <= last)
        timeMs = last + 1;
    last = timeMs;
    const qint64 seq = ++m_lastSeq[id];
    m_pendingReadings.append({id, timeMs, kelvin, seq});
    if (storedTimeMs)
        *storedTimeMs = timeMs;
    return seq;
}

void HistoryStore::setAcknowledged(const QString &instrument, qint64 seq, qint64 timeMs)
{
    Acknowledged &acknowledged = m_acknowledged[instrumentId(instrument, true)];
    if (seq <= acknowledged.seq)
        return;
    acknowledged = {seq, timeMs, true};
}

qint64 HistoryStore::acknowledgedSeq(const QString &instrument)
{
    return m_acknowledged.value(instrumentId(instrument, true)).seq;
}

qint64 HistoryStore::acknowledgedTimeMs(const QString &instrument)
{
    return m_acknowledged.value(instrumentId(instrument, true), Acknowledged()).timeMs;
}

bool HistoryStore::readingsAfter(const QString &instrument, qint64 seq, qint64 timeMs, int limit,
                                 const std::function<void(const StoredReading &)> &each)
{
    // Sequence numbers and times rise together, so the readings after a given
    // one are those after its time: no second index is needed.
    const qint64 id = instrumentId(instrument, true);
    Statement query(m_db, "SELECT time_ms, kelvin, seq FROM readings WHERE instrument = ? AND time_ms > ? "
                          "AND seq > ? ORDER BY time_ms LIMIT ?");
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, id);
    query.bind(2, timeMs);
    query.bind(3, seq);
    query.bind(4, qint64(limit));
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each({instrument, query.integer(0), query.real(1), query.integer(2)});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

void HistoryStore::addEvent(const QString &instrument, qint64 timeMs, const QString &kind, const QString &detail)
{
    m_pendingEvents.append({instrument.isEmpty() ? 0 : instrumentId(instrument, true), timeMs, kind, detail});
}

bool HistoryStore::commit()
{
    bool acknowledgedChanged = false;
    for (const Acknowledged &acknowledged : qAsConst(m_acknowledged))
        acknowledgedChanged = acknowledgedChanged || acknowledged.dirty;
    if (m_pendingReadings.isEmpty() && m_pendingEvents.isEmpty() && !acknowledgedChanged)
        return true;
    if (!exec("BEGIN"))
        return false;
    Statement reading(m_db, "INSERT OR REPLACE INTO readings(instrument, time_ms, kelvin, seq) VALUES(?, ?, ?, ?)");
    Statement instrumentState(m_db, "UPDATE instruments SET last_seq = max(last_seq, ?2), "
                                    "acked_seq = ?3, acked_time_ms = ?4 WHERE id = ?1");
    Statement minute(m_db, "INSERT INTO minutes(instrument, minute, lo, hi, total, n) VALUES(?, ?, ?, ?, ?, 1) "
                           "ON CONFLICT(instrument, minute) DO UPDATE SET lo = min(lo, excluded.lo), "
                           "hi = max(hi, excluded.hi), total = total + excluded.total, n = n + 1");
    Statement event(m_db, "INSERT INTO events(instrument, time_ms, kind, detail) VALUES(?, ?, ?, ?)");
    bool ok = reading && minute && event && instrumentState;
    for (const PendingReading &r : qAsConst(m_pendingReadings)) {
        if (!ok)
            break;
        reading.bind(1, r.instrument);
        reading.bind(2, r.timeMs);
        reading.bind(3, r.kelvin);
        reading.bind(4, r.seq);
        ok = reading.step() == SQLITE_DONE;
        reading.reset();
        minute.bind(1, r.instrument);
        minute.bind(2, floorDiv(r.timeMs, 60000));
        minute.bind(3, r.kelvin);
        minute.bind(4, r.kelvin);
        minute.bind(5, r.kelvin);
        ok = ok && minute.step() == SQLITE_DONE;
        minute.reset();
    }
    for (const PendingEvent &e : qAsConst(m_pendingEvents)) {
        if (!ok)
            break;
        if (e.instrument)
            event.bind(1, e.instrument);
        else
            sqlite3_bind_null(event.get(), 1);
        event.bind(2, e.timeMs);
        event.bind(3, e.kind);
        event.bind(4, e.detail);
        ok = event.step() == SQLITE_DONE;
        event.reset();
    }
    for (auto it = m_lastSeq.constBegin(); ok && it != m_lastSeq.constEnd(); ++it) {
        const Acknowledged acknowledged = m_acknowledged.value(it.key());
        instrumentState.bind(1, it.key());
        instrumentState.bind(2, it.value());
        instrumentState.bind(3, acknowledged.seq);
        instrumentState.bind(4, acknowledged.timeMs);
        ok = instrumentState.step() == SQLITE_DONE;
        instrumentState.reset();
    }
    if (!ok) {
        fail(QStringLiteral("cannot write"));
        exec("ROLLBACK");
        // What could not be written stays queued for the next commit.
        return false;
    }
    if (!exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    m_pendingReadings.clear();
    m_pendingEvents.clear();
    for (Acknowledged &acknowledged : m_acknowledged)
        acknowledged.dirty = false;
    return true;
}

bool HistoryStore::deleteReadingsBefore(qint64 cutoffMs, qint64 *deleted)
{
    Statement remove(m_db, "DELETE FROM readings WHERE time_ms < ?");
    remove.bind(1, cutoffMs);
    if (!remove || remove.step() != SQLITE_DONE)
        return fail(QStringLiteral("cannot delete old readings"));
    if (deleted)
        *deleted = sqlite3_changes(m_db);
    return true;
}

QStringList HistoryStore::instruments()
{
    QStringList names;
    Statement list(m_db, "SELECT name FROM instruments ORDER BY name");
    while (list && list.step() == SQLITE_ROW)
        names << list.text(0);
    return names;
}

bool HistoryStore::readings(const QString &instrument, qint64 fromMs, qint64 toMs,
                            const std::function<void(const StoredReading &)> &each)
{
    Statement query(m_db,
                    "SELECT i.name, r.time_ms, r.kelvin FROM readings r JOIN instruments i ON i.id = r.instrument "
                    "WHERE (?1 = '' OR i.name = ?1) AND r.time_ms BETWEEN ?2 AND ?3 "
                    "ORDER BY r.time_ms, i.name");
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each({query.text(0), query.integer(1), query.real(2), 0});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

QVector<Bucket> HistoryStore::buckets(const QString &instrument, qint64 fromMs, qint64 toMs, qint64 everyMs)
{
    QVector<Bucket> result;
    // Whole minutes come from the per-minute rows, which outlive the readings.
    // Times are after 1970: integer division floors them.
    const bool byMinute = everyMs % 60000 == 0;
    const char *sql = byMinute ? "SELECT i.name, (m.minute * 60000 / ?4) * ?4 AS b, "
                                 "min(m.lo), max(m.hi), sum(m.total) / sum(m.n), sum(m.n) "
                                 "FROM minutes m JOIN instruments i ON i.id = m.instrument "
                                 "WHERE (?1 = '' OR i.name = ?1) AND m.minute * 60000 BETWEEN ?2 AND ?3 "
                                 "GROUP BY i.name, b ORDER BY b, i.name"
                               : "SELECT i.name, (r.time_ms / ?4) * ?4 AS b, "
                                 "min(r.kelvin), max(r.kelvin), avg(r.kelvin), count(*) "
                                 "FROM readings r JOIN instruments i ON i.id = r.instrument "
                                 "WHERE (?1 = '' OR i.name = ?1) AND r.time_ms BETWEEN ?2 AND ?3 "
                                 "GROUP BY i.name, b ORDER BY b, i.name";
    Statement query(m_db, sql);
    if (!query) {
        fail(QStringLiteral("cannot read"));
        return result;
    }
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    query.bind(4, everyMs);
    while (query.step() == SQLITE_ROW)
        result.append({query.text(0), query.integer(1), query.real(2), query.real(3), query.real(4), query.integer(5)});
    return result;
}

QVector<StoredEvent> HistoryStore::events(const QString &instrument, qint64 fromMs, qint64 toMs)
{
    QVector<StoredEvent> result;
    Statement query(m_db, "SELECT e.time_ms, coalesce(i.name, ''), e.kind, e.detail FROM events e "
                          "LEFT JOIN instruments i ON i.id = e.instrument "
                          "WHERE (?1 = '' OR i.name = ?1 OR e.instrument IS NULL) AND e.time_ms BETWEEN ?2 AND ?3 "
                          "ORDER BY e.time_ms, e.id");
    if (!query)
        return result;
    query.bind(1, instrument);
    query.bind(2, fromMs);
    query.bind(3, toMs);
    while (query.step() == SQLITE_ROW)
        result.append({query.integer(0), query.text(1), query.text(2), query.text(3)});
    return result;
}

bool HistoryStore::envelope(const QString &instrument, qint64 fromMs, qint64 toMs, int columns,
                            QVector<EnvelopePoint> *points)
{
    points->clear();
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
    Statement query(m_db, byMinute ? "SELECT minute * 60000, lo, hi FROM minutes "
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
    Statement query(m_db, "SELECT min(first), max(last) FROM ("
                          "SELECT (SELECT min(time_ms) FROM readings WHERE instrument = i.id) AS first, "
                          "(SELECT max(time_ms) FROM readings WHERE instrument = i.id) AS last FROM instruments i "
                          "UNION ALL SELECT (SELECT min(minute) FROM minutes WHERE instrument = i.id) * 60000, "
                          "(SELECT max(minute) FROM minutes WHERE instrument = i.id) * 60000 FROM instruments i)");
    if (!query || query.step() != SQLITE_ROW || sqlite3_column_type(query.get(), 0) == SQLITE_NULL)
        return false;
    *firstMs = query.integer(0);
    *lastMs = query.integer(1);
    return true;
}

bool HistoryStore::integrityOk()
{
    Statement check(m_db, "PRAGMA integrity_check");
    return check && check.step() == SQLITE_ROW && check.text(0) == QLatin1String("ok");
}

bool parseHistoryTime(const QString &text, qint64 *ms)
{
    bool isNumber = false;
    const qint64 number = text.toLongLong(&isNumber);
    if (isNumber) {
        *ms = number;
        return true;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return false;
    *ms = time.toMSecsSinceEpoch();
    return true;
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}
