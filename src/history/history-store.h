#pragma once

// The monitor's history: an SQLite file in WAL mode with the readings of every
// instrument (UTC milliseconds, kelvin), a per-minute summary kept up to date as
// readings arrive, and the events (connected, lost, refused, alarms, start and
// stop). The monitor writes it in batches; frostgauge-cli history and the
// viewer read it, also while the monitor writes.

#include "history/clock-passes.h"
#include "history/history-event.h"
#include "history/history-time.h"
#include "history/seq-ranges.h"
#include "history/writer-lock.h"

#include <QHash>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>
#include <functional>

struct sqlite3;
struct sqlite3_stmt;

struct Reading {
    qint64 timeMs = 0;
    double kelvin = 0;
};

struct StoredReading {
    QString instrument;
    qint64 timeMs = 0;
    double kelvin = 0;
    qint64 seq = 0;
};

struct Bucket {
    QString instrument;
    qint64 startMs = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
    qint64 count = 0;
};

// One column of a plot: the lowest and highest reading that falls in it, and
// the time of its first reading (or, from the per-minute rows, first minute).
struct EnvelopePoint {
    qint64 timeMs = 0;
    double lo = 0;
    double hi = 0;
};

struct StoredEvent {
    qint64 timeMs = 0;
    QString instrument; // empty for the monitor's own events
    EventKind kind = EventKind::Unknown;
    QString kindText; // as stored: the kind's name, or one this version does not know
    QString detail;
    QString author; // who wrote a note or acknowledged an alarm; empty for the monitor's own
};

class HistoryStore
{
public:
    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens (and for writing, creates) the store. False with error() set when
    // the file cannot be opened or is not a store of this program.
    bool openForWriting(const QString &path);
    bool openForReading(const QString &path);
    // For a note from another process than the monitor's: an existing store,
    // written beside its writer under SQLite's lock (waited for up to ten
    // seconds), without the writer's bookkeeping.
    bool openForNotes(const QString &path);
    // Writes the note at once; the instrument (empty for none) must be one the
    // store knows. False with error() set.
    bool insertNote(const QString &instrument, qint64 timeMs, const QString &text, const QString &author);
    QString error() const { return m_error; }

    // Writing. Readings and events are queued and written by commit(), in one
    // transaction, together with the per-minute rows they touch. Each reading
    // gets the next sequence number of its instrument, which survives restarts
    // and retention; addReading returns it. A reading keeps the time it was
    // read, whatever the times before it (the same millisecond, a clock set back).
    qint64 addReading(const QString &instrument, qint64 timeMs, double kelvin);
    // The last reading a consumer (the MQTT broker) acknowledged, kept with the
    // next commit so that a restart resumes after it.
    void setAcknowledged(const QString &instrument, qint64 seq, qint64 timeMs);
    // The acknowledged reading's sequence number (0: none yet). Its time is
    // kept too, for the programs that read the store.
    qint64 acknowledgedSeq(const QString &instrument);
    // The time from which on the readings after the sequence number acked
    // lie (a clock set back may have put later ones earlier); false when
    // there are none.
    bool firstTimeAfter(const QString &instrument, qint64 acked, qint64 *timeMs);
    // Up to limit stored readings with a sequence number above acked, in time
    // order from the one after (timeMs, seq).
    bool readingsAfter(const QString &instrument, qint64 acked, qint64 timeMs, qint64 seq, int limit,
                       const std::function<void(const StoredReading &)> &each);
    // The last sequence number of the instrument that a commit made durable.
    qint64 committedSeq(const QString &instrument);
    void addEvent(const QString &instrument, qint64 timeMs, EventKind kind, const QString &detail,
                  const QString &author = QString());

    // An archive's writing: a remote instrument's reading keeps the sequence
    // number its source gave it, and each number is stored once. False (and
    // nothing queued) when the number is held already, or known to be lost.
    bool addArchivedReading(const QString &instrument, qint64 timeMs, double kelvin, qint64 seq);
    // Numbers that will never come (the source's store no longer has them):
    // held from now on, so that nobody asks for them again.
    void settleLost(const QString &instrument, qint64 first, qint64 last);
    // The numbers held (stored, queued or settled as lost), kept with the
    // readings at each commit.
    const SeqRanges &archivedSeqs(const QString &instrument);
    // How far a time-series engine has taken a series: every reading with a
    // number up to the watermark, and, while a pass over newer ones is under
    // way, those up to the cursor (time, number) in time order. Kept with the
    // next commit.
    struct RemotePosition {
        qint64 watermark = 0;
        qint64 cursorTimeMs = 0;
        qint64 cursorSeq = 0;
        bool inPass = false;
        qint64 passHighest = 0; // the highest number taken in the pass under way
    };
    RemotePosition remotePosition(const QString &instrument);
    void setRemotePosition(const QString &instrument, const RemotePosition &position);
    // The unit of a series' values (a line instrument's channel: "mbar", "" for
    // a state), kept with the next commit; a series without one is in kelvin.
    void setUnit(const QString &instrument, const QString &unit);
    QString unitOf(const QString &instrument);
    // The time of the instrument's newest stored reading; false when it has none.
    bool newestTime(const QString &instrument, qint64 *timeMs);

    // False with error() naming the cause (a full disk, a read-only file);
    // what was queued stays queued for the next commit.
    bool commit();

    // While the store cannot be written, readings wait in memory up to a bound;
    // beyond it the oldest waiting ones are dropped and counted here.
    void setMaxWaitingReadings(int readings) { m_maxWaitingReadings = qMax(1, readings); }
    int maxWaitingReadings() const { return m_maxWaitingReadings; }
    int waitingReadings() const { return int(m_pendingReadings.size()); }
    int waitingEvents() const { return int(m_pendingEvents.size()); }
    struct Dropped {
        qint64 count = 0;
        qint64 firstMs = 0; // the time of the first and the last reading dropped
        qint64 lastMs = 0;
        // The numbers dropped, per instrument of this monitor: the oldest
        // waiting go first, so they are one run each, first to last.
        QMap<QString, QPair<qint64, qint64>> seqs;
    };
    // What was dropped since the last call, and forgets it.
    Dropped takeDropped();
    // Deletes readings older than cutoffMs, at most about `batch` of them (all
    // with a batch of 0), and lets the log's pages go back into the file; the
    // per-minute rows stay. *more says whether older ones remain.
    bool deleteReadingsBefore(qint64 cutoffMs, qint64 *deleted = nullptr, qint64 batch = 0, bool *more = nullptr);
    // The time of the newest reading of any instrument; false when there is none.
    bool newestReadingTime(qint64 *timeMs);

    // Reading. An empty instrument means all of them; times are inclusive bounds.
    // Each query returns false with error() set when the store cannot be read,
    // so that "none" and "unreadable" are told apart.
    QStringList instruments();
    // At most limit readings (all when negative), the earliest first.
    bool readings(const QString &instrument, qint64 fromMs, qint64 toMs,
                  const std::function<void(const StoredReading &)> &each, qint64 limit = -1);
    bool buckets(const QString &instrument, qint64 fromMs, qint64 toMs, qint64 everyMs, QVector<Bucket> *result);
    // The same, each as it is read: an export of millions holds none of them.
    bool buckets(const QString &instrument, qint64 fromMs, qint64 toMs, qint64 everyMs,
                 const std::function<void(const Bucket &)> &each);
    bool events(const QString &instrument, qint64 fromMs, qint64 toMs, QVector<StoredEvent> *result);
    // The newest event's row id (0: none), and the events of one kind written
    // after a row id, in the order written, up to limit: what another process
    // (a note from the command line) added since a look.
    qint64 lastEventId();
    // Whether that note is stored (or waits to be).
    bool hasNote(const QString &instrument, qint64 timeMs, const QString &text);
    bool eventsAfter(qint64 afterId, EventKind kind, int limit,
                     const std::function<void(qint64 id, const StoredEvent &event)> &each);
    // The readings of one instrument in [fromMs, toMs] reduced to at most
    // `columns` columns of equal width, each its lowest and highest reading, so
    // that a single reading's spike survives any zoom. Columns of half a
    // minute or more come from the per-minute rows, narrower ones from the
    // readings themselves.
    bool envelope(const QString &instrument, qint64 fromMs, qint64 toMs, int columns, QVector<EnvelopePoint> *points);
    // The time of the first and the last reading (or per-minute row) of any
    // instrument; false when the store holds none (error() is empty then) or
    // cannot be read.
    bool timeSpan(qint64 *firstMs, qint64 *lastMs);
    bool integrityOk();
    // For a writer: whether the path (and its write-ahead log) still names the
    // files opened. A store deleted or replaced under a writer would take every
    // later commit with it; false with why set when it is so.
    bool stillAtItsPath(QString *why) const;
    // After the file at the path was deleted or replaced: what is still in the
    // log goes into the file this store has open (wherever it now is), and the
    // log and its index at the path, if they are this store's, go, so that
    // nothing of it is ever read into the file now at the path. The store is
    // closed. Returns what it did with them, for the log.
    QString abandon();

private:
    // Integer division rounding towards minus infinity: the minute of a time.
    static qint64 floorDiv(qint64 value, qint64 divisor) { return value / divisor - (value % divisor < 0 ? 1 : 0); }
    bool open(const QString &path, bool write);
    bool migrate();
    bool eventsHaveAuthors();
    bool minutesHavePasses();
    void loadClockPasses(qint64 id);
    bool addAuthorColumn();
    bool seriesHaveUnits();
    bool addUnitColumn();
    // What a file holds, told apart for the reader's sake.
    enum Content { Store, Empty, Other, Damaged, Unopenable };
    Content probeContent();
    static Content classify(int sqliteCode);
    QString describe(const QString &path, Content content) const;
    // Closes, sets error() to why and returns false.
    bool refuse(const QString &path, const QString &why);
    QString m_probeMessage;
    bool exec(const char *sql);
    // A statement prepared once for the store's life (a writer runs the same
    // few at every commit); null when it cannot be prepared.
    sqlite3_stmt *kept(const char *sql);
    void finalizeKept();
    // Before a reading is queued: the oldest waiting one goes when the queue is full.
    void makeRoom();
    void close();
    qint64 instrumentId(const QString &name, bool create);
    bool fail(const QString &what);

    sqlite3 *m_db = nullptr;
    WriterLock m_writerLock;
    QHash<const char *, sqlite3_stmt *> m_kept;
    QString m_path;
    QString m_error;
    // Device and inode of the store and its log as opened for writing.
    struct FileIdentity {
        quint64 device = 0;
        quint64 inode = 0;
        bool exists = false;
    };
    FileIdentity m_opened;
    FileIdentity m_openedLog;
    FileIdentity m_openedIndex; // the log's shared-memory index, -shm
    struct PendingReading {
        qint64 instrument;
        qint64 timeMs;
        double kelvin;
        qint64 seq;
        bool archived; // a remote instrument's: its number is in m_archived
        int pass;      // its pass through time, see ClockPasses
    };
    struct PendingEvent {
        qint64 instrument; // 0: none
        qint64 timeMs;
        EventKind kind;
        QString detail;
        QString author;
    };
    std::deque<PendingReading> m_pendingReadings;
    std::deque<PendingEvent> m_pendingEvents;
    int m_maxWaitingReadings = 200000;
    Dropped m_dropped;
    QHash<qint64, qint64> m_lastSeq;
    QHash<qint64, qint64> m_committedSeq;
    struct Archived {
        SeqRanges seqs;
        bool dirty = false;
    };
    QHash<qint64, Archived> m_archived; // loaded with the instrument's id
    struct Acknowledged {
        qint64 seq = 0;
        qint64 timeMs = -1;
        bool dirty = false;
    };
    QHash<qint64, Acknowledged> m_acknowledged;
    QHash<QString, qint64> m_ids;
    QHash<qint64, QString> m_units; // set by the writer, kept at the next commit
    QHash<qint64, RemotePosition> m_remotePositions;
    QSet<qint64> m_remotePositionsDirty;
    bool m_unitsDirty = false;
    QHash<qint64, ClockPasses> m_passes; // loaded with the instrument's id
};
