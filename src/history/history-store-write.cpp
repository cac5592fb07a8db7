// Writing the history: readings and events queued, written by commit() in one
// transaction with the per-minute rows they touch; the consumer's
// acknowledgements; retention.

#include "history/history-store.h"

#include "history/sqlite-statement.h"

#include <limits>

void HistoryStore::makeRoom()
{
    if (int(m_pendingReadings.size()) >= m_maxWaitingReadings) {
        // The store has not been written for a long while: memory stays
        // bounded, the oldest reading goes, and the loss is counted.
        const PendingReading &oldest = m_pendingReadings.front();
        if (m_dropped.count++ == 0)
            m_dropped.firstMs = oldest.timeMs;
        m_dropped.lastMs = oldest.timeMs;
        if (oldest.archived) {
            // Not held after all: its source is asked for it again.
            Archived &held = m_archived[oldest.instrument];
            held.seqs.remove(oldest.seq);
            held.dirty = true;
        } else {
            const QString name = m_ids.key(oldest.instrument);
            auto range = m_dropped.seqs.find(name);
            if (range == m_dropped.seqs.end())
                m_dropped.seqs.insert(name, {oldest.seq, oldest.seq});
            else
                range->second = oldest.seq;
        }
        m_pendingReadings.pop_front();
    }
}

qint64 HistoryStore::addReading(const QString &instrument, qint64 timeMs, double kelvin)
{
    const qint64 id = instrumentId(instrument, true);
    const qint64 seq = ++m_lastSeq[id];
    makeRoom();
    m_pendingReadings.push_back({id, timeMs, kelvin, seq, false, m_passes[id].next(seq, timeMs)});
    return seq;
}

bool HistoryStore::addArchivedReading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq)
{
    const qint64 id = instrumentId(instrument, true);
    Archived &held = m_archived[id];
    if (!held.seqs.insert(seq))
        return false;
    held.dirty = true;
    qint64 &last = m_lastSeq[id];
    // A refill of older numbers belongs to the pass that was in force then.
    ClockPasses &passes = m_passes[id];
    const int pass = seq > last ? passes.next(seq, timeMs) : passes.at(seq);
    last = qMax(last, seq);
    makeRoom();
    m_pendingReadings.push_back({id, timeMs, kelvin, seq, true, pass});
    return true;
}

void HistoryStore::settleLost(const QString &instrument, qint64 first, qint64 last)
{
    Archived &held = m_archived[instrumentId(instrument, true)];
    held.seqs.insertRange(first, last);
    held.dirty = true;
}

const SeqRanges &HistoryStore::archivedSeqs(const QString &instrument)
{
    return m_archived[instrumentId(instrument, true)].seqs;
}

bool HistoryStore::newestTime(const QString &instrument, qint64 *timeMs)
{
    SqliteStatement query(kept("SELECT max(time_ms) FROM readings WHERE instrument = ?"));
    query.bind(1, instrumentId(instrument, true));
    if (!query || query.step() != SQLITE_ROW || sqlite3_column_type(query.get(), 0) == SQLITE_NULL)
        return false;
    *timeMs = query.integer(0);
    return true;
}

qint64 HistoryStore::committedSeq(const QString &instrument)
{
    return m_committedSeq.value(instrumentId(instrument, true));
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

bool HistoryStore::firstTimeAfter(const QString &instrument, qint64 acked, qint64 *timeMs)
{
    // The per-minute rows know the highest sequence number of their minute:
    // the first minute with one above acked is where the walk starts.
    SqliteStatement query(kept("SELECT min(minute) FROM minutes WHERE instrument = ? AND max_seq > ?"));
    query.bind(1, instrumentId(instrument, true));
    query.bind(2, acked);
    if (!query || query.step() != SQLITE_ROW)
        return fail(QStringLiteral("cannot read"));
    if (sqlite3_column_type(query.get(), 0) == SQLITE_NULL)
        return false;
    // A minute no clock gives (a damaged store) must not overflow the time.
    const qint64 minute = query.integer(0);
    const qint64 limit = std::numeric_limits<qint64>::max() / 60000;
    *timeMs = qBound(-limit, minute, limit) * 60000;
    return true;
}

bool HistoryStore::readingsAfter(const QString &instrument, qint64 acked, qint64 timeMs, qint64 seq, int limit,
                                 const std::function<void(const StoredReading &)> &each)
{
    // A walk along the key from (timeMs, seq), skipping what was acknowledged.
    const qint64 id = instrumentId(instrument, true);
    SqliteStatement query(kept("SELECT time_ms, kelvin, seq FROM readings WHERE instrument = ?1 "
                               "AND (time_ms, seq) > (?2, ?3) AND seq > ?4 ORDER BY time_ms, seq LIMIT ?5"));
    if (!query)
        return fail(QStringLiteral("cannot read"));
    query.bind(1, id);
    query.bind(2, timeMs);
    query.bind(3, seq);
    query.bind(4, acked);
    query.bind(5, qint64(limit));
    int status;
    while ((status = query.step()) == SQLITE_ROW)
        each({instrument, query.integer(0), query.real(1), query.integer(2)});
    return status == SQLITE_DONE || fail(QStringLiteral("cannot read"));
}

void HistoryStore::addEvent(const QString &instrument, qint64 timeMs, EventKind kind, const QString &detail,
                            const QString &author)
{
    // Events are few, but a store that stays unwritable for days must not
    // grow them without bound either: the oldest go first.
    if (m_pendingEvents.size() >= 10000)
        m_pendingEvents.pop_front();
    m_pendingEvents.push_back(
        {instrument.isEmpty() ? 0 : instrumentId(instrument, true), timeMs, kind, detail, author});
}

HistoryStore::Dropped HistoryStore::takeDropped()
{
    const Dropped dropped = m_dropped;
    m_dropped = Dropped();
    return dropped;
}

bool HistoryStore::commit()
{
    bool acknowledgedChanged = false;
    for (const Acknowledged &acknowledged : qAsConst(m_acknowledged))
        acknowledgedChanged = acknowledgedChanged || acknowledged.dirty;
    for (const Archived &held : qAsConst(m_archived))
        acknowledgedChanged = acknowledgedChanged || held.dirty;
    if (m_pendingReadings.empty() && m_pendingEvents.empty() && !acknowledgedChanged && !m_unitsDirty
        && m_remotePositionsDirty.isEmpty())
        return true;
    if (!exec("BEGIN"))
        return false;
    SqliteStatement reading(
        kept("INSERT OR REPLACE INTO readings(instrument, time_ms, kelvin, seq) VALUES(?, ?, ?, ?)"));
    SqliteStatement instrumentState(kept("UPDATE instruments SET last_seq = max(last_seq, ?2), "
                                         "acked_seq = ?3, acked_time_ms = ?4 WHERE id = ?1"));
    SqliteStatement minute(kept("INSERT INTO minutes(instrument, minute, lo, hi, total, n, max_seq, pass) "
                                "VALUES(?, ?, ?, ?, ?, 1, ?, ?) "
                                "ON CONFLICT(instrument, minute, pass) DO UPDATE SET lo = min(lo, excluded.lo), "
                                "hi = max(hi, excluded.hi), total = total + excluded.total, n = n + 1, "
                                "max_seq = max(max_seq, excluded.max_seq)"));
    SqliteStatement event(kept("INSERT INTO events(instrument, time_ms, kind, detail, author) VALUES(?, ?, ?, ?, ?)"));
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
        minute.bind(6, r.seq);
        minute.bind(7, qint64(r.pass));
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
        event.bind(3, eventKindName(e.kind));
        event.bind(4, e.detail);
        if (e.author.isEmpty())
            sqlite3_bind_null(event.get(), 5);
        else
            event.bind(5, e.author);
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
    SqliteStatement pass(kept("INSERT OR IGNORE INTO clock_passes(instrument, first_seq, pass) VALUES(?, ?, ?)"));
    for (auto it = m_passes.constBegin(); ok && it != m_passes.constEnd(); ++it) {
        for (const auto &begun : it->unsaved()) {
            if (!(ok = bool(pass)))
                break;
            pass.bind(1, it.key());
            pass.bind(2, begun.first);
            pass.bind(3, qint64(begun.second));
            ok = ok && pass.step() == SQLITE_DONE;
            pass.reset();
        }
    }
    SqliteStatement unit(kept("UPDATE instruments SET unit = ?2 WHERE id = ?1"));
    for (auto it = m_units.constBegin(); ok && m_unitsDirty && it != m_units.constEnd(); ++it) {
        ok = bool(unit);
        unit.bind(1, it.key());
        unit.bind(2, it.value());
        ok = ok && unit.step() == SQLITE_DONE;
        unit.reset();
    }
    SqliteStatement position(kept("INSERT OR REPLACE INTO remote_positions(instrument, watermark, cursor_time, "
                                  "cursor_seq, in_pass, pass_highest) VALUES(?, ?, ?, ?, ?, ?)"));
    for (auto it = m_remotePositionsDirty.constBegin(); ok && it != m_remotePositionsDirty.constEnd(); ++it) {
        const RemotePosition taken = m_remotePositions.value(*it);
        ok = bool(position);
        position.bind(1, *it);
        position.bind(2, taken.watermark);
        position.bind(3, taken.cursorTimeMs);
        position.bind(4, taken.cursorSeq);
        position.bind(5, qint64(taken.inPass ? 1 : 0));
        position.bind(6, taken.passHighest);
        ok = ok && position.step() == SQLITE_DONE;
        position.reset();
    }
    SqliteStatement forget(kept("DELETE FROM archived WHERE instrument = ?"));
    SqliteStatement hold(kept("INSERT INTO archived(instrument, first_seq, last_seq) VALUES(?, ?, ?)"));
    for (auto it = m_archived.constBegin(); ok && it != m_archived.constEnd(); ++it) {
        if (!it->dirty)
            continue;
        ok = forget && hold;
        forget.bind(1, it.key());
        ok = ok && forget.step() == SQLITE_DONE;
        forget.reset();
        for (const SeqRange &range : it->seqs.ranges()) {
            if (!ok)
                break;
            hold.bind(1, it.key());
            hold.bind(2, range.first);
            hold.bind(3, range.last);
            ok = hold.step() == SQLITE_DONE;
            hold.reset();
        }
    }
    if (!ok || !exec("COMMIT")) {
        // The cause is kept: a rollback after a full disk fails too ("no
        // transaction is active"), which says nothing to an operator.
        if (!ok)
            fail(QStringLiteral("cannot write"));
        const QString cause = m_error;
        if (!sqlite3_get_autocommit(m_db))
            exec("ROLLBACK");
        m_error = cause;
        // What could not be written stays queued for the next commit.
        return false;
    }
    m_pendingReadings.clear();
    m_pendingEvents.clear();
    for (Acknowledged &acknowledged : m_acknowledged)
        acknowledged.dirty = false;
    for (Archived &held : m_archived)
        held.dirty = false;
    for (ClockPasses &passes : m_passes)
        passes.markSaved();
    m_unitsDirty = false;
    m_remotePositionsDirty.clear();
    m_committedSeq = m_lastSeq;
    return true;
}

bool HistoryStore::deleteReadingsBefore(qint64 cutoffMs, qint64 *deleted, qint64 batch, bool *more)
{
    qint64 count = 0;
    bool left = false;
    const QStringList names = instruments();
    for (const QString &name : names) {
        const qint64 id = instrumentId(name, false);
        if (id == 0)
            continue;
        qint64 before = cutoffMs;
        if (batch > 0) {
            // The batch's end in time: the readings are keyed by instrument and
            // time, so each batch is one range of the key, found and deleted
            // without reading the rest.
            SqliteStatement bound(m_db, "SELECT time_ms FROM readings WHERE instrument = ? AND time_ms < ? "
                                        "ORDER BY time_ms LIMIT 1 OFFSET ?");
            bound.bind(1, id);
            bound.bind(2, cutoffMs);
            bound.bind(3, batch - count);
            if (bound && bound.step() == SQLITE_ROW) {
                before = bound.integer(0);
                left = true;
            }
        }
        SqliteStatement remove(m_db, "DELETE FROM readings WHERE instrument = ? AND time_ms < ?");
        remove.bind(1, id);
        remove.bind(2, before);
        if (!remove || remove.step() != SQLITE_DONE)
            return fail(QStringLiteral("cannot delete old readings"));
        count += sqlite3_changes(m_db);
        if (batch > 0 && count >= batch) {
            left = true;
            break;
        }
    }
    // The pages the deletions wrote to the log go into the file now, so that
    // the log stays the size of one batch.
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (deleted)
        *deleted = count;
    if (more)
        *more = left;
    return true;
}

bool HistoryStore::newestReadingTime(qint64 *timeMs)
{
    bool any = false;
    for (const QString &name : instruments()) {
        qint64 newest = 0;
        if (newestTime(name, &newest) && (!any || newest > *timeMs)) {
            *timeMs = newest;
            any = true;
        }
    }
    return any;
}
