// frostgauge-monitor against several simulators: the configuration's checks,
// logging with gaps and refusals, alarms on the simulator's cool-down, a killed
// monitor, and the history export of frostgauge-cli.

#include "history/history-store.h"
#include "support/monitor-run.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/wait-limits.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <QDir>
#include <QRegularExpression>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <termios.h>
#include <unistd.h>

// A process whose child side a test prepares (its descriptors, its signals).
class ChildProcess : public QProcess
{
public:
    explicit ChildProcess(std::function<void()> prepare) : m_prepare(std::move(prepare)) {}

protected:
    void setupChildProcess() override { m_prepare(); }

private:
    std::function<void()> m_prepare;
};

class MonitorTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }

    // A simulator on a link of the test's folder; with output, its saved
    // settings turn on a reading every 100 ms.
    std::unique_ptr<SimulatorProcess> simulator(const QString &link, const QString &serial, bool output = true)
    {
        QStringList args{"--link", path(link), "--serial", serial};
        if (output)
            args << "--state" << writeTestFile(dir, "state-" + link + ".json", "{\"rs232:period\": 100}");
        return std::make_unique<SimulatorProcess>(args);
    }

    QString config(const QString &name, const QByteArray &text)
    {
        QByteArray content = text;
        content.replace("DIR", QFile::encodeName(dir.path()));
        return writeTestFile(dir, name, content);
    }

    static QVector<StoredEvent> eventsOf(HistoryStore &store, const QString &instrument)
    {
        QVector<StoredEvent> all, result;
        store.events(instrument, 0, std::numeric_limits<qint64>::max(), &all);
        for (const StoredEvent &event : qAsConst(all))
            if (event.instrument == instrument)
                result.append(event);
        return result;
    }

    static QVector<StoredReading> readingsOf(HistoryStore &store, const QString &instrument)
    {
        QVector<StoredReading> result;
        store.readings(instrument, 0, std::numeric_limits<qint64>::max(),
                       [&](const StoredReading &reading) { result.append(reading); });
        return result;
    }

private slots:
    // At a terminal --hash-password asks twice, with the typing not shown, and
    // leaves the terminal as it found it; two different answers write nothing.
    void hashPasswordAtATerminal_data()
    {
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<int>("status");
        QTest::newRow("the same twice") << QByteArray("s3cret phrase") << 0;
        QTest::newRow("two different") << QByteArray("s3cret phrasf") << 2;
    }

    void hashPasswordAtATerminal()
    {
        QFETCH(QByteArray, second);
        QFETCH(int, status);
        PtyPeer terminal;
        // A terminal as a person's: lines, with echo.
        const int slave = ::open(QFile::encodeName(terminal.path()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        termios cooked;
        QCOMPARE(::tcgetattr(slave, &cooked), 0);
        cooked.c_lflag |= ECHO | ICANON;
        QCOMPARE(::tcsetattr(slave, TCSANOW, &cooked), 0);
        QProcess hash;
        hash.setStandardInputFile(terminal.path());
        hash.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--hash-password", "ana"});
        QVERIFY(hash.waitForStarted(limitMs()));
        QByteArray prompts;
        QVERIFY(waitUntil([&] { return (prompts += hash.readAllStandardError()).contains("Password for ana: "); }));
        terminal.write("s3cret phrase\n");
        QVERIFY(waitUntil([&] { return (prompts += hash.readAllStandardError()).contains("The same again: "); }));
        terminal.write(second + '\n');
        QVERIFY(hash.waitForFinished(limitMs()));
        QCOMPARE(hash.exitCode(), status);
        // What was typed did not come back on the terminal.
        QVERIFY2(!terminal.takeAfter(200).contains("s3cret"), "the password was echoed");
        const QByteArray out = hash.readAllStandardOutput();
        if (status == 0)
            QVERIFY2(out.startsWith("ana:$argon2id$") && out.count('\n') == 1, out.constData());
        else
            QVERIFY2(out.isEmpty() && (prompts + hash.readAllStandardError()).contains("the two passwords differ"),
                     out.constData());
        termios after;
        QCOMPARE(::tcgetattr(slave, &after), 0);
        QVERIFY(after.c_lflag & ECHO);
        ::close(slave);
    }

    // The shipped configuration run by hand, its paths moved into a folder of
    // the test's: the store's folder is made, readings come, and the log has
    // times (none under the journal, which stamps lines itself).
    void shippedConfigurationByHand_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::newRow("in a terminal") << false;
        QTest::newRow("under the journal") << true;
    }

    void shippedConfigurationByHand()
    {
        QFETCH(bool, journal);
        QTemporaryDir dir;
        SimulatorProcess sim({"--link", dir.filePath("ttyUSB0")});
        QVERIFY(sim.started());
        QFile shipped(QStringLiteral(FROSTGAUGE_SOURCE_DIR "/data/monitor.conf"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QByteArray text = shipped.readAll();
        const QString store = dir.filePath("state/frostgauge/history.db");
        QVERIFY(text.contains("path=/var/lib/frostgauge/history.db") && text.contains("port=/dev/ttyUSB0"));
        text.replace("path=/var/lib/frostgauge/history.db", "path=" + QFile::encodeName(store));
        text.replace("port=/dev/ttyUSB0", "port=" + QFile::encodeName(dir.filePath("ttyUSB0")));
        const QString config = writeTestFile(dir, "monitor.conf", text);
        QProcess check;
        check.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", config, "--check"});
        QVERIFY(check.waitForFinished(limitMs()));
        QCOMPARE(check.exitCode(), 0);
        QVERIFY2(
            check.readAllStandardError().contains(
                QStringLiteral("warning: [store] path: the store's folder %1 does not exist yet; the monitor makes "
                               "it when it starts")
                    .arg(dir.filePath("state/frostgauge"))
                    .toUtf8()),
            "no word of the missing folder");
        MonitorRun monitor;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("JOURNAL_STREAM"));
        if (journal)
            environment.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
        monitor.process.setProcessEnvironment(environment);
        QVERIFY(monitor.start(config));
        QVERIFY2(monitor.waitForLog("cryostat1: connected"), qPrintable(monitor.log()));
        QVERIFY(waitUntil([&] { return storedReadings(store, "cryostat1") >= 2; }));
        const QString first = monitor.log().split('\n').first();
        const QRegularExpression stamped(QStringLiteral(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}([+-]\\d\\d:\\d\\d|Z) monitor started: "));
        QVERIFY2(journal ? first.startsWith(QLatin1String("monitor started: ")) : stamped.match(first).hasMatch(),
                 qPrintable(first));
        QVERIFY(monitor.stop().contains("monitor stopped"));
    }

    // The configuration's checks run in process (test-monitor-config); here
    // only that --check reports them as the program does.
    void checkReportsTheConfiguration()
    {
        const QString bad = config("bad.conf", "[store]\npath=DIR/bad.db\n[instrument/a]\nport=/dev/null\nbaud=9600\n");
        QProcess monitor;
        monitor.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", bad, "--check"});
        QVERIFY(monitor.waitForFinished(limitMs()));
        QCOMPARE(monitor.exitCode(), 2);
        const QString err = QString::fromUtf8(monitor.readAllStandardError());
        QVERIFY2(err.startsWith("frostgauge-monitor: " + bad + ": [instrument/a] baud: unknown key"), qPrintable(err));

        const QString good = config("good.conf", "[store]\npath=DIR/good.db\n[instrument/a]\nport=/dev/null\n"
                                                 "[alarm/x]\ninstrument=a\nabove=3\n");
        monitor.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", good, "--check"});
        QVERIFY(monitor.waitForFinished(limitMs()));
        QCOMPARE(monitor.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(monitor.readAllStandardOutput()), good + ": 1 instrument(s), 1 alarm(s)\n");
        // Checked as another user than the service's: it may read files the service cannot.
        QVERIFY(QString::fromUtf8(monitor.readAllStandardError())
                    .contains(QRegularExpression(
                        QStringLiteral("warning: checked as user [^;]+; the service runs as frostgauge-monitor"))));
        // Checked, not started: no store was made.
        QVERIFY(!QFile::exists(path("good.db")));
    }

    void twoInstrumentsAcrossAGapAndARefusal()
    {
        auto a = simulator("a", "A1");
        auto b = simulator("b", "B1", false);
        auto c = simulator("c", "C1");
        const QString file = config("two.conf", "[store]\npath=DIR/two.db\n"
                                                "[instrument/a]\nport=DIR/a\n"
                                                "[instrument/b]\nport=DIR/b\nserial=B1\nperiod=200\n"
                                                "[instrument/c]\nport=DIR/c\nserial=C9\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY(monitor.waitForLog("c: refused"));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("two.db"), "a") >= 10, limitMs());
        a->process().kill();
        a->process().waitForFinished(limitMs());
        a.reset();
        QVERIFY(monitor.waitForLog("a: lost"));
        a = simulator("a", "A1");
        QVERIFY(monitor.waitForLog("a: connected", 2));
        const qint64 backAt = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("two.db"), "a", backAt) >= 10, limitMs());
        // The other instrument's readings cover the whole gap and a second after it.
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("two.db"), "b", backAt + 1000) >= 1, limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("two.db"), "b") >= 15, limitMs());
        const QString log = monitor.stop();
        QVERIFY2(log.contains("a: lost: ") && log.contains("monitor stopped"), qPrintable(log));

        HistoryStore store;
        QVERIFY(store.openForReading(path("two.db")));
        QVERIFY(store.integrityOk());
        QStringList kindsOfA, detailsOfA;
        for (const StoredEvent &event : eventsOf(store, "a")) {
            kindsOfA << event.kindText;
            detailsOfA << event.kindText + ": " + event.detail;
        }
        QVERIFY2(kindsOfA == (QStringList{"connected", "lost", "connected"}), qPrintable(detailsOfA.join('\n')));
        const QVector<StoredEvent> ofA = eventsOf(store, "a");
        QVERIFY(ofA.at(0).detail.contains("serial number A1"));

        // Readings on both sides of the gap, none inside it.
        const QVector<StoredReading> readingsA = readingsOf(store, "a");
        const qint64 lostAt = ofA.at(1).timeMs;
        const qint64 connectedAt = ofA.at(2).timeMs;
        int before = 0, inside = 0, after = 0;
        for (const StoredReading &reading : readingsA)
            (reading.timeMs < lostAt ? before : reading.timeMs <= connectedAt ? inside : after)++;
        QVERIFY2(before >= 10 && after >= 10 && inside == 0,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(before).arg(inside).arg(after)));

        // The other instrument went on untouched, at the period the monitor sent it.
        QCOMPARE(eventsOf(store, "b").size(), 1);
        const QVector<StoredReading> readingsB = readingsOf(store, "b");
        QVERIFY(readingsB.size() >= 15);
        QVERIFY(readingsB.first().timeMs < lostAt && readingsB.last().timeMs > connectedAt + 1000);
        for (int i = 1; i < readingsB.size(); ++i)
            QVERIFY2(readingsB.at(i).timeMs - readingsB.at(i - 1).timeMs < 600, "a gap in the other instrument");

        // The instrument with the wrong serial number is refused once and never logged.
        const QVector<StoredEvent> ofC = eventsOf(store, "c");
        QCOMPARE(ofC.size(), 1);
        QCOMPARE(ofC.at(0).kindText, QStringLiteral("refused"));
        QCOMPARE(ofC.at(0).detail, "Refused: the instrument on " + path("c") + " reports serial number C1, not C9");
        QVERIFY(readingsOf(store, "c").isEmpty());

        // The export gives exactly the stored readings.
        QProcess cli;
        cli.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"history", path("two.db"), "--instrument", "a"});
        QVERIFY(cli.waitForFinished(limitMs()));
        QCOMPARE(cli.exitCode(), 0);
        QStringList expected{"time,instrument,temperature_K"};
        for (const StoredReading &reading : readingsA)
            expected << isoTime(reading.timeMs) + ",a," + QString::asprintf("%.3f", reading.kelvin);
        QCOMPARE(QString::fromUtf8(cli.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), expected);

        // Per-minute buckets agree with the readings.
        cli.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"history", path("two.db"), "--every", "60", "--json"});
        QVERIFY(cli.waitForFinished(limitMs()));
        const QJsonArray buckets = QJsonDocument::fromJson(cli.readAllStandardOutput()).array();
        qint64 counted = 0;
        double lowest = 1e9;
        for (const QJsonValue &bucket : buckets) {
            if (bucket["instrument"].toString() != "a")
                continue;
            counted += bucket["count"].toInt();
            lowest = qMin(lowest, bucket["min"].toDouble());
        }
        QCOMPARE(counted, qint64(readingsA.size()));
        double lowestReading = 1e9;
        for (const StoredReading &reading : readingsA)
            lowestReading = qMin(lowestReading, reading.kelvin);
        QCOMPARE(lowest, lowestReading);
    }

    void alarmsOnTheCoolDown()
    {
        // The simulator cools from 295 K at about 2.4 K/s.
        auto a = simulator("ramp", "R1");
        auto quiet = simulator("quiet", "Q1", false);
        const QString record = path("alarm-runs.txt");
        const QString file = config("alarms.conf", "[store]\npath=DIR/alarms.db\n"
                                                   "[instrument/ramp]\nport=DIR/ramp\n"
                                                   "[instrument/quiet]\nport=DIR/quiet\n"
                                                   "[alarm/warm]\ninstrument=ramp\nabove=290\nhysteresis=2\nhold=0.3\n"
                                                   "command=/bin/sh -c 'echo $FROSTGAUGE_ALARM $FROSTGAUGE_INSTRUMENT "
                                                   "$FROSTGAUGE_STATE $FROSTGAUGE_VALUE >> DIR/alarm-runs.txt'\n"
                                                   "[alarm/mute]\ninstrument=quiet\nsilence=1.5\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY2(monitor.waitForLog("quiet: alarm mute raised") && monitor.waitForLog("ramp: alarm warm at")
                     && monitor.waitForLog(" cleared"),
                 qPrintable(monitor.log()));
        const QString log = monitor.stop();
        QVERIFY2(log.contains("ramp: alarm warm at") && log.contains("quiet: alarm mute raised"), qPrintable(log));

        HistoryStore store;
        QVERIFY(store.openForReading(path("alarms.db")));
        QVector<StoredEvent> alarms;
        for (const StoredEvent &event : eventsOf(store, "ramp"))
            if (event.kindText.startsWith("alarm"))
                alarms.append(event);
        QCOMPARE(alarms.size(), 2);
        QCOMPARE(alarms.at(0).kindText, QStringLiteral("alarm raised"));
        QCOMPARE(alarms.at(1).kindText, QStringLiteral("alarm cleared"));

        // Raised at the first reading held above 290 K for 0.3 s; cleared at the
        // first reading at or below 288 K, not on the way through 288..290 K.
        const QVector<StoredReading> readings = readingsOf(store, "ramp");
        qint64 firstAbove = -1, raiseAt = -1, clearAt = -1;
        for (const StoredReading &reading : readings) {
            if (reading.kelvin > 290 && firstAbove < 0)
                firstAbove = reading.timeMs;
            if (raiseAt < 0 && firstAbove >= 0 && reading.kelvin > 290 && reading.timeMs - firstAbove >= 300)
                raiseAt = reading.timeMs;
            if (raiseAt >= 0 && clearAt < 0 && reading.kelvin <= 288)
                clearAt = reading.timeMs;
        }
        QVERIFY(raiseAt > 0 && clearAt > raiseAt);
        QCOMPARE(alarms.at(0).timeMs, raiseAt);
        QCOMPARE(alarms.at(1).timeMs, clearAt);

        const QVector<StoredEvent> mute = eventsOf(store, "quiet");
        QCOMPARE(mute.last().kindText, QStringLiteral("alarm raised"));
        QCOMPARE(mute.last().detail, QStringLiteral("mute"));

        // The command saw the facts in its environment.
        QFile runs(record);
        QTRY_VERIFY_WITH_TIMEOUT(runs.exists(), limitMs());
        QVERIFY(runs.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(runs.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0).startsWith("warm ramp raised 29"));
        QVERIFY(lines.at(1).startsWith("warm ramp cleared 28"));
    }

    void retentionKeepsTheSummaryAndALostAlarm()
    {
        // Three days of history already in the store, one reading an hour.
        const QString storePath = path("old.db");
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(storePath));
            for (int hour = 72; hour > 0; --hour)
                store.addReading("old", now - hour * 3600000LL, 77.0 + hour);
            QVERIFY(store.commit());
        }
        auto sim = simulator("old", "O1");
        const QString file = config("old.conf", "[store]\npath=DIR/old.db\nretention_days=1\n"
                                                "[instrument/old]\nport=DIR/old\n"
                                                "[alarm/gone]\ninstrument=old\nlost=true\nhold=0.5\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY(monitor.waitForLog("old: connected"));
        // At start, back from the newest reading (an hour old); once a new
        // reading is stored, back from it.
        QVERIFY(monitor.waitForLog("47 readings older than 1 days deleted"));
        QVERIFY2(monitor.waitForLog("readings older than 1 days deleted", 2), qPrintable(monitor.log()));
        sim.reset();
        QVERIFY(monitor.waitForLog("old: alarm gone"));
        const QString log = monitor.stop();
        QVERIFY2(log.contains("readings older than 1 days deleted")
                     && log.contains(QRegularExpression("old: alarm gone( at \\S+ K)? raised")),
                 qPrintable(log));

        HistoryStore store;
        QVERIFY(store.openForReading(storePath));
        qint64 oldest = std::numeric_limits<qint64>::max();
        for (const StoredReading &reading : readingsOf(store, "old"))
            oldest = qMin(oldest, reading.timeMs);
        QVERIFY(now - oldest <= 24 * 3600000LL);
        // The per-minute summary of the deleted readings stays.
        qint64 summarized = 0;
        QVector<Bucket> buckets;
        QVERIFY(store.buckets("old", 0, now - 25 * 3600000LL, 60000, &buckets));
        for (const Bucket &bucket : qAsConst(buckets))
            summarized += bucket.count;
        QCOMPARE(summarized, qint64(48));
        // Lost for more than the hold time: raised, after the lost event.
        const QVector<StoredEvent> events = eventsOf(store, "old");
        QCOMPARE(events.last().kindText, QStringLiteral("alarm raised"));
        QCOMPARE(events.at(events.size() - 2).kindText, QStringLiteral("lost"));
        QVERIFY(events.last().timeMs - events.at(events.size() - 2).timeMs >= 500);
    }

    // A restart on a port that stayed open (a power cycle behind a powered
    // adapter): the configured output period is sent again.
    void periodSentAgainAfterARestart()
    {
        PtyPeer peer;
        const QString file = config("restart.conf", "[store]\npath=DIR/restart.db\n[instrument/r]\nport="
                                                        + QFile::encodeName(peer.path()) + "\nperiod=200\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.take();
        peer.write("NORDA,VKRHX350,R1,1.3.2\n");
        QCOMPARE(peer.waitFor("\n"), QByteArray(":rs232:period 200\n"));
        peer.take();
        peer.write("*RESET VKRHX350 restarting\n*APP VKRHX350 1.3.2\n");
        QCOMPARE(peer.waitFor("*IDN?\n"), QByteArray("*IDN?\n"));
        peer.take();
        peer.write("NORDA,VKRHX350,R1,1.3.2\n");
        QCOMPARE(peer.waitFor("\n"), QByteArray(":rs232:period 200\n"));
        QVERIFY(!monitor.stop().startsWith("exit"));
    }

    // One monitor writes a store: a second is refused at start, naming the
    // store and the first one's process; readers go on.
    void secondMonitorOnOneStoreIsRefused()
    {
        auto sim = simulator("one", "O1");
        const QString file = config("one.conf", "[store]\npath=DIR/one.db\n[instrument/one]\nport=DIR/one\n");
        MonitorRun first;
        QVERIFY(first.start(file));
        QVERIFY(first.waitForLog("one: connected"));
        QProcess second;
        second.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", file});
        QVERIFY(second.waitForFinished(limitMs()));
        QCOMPARE(second.exitCode(), 1);
        // Outside the journal the line starts with its time.
        const QString err = QString::fromUtf8(second.readAllStandardError()).section(QLatin1Char(' '), 1);
        QVERIFY2(err.startsWith("frostgauge-monitor: " + path("one.db")
                                + " is being written by another "
                                  "frostgauge-monitor (process "
                                + QString::number(first.process.processId()) + ")"),
                 qPrintable(err));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("one.db"), "one") >= 3, limitMs());
        QVERIFY(!first.stop().startsWith("exit"));
        // Gone with its process: the next monitor takes the store.
        MonitorRun next;
        QVERIFY(next.start(file));
        QVERIFY(next.waitForLog("one: connected"));
        QVERIFY(!next.stop().startsWith("exit"));
    }

    // A store deleted (or its log) under the monitor is noticed: it says so
    // and stops with code 1, for the service manager to start it anew.
    void deletedStoreStopsTheMonitor_data()
    {
        QTest::addColumn<QStringList>("deleted");
        QTest::addColumn<QString>("message");
        QTest::newRow("the store") << QStringList{"", "-wal", "-shm"} << "gone.db was deleted while the monitor";
        QTest::newRow("its log") << QStringList{"-wal"} << "gone.db-wal, the store's write-ahead log, was deleted";
    }

    void deletedStoreStopsTheMonitor()
    {
        QFETCH(QStringList, deleted);
        QFETCH(QString, message);
        for (const char *suffix : {"", "-wal", "-shm", ".lock"})
            QFile::remove(path("gone.db") + suffix);
        auto sim = simulator("gone", "G1");
        const QString file = config("gone.conf", "[store]\npath=DIR/gone.db\n[instrument/gone]\nport=DIR/gone\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("gone.db"), "gone") >= 3, limitMs());
        for (const QString &suffix : deleted)
            QVERIFY(QFile::remove(path("gone.db") + suffix));
        QVERIFY(monitor.process.waitForFinished(limitMs()));
        QCOMPARE(monitor.process.exitCode(), 1);
        const QString log = monitor.log();
        QVERIFY2(log.contains("frostgauge-monitor: store: " + path(message.section(' ', 0, 0))) && log.contains(message)
                     && log.contains("stopping, so that a new store is made at the path"),
                 qPrintable(log));
        QVERIFY(!log.contains("monitor stopped"));
        // Started again, it makes a new store at the path.
        MonitorRun again;
        QVERIFY(again.start(file));
        QVERIFY(again.waitForLog("gone: connected"));
        const qint64 restarted = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("gone.db"), "gone", restarted) >= 1, limitMs());
        const QString againLog = again.stop();
        QVERIFY2(!againLog.startsWith("exit") && !againLog.contains("frostgauge-monitor: "), qPrintable(again.log()));
    }

    // A full disk under an instrument that floods: the waiting readings stay
    // within their bound (the oldest dropped and counted), the cause is named
    // once, an event says what was dropped when writing works again, and a
    // stop while nothing can be written says what is lost and exits with 1.
    void fullDiskUnderAFlood()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        const QString disk = path("small");
        QDir().mkpath(disk);
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", disk}) != 0)
            QSKIP("no tmpfs can be mounted here");
        struct Unmount {
            QString folder;
            ~Unmount() { QProcess::execute("umount", {"-l", folder}); }
        } unmount{disk};

        PtyPeer peer;
        const QString file = config("full.conf", "[store]\npath=" + QFile::encodeName(disk)
                                                     + "/full.db\n"
                                                       "[instrument/f]\nport="
                                                     + QFile::encodeName(peer.path()) + "\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.write("NORDA,VKRHX350,F1,1.3.2\n");
        QVERIFY(monitor.waitForLog("f: connected"));
        const auto fillDisk = [&] {
            QFile filler(disk + "/filler");
            if (!filler.open(QIODevice::Append))
                return false;
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size() && filler.flush()) {}
            return true;
        };
        const auto flood = [&](int readings) {
            for (int i = 0; i < readings; i += 500)
                peer.write(QByteArray("*T = 4.200 K\n").repeated(500));
        };
        const auto residentKib = [&] {
            QFile status(QStringLiteral("/proc/%1/status").arg(monitor.process.processId()));
            status.open(QIODevice::ReadOnly);
            const QByteArray text = status.readAll();
            const int at = text.indexOf("VmRSS:");
            return text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLong();
        };

        // What the waiting readings cost on top of the monitor itself (whose
        // own size depends on the libraries and the sanitizers it runs with).
        const long baseKib = residentKib();
        QVERIFY(fillDisk());
        flood(10000);
        QVERIFY2(monitor.waitForLog("database or disk is full"), qPrintable(monitor.log()));
        QVERIFY2(monitor.waitForLog("readings waiting; the oldest are dropped from now on"), qPrintable(monitor.log()));
        QVERIFY(!monitor.log().contains("no transaction is active"));
        QCOMPARE(monitor.log().count("database or disk is full"), 1);
        QVERIFY2(residentKib() - baseKib < 16 * 1024,
                 qPrintable(QStringLiteral("%1 KiB, %2 KiB before").arg(residentKib()).arg(baseKib)));

        QVERIFY(QFile::remove(disk + "/filler"));
        QVERIFY2(monitor.waitForLog("store: writing again"), qPrintable(monitor.log()));
        QVERIFY(monitor.waitForLog("readings dropped: "));
        const QRegularExpression dropped("readings dropped: (\\d+) readings from \\S+ to \\S+, the oldest waiting, "
                                         "while the store could not be written \\(.*database or disk is full\\)");
        const QRegularExpressionMatch said = dropped.match(monitor.log());
        QVERIFY2(said.hasMatch(), qPrintable(monitor.log()));
        const qint64 count = said.captured(1).toLongLong();
        QVERIFY(count > 0);
        // Every reading is either stored or counted as dropped.
        QTRY_COMPARE_WITH_TIMEOUT(storedReadings(disk + "/full.db", "f") + count, qint64(10000), limitMs());

        QVERIFY(fillDisk());
        flood(5000);
        QVERIFY(monitor.waitForLog("database or disk is full", 2));
        QCOMPARE(monitor.stop(), QStringLiteral("exit 1"));
        QVERIFY2(monitor.log().contains("that could not be written are lost"), qPrintable(monitor.log()));
    }

    // A port that opens but where nothing answers identification: said once,
    // with a lost= alarm raised, and asked again at growing intervals until an
    // instrument answers.
    void silentInstrument()
    {
        PtyPeer peer;
        const QString file =
            config("silent.conf", "[store]\npath=DIR/silent.db\n[instrument/s]\nport=" + QFile::encodeName(peer.path())
                                      + "\n[alarm/gone]\ninstrument=s\nlost=true\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.take();
        QVERIFY2(monitor.waitForLog("s: no answer: to identification on " + peer.path() + "; asking again"),
                 qPrintable(monitor.log()));
        QVERIFY(monitor.waitForLog("s: alarm gone raised"));
        // Asked again: after 2 s, then after 4 s more.
        QVERIFY(peer.waitFor("*idn?\n", 3000).endsWith("*idn?\n"));
        const qint64 second = clock.elapsed();
        peer.take();
        QVERIFY(peer.waitFor("*idn?\n", 6000).endsWith("*idn?\n"));
        QVERIFY2(clock.elapsed() - second >= 3500, qPrintable(QString::number(clock.elapsed() - second)));
        peer.write("NORDA,VKRHX350,Q1,1.3.2\n");
        QVERIFY(monitor.waitForLog("s: connected"));
        QVERIFY(monitor.waitForLog("s: alarm gone cleared"));
        const QString log = monitor.stop();
        QCOMPARE(log.count("no answer"), 1);
    }

    // Values no sensor of the instrument reports are no readings: they never
    // reach the store, the alarms or the summaries; each burst is one event.
    void impossibleReadingsAreRejected()
    {
        PtyPeer peer;
        const QString file =
            config("odd.conf", "[store]\npath=DIR/odd.db\n[instrument/o]\nport=" + QFile::encodeName(peer.path())
                                   + "\n"
                                     "[alarm/cold]\ninstrument=o\nbelow=1\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.write("NORDA,VKRHX350,O1,1.3.2\n");
        QVERIFY(monitor.waitForLog("o: connected"));
        // clang-format off
        peer.write("*T = 4.200 K\n"
                   "*T = -1.7e308 K\n*T = -0.001 K\n"   // one burst: below absolute zero
                   "*T = 4.300 K\n"
                   "*T = 1000000 K\n"                  // far too hot
                   "*T = 2000.000 K\n*T = 0.010 K\n"   // the hottest and a cold one still are readings
                   "*T = 0 K\n*T = 2000.5 K\n");       // a burst the stop ends
        // clang-format on
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("odd.db"), "o") >= 4, limitMs());
        QVERIFY(monitor.waitForLog("readings rejected: 1 value(s)"));
        const QString log = monitor.stop();
        QVERIFY2(!log.startsWith("exit"), qPrintable(log));

        HistoryStore store;
        QVERIFY(store.openForReading(path("odd.db")));
        QVector<double> kept;
        for (const StoredReading &reading : readingsOf(store, "o"))
            kept << reading.kelvin;
        QCOMPARE(kept, (QVector<double>{4.2, 4.3, 2000.0, 0.01}));
        QStringList rejected;
        for (const StoredEvent &event : eventsOf(store, "o")) {
            if (event.kind == EventKind::ReadingsRejected)
                rejected << event.detail.section(' ', 0, 0) + " " + event.detail.section(", the first ", 1);
        }
        QCOMPARE(rejected, (QStringList{"2 -1.7e+308 K", "1 1e+06 K", "2 0 K"}));
        // The cold alarm saw the 0.01 K reading, never the impossible ones.
        QStringList alarms;
        for (const StoredEvent &event : eventsOf(store, "o")) {
            if (isAlarmEvent(event.kind))
                alarms << event.kindText + " " + event.detail;
        }
        QCOMPARE(alarms, QStringList{"alarm raised cold at 0.010 K"});
        QVERIFY(!log.contains("e+308") || log.contains("the first -1.7e+308 K"));
    }

    // A log reader that left (its end of the pipe closed before the first
    // line) costs log lines, not the monitor. A hang-up stops it as cleanly as
    // SIGTERM, its stop recorded with the reason, but with a failure status so
    // that the unit's Restart=on-failure brings it back; hanging alarm
    // commands share one grace at the stop rather than one each.
    void hangUpAndAClosedLogPipe()
    {
        auto a = simulator("h", "H1");
        QByteArray alarms;
        for (int i = 1; i <= 5; ++i)
            alarms += "[alarm/hang" + QByteArray::number(i) + "]\ninstrument=h\nabove=1\ncommand=sleep 60\n";
        const QString file = config("hup.conf", "[store]\npath=DIR/hup.db\n[instrument/h]\nport=DIR/h\n" + alarms);
        int logPipe[2];
        QVERIFY(::pipe(logPipe) == 0);
        ::close(logPipe[0]);
        ChildProcess monitor([&] {
            ::dup2(logPipe[1], STDERR_FILENO);
            ::signal(SIGPIPE, SIG_DFL); // as a service manager starts it
        });
        monitor.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", file});
        QVERIFY(monitor.waitForStarted(limitMs()));
        ::close(logPipe[1]);
        // Every alarm raised (each a logged line, each command hanging) and readings going on.
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("hup.db"), "h") >= 20, limitMs());
        auto raised = [&] {
            HistoryStore store;
            int count = 0;
            if (store.openForReading(path("hup.db"))) {
                for (const StoredEvent &event : eventsOf(store, "h"))
                    count += event.kind == EventKind::AlarmRaised ? 1 : 0;
            }
            return count;
        };
        QTRY_COMPARE_WITH_TIMEOUT(raised(), 5, limitMs());
        QCOMPARE(monitor.state(), QProcess::Running);

        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(monitor.processId()), SIGHUP);
        QVERIFY(monitor.waitForFinished(limitMs()));
        // One grace of two seconds for all five; one each would take ten.
        QVERIFY2(stopping.elapsed() < 5 * 2000 - 1000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), 129);
        HistoryStore store;
        QVERIFY(store.openForReading(path("hup.db")));
        const QVector<StoredEvent> events = eventsOf(store, QString());
        QVERIFY(!events.isEmpty());
        QCOMPARE(events.last().kind, EventKind::MonitorStopped);
        QCOMPARE(events.last().detail, QStringLiteral("on a hang-up signal (SIGHUP); exit status 129"));
    }

    void killedMonitorLeavesAWholeStore()
    {
        auto a = simulator("k", "K1");
        const QString file = config("kill.conf", "[store]\npath=DIR/kill.db\n[instrument/k]\nport=DIR/k\n");
        MonitorRun monitor;
        QVERIFY(monitor.start(file));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("kill.db"), "k") >= 15, limitMs());
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        ::kill(pid_t(monitor.process.processId()), SIGKILL);
        QVERIFY(monitor.process.waitForFinished(limitMs()));

        HistoryStore store;
        QVERIFY(store.openForReading(path("kill.db")));
        QVERIFY(store.integrityOk());
        const QVector<StoredReading> readings = readingsOf(store, "k");
        QVERIFY(readings.size() >= 15);
        // Every reading older than about a second was written.
        QVERIFY2(
            killedAt - readings.last().timeMs <= 1200,
            qPrintable(QStringLiteral("last reading %1 ms before the kill").arg(killedAt - readings.last().timeMs)));
    }
};

FROSTGAUGE_TEST_MAIN(MonitorTest)
#include "test-monitor.moc"
