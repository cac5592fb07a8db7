// The history store in process: readings keep their true times, whatever the
// times before them; a store from before is brought to the new keys once; the
// readings a consumer has not acknowledged are found after a clock set back.

#include "history/history-store.h"
#include "history/history-time.h"
#include "support/test-main.h"

#include <QDir>
#include <QTemporaryDir>

#include <limits>
#include <memory>
#include <sqlite3.h>
#include <unistd.h>

namespace {

QVector<StoredReading> all(HistoryStore &store, const QString &instrument)
{
    QVector<StoredReading> readings;
    store.readings(instrument, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max(),
                   [&](const StoredReading &reading) { readings.append(reading); });
    return readings;
}

constexpr qint64 Now = 1796882400000; // 2026-12-10 06:00 UTC
constexpr qint64 In2030 = 1893456000000;

} // namespace

class HistoryStoreTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    // One writer per file, whatever path leads to it: a symbolic link to the
    // store or to its folder finds the first writer's lock; a hard link is
    // refused for good (each name would get its own log).
    void oneWriterWhateverThePath_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<bool>("laterWritable");
        QTest::newRow("link to the store") << "store"
                                           << "is being written by another frostgauge-monitor" << true;
        QTest::newRow("link to its folder") << "folder"
                                            << "is being written by another frostgauge-monitor" << true;
        QTest::newRow("hard link") << "hard"
                                   << "has 2 names (hard links); a store is written through one name only" << false;
    }

    void oneWriterWhateverThePath()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        QFETCH(bool, laterWritable);
        QTemporaryDir scratch;
        QVERIFY(QDir(scratch.path()).mkdir("real"));
        const QString real = scratch.filePath("real/one.db");
        auto first = std::make_unique<HistoryStore>();
        QVERIFY2(first->openForWriting(real), qPrintable(first->error()));
        first->addReading("cryo", Now, 4.2);
        QVERIFY(first->commit());
        QString other;
        if (kind == "store") {
            other = scratch.filePath("alias.db");
            QVERIFY(QFile::link(real, other));
        } else if (kind == "folder") {
            QVERIFY(QFile::link(scratch.filePath("real"), scratch.filePath("alias")));
            other = scratch.filePath("alias/one.db");
        } else {
            other = scratch.filePath("hard.db");
            QVERIFY(::link(QFile::encodeName(real).constData(), QFile::encodeName(other).constData()) == 0);
        }
        HistoryStore second;
        QVERIFY(!second.openForWriting(other));
        QVERIFY2(second.error().startsWith(other + " " + refusal), qPrintable(second.error()));
        // Once the first writer is gone, the store is the second's (unless it has two names).
        first.reset();
        QCOMPARE(second.openForWriting(other), laterWritable);
        if (laterWritable)
            QCOMPARE(all(second, "cryo").size(), 1);
        // The lock lies beside the real file only.
        QVERIFY(!QFile::exists(scratch.filePath("alias.db.lock")));
    }

    void floodOfOneMillisecondKeepsItsTime()
    {
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("flood.db")));
        for (int i = 0; i < 5000; ++i)
            QCOMPARE(store.addReading("a", Now, 4.2 + i * 0.001), qint64(i + 1));
        QVERIFY(store.commit());
        const QVector<StoredReading> readings = all(store, "a");
        QCOMPARE(readings.size(), 5000);
        for (int i = 0; i < readings.size(); ++i) {
            QCOMPARE(readings.at(i).timeMs, Now);
            QCOMPARE(readings.at(i).seq, qint64(i + 1));
        }
        QVERIFY(store.integrityOk());
    }

    // One reading stamped while the clock was wrong pins nothing after it,
    // in this run or the next.
    void readingFromTheFutureMovesNothing()
    {
        const QString path = dir.filePath("future.db");
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(path));
            store.addReading("a", In2030, 4.2);
            store.addReading("a", Now, 4.3);
            QVERIFY(store.commit());
        }
        HistoryStore store;
        QVERIFY(store.openForWriting(path));
        QCOMPARE(store.addReading("a", Now + 1000, 4.4), qint64(3));
        QVERIFY(store.commit());
        const QVector<StoredReading> readings = all(store, "a");
        QCOMPARE(readings.size(), 3);
        // In time order, each with the time it was read.
        QCOMPARE(readings.at(0).timeMs, Now);
        QCOMPARE(readings.at(1).timeMs, Now + 1000);
        QCOMPARE(readings.at(2).timeMs, In2030);
        QCOMPARE(readings.at(2).seq, qint64(1));
    }

    // A consumer that acknowledged seq 2 gets 3 and 4, also when 4 was read
    // after the clock went back before the acknowledged one.
    void unacknowledgedAfterAClockSetBack()
    {
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("back.db")));
        store.addReading("a", Now, 1);
        store.addReading("a", Now + 100, 2);
        store.addReading("a", Now + 200, 3);
        store.addReading("a", Now - 3600000, 4); // an hour back
        QVERIFY(store.commit());
        qint64 from = 0;
        QVERIFY(store.firstTimeAfter("a", 2, &from));
        QVERIFY(from <= Now - 3600000);
        QVector<qint64> seqs;
        qint64 timeMs = from - 1;
        qint64 seq = std::numeric_limits<qint64>::max();
        for (int chunk = 0; chunk < 5; ++chunk) {
            int got = 0;
            QVERIFY(store.readingsAfter("a", 2, timeMs, seq, 1, [&](const StoredReading &reading) {
                seqs << reading.seq;
                timeMs = reading.timeMs;
                seq = reading.seq;
                ++got;
            }));
            if (got == 0)
                break;
        }
        QCOMPARE(seqs, (QVector<qint64>{4, 3}));
        QVERIFY(!store.firstTimeAfter("a", 4, &from));
    }

    // A store written before readings kept their true times is brought to the
    // new keys once, keeping every reading and summary.
    void olderStoreIsMigrated()
    {
        const QString path = dir.filePath("old.db");
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(qPrintable(path), &db), SQLITE_OK);
        const char *old =
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
            "INSERT INTO meta VALUES('format', 'frostgauge-history 1');"
            "CREATE TABLE instruments(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, last_seq INTEGER NOT NULL "
            "DEFAULT 0, acked_seq INTEGER NOT NULL DEFAULT 0, acked_time_ms INTEGER NOT NULL DEFAULT -1);"
            "CREATE TABLE readings(instrument INTEGER NOT NULL, time_ms INTEGER NOT NULL, kelvin REAL NOT NULL, "
            "seq INTEGER NOT NULL, PRIMARY KEY(instrument, time_ms)) WITHOUT ROWID;"
            "CREATE TABLE minutes(instrument INTEGER NOT NULL, minute INTEGER NOT NULL, lo REAL NOT NULL, hi REAL NOT "
            "NULL, total REAL NOT NULL, n INTEGER NOT NULL, PRIMARY KEY(instrument, minute)) WITHOUT ROWID;"
            "CREATE TABLE events(id INTEGER PRIMARY KEY, instrument INTEGER, time_ms INTEGER NOT NULL, kind TEXT NOT "
            "NULL, detail TEXT NOT NULL);"
            "INSERT INTO instruments(id, name, last_seq) VALUES(1, 'a', 2);"
            "INSERT INTO readings VALUES(1, 1796882400000, 4.2, 1), (1, 1796882400001, 4.3, 2);"
            "INSERT INTO minutes VALUES(1, 29948040, 4.2, 4.3, 8.5, 2);";
        QCOMPARE(sqlite3_exec(db, old, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);

        HistoryStore store;
        QVERIFY2(store.openForWriting(path), qPrintable(store.error()));
        QCOMPARE(store.addReading("a", Now, 4.4), qint64(3));
        QVERIFY(store.commit());
        const QVector<StoredReading> readings = all(store, "a");
        QCOMPARE(readings.size(), 3);
        QCOMPARE(readings.at(0).seq, qint64(1));
        QCOMPARE(readings.at(1).timeMs, Now); // the new one shares the first one's millisecond
        QCOMPARE(readings.at(2).kelvin, 4.3);
        qint64 from = 0;
        QVERIFY(store.firstTimeAfter("a", 0, &from));
        QCOMPARE(from, qint64(29948040) * 60000);
        // The old minute's summary is kept, and the new reading joins it.
        QVector<Bucket> minutes;
        QVERIFY(store.buckets("a", Now, Now + 59999, 60000, &minutes));
        QCOMPARE(minutes.size(), 1);
        QCOMPARE(minutes.at(0).count, qint64(3));
        QCOMPARE(minutes.at(0).mean, (8.5 + 4.4) / 3);
        QVERIFY(store.integrityOk());
    }

    // The clock set back an hour (and the monitor restarted meanwhile): the
    // hour read twice is two sets of summaries, one per pass, never a mean of
    // both (it was 7.58 K for readings at 4.4 K and 10.7 K).
    void minutesReadAgainAreNeverMixed()
    {
        const QString path = dir.filePath("passes.db");
        const qint64 hour = 3600000;
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(path));
            for (qint64 t = Now; t < Now + hour; t += 10000)
                store.addReading("a", t, 4.4);
            QVERIFY(store.commit());
        }
        HistoryStore store;
        QVERIFY(store.openForWriting(path));
        for (qint64 t = Now; t < Now + hour + 120000; t += 10000)
            store.addReading("a", t, 10.7);
        QVERIFY(store.commit());
        for (const qint64 every : {qint64(60000), qint64(600000), qint64(30000), qint64(45000)}) {
            QVector<Bucket> buckets;
            QVERIFY(store.buckets("a", Now, Now + hour - 1, every, &buckets));
            QCOMPARE(buckets.size(), int(2 * ((hour + every - 1) / every)));
            for (const Bucket &bucket : qAsConst(buckets)) {
                QVERIFY2(
                    qFuzzyCompare(bucket.mean, 4.4) || qFuzzyCompare(bucket.mean, 10.7),
                    qPrintable(
                        QStringLiteral("every %1 ms: %2 K at %3").arg(every).arg(bucket.mean).arg(bucket.startMs)));
                QCOMPARE(bucket.min, bucket.max);
            }
        }
        // After the first pass's end, the second goes on alone.
        QVector<Bucket> after;
        QVERIFY(store.buckets("a", Now + hour, Now + hour + 119999, 60000, &after));
        QCOMPARE(after.size(), 2);
        QCOMPARE(after.at(0).count, qint64(6));
        QVERIFY(store.integrityOk());
    }

    // Times before now as people write them, and what is none.
    void relativeTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("before"); // ms before now
        QTest::newRow("now") << "now" << true << qint64(0);
        QTest::newRow("ten minutes") << "-10m" << true << qint64(600000);
        QTest::newRow("twelve hours") << "-12h" << true << qint64(12 * 3600000);
        QTest::newRow("seven days") << "-7d" << true << qint64(7 * 86400000LL);
        QTest::newRow("two weeks") << "-2w" << true << qint64(14 * 86400000LL);
        QTest::newRow("seconds") << "-30s" << true << qint64(30000);
        QTest::newRow("two hours ago") << "2 hours ago" << true << qint64(7200000);
        QTest::newRow("one day ago") << "1 day ago" << true << qint64(86400000);
        QTest::newRow("NOW in capitals") << "NOW" << true << qint64(0);
        QTest::newRow("no unit") << "-10" << false << qint64(0);
        QTest::newRow("an unknown unit") << "-10y" << false << qint64(0);
        QTest::newRow("ahead") << "10m" << false << qint64(0);
        QTest::newRow("before 1970") << "-999999999w" << false << qint64(0);
        QTest::newRow("too many digits") << "-1234567890s" << false << qint64(0);
        QTest::newRow("ago without a number") << "hours ago" << false << qint64(0);
    }

    void relativeTimes()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(qint64, before);
        qint64 ms = 0;
        QCOMPARE(parseHistoryTime(text, &ms, Now), ok);
        if (ok)
            QCOMPARE(ms, Now - before);
    }

    // What is not a second pass: the clock set back under a second, and an
    // archive's refill of older numbers after newer ones came live.
    void notAPassThroughTimeAgain_data()
    {
        QTest::addColumn<bool>("archive");
        QTest::newRow("a step back of half a second") << false;
        QTest::newRow("an archive's refill") << true;
    }

    void notAPassThroughTimeAgain()
    {
        QFETCH(bool, archive);
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath(QStringLiteral("one-pass-%1.db").arg(archive))));
        if (archive) {
            for (qint64 seq = 11; seq <= 20; ++seq)
                QVERIFY(store.addArchivedReading("a", Now + seq * 1000, 4.2, seq));
            QVERIFY(store.commit());
            for (qint64 seq = 1; seq <= 10; ++seq)
                QVERIFY(store.addArchivedReading("a", Now + seq * 1000, 4.2, seq));
        } else {
            for (qint64 t = Now; t < Now + 10000; t += 1000)
                store.addReading("a", t, 4.2);
            for (qint64 t = Now + 9500; t < Now + 19500; t += 1000)
                store.addReading("a", t, 4.2);
        }
        QVERIFY(store.commit());
        QVector<Bucket> minutes;
        QVERIFY(store.buckets("a", Now, Now + 59999, 60000, &minutes));
        QCOMPARE(minutes.size(), 1);
        QCOMPARE(minutes.at(0).count, qint64(20));
    }
};

FROSTGAUGE_TEST_MAIN(HistoryStoreTest)
#include "test-history-store.moc"
