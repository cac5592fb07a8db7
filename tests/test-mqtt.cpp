// frostgauge-monitor publishing to a real mosquitto: every reading with
// consecutive seq, nothing lost across a broker outage, the Last Will, a wrong
// password, TLS with a CA made here.

#include "history/history-store.h"
#include "support/monitor-run.h"
#include "support/mqtt-broker.h"
#include "support/simulator-process.h"
#include "support/test-certificates.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

class MqttTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimulatorProcess> sim;

    QString path(const QString &name) const { return dir->filePath(name); }

    QString config(int port, const QByteArray &mqttExtra = QByteArray())
    {
        return writeTestFile(*dir, "monitor.conf",
                             "[store]\npath=" + QFile::encodeName(path("store.db"))
                                 + "\n"
                                   "[mqtt]\nhost=127.0.0.1\nport="
                                 + QByteArray::number(port) + "\nclient_id=lab1\n" + mqttExtra
                                 + "[instrument/cryo]\nport=" + QFile::encodeName(path("tty")) + "\n");
    }

    qint64 stored() { return storedReadings(path("store.db"), "cryo"); }

    // The seq of every temperature message, in arrival order.
    static QList<qint64> seqs(const QStringList &lines)
    {
        QList<qint64> result;
        for (const QString &line : lines) {
            if (line.startsWith("frostgauge/cryo/temperature "))
                result << QJsonDocument::fromJson(line.mid(28).toUtf8()).object().value("seq").toVariant().toLongLong();
        }
        return result;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        const QString state = writeTestFile(*dir, "state.json", "{\"rs232:period\": 100}");
        sim = std::make_unique<SimulatorProcess>(QStringList{"--link", path("tty"), "--state", state});
        QVERIFY(sim->started());
    }

    void cleanup()
    {
        sim.reset();
        dir.reset();
    }

    void readingsStatesAndTheLastWill()
    {
        MqttBroker broker(dir->path());
        MqttSubscriber subscriber(broker.port());
        MonitorRun monitor;
        QVERIFY(monitor.start(config(broker.port())));
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).size() >= 20, limitMs());
        ::kill(pid_t(monitor.process.processId()), SIGKILL);
        QVERIFY(monitor.process.waitForFinished(limitMs()));
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().contains("frostgauge/monitor/lab1/status offline"), limitMs());

        const QStringList lines = subscriber.lines();
        QVERIFY(lines.contains("frostgauge/monitor/lab1/status online"));
        QVERIFY(lines.contains("frostgauge/cryo/status online"));
        QVERIFY(lines.contains(
            "frostgauge/cryo/info {\"model\":\"VKRHX350\",\"serial_number\":\"SIM0001\",\"version\":\"1.5.2\"}"));
        const QList<qint64> received = seqs(lines);
        QVERIFY(received.size() >= 20);
        for (int i = 0; i < received.size(); ++i)
            QCOMPARE(received.at(i), qint64(i + 1));
        const QJsonObject first =
            QJsonDocument::fromJson(lines.filter("frostgauge/cryo/temperature ").first().mid(28).toUtf8()).object();
        QVERIFY(first.value("time").toString().endsWith('Z'));
        QVERIFY(first.value("kelvin").toDouble() > 250);
    }

    void nothingLostAcrossABrokerOutage()
    {
        auto broker = std::make_unique<MqttBroker>(dir->path());
        const int port = broker->port();
        MqttSubscriber subscriber(port);
        MonitorRun monitor;
        QVERIFY(monitor.start(config(port)));
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).size() >= 10, limitMs());
        broker->stop();
        QVERIFY(monitor.waitForLog("mqtt: connection to 127.0.0.1:" + QString::number(port) + " lost"));
        // A second of readings the broker never saw live; the retries grow meanwhile.
        const qint64 atLoss = stored();
        QTRY_VERIFY_WITH_TIMEOUT(stored() >= atLoss + 10, limitMs());
        QVERIFY(broker->start());
        // The monitor tries again at growing intervals, at most 10 s apart.
        QVERIFY(monitor.waitForLog("mqtt: connected", 2));
        // Live again: readings newer than the backlog arrive.
        const qint64 atReturn = stored();
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).contains(atReturn + 3), limitMs());
        const QString log = monitor.stop();
        QVERIFY2(!log.startsWith("exit") && !log.startsWith("did not"), qPrintable(log));
        const qint64 stored = this->stored();
        QVERIFY(stored >= atLoss + 10);

        // Every seq at least once, without a gap (repeats may be dropped by seq).
        QTRY_VERIFY2_WITH_TIMEOUT(
            seqs(subscriber.lines()).contains(stored),
            qPrintable(QStringLiteral("stored %1, received %2 up to %3\n%4")
                           .arg(stored)
                           .arg(seqs(subscriber.lines()).size())
                           .arg(seqs(subscriber.lines()).isEmpty() ? 0 : seqs(subscriber.lines()).last())
                           .arg(log)),
            limitMs());
        QList<qint64> received = seqs(subscriber.lines());
        std::sort(received.begin(), received.end());
        received.erase(std::unique(received.begin(), received.end()), received.end());
        QCOMPARE(received.size(), int(stored));
        QCOMPARE(received.first(), qint64(1));
        QCOMPARE(received.last(), stored);
    }

    void restartedMonitorResumesAfterTheAcknowledgedSeq()
    {
        auto broker = std::make_unique<MqttBroker>(dir->path());
        const int port = broker->port();
        MqttSubscriber subscriber(port);
        const QString configPath = config(port);
        qint64 firstRun = 0;
        {
            MonitorRun monitor;
            QVERIFY(monitor.start(configPath));
            QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).size() >= 10, limitMs());
            broker->stop();
            // Readings of this run that never reached the broker.
            const qint64 atStop = stored();
            QTRY_VERIFY_WITH_TIMEOUT(stored() >= atStop + 15, limitMs());
            QVERIFY(!monitor.stop().startsWith("exit"));
            firstRun = stored();
        }
        QVERIFY(broker->start());
        MonitorRun monitor;
        QVERIFY(monitor.start(configPath));
        // The backlog, then live readings of the second run.
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).contains(firstRun + 5), limitMs());
        QVERIFY(!monitor.stop().startsWith("exit"));
        const qint64 stored = this->stored();
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).contains(stored), limitMs());
        QList<qint64> received = seqs(subscriber.lines());
        std::sort(received.begin(), received.end());
        received.erase(std::unique(received.begin(), received.end()), received.end());
        QCOMPARE(received.size(), int(stored));
        // The second run went on counting where the first stopped.
        QCOMPARE(received.last(), stored);
    }

    // A monitor killed again and again: no seq goes out with two different
    // readings, and every reading published is in the store afterwards.
    void killedMonitorNeverReusesASeq()
    {
        MqttBroker broker(dir->path());
        MqttSubscriber subscriber(broker.port());
        const QString configPath = config(broker.port());
        for (int round = 0; round < 6; ++round) {
            MonitorRun monitor;
            QVERIFY(monitor.start(configPath));
            const int before = seqs(subscriber.lines()).size();
            QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).size() >= before + 3 + round % 3, limitMs());
            ::kill(pid_t(monitor.process.processId()), SIGKILL);
            QVERIFY(monitor.process.waitForFinished(limitMs()));
        }
        QHash<qint64, QString> published; // seq -> its payload
        for (const QString &line : subscriber.lines()) {
            if (!line.startsWith("frostgauge/cryo/temperature "))
                continue;
            const QString payload = line.mid(28);
            const qint64 seq = QJsonDocument::fromJson(payload.toUtf8()).object().value("seq").toVariant().toLongLong();
            QVERIFY2(
                !published.contains(seq) || published.value(seq) == payload,
                qPrintable(
                    QStringLiteral("seq %1 went out as %2 and as %3").arg(seq).arg(published.value(seq), payload)));
            published.insert(seq, payload);
        }
        HistoryStore store;
        QVERIFY(store.openForReading(path("store.db")));
        QHash<qint64, QString> stored;
        store.readings("cryo", 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &reading) {
            stored.insert(reading.seq, QStringLiteral("{\"time\":\"%1\",\"kelvin\":%2,\"seq\":%3}")
                                           .arg(isoTime(reading.timeMs))
                                           .arg(reading.kelvin, 0, 'f', 3)
                                           .arg(reading.seq));
        });
        for (auto it = published.cbegin(); it != published.cend(); ++it)
            QVERIFY2(stored.value(it.key()) == it.value(), qPrintable("published, not stored: " + it.value()));
    }

    void wrongPasswordIsRefusedAndLoggingGoesOn()
    {
        const QString passwords = path("passwords");
        QProcess tool;
        tool.start("mosquitto_passwd", {"-b", "-c", passwords, "lab", "right-secret"});
        QVERIFY(tool.waitForFinished(limitMs()));
        QCOMPARE(tool.exitCode(), 0);
        MqttBroker broker(dir->path(), "allow_anonymous false\npassword_file " + QFile::encodeName(passwords) + "\n");
        const QString secret = writeTestFile(*dir, "secret", "wrong-secret\n");
        MonitorRun monitor;
        QVERIFY(
            monitor.start(config(broker.port(), "username=lab\npassword_file=" + QFile::encodeName(secret) + "\n")));
        QVERIFY(monitor.waitForLog("refused the connection"));
        // Long enough for the next attempts (0.5 s, then 1 s later).
        QTRY_VERIFY_WITH_TIMEOUT(stored() >= 15, limitMs());
        const QString log = monitor.stop();
        QVERIFY2(log.contains("refused the connection: Connection Refused: not authorised"), qPrintable(log));
        // Said once, not at every attempt; and the password is in no log line.
        QCOMPARE(log.count("refused the connection"), 1);
        QVERIFY(!log.contains("wrong-secret"));
        QVERIFY(stored() >= 15);
    }

    void readingsOverTls()
    {
        // A CA and a server certificate for 127.0.0.1, made here.
        const QString d = dir->path();
        QString why;
        QVERIFY2(makeTestCertificates(d, &why), qPrintable(why));
        MqttBroker broker(d, "cafile " + QFile::encodeName(d) + "/ca.crt\ncertfile " + QFile::encodeName(d)
                                 + "/server.crt\nkeyfile " + QFile::encodeName(d) + "/server.key\n");
        MqttSubscriber subscriber(broker.port(), {"--cafile", d + "/ca.crt"});
        MonitorRun monitor;
        QVERIFY(monitor.start(config(broker.port(), "ca_file=" + QFile::encodeName(d) + "/ca.crt\n")));
        QTRY_VERIFY_WITH_TIMEOUT(seqs(subscriber.lines()).size() >= 10, limitMs());
        QVERIFY(!monitor.stop().startsWith("exit"));
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().contains("frostgauge/monitor/lab1/status offline"), limitMs());
    }
};

FROSTGAUGE_TEST_MAIN(MqttTest)
#include "test-mqtt.moc"
