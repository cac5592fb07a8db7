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

#include <QJsonDocument>
#include <QJsonObject>
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
    void startLab(Lab *lab, int port, const QByteArray &login = {}, const QString &prefix = QString())
    {
        const QString state = writeTestFile(*dir, lab->name + "-state.json", "{\"rs232:period\": 100}");
        lab->sim =
            std::make_unique<SimulatorProcess>(QStringList{"--link", path(lab->name + "-tty"), "--state", state});
        QVERIFY(lab->sim->started());
        lab->store = path(lab->name + ".db");
        lab->config =
            writeTestFile(*dir, lab->name + ".conf",
                          "[store]\npath=" + QFile::encodeName(lab->store) + "\n"
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
            QTRY_VERIFY_WITH_TIMEOUT(archived(lab) >= 20, 15000);

        // (a) The broker restarted mid-stream.
        broker->stop();
        QVERIFY(broker->start());
        QVERIFY(archive->waitForLog("mqtt: connected", 2));
        qint64 before = archived("lab1");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab1") >= before + 20, 15000);

        // (b) The archive killed and started again two seconds later.
        ::kill(pid_t(archive->process.processId()), SIGKILL);
        QVERIFY(archive->process.waitForFinished(5000));
        QTest::qWait(2000);
        archive = std::make_unique<MonitorRun>();
        QVERIFY(archive->start(archiveConf));
        QVERIFY(archive->waitForLog("mqtt: connected"));
        before = archived("lab2");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab2") >= before + 20, 15000);

        // (c) The broker away, and back while the archive is not yet: the
        // sources send their backlog at once, more than the broker queues for
        // the archive's session, and the archive fills what it lost from the
        // sources' stores. (The archive is held stopped meanwhile, so that it
        // is surely not back first.)
        ::kill(pid_t(archive->process.processId()), SIGSTOP);
        broker->stop();
        QTest::qWait(3000);
        QVERIFY(broker->start());
        QTest::qWait(3000);
        ::kill(pid_t(archive->process.processId()), SIGCONT);
        before = archived("lab3");
        QTRY_VERIFY_WITH_TIMEOUT(archived("lab3") >= before + 60, 20000);

        // (d) A source's monitor restarted.
        QVERIFY2(!labs[1].monitor->stop().startsWith("exit"), qPrintable(lastWords(*labs[1].monitor)));
        QTest::qWait(1000);
        labs[1].monitor = std::make_unique<MonitorRun>();
        QVERIFY(labs[1].monitor->start(labs[1].config));
        QVERIFY(labs[1].monitor->waitForLog("cryo: connected"));
        QTest::qWait(2000);

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
                                      60000);
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
};

FROSTGAUGE_TEST_MAIN(FacilityArchiveTest)
#include "test-facility-archive.moc"
