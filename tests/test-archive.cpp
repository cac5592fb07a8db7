// The facility archive's parts in process, with made-up times and no broker:
// the sets of sequence numbers, the store keeping each number once across a
// reopening, the payload parsers, and a source fed hostile messages.

#include "history/history-store.h"
#include "monitor/archive/archive-payloads.h"
#include "monitor/archive/remote-source.h"
#include "support/debug-capture.h"
#include "support/test-main.h"

#include <QTemporaryDir>

#include <limits>

using namespace ArchivePayloads;

Q_DECLARE_METATYPE(ArchivePayloads::Problem)

namespace {

constexpr qint64 Now = 1765400000000; // 2025-12-10T20:53:20Z

// A source of the archive: its name, its monitor's client id and topic prefix.
SourceConfig sourceConfig(const QString &name, const QString &clientId, const QString &prefix)
{
    SourceConfig config;
    config.name = name;
    config.clientId = clientId;
    config.topicPrefix = prefix;
    return config;
}

QVector<SeqRange> ranges(std::initializer_list<std::pair<qint64, qint64>> list)
{
    QVector<SeqRange> result;
    for (const auto &range : list)
        result.append({range.first, range.second});
    return result;
}

QByteArray reading(qint64 seq, double kelvin = 4.2, qint64 timeMs = Now - 1000)
{
    return QStringLiteral("{\"time\":\"%1\",\"kelvin\":%2,\"seq\":%3}")
        .arg(isoTime(timeMs))
        .arg(kelvin, 0, 'f', 3)
        .arg(seq)
        .toUtf8();
}

} // namespace

class ArchiveTest : public QObject
{
    Q_OBJECT

private slots:
    void seqRanges()
    {
        SeqRanges set;
        QVERIFY(set.insert(5));
        QVERIFY(!set.insert(5));
        QVERIFY(set.insert(7));
        QVERIFY(set.insert(6)); // joins 5 and 7
        QCOMPARE(set.ranges(), ranges({{5, 7}}));
        set.insertRange(1, 2);
        set.insertRange(10, 20);
        QCOMPARE(set.missing(1, 25, 10), ranges({{3, 4}, {8, 9}, {21, 25}}));
        QCOMPARE(set.missing(1, 25, 1), ranges({{3, 4}}));
        QCOMPARE(set.missing(12, 15, 10), QVector<SeqRange>());
        QCOMPARE(set.countIn(2, 12), qint64(1 + 3 + 3));
        set.remove(15);
        QCOMPARE(set.ranges(), ranges({{1, 2}, {5, 7}, {10, 14}, {16, 20}}));
        set.insertRange(3, 16); // swallows everything between
        QCOMPARE(set.ranges(), ranges({{1, 20}}));
        QCOMPARE(set.highest(), qint64(20));
        const qint64 top = std::numeric_limits<qint64>::max();
        set.insertRange(top - 1, top);
        set.insertRange(21, top - 2);
        QCOMPARE(set.ranges(), ranges({{1, top}}));
    }

    // Each number once, kept with the readings: a reopened store knows what
    // it holds, and what was never committed (a killed archive) is missing.
    void storeKeepsEachNumberOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("archive.db");
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(path));
            QVERIFY(store.addArchivedReading("lab/cryo", Now, 4.2, 1));
            QVERIFY(store.addArchivedReading("lab/cryo", Now + 100, 4.3, 2));
            QVERIFY(!store.addArchivedReading("lab/cryo", Now + 100, 4.3, 2));
            QVERIFY(!store.addArchivedReading("lab/cryo", Now + 999, 9.9, 1)); // the number again, another time
            QVERIFY(store.addArchivedReading("lab/cryo", Now + 500, 4.4, 5));
            store.settleLost("lab/cryo", 3, 3);
            QVERIFY(store.commit());
            QVERIFY(store.addArchivedReading("lab/cryo", Now + 600, 4.5, 6)); // never committed
        }
        HistoryStore store;
        QVERIFY(store.openForWriting(path));
        QCOMPARE(store.archivedSeqs("lab/cryo").ranges(), ranges({{1, 3}, {5, 5}}));
        QCOMPARE(store.archivedSeqs("lab/cryo").missing(1, 6, 5), ranges({{4, 4}, {6, 6}}));
        QStringList rows;
        QVERIFY(store.readings("lab/cryo", 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &r) {
            rows << QStringLiteral("%1@%2").arg(r.seq).arg(r.timeMs - Now);
        }));
        QCOMPARE(rows, QStringList({"1@0", "2@100", "5@500"}));
    }

    // Readings dropped while the store could not be written are not held:
    // the source is asked for them again.
    void droppedReadingsAreMissingAgain()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("archive.db")));
        store.setMaxWaitingReadings(3);
        for (qint64 seq = 1; seq <= 5; ++seq)
            QVERIFY(store.addArchivedReading("lab/cryo", Now + seq, 4.2, seq));
        QCOMPARE(store.archivedSeqs("lab/cryo").ranges(), ranges({{3, 5}}));
        QCOMPARE(store.takeDropped().count, qint64(2));
    }

    void readingPayloads_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<ArchivePayloads::Problem>("problem");
        QTest::newRow("good") << reading(17) << Problem::None;
        QTest::newRow("good, with an offset")
            << QByteArray("{\"time\":\"2025-12-10T21:53:19.000+01:00\",\"kelvin\":4.2,"
                          "\"seq\":17}")
            << Problem::None;
        QTest::newRow("not JSON") << QByteArray("4.2 K") << Problem::NotJson;
        QTest::newRow("an array") << QByteArray("[1,2]") << Problem::NotJson;
        QTest::newRow("empty") << QByteArray() << Problem::NotJson;
        QTest::newRow("huge") << QByteArray(1 << 20, ' ') << Problem::TooLarge;
        QTest::newRow("no seq") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":4}") << Problem::BadField;
        QTest::newRow("seq as text") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":4,\"seq\":\"3\"}")
                                     << Problem::BadField;
        QTest::newRow("time as number") << QByteArray("{\"time\":1765400000000,\"kelvin\":4,\"seq\":3}")
                                        << Problem::BadField;
        QTest::newRow("kelvin as text") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":\"4\",\"seq\":3}")
                                        << Problem::BadField;
        QTest::newRow("NaN") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":NaN,\"seq\":3}")
                             << Problem::NotJson;
        QTest::newRow("null kelvin") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":null,\"seq\":3}")
                                     << Problem::BadKelvin;
        // JSON has no infinity: Qt's reader refuses a number beyond a double.
        QTest::newRow("infinite") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":1e999,\"seq\":3}")
                                  << Problem::NotJson;
        QTest::newRow("0 K") << reading(3, 0) << Problem::BadKelvin;
        QTest::newRow("negative") << reading(3, -4) << Problem::BadKelvin;
        QTest::newRow("too hot") << reading(3, 1e6) << Problem::BadKelvin;
        QTest::newRow("decades ahead") << reading(3, 4.2, Now + 30LL * 365 * 86400000) << Problem::BadTime;
        QTest::newRow("decades back") << reading(3, 4.2, Now - 40LL * 365 * 86400000) << Problem::BadTime;
        QTest::newRow("no time") << QByteArray("{\"time\":\"yesterday\",\"kelvin\":4,\"seq\":3}") << Problem::BadTime;
        QTest::newRow("February 30th") << QByteArray("{\"time\":\"2025-02-30T21:00:00.000Z\",\"kelvin\":4,\"seq\":3}")
                                       << Problem::BadTime;
        QTest::newRow("hour 24") << QByteArray("{\"time\":\"2025-12-10T24:00:00.000Z\",\"kelvin\":4,\"seq\":3}")
                                 << Problem::BadTime;
        QTest::newRow("a sign in the digits")
            << QByteArray("{\"time\":\"2025-12-10T2-:00:00.000Z\",\"kelvin\":4,\"seq\":3}") << Problem::BadTime;
        QTest::newRow("seq 0") << reading(0) << Problem::BadSeq;
        QTest::newRow("seq negative") << reading(-5) << Problem::BadSeq;
        QTest::newRow("seq 2^62") << reading(qint64(1) << 62) << Problem::BadSeq;
        QTest::newRow("seq fraction") << QByteArray("{\"time\":\"2025-12-10T21:00:00Z\",\"kelvin\":4,\"seq\":3.5}")
                                      << Problem::BadSeq;
    }

    void readingPayloads()
    {
        QFETCH(QByteArray, payload);
        QFETCH(ArchivePayloads::Problem, problem);
        RemoteReading parsed;
        QCOMPARE(parseReading(payload, Now, &parsed), problem);
        if (problem == Problem::None) {
            QCOMPARE(parsed.seq, qint64(17));
            QCOMPARE(parsed.kelvin, 4.2);
            QCOMPARE(parsed.timeMs, Now - 1000);
        }
    }

    void replayMessages()
    {
        ReplayRequest request;
        QCOMPARE(parseReplayRequest(replayRequest({"cryo 1", 5, 1000000000}), &request), Problem::None);
        QCOMPARE(request.instrument, QString("cryo 1"));
        QCOMPARE(request.toSeq, qint64(1000000000));
        QCOMPARE(parseReplayRequest("{\"instrument\":\"c\",\"from_seq\":9,\"to_seq\":5}", &request), Problem::BadSeq);
        QCOMPARE(parseReplayRequest("{\"instrument\":7,\"from_seq\":1,\"to_seq\":5}", &request), Problem::BadField);

        // Kelvin as stored, whatever their digits; a bad row is left out and counted.
        const QVector<RemoteReading> sent{{Now, 4.2131234567, 1}, {Now + 100, 0.1 + 0.2, 2}};
        ReplayAnswer answer;
        QCOMPARE(parseReplayAnswer(replayChunk("cryo", sent), Now, &answer), Problem::None);
        QCOMPARE(answer.readings.size(), 2);
        QCOMPARE(answer.readings.at(1).kelvin, 0.1 + 0.2);
        QCOMPARE(answer.readings.at(0).kelvin, 4.2131234567);
        ReplayAnswer mixed;
        QCOMPARE(parseReplayAnswer("{\"instrument\":\"cryo\",\"readings\":[[1,1765400000000,4.2],[2,1765400000000,-1],"
                                   "[0,1765400000000,4],[3,\"x\",4]]}",
                                   Now, &mixed),
                 Problem::None);
        QCOMPARE(mixed.readings.size(), 1);
        QCOMPARE(mixed.refused, 3);
        QCOMPARE(mixed.refusedProblem, Problem::BadKelvin);

        ReplayAnswer end;
        QCOMPARE(parseReplayAnswer(replayEnd({"cryo", 1, 100}, ranges({{3, 9}}), 120), Now, &end), Problem::None);
        QVERIFY(end.done);
        QCOMPARE(end.lost, ranges({{3, 9}}));
        QCOMPARE(end.lastSeq, qint64(120));
        QCOMPARE(parseReplayAnswer("{\"instrument\":\"cryo\",\"done\":true,\"from_seq\":1,\"to_seq\":5,"
                                   "\"lost\":[[5,3]],\"last_seq\":9}",
                                   Now, &end),
                 Problem::BadSeq);
        QCOMPARE(parseReplayAnswer(QByteArray(MaxAnswerBytes + 1, ' '), Now, &end), Problem::TooLarge);
    }

    // Hostile messages on a source's topics: each kind is logged once, nothing
    // bad is stored, and the good readings among them are.
    void hostileMessagesStoreNothingBad()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("archive.db")));
        SourceConfig config = sourceConfig("lab2", "lab2-monitor", "frostgauge/lab2");
        config.instruments = QStringList{"cryo1"};
        RemoteSource source(config, &store, nullptr);
        QStringList added;
        connect(&source, &RemoteSource::instrumentAdded, this, [&](const QString &name) { added << name; });
        DebugCapture log;
        const QString topic = "frostgauge/lab2/cryo1/temperature";
        source.receive(topic, reading(1, 4.2), false, Now);
        for (int round = 0; round < 2; ++round) {
            source.receive(topic, "not json", false, Now);
            source.receive(topic, "{\"seq\":2}", false, Now);
            source.receive(topic, QByteArray(100000, '{'), false, Now);
            source.receive(topic, reading(2, 1e300), false, Now);
            source.receive(topic, reading(2, 4.2, Now + 20LL * 365 * 86400000), false, Now);
            source.receive(topic, reading(qint64(1) << 62), false, Now);
            source.receive(topic, reading(1 + (qint64(1) << 40)), false, Now); // a jump under 2^53
            source.receive("frostgauge/lab2/cryo9/temperature", reading(1), false, Now);
            source.receive("frostgauge/lab2/cryo1/status", QByteArray("\x01\x02", 2), false, Now);
            source.receive("frostgauge/lab2/cryo1/info", "[]", false, Now);
            source.receive("frostgauge/lab2/cryo1/alarm/hot", "{\"state\":\"boiling\"}", false, Now);
            source.receive("frostgauge/lab2/monitor/lab2-monitor/replayed", "{\"instrument\":\"cryo1\",\"readings\":7}",
                           false, Now);
        }
        source.receive(topic, reading(1, 4.2), false, Now); // a repeat
        source.receive(topic, reading(2, 4.25), false, Now);
        QVERIFY(store.commit());

        QStringList rows;
        QVERIFY(store.readings(QString(), 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &r) {
            rows << QStringLiteral("%1 %2 %3").arg(r.instrument).arg(r.seq).arg(r.kelvin);
        }));
        QCOMPARE(rows, QStringList({"lab2/cryo1 1 4.2", "lab2/cryo1 2 4.25"}));
        QCOMPARE(store.instruments(), QStringList{"lab2/cryo1"});
        QVERIFY(added.isEmpty()); // listed from the start; cryo9 never was
        const QStringList kinds{"refused: not a JSON object",
                                "a field missing or of the wrong type",
                                "too large",
                                "a temperature no sensor reports",
                                "a time before 2000",
                                "not a whole number from 1 to 2^53-1",
                                "far beyond the last one held",
                                "not in the source's instruments= list",
                                "a status that is not one of a monitor's words",
                                "information that is not a JSON object",
                                "not a monitor's alarm message",
                                "already held arrive again"};
        for (const QString &kind : kinds)
            QVERIFY2(log.lines().filter(kind).size() == 1,
                     qPrintable(kind + " logged " + QString::number(log.lines().filter(kind).size()) + " times:\n"
                                + log.lines().join('\n')));
        // An archive started again measures a jump from its newest reading, not from nothing.
        RemoteSource again(config, &store, nullptr);
        again.receive(topic, reading(3 + (qint64(1) << 40)), false, Now);
        // A day later a day's numbers at 100 a second are believed.
        again.receive(topic, reading(2 + 1000000 + 8640000, 4.3, Now + 86400000), false, Now + 86400000);
        QVERIFY(store.commit());
        QCOMPARE(store.archivedSeqs("lab2/cryo1").ranges(), ranges({{1, 2}, {9640002, 9640002}}));
        QCOMPARE(log.lines().filter("far beyond the last one held").size(), 2);
    }

    // A source's line-instrument channel: values in its unit, live and
    // replayed, whatever their range; a temperature's range stays a temperature's.
    void channelsOfASource()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("archive.db")));
        SourceConfig config = sourceConfig("lab2", "lab2-monitor", "fg");
        RemoteSource source(config, &store, nullptr);
        QStringList units;
        connect(&source, &RemoteSource::unitKnown, this,
                [&](const QString &name, const QString &unit) { units << name + QLatin1Char('=') + unit; });
        DebugCapture log;
        const auto value = [](qint64 seq, const QByteArray &number, const QByteArray &unit) {
            return "{\"time\":\"" + isoTime(Now - 1000).toUtf8() + "\",\"value\":" + number
                   + (unit.isNull() ? QByteArray() : ",\"unit\":\"" + unit + '"')
                   + ",\"seq\":" + QByteArray::number(seq) + '}';
        };
        const QString topic = "fg/gauge:pressure/value";
        source.receive(topic, value(1, "1.2e-06", "mbar"), false, Now);
        source.receive(topic, value(2, "-3.5", "mbar"), false, Now); // a gauge's offset: a value like any
        source.receive(topic, value(3, "1", "furlongs"), false, Now);
        source.receive(topic, value(3, "\"NaN\"", "mbar"), false, Now);
        source.receive(topic, value(3, "null", "mbar"), false, Now);
        source.receive("fg/compressor:state/value", value(1, "1", QByteArray()), false, Now);
        // Replayed: the channel's values pass, a temperature's below 0 K do not.
        source.receive("fg/monitor/lab2-monitor/replayed",
                       replayChunk("gauge:pressure", {{Now - 5000, -7.5, 5}, {Now - 4000, 2e-9, 6}}), false, Now);
        source.receive("fg/cryo/temperature", reading(1), false, Now);
        source.receive("fg/monitor/lab2-monitor/replayed", replayChunk("cryo", {{Now - 5000, -7.5, 5}}), false, Now);
        QVERIFY(store.commit());
        QStringList rows;
        QVERIFY(store.readings(QString(), 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &r) {
            rows << QStringLiteral("%1 %2 %3").arg(r.instrument).arg(r.seq).arg(r.kelvin);
        }));
        rows.sort();
        QCOMPARE(rows, QStringList({"lab2/compressor:state 1 1", "lab2/cryo 1 4.2", "lab2/gauge:pressure 1 1.2e-06",
                                    "lab2/gauge:pressure 2 -3.5", "lab2/gauge:pressure 5 -7.5",
                                    "lab2/gauge:pressure 6 2e-09"}));
        QCOMPARE(units, QStringList({"lab2/gauge:pressure=mbar", "lab2/compressor:state="}));
        for (const char *kind : {"a unit this monitor does not know", "a field missing or of the wrong type",
                                 "a channel's value that is not a finite number", "a temperature no sensor reports"})
            QVERIFY2(log.lines().filter(kind).size() == 1, qPrintable(kind + ("\n" + log.lines().join('\n'))));
    }

    // An answer's chunks come faster than the monitor's half-second commits:
    // the source asks for a commit before the waiting readings reach their
    // bound, so that none is dropped.
    void answersBurstWithoutLoss()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("archive.db")));
        store.setMaxWaitingReadings(RemoteSource::CommitAfterReadings + ChunkReadings);
        SourceConfig config = sourceConfig("lab", "m", "fg/lab");
        RemoteSource source(config, &store, nullptr);
        connect(&source, &RemoteSource::storeCommitWanted, this, [&] { QVERIFY(store.commit()); });
        source.receive("fg/lab/cryo/temperature", reading(100000), false, Now);
        for (qint64 first = 1; first < 100000; first += ChunkReadings) {
            QVector<RemoteReading> chunk;
            for (qint64 seq = first; seq < first + ChunkReadings && seq < 100000; ++seq)
                chunk.append({Now - 200000 + seq, 4.2, seq});
            source.receive("fg/lab/monitor/m/replayed", replayChunk("cryo", chunk), false, Now);
        }
        QCOMPARE(store.takeDropped().count, qint64(0));
        QVERIFY(store.commit());
        QCOMPARE(store.archivedSeqs("lab/cryo").ranges(), ranges({{1, 100000}}));
    }

    // Without an instruments= list, instruments come as they are heard of,
    // within a bound, and only with names a monitor gives.
    void instrumentsHeardOf()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath("archive.db")));
        SourceConfig config = sourceConfig("lab3", "m", "fg/lab3");
        RemoteSource source(config, &store, nullptr);
        QStringList added, statuses;
        connect(&source, &RemoteSource::instrumentAdded, this, [&](const QString &name) { added << name; });
        connect(&source, &RemoteSource::status, this,
                [&](const QString &name, const QString &status) { statuses << name + " " + status; });
        source.receive("fg/lab3/monitor/m/status", "online", true, Now);
        source.receive("fg/lab3/cryo A/temperature", reading(1), false, Now);
        source.receive("fg/lab3/cryo A/status", "online", true, Now);
        source.receive("fg/lab3/cryo\u200bB/temperature", reading(1), false, Now);
        source.receive("fg/lab3/monitor/other/status", "offline", true, Now); // another monitor's level
        source.receive("fg/lab3/monitor/m/status", "offline", true, Now);
        QCOMPARE(added, QStringList{"lab3/cryo A"});
        // A source's alarm, raised, then taken on there.
        QStringList alarms;
        connect(&source, &RemoteSource::alarm, this, [&](const QString &name, const QString &instrument, bool raised) {
            alarms << QStringLiteral("%1 %2 %3").arg(name, instrument).arg(raised);
        });
        connect(&source, &RemoteSource::acknowledged, this,
                [&](const QString &name, const QString &who) { alarms << name + " taken by " + who; });
        source.receive("fg/lab3/cryo A/alarm/warm",
                       "{\"state\":\"raised\",\"time\":\"2025-12-10T21:00:00.000Z\","
                       "\"value\":12.5,\"acknowledged\":false}",
                       true, Now);
        source.receive("fg/lab3/cryo A/alarm/warm",
                       "{\"state\":\"raised\",\"time\":\"2025-12-10T21:00:00.000Z\","
                       "\"value\":12.5,\"acknowledged\":{\"by\":\"ana\",\"time\":\"2025-12-10T21:05:00.000Z\"}}",
                       true, Now);
        QCOMPARE(alarms, QStringList({"lab3/warm lab3/cryo A 1", "lab3/warm lab3/cryo A 1", "lab3/warm taken by ana"}));
        QCOMPARE(statuses, QStringList({"lab3/cryo A online", "lab3/cryo A source offline"}));
    }
};

FROSTGAUGE_TEST_MAIN(ArchiveTest)
#include "test-archive.moc"
