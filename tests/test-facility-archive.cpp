// A facility archive over a real mosquitto: three source monitors with
// simulated instruments and one archiving monitor. Every sequence number of
// every instrument ends up in the archive exactly once through a broker
// restart, the archive killed and restarted, an outage longer than the broker
// queues for it, and a source restarted; the archive's export equals each
// source's own. Also: a source's monitor answers a request for a billion
// readings within its bounds, and a broker with an ACL refuses a source that
// publishes under another's prefix.

#include "history/history-store.h"
#include "support/cli-run.h"
#include "support/monitor-run.h"
#include "support/mqtt-broker.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

namespace {

constexpr int Sources = 3;

struct Lab {
    QString name; // lab1 ...
    std::unique_ptr<SimulatorProcess> sim;
    std::unique_ptr<MonitorRun> monitor;
    QString config;
    QString store;
};

QByteArray get(const QString &address, const QString &path)
{
    QProcess curl;
    curl.start("curl", {"-s", "--max-time", "10", "http://" + address + path});
    curl.waitForFinished(limitMs());
    return curl.readAllStandardOutput();
}

QString lastWords(MonitorRun &monitor)
{
    return monitor.log().right(3000);
}

} // namespace

class FacilityArchiveTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    QByteArray mqttSection(int port, const QString &clientId, const QString &prefix, const QByteArray &login = {})
    {
        return "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(port) + "\nclient_id=" + clientId.toUtf8()
               + "\ntopic_prefix=" + prefix.toUtf8() + "\n" + login;
    }

    // A lab PC: one simulated instrument at ten readings a second, its own store and prefix.
    void startLab(Lab *lab, int port, const QByteArray &login = {}, const QString &prefix = QString(),
                  const QByteArray &store = {})
    {
        const QString state = writeTestFile(*dir, lab->name + "-state.json", "{\"rs232:period\": 100}");
        lab->sim =
            std::make_unique<SimulatorProcess>(QStringList{"--link", path(lab->name + "-tty"), "--state", state});
        QVERIFY(lab->sim->started());
        lab->store = path(lab->name + ".db");
        lab->config =
            writeTestFile(*dir, lab->name + ".conf",
                          "[store]\npath=" + QFile::encodeName(lab->store) + "\n" + store
                              + mqttSection(port, lab->name + "-monitor",
                                            prefix.isEmpty() ? "frostgauge/" + lab->name : prefix, login)
                              + "[instrument/cryo]\nport=" + QFile::encodeName(path(lab->name + "-tty")) + "\n");
        lab->monitor = std::make_unique<MonitorRun>();
        QVERIFY(lab->monitor->start(lab->config));
    }

    QString archiveConfig(int port, const QStringList &labs, const QByteArray &login = {})
    {
        QByteArray text = "[store]\npath=" + QFile::encodeName(path("archive.db")) + "\n"
                          + mqttSection(port, "archive", "frostgauge/archive", login);
        for (const QString &lab : labs)
            text += "[source/" + lab.toUtf8() + "]\nclient_id=" + lab.toUtf8() + "-monitor\ntopic_prefix=frostgauge/"
                    + lab.toUtf8() + "\n";
        return writeTestFile(*dir, "archive.conf", text);
    }

    qint64 archived(const QString &lab) { return storedReadings(path("archive.db"), lab + "/cryo"); }
    static qint64 stored(const Lab &lab) { return storedReadings(lab.store, "cryo"); }

    // Until every lab has stored count readings more than now.
    static bool storeMore(Lab (&labs)[Sources], qint64 count)
    {
        qint64 now[Sources];
        for (int i = 0; i < Sources; ++i)
            now[i] = stored(labs[i]);
        return waitUntil([&] {
            for (int i = 0; i < Sources; ++i) {
                if (stored(labs[i]) < now[i] + count)
                    return false;
            }
            return true;
        });
    }

    // seq, time and kelvin of each reading, in the order the store gives them.
    static QStringList rows(const QString &store, const QString &instrument)
    {
        HistoryStore history;
        QStringList result;
        if (history.openForReading(store))
            history.readings(instrument, 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &reading) {
                result
                    << QStringLiteral("%1 %2 %3").arg(reading.seq).arg(reading.timeMs).arg(reading.kelvin, 0, 'g', 17);
            });
        return result;
    }

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() { dir.reset(); }

    void everyReadingOnceThroughFaults()
    {
        // The broker queues 50 messages for an absent client (mosquitto's
        // default is 1,000): a few seconds' outage exceeds it.
        auto broker = std::make_unique<MqttBroker>(dir->path(), "max_queued_messages 50\n");
        const int port = broker->port();
        Lab labs[Sources];
        QStringList names;
        for (int i = 0; i < Sources; ++i) {
            labs[i].name = QStringLiteral("lab%1").arg(i + 1);
            names << labs[i].name;
            startLab(&labs[i], port);
        }
        const QString archiveConf = archiveConfig(port, names);
        auto archive = std::make_unique<MonitorRun>();
        QVERIFY(archive->start(archiveConf));
        for (const QString &lab : names)
            QTRY_VERIFY_WITH_TIMEOUT(archived(lab) >= 20, limitMs());

        // (a) The broker restarted mid-stream.
        broker->stop();
        QVERIFY(broker->start());
        QVERIFY(archive->waitForLog("mqtt: connected", 2));
        qint64 before = archived("lab1");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab1") >= before + 20, limitMs());

        // (b) The archive killed, and started again once the sources have stored more.
        ::kill(pid_t(archive->process.processId()), SIGKILL);
        QVERIFY(archive->process.waitForFinished(limitMs()));
        const qint64 atKill = stored(labs[1]);
        QTRY_VERIFY_WITH_TIMEOUT(stored(labs[1]) >= atKill + 20, limitMs());
        archive = std::make_unique<MonitorRun>();
        QVERIFY(archive->start(archiveConf));
        QVERIFY(archive->waitForLog("mqtt: connected"));
        before = archived("lab2");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab2") >= before + 20, limitMs());

        // (c) The broker away, and back while the archive is not yet: the
        // sources send their backlog at once, more than the broker queues for
        // the archive's session, and the archive fills what it lost from the
        // sources' stores. (The archive is held stopped meanwhile, so that it
        // is surely not back first.)
        ::kill(pid_t(archive->process.processId()), SIGSTOP);
        broker->stop();
        QVERIFY(storeMore(labs, 30));
        QVERIFY(broker->start());
        for (Lab &lab : labs)
            QVERIFY(lab.monitor->waitForLog("mqtt: connected", 3));
        QVERIFY(storeMore(labs, 60));
        ::kill(pid_t(archive->process.processId()), SIGCONT);
        before = archived("lab3");
        QTRY_VERIFY2_WITH_TIMEOUT(archived("lab3") >= before + 60, qPrintable(lastWords(*archive)), limitMs());

        // (d) A source's monitor restarted.
        QVERIFY2(!labs[1].monitor->stop().startsWith("exit"), qPrintable(lastWords(*labs[1].monitor)));
        labs[1].monitor = std::make_unique<MonitorRun>();
        QVERIFY(labs[1].monitor->start(labs[1].config));
        QVERIFY(labs[1].monitor->waitForLog("cryo: connected"));
        QVERIFY(storeMore(labs, 20));

        // The instruments stop; the archive catches up with what each source stored.
        for (Lab &lab : labs)
            lab.sim->stop();
        for (Lab &lab : labs) {
            QVERIFY(lab.monitor->waitForLog("cryo: lost"));
            const QString instrument = lab.name + "/cryo";
            QTRY_VERIFY2_WITH_TIMEOUT(rows(path("archive.db"), instrument) == rows(lab.store, "cryo"),
                                      qPrintable(QStringLiteral("%1: the archive holds %2, the source %3\n%4")
                                                     .arg(lab.name)
                                                     .arg(rows(path("archive.db"), instrument).size())
                                                     .arg(rows(lab.store, "cryo").size())
                                                     .arg(archive->log().right(3000))),
                                      limitMs());
        }
        const QString archiveLog = archive->stop();
        QVERIFY2(!archiveLog.startsWith("exit") && !archiveLog.startsWith("did not"), qPrintable(archiveLog));
        // The outage left holes that were filled from the sources.
        QVERIFY2(archiveLog.contains(QRegularExpression("source lab\\d: asking for readings \\d+ to \\d+ of cryo")),
                 qPrintable(archiveLog));

        // Exactly once, every number from the first on, and the exports equal.
        for (Lab &lab : labs) {
            const QStringList held = rows(path("archive.db"), lab.name + "/cryo");
            QVERIFY(held.size() > 100);
            for (int i = 0; i < held.size(); ++i)
                QCOMPARE(held.at(i).section(' ', 0, 0).toLongLong(), qint64(i + 1));
            QVERIFY(!lab.monitor->stop().startsWith("exit"));
            const CliRun source = runCli({"history", lab.store, "--instrument", "cryo", "--csv"});
            CliRun archiveCsv = runCli({"history", path("archive.db"), "--instrument", lab.name + "/cryo", "--csv"});
            QCOMPARE(source.code, 0);
            QCOMPARE(archiveCsv.code, 0);
            QCOMPARE(archiveCsv.out.replace(lab.name + "/cryo", "cryo"), source.out);
        }
    }

    // A source whose retention deleted its oldest readings says so; the
    // archive records the gap once and asks no more. A request for a billion
    // readings is answered within the source's bounds.
    void gapsAndBounds()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        Lab lab;
        lab.name = "lab1";
        {
            HistoryStore old;
            QVERIFY(old.openForWriting(path("lab1.db")));
            for (int i = 0; i < 100; ++i)
                old.addReading("cryo", now - 40LL * 86400000 + i * 60000, 4.2);
            QVERIFY(old.commit());
        }
        MqttBroker broker(dir->path());
        startLab(&lab, broker.port(), {}, {}, "retention_days=30\n");
        QVERIFY(lab.monitor->waitForLog("100 readings older than 30 days deleted"));
        MonitorRun archive;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const QString web = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        QVERIFY(
            archive.start(writeTestFile(*dir, "archive.conf",
                                        "[store]\npath=" + QFile::encodeName(path("archive.db")) + "\n"
                                            + mqttSection(broker.port(), "archive", "frostgauge/archive")
                                            + "[source/lab1]\nclient_id=lab1-monitor\ntopic_prefix=frostgauge/lab1\n"
                                              "[alarm/warm]\ninstrument=lab1/cryo\nabove=20\n"
                                              "[alarm/gone]\ninstrument=lab1/cryo\nlost=true\n"
                                              "[http]\nlisten="
                                            + web.toUtf8() + "\n")));
        QVERIFY2(archive.waitForLog("lab1/cryo: gap: readings 1 to 100 are not in lab1's store"),
                 qPrintable(archive.log()));
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab1") >= 30, limitMs());
        QCOMPARE(archive.log().count("asking for readings 1 to"), 1);
        // The archive's dashboard shows the remote instrument like a local one.
        const QJsonArray instruments = QJsonDocument::fromJson(get(web, "/api/instruments")).array();
        QCOMPARE(instruments.size(), 1);
        QCOMPARE(instruments.at(0)["name"].toString(), QStringLiteral("lab1/cryo"));
        QCOMPARE(instruments.at(0)["status"].toString(), QStringLiteral("online"));
        QVERIFY(instruments.at(0)["kelvin"].toDouble() > 0);
        QVERIFY(get(web, "/instrument/lab1%2Fcryo").contains("<html"));
        QVERIFY(get(web, "/api/history?instrument=lab1%2Fcryo").contains("\"columns\":[["));
        // Its alarms watch it as they watch a local one: the simulator is at room temperature.
        QVERIFY(archive.waitForLog("lab1/cryo: alarm warm at "));

        // A note written into the lab's store travels with its readings: its
        // monitor publishes it, the archive keeps it once, signed as written.
        QCOMPARE(runCli({"note", lab.store, "--instrument", "cryo", "LN2 refilled"}).code, 0);
        QVERIFY(lab.monitor->waitForLog("cryo: note by "));
        QVERIFY2(archive.waitForLog("lab1/cryo: note by "), qPrintable(archive.log()));
        {
            HistoryStore store;
            QVERIFY(store.openForReading(path("archive.db")));
            QVector<StoredEvent> events;
            QVERIFY(store.events("lab1/cryo", 0, std::numeric_limits<qint64>::max(), &events));
            int notes = 0;
            for (const StoredEvent &event : events)
                notes += event.kind == EventKind::Note && event.detail == "LN2 refilled" && !event.author.isEmpty();
            QCOMPARE(notes, 1);
        }

        // The source's monitor dies: its Will says so, and the archive shows it and raises its lost alarm.
        ::kill(pid_t(lab.monitor->process.processId()), SIGKILL);
        QVERIFY(lab.monitor->process.waitForFinished(limitMs()));
        QVERIFY2(archive.waitForLog("lab1/cryo: lost: source lab1 offline", 1, 60000), qPrintable(archive.log()));
        QVERIFY2(archive.waitForLog("lab1/cryo: alarm gone at "), qPrintable(archive.log()));
        QCOMPARE(QJsonDocument::fromJson(get(web, "/api/instruments")).array().at(0)["status"].toString(),
                 QStringLiteral("source offline"));
        lab.monitor = std::make_unique<MonitorRun>();
        QVERIFY(lab.monitor->start(lab.config));

        // The restarted source subscribes to its request topic just after it
        // connects, in a clean session: asked again until its answer starts.
        MqttSubscriber subscriber(broker.port());
        const QString answerTopic = QStringLiteral("frostgauge/lab1/monitor/lab1-monitor/replayed ");
        auto answers = [&] {
            QList<QByteArray> payloads;
            for (const QString &line : subscriber.lines()) {
                if (line.startsWith(answerTopic))
                    payloads.append(line.mid(answerTopic.size()).toUtf8());
            }
            return payloads;
        };
        QVERIFY(lab.monitor->waitForLog("mqtt: connected"));
        QVERIFY(waitUntil([&] {
            if (!answers().isEmpty())
                return true;
            QProcess ask;
            ask.start("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-t",
                                        "frostgauge/lab1/monitor/lab1-monitor/replay", "-m",
                                        "{\"instrument\":\"cryo\",\"from_seq\":1,\"to_seq\":1000000000}"});
            ask.waitForFinished(limitMs());
            return waitUntil([&] { return !answers().isEmpty(); }, 2000);
        }));
        // The first answer's end (a request heard twice is answered twice).
        auto firstEnd = [&] {
            for (const QByteArray &message : answers()) {
                if (message.contains("\"done\":true"))
                    return message;
            }
            return QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!firstEnd().isEmpty(), limitMs());
        const QList<QByteArray> messages = answers();
        const QJsonObject end = QJsonDocument::fromJson(firstEnd()).object();
        QCOMPARE(end.value("from_seq").toInt(), 1);
        QVERIFY2(end.value("to_seq").toDouble() <= end.value("last_seq").toDouble(), firstEnd().constData());
        QCOMPARE(end.value("lost").toArray().first().toArray(), QJsonArray({1, 100}));
        for (const QByteArray &message : messages)
            QVERIFY(message.size() < 64 * 1024);
        // The archive took that answer in too without asking, and its source is still live.
        const qint64 live = archived("lab1");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab1") >= live + 10, limitMs());
        QCOMPARE(archive.log().count("asking for readings 1 to"), 1);
        QVERIFY(!archive.stop().startsWith("exit"));
        HistoryStore store;
        QVERIFY(store.openForReading(path("archive.db")));
        QVector<StoredEvent> events;
        QVERIFY(store.events("lab1/cryo", 0, std::numeric_limits<qint64>::max(), &events));
        int gaps = 0;
        for (const StoredEvent &event : events)
            gaps += event.kind == EventKind::Gap ? 1 : 0;
        QCOMPARE(gaps, 1);
        QVERIFY(!lab.monitor->stop().startsWith("exit"));
    }

    // Each lab PC publishes under its own prefix only: the broker drops a
    // source's messages under another lab's prefix, and the archive, which
    // reads everything and asks every source, works under the same rules.
    void brokerRefusesAnotherLabsPrefix()
    {
        const QString passwords = path("passwords");
        for (const QString user : {"lab1", "lab2", "archive"}) {
            QProcess tool;
            QStringList arguments{"-b", passwords, user, user + "-secret"};
            if (!QFile::exists(passwords))
                arguments.prepend("-c");
            tool.start("mosquitto_passwd", arguments);
            QVERIFY(tool.waitForFinished(limitMs()));
            QCOMPARE(tool.exitCode(), 0);
        }
        const QString acl = writeTestFile(*dir, "acl",
                                          "pattern readwrite frostgauge/%u/#\n"
                                          "user archive\n"
                                          "topic read frostgauge/#\n"
                                          "topic write frostgauge/+/monitor/+/replay\n");
        MqttBroker broker(dir->path(), "allow_anonymous false\npassword_file " + QFile::encodeName(passwords)
                                           + "\nacl_file " + QFile::encodeName(acl) + "\nlog_type all\n");
        auto login = [&](const QString &user) {
            return "username=" + user.toUtf8() + "\npassword_file="
                   + QFile::encodeName(writeTestFile(*dir, user + ".secret", user.toUtf8() + "-secret\n")) + "\n";
        };
        // lab2 claims lab1's prefix.
        Lab impostor;
        impostor.name = "lab2";
        startLab(&impostor, broker.port(), login("lab2"), "frostgauge/lab1");
        QVERIFY(impostor.monitor->waitForLog("mqtt: connected"));
        QVERIFY(impostor.monitor->waitForLog("cryo: connected"));
        QString brokerLog;
        QTRY_VERIFY2_WITH_TIMEOUT((brokerLog += broker.log()).contains("Denied PUBLISH from lab2-monitor"),
                                  qPrintable(brokerLog + impostor.monitor->log()), limitMs());
        // lab1 itself, started before the archive: its first readings come by replay.
        Lab lab;
        lab.name = "lab1";
        startLab(&lab, broker.port(), login("lab1"));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(lab.store, "cryo") >= 30, limitMs());
        MonitorRun archive;
        QVERIFY(archive.start(archiveConfig(broker.port(), {"lab1"}, login("archive"))));
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab1") >= 40, limitMs());
        QVERIFY(archive.log().contains("asking for readings 1 to"));
        QVERIFY(!archive.stop().startsWith("exit"));
        // Everything archived is lab1's own: the same numbers with the same times.
        const QStringList held = rows(path("archive.db"), "lab1/cryo");
        const QStringList own = rows(lab.store, "cryo");
        for (const QString &row : held)
            QVERIFY2(own.contains(row), qPrintable(row));
        QVERIFY(!lab.monitor->stop().startsWith("exit"));
        QVERIFY(!impostor.monitor->stop().startsWith("exit"));
    }
};

FROSTGAUGE_TEST_MAIN(FacilityArchiveTest)
#include "test-facility-archive.moc"
