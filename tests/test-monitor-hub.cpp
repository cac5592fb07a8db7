// The monitor's hub in process, over scripted drivers and a real store in a
// temporary folder, with made-up times: what reaches the outside (signals that
// MQTT and the web part follow) and in what order against the store.

#include "history/history-store.h"
#include "monitor/instrument-link.h"
#include "monitor/monitor.h"
#include "support/scripted-driver.h"
#include "support/test-main.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr qint64 Start = 1800000000000; // 2027-01-15, a made-up now

// A monitor over scripted instruments; the clock is `now`, moved by the test.
struct Hub {
    QTemporaryDir dir;
    MonitorConfig config;
    qint64 now = Start;
    QHash<QString, ScriptedDriver *> drivers;
    std::unique_ptr<Monitor> monitor;

    Hub()
    {
        config.path = dir.filePath(QStringLiteral("monitor.conf"));
        config.storePath = dir.filePath(QStringLiteral("history.db"));
    }
    void addInstrument(const QString &name, const QString &serial = QString())
    {
        InstrumentConfig instrument;
        instrument.name = name;
        // The path exists, so a lost port is looked for again at once.
        instrument.port = dir.filePath(QStringLiteral("tty-") + name);
        QFile(instrument.port).open(QIODevice::WriteOnly);
        instrument.serial = serial;
        config.instruments << instrument;
    }
    bool start()
    {
        monitor = std::make_unique<Monitor>(config);
        monitor->setClock([this] { return now; });
        monitor->setDriverFactory([this](const InstrumentConfig &instrument) {
            auto *driver = new ScriptedDriver(instrument.name);
            drivers.insert(instrument.name, driver);
            return driver;
        });
        return monitor->start();
    }
    ScriptedDriver *driver(const QString &name) const { return drivers.value(name); }
    // An alarm of the given kind on an instrument; the caller sets its limits.
    AlarmConfig &addAlarm(const QString &name, const QString &instrument, AlarmConfig::Kind kind)
    {
        AlarmConfig alarm;
        alarm.name = name;
        alarm.instrument = instrument;
        alarm.kind = kind;
        config.alarms << alarm;
        return config.alarms.last();
    }
    // The readings of an instrument in the file, as another reader counts them;
    // -1 when the file cannot be read or fails its integrity check.
    qint64 storedCount(const QString &instrument) const
    {
        HistoryStore reader;
        qint64 count = 0;
        if (!reader.openForReading(config.storePath) || !reader.integrityOk())
            return -1;
        reader.readings(instrument, 0, Start * 2, [&](const StoredReading &) { ++count; });
        return count;
    }
    // The events of the store's file as another reader sees them: "kind: detail".
    QStringList storedEvents(const QString &instrument) const
    {
        HistoryStore reader;
        QVector<StoredEvent> events;
        if (!reader.openForReading(config.storePath) || !reader.events(instrument, 0, Start * 2, &events))
            return {QStringLiteral("unreadable: ") + reader.error()};
        QStringList texts;
        for (const StoredEvent &event : events)
            texts << eventKindName(event.kind) + QStringLiteral(": ") + event.detail;
        return texts;
    }
};

// Whether another reader of the file finds the reading of this number.
bool storedElsewhere(const QString &path, const QString &instrument, qint64 seq)
{
    HistoryStore reader;
    bool found = false;
    if (!reader.openForReading(path))
        return false;
    reader.readings(instrument, 0, Start * 2, [&](const StoredReading &reading) { found |= reading.seq == seq; });
    return found;
}

// Another reader of the file, kept open: each look sees what was committed
// then, and looks only at the reading's own time (thousands of looks stay cheap).
struct OtherReader {
    HistoryStore store;
    explicit OtherReader(const QString &path) { store.openForReading(path); }
    bool holds(const QString &instrument, qint64 timeMs, qint64 seq)
    {
        bool found = false;
        store.readings(instrument, timeMs, timeMs, [&](const StoredReading &reading) { found |= reading.seq == seq; });
        return found;
    }
};

// Every number from 1 to last is either in the file or inside a drop the
// history names ("seq A-B of NAME"), never both: empty when so, else what is wrong.
QString unaccountedSeqs(const QString &path, const QString &instrument, qint64 last)
{
    HistoryStore reader;
    if (!reader.openForReading(path))
        return reader.error();
    QVector<int> seen(int(last) + 1, 0);
    reader.readings(instrument, 0, Start * 2, [&](const StoredReading &reading) {
        if (reading.seq >= 1 && reading.seq <= last)
            ++seen[int(reading.seq)];
    });
    QVector<StoredEvent> events;
    reader.events(QString(), 0, Start * 2, &events);
    const QRegularExpression range(QStringLiteral("(\\d+)(?:-(\\d+))? of ") + QRegularExpression::escape(instrument)
                                   + QStringLiteral("(?:,|$)"));
    for (const StoredEvent &event : events) {
        if (event.kind != EventKind::ReadingsDropped)
            continue;
        for (auto match = range.globalMatch(event.detail); match.hasNext();) {
            const QRegularExpressionMatch found = match.next();
            const qint64 first = found.captured(1).toLongLong();
            const qint64 to = found.captured(2).isEmpty() ? first : found.captured(2).toLongLong();
            for (qint64 seq = first; seq <= to && seq <= last; ++seq)
                ++seen[int(seq)];
        }
    }
    for (qint64 seq = 1; seq <= last; ++seq) {
        if (seen[int(seq)] != 1)
            return QStringLiteral("seq %1 is %2")
                .arg(seq)
                .arg(seen[int(seq)] == 0 ? "neither stored nor said dropped" : "stored and said dropped");
    }
    return QString();
}

} // namespace

class MonitorHubTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<InstrumentStatus>();
        qRegisterMetaType<EventKind>();
    }

    // A reading leaves the process only once the store's file holds it: a
    // monitor killed in between must not have published a number it will
    // give again. Its time is the monitor's clock when the driver reported it.
    void readingsGoOutOnlyOnceDurable()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        struct Out {
            qint64 timeMs;
            double kelvin;
            qint64 seq;
            bool durable;
        };
        QVector<Out> out;
        connect(hub.monitor.get(), &Monitor::readingDurable, this,
                [&](const QString &series, qint64 timeMs, double kelvin, qint64 seq, const QString &unit) {
                    QCOMPARE(series, QStringLiteral("cryo"));
                    QCOMPARE(unit, QStringLiteral("K"));
                    out.append({timeMs, kelvin, seq, storedElsewhere(hub.config.storePath, series, seq)});
                });
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        QVERIFY(cryo && cryo->isOpen());
        cryo->answer(QStringLiteral("S1"));
        for (int i = 0; i < 3; ++i) {
            hub.now += 100;
            cryo->measure(4.2 + i);
        }
        QVERIFY(waitUntil([&] { return out.size() == 3; }));
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(out[i].durable, qPrintable(QStringLiteral("reading %1 went out before the store held it").arg(i)));
            QCOMPARE(out[i].seq, qint64(i + 1));
            QCOMPARE(out[i].timeMs, Start + 100 * (i + 1));
            QCOMPARE(out[i].kelvin, 4.2 + i);
        }
    }

    // The instrument lost: one event and one status, the lost alarm raised
    // after its hold by the made-up clock, cleared when the port comes back.
    void lostInstrumentRaisesItsAlarm()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        hub.addAlarm(QStringLiteral("cryo-lost"), QStringLiteral("cryo"), AlarmConfig::Lost).holdSeconds = 60;
        QVERIFY(hub.start());
        QStringList statuses;
        connect(hub.monitor.get(), &Monitor::statusChanged, this, [&](const QString &name, InstrumentStatus status) {
            statuses << name + QLatin1Char(' ') + instrumentStatusName(status);
        });
        QStringList alarms;
        connect(hub.monitor.get(), &Monitor::alarmChanged, this,
                [&](const QString &alarm, const QString &, bool raised, double, qint64 timeMs) {
                    alarms << QStringLiteral("%1 %2 %3")
                                  .arg(alarm, raised ? QLatin1String("raised") : QLatin1String("cleared"))
                                  .arg(timeMs - Start);
                });
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        cryo->portThere = false;
        hub.now += 1000;
        cryo->pullCable(QStringLiteral("the cable was pulled"));
        cryo->pullCable(QStringLiteral("the cable was pulled")); // said once
        QCOMPARE(statuses, QStringList({"cryo online", "cryo lost"}));
        hub.now += 59000;  // the hold not over yet: 59 s
        QTest::qWait(300); // a tick or more of the real timer
        QVERIFY(alarms.isEmpty());
        hub.now += 1000;
        QVERIFY2(waitUntil([&] { return !alarms.isEmpty(); }), "no raise after the hold");
        QCOMPARE(alarms, QStringList({"cryo-lost raised 61000"}));
        cryo->portThere = true;
        QVERIFY(waitUntil([&] { return cryo->opens == 2; }));
        cryo->answer(QStringLiteral("S1"));
        QCOMPARE(statuses.last(), QStringLiteral("cryo online"));
        QCOMPARE(alarms.last(), QStringLiteral("cryo-lost cleared 61000"));
        QVERIFY(waitUntil([&] { return hub.storedEvents(QStringLiteral("cryo")).size() >= 5; }));
        const QStringList events = hub.storedEvents(QStringLiteral("cryo"));
        QCOMPARE(events.filter(QStringLiteral("lost: the cable was pulled")).size(), 1);
        QCOMPARE(events.filter(QStringLiteral("alarm raised: cryo-lost")).size(), 1);
    }

    // Another instrument on the port is refused, its readings are never taken,
    // and its port is closed until it is looked at again.
    void anotherInstrumentIsRefused()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"), QStringLiteral("S1"));
        QVERIFY(hub.start());
        QSignalSpy statuses(hub.monitor.get(), &Monitor::statusChanged);
        QSignalSpy durable(hub.monitor.get(), &Monitor::readingDurable);
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S2"));
        cryo->measure(4.2);
        QVERIFY(!cryo->isOpen());
        QCOMPARE(statuses.size(), 1);
        QCOMPARE(statuses[0][1].value<InstrumentStatus>(), InstrumentStatus::Refused);
        QTest::qWait(Monitor::CommitIntervalMs + 100);
        QCOMPARE(durable.size(), 0);
        const QStringList events = hub.storedEvents(QStringLiteral("cryo"));
        QVERIFY2(events.filter(QRegularExpression("^refused: .*S2.*S1")).size() == 1, qPrintable(events.join('\n')));
    }

    // Values no sensor reports are not readings: one event for the burst, the
    // first of them named, and nothing for the alarms or the store.
    void impossibleValuesAreOneEvent()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        QSignalSpy durable(hub.monitor.get(), &Monitor::readingDurable);
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        for (double value : {0.0, -3.5, 2500.0, 1e300}) {
            hub.now += 100;
            cryo->measure(value);
        }
        hub.now += 100;
        cryo->measure(77.0);
        QVERIFY(waitUntil([&] { return durable.size() == 1; }));
        QCOMPARE(durable[0][2].toDouble(), 77.0);
        QCOMPARE(durable[0][3].toLongLong(), qint64(1));
        const QStringList rejected = hub.storedEvents(QStringLiteral("cryo")).filter(QStringLiteral("rejected"));
        QCOMPARE(rejected.size(), 1);
        QVERIFY2(rejected[0].contains(QStringLiteral("4 value(s) from "))
                     && rejected[0].endsWith(QStringLiteral("the first 0 K")),
                 qPrintable(rejected[0]));

        // Nothing but such values for a while: said then, and its status is
        // not "online" until a possible value comes.
        QStringList statuses;
        connect(hub.monitor.get(), &Monitor::statusChanged, this,
                [&](const QString &, InstrumentStatus status) { statuses << instrumentStatusName(status); });
        for (int i = 0; i < InstrumentLink::ImpossibleRunToSay; ++i)
            cryo->measure(0.0);
        QCOMPARE(statuses, QStringList({"impossible values"}));
        cryo->measure(77.0);
        QCOMPARE(statuses, QStringList({"impossible values", "online"}));
        QVERIFY(waitUntil([&] { return durable.size() == 2; }));
        QVERIFY(waitUntil([&] { return hub.storedEvents(QStringLiteral("cryo")).filter("rejected").size() == 2; }));
        const QStringList events = hub.storedEvents(QStringLiteral("cryo"));
        QCOMPARE(events.filter(QStringLiteral("only impossible values: 10 values in a row")).size(), 1);
    }

    // A loop that did not run for seconds is said: readings read after it
    // carry the time they were read.
    void stallIsSaid()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        QSignalSpy events(hub.monitor.get(), &Monitor::eventRecorded);
        QTest::qWait(500); // a tick or more, the first look
        QThread::msleep(Monitor::StallMs + 300);
        QVERIFY(waitUntil([&] {
            return std::any_of(events.cbegin(), events.cend(), [](const QList<QVariant> &event) {
                return event[2].value<EventKind>() == EventKind::Stalled;
            });
        }));
    }

    // A raised alarm taken on through the monitor: stored with who and the
    // note, passed on with the raise it answers, and its command repeats no
    // more however long it stays raised.
    void acknowledgedAlarmRepeatsNoMore()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        const QString runs = hub.dir.filePath(QStringLiteral("runs"));
        AlarmConfig warm;
        warm.name = QStringLiteral("warm");
        warm.instrument = QStringLiteral("cryo");
        warm.hasAbove = true;
        warm.above = 20;
        warm.repeatSeconds = 60;
        warm.command = QStringLiteral("sh -c 'echo $FROSTGAUGE_REPEAT >> %1'").arg(runs);
        // Nobody takes this one on: its repeats show that the ticks came.
        AlarmConfig witness = warm;
        witness.name = QStringLiteral("witness");
        witness.command = QStringLiteral("sh -c 'echo $FROSTGAUGE_REPEAT >> %1-witness'").arg(runs);
        hub.config.alarms << warm << witness;
        QVERIFY(hub.start());
        const auto runCount = [&](const QString &suffix = QString()) {
            QFile file(runs + suffix);
            return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
        };
        QSignalSpy acknowledged(hub.monitor.get(), &Monitor::alarmAcknowledged);
        QCOMPARE(hub.monitor->acknowledge(QStringLiteral("warm"), QStringLiteral("ana"), QString()),
                 QStringLiteral("alarm warm is not raised"));
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        hub.now += 1000;
        cryo->measure(293.5);
        QVERIFY(waitUntil([&] { return runCount() == 1; }));
        hub.now += 61000; // a repeat falls due at the next tick
        QVERIFY(waitUntil([&] { return runCount() == 2; }));
        hub.now += 1000;
        QCOMPARE(hub.monitor->acknowledge(QStringLiteral("warm"), QStringLiteral("ana"), QStringLiteral("on my way")),
                 QString());
        QCOMPARE(acknowledged.size(), 1);
        QCOMPARE(acknowledged[0][2].toString(), QStringLiteral("ana"));
        QCOMPARE(acknowledged[0][3].toLongLong(), Start + 63000);
        QCOMPARE(acknowledged[0][4].toDouble(), 293.5);
        QCOMPARE(acknowledged[0][5].toLongLong(), Start + 1000);
        QVERIFY(hub.monitor->acknowledge(QStringLiteral("warm"), QStringLiteral("bo"), QString())
                    .startsWith(QStringLiteral("alarm warm was acknowledged already by ana")));
        QVERIFY(hub.monitor->acknowledge(QStringLiteral("cold"), QStringLiteral("ana"), QString())
                    .contains(QStringLiteral("not this monitor's own")));
        // Three repeats fall due; the witness runs each time, and a repeat of
        // warm would have started beside it.
        const int witnessed = runCount(QStringLiteral("-witness"));
        for (int i = 1; i <= 3; ++i) {
            hub.now += 61000;
            QVERIFY(waitUntil([&] { return runCount(QStringLiteral("-witness")) == witnessed + i; }));
        }
        QCOMPARE(runCount(), 2);
        QVERIFY(waitUntil([&] {
            return !hub.storedEvents(QStringLiteral("cryo")).filter(QStringLiteral("alarm acknowledged")).isEmpty();
        }));
        QCOMPARE(hub.storedEvents(QStringLiteral("cryo")).filter(QStringLiteral("alarm acknowledged")),
                 QStringList({"alarm acknowledged: warm: on my way"}));
    }

    // A note is passed on once, whoever wrote it: the monitor's own writer
    // at once, another process's (the command line) when the store is looked at.
    void notesPassedOnOnce()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        QStringList notes;
        connect(hub.monitor.get(), &Monitor::notePassedOn, this,
                [&](const QString &instrument, qint64, const QString &text, const QString &author) {
                    notes << QStringLiteral("%1 %2 %3").arg(instrument, text, author);
                });
        QCOMPARE(hub.monitor->writeNote(QStringLiteral("cryo"), Start, QStringLiteral("LN2 refilled"),
                                        QStringLiteral("ada")),
                 QString());
        QCOMPARE(notes, QStringList({"cryo LN2 refilled ada"}));
        HistoryStore other;
        QVERIFY2(other.openForNotes(hub.config.storePath), qPrintable(other.error()));
        QVERIFY(other.insertNote(QString(), Start + 5, QStringLiteral("compressor serviced"), QStringLiteral("bo")));
        QVERIFY(waitUntil([&] { return notes.size() == 2; }));
        QCOMPARE(notes.last(), QStringLiteral(" compressor serviced bo"));
        // Passed on once: the next look finds only what came since.
        QVERIFY(
            other.insertNote(QStringLiteral("cryo"), Start + 9, QStringLiteral("heater off"), QStringLiteral("bo")));
        QVERIFY(waitUntil([&] { return notes.size() >= 3; }));
        QCOMPARE(notes, QStringList({"cryo LN2 refilled ada", " compressor serviced bo", "cryo heater off bo"}));
    }

    // A backup put back at the path while the monitor writes (the way a
    // restore is done: a copy renamed over the store) stays as it was: the
    // monitor stops, and its log, which names the path, is not read into the
    // backup, then or at the next start.
    void backupRestoredAtThePathStaysWhole()
    {
        Hub hub;
        const QString backup = hub.dir.filePath(QStringLiteral("backup.db"));
        {
            HistoryStore writer;
            QVERIFY2(writer.openForWriting(backup), qPrintable(writer.error()));
            for (int i = 0; i < 3600; ++i)
                writer.addReading(QStringLiteral("cryo"), Start - 3600000 + 1000 * i, 4.2);
            QVERIFY(writer.commit());
        }
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        QSignalSpy failed(hub.monitor.get(), &Monitor::failed);
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        for (int i = 0; i < 97; ++i) {
            hub.now += 100;
            cryo->measure(77.0);
        }
        QVERIFY(waitUntil([&] { return storedElsewhere(hub.config.storePath, QStringLiteral("cryo"), 97); }));
        // More that only the log holds when the backup arrives.
        for (int i = 0; i < 50; ++i)
            cryo->measure(78.0);
        QVERIFY(waitUntil([&] { return hub.monitor->storeFailing() || QFile::exists(hub.config.storePath + "-wal"); }));
        const QString copy = hub.dir.filePath(QStringLiteral("restoring.db"));
        QVERIFY(QFile::copy(backup, copy));
        QVERIFY(::rename(QFile::encodeName(copy).constData(), QFile::encodeName(hub.config.storePath).constData())
                == 0);
        QVERIFY(failed.wait(limitMs()));
        hub.monitor.reset();
        const auto intact = [&] { return hub.storedCount(QStringLiteral("cryo")); };
        QVERIFY(!QFile::exists(hub.config.storePath + "-wal") && !QFile::exists(hub.config.storePath + "-shm"));
        QCOMPARE(intact(), qint64(3600));
        // The next start writes into the backup, after its readings.
        QVERIFY(hub.start());
        hub.driver(QStringLiteral("cryo"))->answer(QStringLiteral("S1"));
        hub.driver(QStringLiteral("cryo"))->measure(4.3);
        QVERIFY(waitUntil([&] { return intact() == 3601; }));
    }

    // Retention with a clock far ahead at the start (a bad battery before the
    // network's time): nothing within the retention of the newest reading is
    // deleted, and the rest goes in batches. A jump of the clock while running
    // suspends it.
    void retentionCannotHarm()
    {
        Hub hub;
        constexpr qint64 Day = 24 * 3600 * 1000;
        {
            HistoryStore writer;
            QVERIFY2(writer.openForWriting(hub.config.storePath), qPrintable(writer.error()));
            for (qint64 t = Start - 80 * Day; t <= Start; t += 60000)
                writer.addReading(QStringLiteral("cryo"), t, 4.2);
            QVERIFY(writer.commit());
        }
        const auto count = [&] { return hub.storedCount(QStringLiteral("cryo")); };
        const qint64 kept = 30 * 1440 + 1;
        hub.config.retentionDays = 30;
        hub.addInstrument(QStringLiteral("cryo"));
        // Its raise shows that a tick has looked at the clock.
        hub.addAlarm(QStringLiteral("quiet"), QStringLiteral("cryo"), AlarmConfig::Silence).silenceSeconds = 1;
        hub.now = Start + 365 * Day;
        QVERIFY(hub.start());
        QVERIFY(waitUntil([&] { return !hub.monitor->pruning(); }));
        QCOMPARE(count(), kept);
        // Fifty days went in batches: the loop ran between them.
        QVERIFY(50 * 1440 > 2 * Monitor::PruneBatchReadings);

        // The clock jumps a year ahead while it runs: no prune until a restart.
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        QSignalSpy alarms(hub.monitor.get(), &Monitor::alarmChanged);
        hub.now += 2000;
        QVERIFY(waitUntil([&] { return alarms.size() == 1; }));
        hub.now += 365 * Day;
        QVERIFY(waitUntil([&] { return !hub.storedEvents(QString()).filter(QStringLiteral("clock")).isEmpty(); }));
        cryo->measure(4.2); // stamped a year ahead
        QVERIFY(waitUntil([&] { return count() == kept + 1; }));
        hub.monitor->applyRetention();
        QVERIFY(waitUntil([&] { return !hub.monitor->pruning(); }));
        QCOMPARE(count(), kept + 1);
    }

    // A flood faster than the half-second batch (a network instrument, a
    // pseudo-terminal written as fast as it goes) is stored whole: the store
    // commits before its bound is reached, where the oldest would go.
    void floodIsStoredWhole()
    {
        Hub hub;
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        const int flood = 4 * Monitor::MinWaitingReadings;
        for (int i = 0; i < flood; ++i) {
            if (i % 10 == 0)
                ++hub.now;
            cryo->measure(4.2);
        }
        QVERIFY(
            waitUntil([&] { return unaccountedSeqs(hub.config.storePath, QStringLiteral("cryo"), flood).isEmpty(); }));
        QVERIFY(hub.storedEvents(QString()).filter(QStringLiteral("dropped")).isEmpty());
    }

    // A store that cannot be written holds everything back: nothing goes out
    // until the readings are in the file, then all of them, in order, with no
    // number skipped.
    void fullStoreHoldsReadingsBack()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        Hub hub;
        const QString disk = hub.dir.filePath(QStringLiteral("small"));
        QDir().mkpath(disk);
        if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=512k", "tmpfs", disk}) != 0)
            QSKIP("no tmpfs can be mounted here");
        struct Unmount {
            QString folder;
            ~Unmount() { QProcess::execute(QStringLiteral("umount"), {"-l", folder}); }
        } unmount{disk};
        hub.config.storePath = disk + QStringLiteral("/history.db");
        hub.addInstrument(QStringLiteral("cryo"));
        QVERIFY(hub.start());
        QVector<qint64> seqs;
        QVector<qint64> early; // went out before the file held them
        OtherReader other(hub.config.storePath);
        connect(hub.monitor.get(), &Monitor::readingDurable, this,
                [&](const QString &series, qint64 timeMs, double, qint64 seq) {
                    if (!other.holds(series, timeMs, seq))
                        early << seq;
                    seqs << seq;
                });
        ScriptedDriver *cryo = hub.driver(QStringLiteral("cryo"));
        cryo->answer(QStringLiteral("S1"));
        QFile filler(disk + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {}
        for (int i = 0; i < 2000; ++i) {
            hub.now += 10;
            cryo->measure(4.2);
        }
        QVERIFY(waitUntil([&] { return hub.monitor->storeFailing(); }));
        QVERIFY2(seqs.size() < 2000, "every reading went out while the store failed");
        filler.close();
        QVERIFY(QFile::remove(filler.fileName()));
        QVERIFY(waitUntil([&] { return seqs.size() == 2000; }));
        QVERIFY(!hub.monitor->storeFailing());
        QCOMPARE(early, QVector<qint64>());
        for (int i = 0; i < seqs.size(); ++i)
            QCOMPARE(seqs[i], qint64(i + 1));

        // Full again, for longer than the bound holds: the oldest waiting go,
        // and the history says how many and which numbers, once writing works.
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(block) == block.size() && filler.flush()) {}
        const int more = Monitor::MinWaitingReadings + 1500;
        for (int i = 0; i < more; ++i) {
            hub.now += 10;
            cryo->measure(5.0);
        }
        QVERIFY(waitUntil([&] { return hub.monitor->storeFailing(); }));
        filler.close();
        QVERIFY(QFile::remove(filler.fileName()));
        QVERIFY(waitUntil([&] { return !hub.storedEvents(QString()).filter(QStringLiteral("dropped")).isEmpty(); }));
        const QStringList dropped = hub.storedEvents(QString()).filter(QStringLiteral("dropped"));
        QCOMPARE(dropped.size(), 1);
        QVERIFY2(dropped[0].contains(QStringLiteral("while the store could not be written"))
                     && dropped[0].contains(QStringLiteral(" of cryo")),
                 qPrintable(dropped[0]));
        QCOMPARE(unaccountedSeqs(hub.config.storePath, QStringLiteral("cryo"), 2000 + more), QString());
        QCOMPARE(early, QVector<qint64>());
    }
};

FROSTGAUGE_TEST_MAIN(MonitorHubTest)
#include "test-monitor-hub.moc"
