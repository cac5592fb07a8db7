// The history store: its schema, opening a file (and refusing one that is not
// a store), the instruments' ids. Writing and queries have files of their own.

#include "history/history-store.h"

#include "history/sqlite-statement.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <limits>

#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr char FormatKey[] = "format";
constexpr char FormatValue[] = "frostgauge-history 1";

// Readings carry the instrument's id, the time they were read and their
// sequence number as the key of a table without row ids: a reading costs
// little more than its numbers, two readings of one millisecond (or of a clock
// set back) both keep their true time, and a range of time is one walk of the
// key (the columns declared in the key's order, which SQLite's integrity
// check of such tables expects). An archive keeps, per remote instrument, the
// ranges of sequence numbers it holds: a few rows that make each number stored
// once and show the gaps to fill, without an index on every reading. The per-minute rows keep the highest sequence
// number of their minute, which finds the readings a consumer has not acknowledged whatever their time, and
// belong to a pass through time (ClockPasses): readings of minutes read again after the clock was set back
// get rows of their own. A pass is known by the number of its first reading.
constexpr char Schema[] = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS instruments(
    id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, last_seq INTEGER NOT NULL DEFAULT 0,
    acked_seq INTEGER NOT NULL DEFAULT 0, acked_time_ms INTEGER NOT NULL DEFAULT -1, unit TEXT);
CREATE TABLE IF NOT EXISTS readings(
    instrument INTEGER NOT NULL, time_ms INTEGER NOT NULL, seq INTEGER NOT NULL, kelvin REAL NOT NULL,
    PRIMARY KEY(instrument, time_ms, seq)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS minutes(
    instrument INTEGER NOT NULL, minute INTEGER NOT NULL, pass INTEGER NOT NULL DEFAULT 0,
    lo REAL NOT NULL, hi REAL NOT NULL, total REAL NOT NULL, n INTEGER NOT NULL, max_seq INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY(instrument, minute, pass)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS remote_positions(
    instrument INTEGER PRIMARY KEY, watermark INTEGER NOT NULL, cursor_time INTEGER NOT NULL,
    cursor_seq INTEGER NOT NULL, in_pass INTEGER NOT NULL, pass_highest INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS clock_passes(
    instrument INTEGER NOT NULL, first_seq INTEGER NOT NULL, pass INTEGER NOT NULL,
    PRIMARY KEY(instrument, first_seq)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS events(
    id INTEGER PRIMARY KEY, instrument INTEGER, time_ms INTEGER NOT NULL,
    kind TEXT NOT NULL, detail TEXT NOT NULL, author TEXT);
CREATE INDEX IF NOT EXISTS events_by_time ON events(time_ms);
CREATE TABLE IF NOT EXISTS archived(
    instrument INTEGER NOT NULL, first_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL,
    PRIMARY KEY(instrument, first_seq)) WITHOUT ROWID;
)sql";

} // namespace

HistoryStore::~HistoryStore()
{
    close();
}

void HistoryStore::close()
{
    finalizeKept();
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

sqlite3_stmt *HistoryStore::kept(const char *sql)
{
    sqlite3_stmt *&statement = m_kept[sql];
    if (!statement && m_db)
        sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
    return statement;
}

void HistoryStore::finalizeKept()
{
    // Finalized before the handle closes: a close with a live statement frees nothing.
    for (sqlite3_stmt *statement : qAsConst(m_kept))
        sqlite3_finalize(statement);
    m_kept.clear();
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

namespace {

bool identify(const QString &path, quint64 *device, quint64 *inode)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    *device = quint64(status.st_dev);
    *inode = quint64(status.st_ino);
    return true;
}

} // namespace

bool HistoryStore::openForWriting(const QString &path)
{
    // Two monitors on one store would overwrite each other's readings.
    if (!m_writerLock.acquire(path, &m_error))
        return false;
    if (!open(path, true)) {
        m_writerLock.release();
        return false;
    }
    m_opened.exists = identify(path, &m_opened.device, &m_opened.inode);
    m_openedLog.exists = identify(path + QStringLiteral("-wal"), &m_openedLog.device, &m_openedLog.inode);
    m_openedIndex.exists = identify(path + QStringLiteral("-shm"), &m_openedIndex.device, &m_openedIndex.inode);
    return true;
}

QString HistoryStore::abandon()
{
    if (!m_db)
        return QString();
    finalizeKept();
    // Written through the handle into the file it opened, not the path.
    const bool emptied =
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) == SQLITE_OK;
    // SQLite leaves the log of a moved file at the path when it closes; and
    // it must not delete a log there that is not ours.
    int persist = 1;
    sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    QStringList done;
    const auto ours = [](const QString &file, const FileIdentity &opened) {
        quint64 device = 0;
        quint64 inode = 0;
        return opened.exists && identify(file, &device, &inode) && device == opened.device && inode == opened.inode;
    };
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    for (const auto &[suffix, opened] : {std::pair<QString, FileIdentity>{QStringLiteral("-wal"), m_openedLog},
                                         std::pair<QString, FileIdentity>{QStringLiteral("-shm"), m_openedIndex}}) {
        const QString file = m_path + suffix;
        if (!ours(file, opened))
            continue;
        // An emptied log holds nothing; one that could not be emptied is kept
        // aside under a name that says whose it is.
        if (emptied || suffix == QLatin1String("-shm")) {
            if (QFile::remove(file))
                done << QStringLiteral("%1 removed").arg(file);
        } else {
            const QString aside = QStringLiteral("%1.of-a-replaced-store-%2").arg(file, stamp);
            if (QFile::rename(file, aside))
                done << QStringLiteral("%1 moved to %2").arg(file, aside);
        }
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_writerLock.release();
    return done.join(QLatin1String("; "));
}

HistoryStore::Content HistoryStore::probeContent()
{
    // Asked with statements that are finalized before the handle may be closed
    // (a close with a live statement frees nothing).
    SqliteStatement probe(m_db, "SELECT value FROM meta WHERE key = 'format'");
    if (probe) {
        const int status = probe.step();
        if (status == SQLITE_ROW && probe.text(0) == QLatin1String(FormatValue))
            return Store;
        if (status == SQLITE_ROW || status == SQLITE_DONE)
            return Other;
        m_probeMessage = QString::fromUtf8(sqlite3_errmsg(m_db));
        return classify(sqlite3_extended_errcode(m_db));
    }
    const int code = sqlite3_extended_errcode(m_db);
    m_probeMessage = QString::fromUtf8(sqlite3_errmsg(m_db));
    if ((code & 0xff) != SQLITE_ERROR)
        return classify(code);
    // No table of ours: an empty database, or another program's.
    SqliteStatement tables(m_db, "SELECT count(*) FROM sqlite_master");
    if (tables && tables.step() == SQLITE_ROW)
        return tables.integer(0) == 0 ? Empty : Other;
    m_probeMessage = QString::fromUtf8(sqlite3_errmsg(m_db));
    return classify(sqlite3_extended_errcode(m_db));
}

HistoryStore::Content HistoryStore::classify(int code)
{
    switch (code & 0xff) {
    case SQLITE_NOTADB:
        return Other;
    case SQLITE_CORRUPT:
        return Damaged;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return Unopenable;
    default:
        return Damaged;
    }
}

QString HistoryStore::describe(const QString &path, Content content) const
{
    switch (content) {
    case Damaged:
        return QStringLiteral("%1 is damaged: %2 (cut short or overwritten; a copy may be rescued with sqlite3's "
                              ".recover)")
            .arg(path, m_probeMessage);
    case Unopenable:
        return QStringLiteral("%1: permission denied: %2").arg(path, m_probeMessage);
    case Empty:
        return QStringLiteral("%1 is not a Frostgauge history store (it is empty)").arg(path);
    case Store:
    case Other:
        break;
    }
    return QStringLiteral("%1 is not a Frostgauge history store").arg(path);
}

bool HistoryStore::refuse(const QString &path, const QString &why)
{
    // Before any probe the library's own words follow ours.
    m_error = why.startsWith(path)
                  ? why
                  : QStringLiteral("%1: %2: %3")
                        .arg(path, why, m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("no memory"));
    close();
    m_path = path;
    return false;
}

bool HistoryStore::migrate()
{
    // Stores from before readings kept their true times: the readings were
    // keyed by (instrument, time) and the per-minute rows had no sequence
    // numbers. Rewritten once, in one transaction: all of it or nothing.
    bool oldKey = false;
    bool noMaxSeq = false;
    bool noPass = false;
    {
        SqliteStatement readings(m_db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'readings'");
        oldKey = readings.step() == SQLITE_ROW && !readings.text(0).contains(QLatin1String("time_ms, seq)"));
        SqliteStatement minutes(m_db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'minutes'");
        noMaxSeq = minutes.step() == SQLITE_ROW && !minutes.text(0).contains(QLatin1String("max_seq"));
        noPass = !minutesHavePasses();
    }
    if (!addAuthorColumn() || !addUnitColumn())
        return false;
    if (!oldKey && !noMaxSeq && !noPass)
        return true;
    bool ok = exec("BEGIN");
    if (ok && oldKey)
        ok = exec("CREATE TABLE readings_keyed("
                  "instrument INTEGER NOT NULL, time_ms INTEGER NOT NULL, seq INTEGER NOT NULL, kelvin REAL NOT NULL,"
                  "PRIMARY KEY(instrument, time_ms, seq)) WITHOUT ROWID;"
                  "INSERT INTO readings_keyed(instrument, time_ms, seq, kelvin) "
                  "SELECT instrument, time_ms, seq, kelvin FROM readings;"
                  "DROP TABLE readings;"
                  "ALTER TABLE readings_keyed RENAME TO readings;");
    if (ok && noMaxSeq)
        ok = exec("ALTER TABLE minutes ADD COLUMN max_seq INTEGER NOT NULL DEFAULT 0;"
                  "UPDATE minutes SET max_seq = coalesce((SELECT max(seq) FROM readings r "
                  "WHERE r.instrument = minutes.instrument "
                  "AND r.time_ms BETWEEN minutes.minute * 60000 AND minutes.minute * 60000 + 59999), 0);");
    // Before passes through time every minute was one row: the first pass's.
    if (ok && noPass)
        ok = exec("CREATE TABLE minutes_by_pass("
                  "instrument INTEGER NOT NULL, minute INTEGER NOT NULL, pass INTEGER NOT NULL DEFAULT 0,"
                  "lo REAL NOT NULL, hi REAL NOT NULL, total REAL NOT NULL, n INTEGER NOT NULL,"
                  "max_seq INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(instrument, minute, pass)) WITHOUT ROWID;"
                  "INSERT INTO minutes_by_pass(instrument, minute, pass, lo, hi, total, n, max_seq) "
                  "SELECT instrument, minute, 0, lo, hi, total, n, max_seq FROM minutes;"
                  "DROP TABLE minutes;"
                  "ALTER TABLE minutes_by_pass RENAME TO minutes;");
    if (ok && exec("COMMIT"))
        return true;
    const QString cause = m_error;
    exec("ROLLBACK");
    m_error =
        QStringLiteral("%1 (while bringing the store to the keys by sequence number; it is unchanged)").arg(cause);
    return false;
}

bool HistoryStore::minutesHavePasses()
{
    SqliteStatement columns(m_db, "SELECT count(*) FROM pragma_table_info('minutes') WHERE name = 'pass'");
    return columns && columns.step() == SQLITE_ROW && columns.integer(0) > 0;
}

bool HistoryStore::eventsHaveAuthors()
{
    SqliteStatement columns(m_db, "SELECT count(*) FROM pragma_table_info('events') WHERE name = 'author'");
    return columns && columns.step() == SQLITE_ROW && columns.integer(0) > 0;
}

bool HistoryStore::seriesHaveUnits()
{
    SqliteStatement columns(m_db, "SELECT count(*) FROM pragma_table_info('instruments') WHERE name = 'unit'");
    return columns && columns.step() == SQLITE_ROW && columns.integer(0) > 0;
}

bool HistoryStore::addUnitColumn()
{
    // Stores from before line instruments: every series a temperature in kelvin.
    return seriesHaveUnits() || exec("ALTER TABLE instruments ADD COLUMN unit TEXT");
}

QString HistoryStore::unitOf(const QString &instrument)
{
    if (!seriesHaveUnits())
        return QStringLiteral("K");
    SqliteStatement query(m_db, "SELECT unit FROM instruments WHERE name = ?");
    query.bind(1, instrument);
    if (!query || query.step() != SQLITE_ROW || sqlite3_column_type(query.get(), 0) == SQLITE_NULL)
        return QStringLiteral("K");
    return query.text(0);
}

HistoryStore::RemotePosition HistoryStore::remotePosition(const QString &instrument)
{
    const qint64 id = instrumentId(instrument, true);
    const auto known = m_remotePositions.constFind(id);
    if (known != m_remotePositions.constEnd())
        return *known;
    RemotePosition position;
    SqliteStatement query(kept("SELECT watermark, cursor_time, cursor_seq, in_pass, pass_highest FROM "
                               "remote_positions WHERE instrument = ?"));
    query.bind(1, id);
    if (query && query.step() == SQLITE_ROW)
        position = {query.integer(0), query.integer(1), query.integer(2), query.integer(3) != 0, query.integer(4)};
    m_remotePositions.insert(id, position);
    return position;
}

void HistoryStore::setRemotePosition(const QString &instrument, const RemotePosition &position)
{
    const qint64 id = instrumentId(instrument, true);
    m_remotePositions.insert(id, position);
    m_remotePositionsDirty.insert(id);
}

void HistoryStore::setUnit(const QString &instrument, const QString &unit)
{
    const qint64 id = instrumentId(instrument, true);
    if (m_units.value(id) != unit || !m_units.contains(id)) {
        m_units.insert(id, unit);
        m_unitsDirty = true;
    }
}

bool HistoryStore::addAuthorColumn()
{
    // Stores from before notes: events get who wrote them, empty for the old ones.
    if (eventsHaveAuthors())
        return true;
    return exec("ALTER TABLE events ADD COLUMN author TEXT");
}

bool HistoryStore::stillAtItsPath(QString *why) const
{
    quint64 device = 0;
    quint64 inode = 0;
    if (!identify(m_path, &device, &inode)) {
        *why = QStringLiteral("%1 was deleted while the monitor was writing it").arg(m_path);
        return false;
    }
    if (device != m_opened.device || inode != m_opened.inode) {
        *why = QStringLiteral("%1 was replaced by another file while the monitor was writing it").arg(m_path);
        return false;
    }
    if (m_openedLog.exists
        && (!identify(m_path + QStringLiteral("-wal"), &device, &inode) || device != m_openedLog.device
            || inode != m_openedLog.inode)) {
        *why = QStringLiteral("%1-wal, the store's write-ahead log, was deleted or replaced while the monitor was "
                              "writing it")
                   .arg(m_path);
        return false;
    }
    return true;
}

bool HistoryStore::openForNotes(const QString &path)
{
    m_writerLock.release();
    const QFileInfo info(path);
    if (!info.isFile()) {
        m_error = info.exists() ? QStringLiteral("%1 is not a regular file").arg(path)
                                : QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    // Opened as a reader first: a file that is not a store is refused unchanged.
    if (!open(path, false))
        return false;
    if (!open(path, true))
        return false;
    sqlite3_busy_timeout(m_db, 10000);
    return true;
}

bool HistoryStore::insertNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author)
{
    qint64 id = 0;
    if (!instrument.isEmpty()) {
        SqliteStatement find(m_db, "SELECT id FROM instruments WHERE name = ?");
        find.bind(1, instrument);
        const int status = find.step();
        if (status == SQLITE_ROW) {
            id = find.integer(0);
        } else {
            if (status != SQLITE_DONE)
                return fail(QStringLiteral("cannot read"));
            m_error = QStringLiteral("%1: no instrument %2 in this store (%3)")
                          .arg(m_path, instrument, instruments().join(QStringLiteral(", ")));
            return false;
        }
    }
    SqliteStatement insert(m_db, "INSERT INTO events(instrument, time_ms, kind, detail, author) VALUES(?, ?, ?, ?, ?)");
    if (id)
        insert.bind(1, id);
    else
        sqlite3_bind_null(insert.get(), 1);
    insert.bind(2, timeMs);
    insert.bind(3, eventKindName(EventKind::Note));
    insert.bind(4, text);
    insert.bind(5, author);
    if (!insert || insert.step() != SQLITE_DONE)
        return fail(QStringLiteral("cannot write the note"));
    return true;
}

bool HistoryStore::openForReading(const QString &path)
{
    m_writerLock.release();
    return open(path, false);
}

bool HistoryStore::open(const QString &path, bool write)
{
    close();
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
        if (!info.isReadable()) {
            m_error = QStringLiteral("%1: permission denied: this user may not read it (the service's own store is "
                                     "read with sudo, or from a copy)")
                          .arg(path);
            return false;
        }
    }
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) != SQLITE_OK)
        return refuse(path, QStringLiteral("cannot open the history store"));
    // A reader waits for a writer's checkpoint rather than failing at once.
    sqlite3_busy_timeout(m_db, 5000);

    // A writer's shared-memory index without its log: the log was deleted
    // under it (both go together when the last writer closes). Reading the main
    // file alone would show old readings as if they were all.
    if (!write && QFileInfo::exists(path + QStringLiteral("-shm")) && !QFileInfo::exists(path + QStringLiteral("-wal")))
        return refuse(path, QStringLiteral("%1 is missing its write-ahead log (%1-wal): what was written since the "
                                           "last checkpoint is in no file; if the log was moved, put it back beside "
                                           "the store")
                                .arg(path));
    Content content = probeContent();
    if (content == Unopenable && !write) {
        // A reader that may not make the store's shared-memory file beside it
        // (a folder it cannot write): read the file as it stands, unchanging.
        close();
        m_path = path;
        const QByteArray uri = "file:" + QUrl::fromLocalFile(path).toEncoded(QUrl::RemoveScheme) + "?immutable=1";
        if (sqlite3_open_v2(uri.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK)
            content = probeContent();
    }
    // An empty file (or a new one) becomes a store when opened for writing.
    if (content != Store && !(content == Empty && write))
        return refuse(path, describe(path, content));
    if (!write)
        return true;

    // WAL: readers go on while the monitor writes, and a killed writer leaves
    // the file whole. NORMAL syncs at checkpoints, which is enough for a
    // process crash; a power cut may lose the last commits, never the file.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || !exec(Schema) || !migrate())
        return false;
    SqliteStatement format(m_db, "INSERT OR IGNORE INTO meta(key, value) VALUES(?, ?)");
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
    SqliteStatement find(kept("SELECT id, last_seq, acked_seq, acked_time_ms FROM instruments WHERE name = ?"));
    find.bind(1, name);
    qint64 id = 0;
    if (find.step() == SQLITE_ROW) {
        id = find.integer(0);
        m_lastSeq.insert(id, find.integer(1));
        m_committedSeq.insert(id, find.integer(1));
        m_acknowledged.insert(id, {find.integer(2), find.integer(3), false});
        // Only a store opened for writing has the table (an older one gets it then).
        SqliteStatement archived(kept("SELECT first_seq, last_seq FROM archived WHERE instrument = ?"));
        archived.bind(1, id);
        Archived &held = m_archived[id];
        while (archived && archived.step() == SQLITE_ROW)
            held.seqs.insertRange(archived.integer(0), archived.integer(1));
        loadClockPasses(id);
    } else if (create) {
        SqliteStatement insert(kept("INSERT INTO instruments(name) VALUES(?)"));
        insert.bind(1, name);
        if (insert.step() == SQLITE_DONE)
            id = sqlite3_last_insert_rowid(m_db);
    }
    if (id)
        m_ids.insert(name, id);
    return id;
}

void HistoryStore::loadClockPasses(qint64 id)
{
    // Only a store opened for writing has the table and the column.
    ClockPasses &passes = m_passes[id];
    SqliteStatement stored(kept("SELECT first_seq, pass FROM clock_passes WHERE instrument = ?"));
    stored.bind(1, id);
    while (stored && stored.step() == SQLITE_ROW)
        passes.load(stored.integer(0), int(stored.integer(1)));
    // The start of the pass's newest minute: a step back is seen across a restart too.
    SqliteStatement newest(kept("SELECT max(minute) FROM minutes WHERE instrument = ? AND pass = ?"));
    newest.bind(1, id);
    newest.bind(2, qint64(passes.current()));
    if (newest && newest.step() == SQLITE_ROW && sqlite3_column_type(newest.get(), 0) != SQLITE_NULL) {
        // A damaged or hand-made store may hold minutes no time reaches.
        constexpr qint64 Widest = std::numeric_limits<qint64>::max() / 60000;
        passes.setNewestTime(qBound(-Widest, newest.integer(0), Widest) * 60000);
    }
}

bool HistoryStore::integrityOk()
{
    SqliteStatement check(m_db, "PRAGMA integrity_check");
    return check && check.step() == SQLITE_ROW && check.text(0) == QLatin1String("ok");
}
