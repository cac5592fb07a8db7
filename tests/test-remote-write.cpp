// Prometheus remote write: the messages without a network, then against
// Debian's engines started on 127.0.0.1 (VictoriaMetrics, Prometheus with its
// receiver): every stored reading once with its time, across an engine
// stopped and started again and a monitor killed; readings too old for
// Prometheus counted and the rest sent on; a wrong login and an engine that
// cannot be reached said plainly.

#include "history/history-store.h"
#include "monitor/monitor.h"
#include "monitor/remote-write/remote-write-payloads.h"
#include "support/monitor-run.h"
#include "support/scripted-driver.h"
#include "support/simulator-process.h"
#include "support/test-certificates.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/tsdb-process.h"
#include "support/wait-limits.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <limits>

namespace {

using RemoteWrite::Labels;

QVector<StoredReading> stored(const QString &path, const QString &series)
{
    HistoryStore store;
    QVector<StoredReading> readings;
    if (store.openForReading(path))
        store.readings(series, 0, std::numeric_limits<qint64>::max(),
                       [&](const StoredReading &reading) { readings.append(reading); });
    return readings;
}

// What VictoriaMetrics holds of one instrument's temperature: time and value.
QVector<QPair<qint64, double>> exported(TsdbProcess &engine, const QString &instrument)
{
    engine.get(QStringLiteral("/internal/force_flush"));
    const QByteArray lines =
        engine
            .get(QStringLiteral("/api/v1/export?match[]={__name__=\"frostgauge_temperature_kelvin\",instrument=\"%1\"}")
                     .arg(instrument))
            .body;
    QVector<QPair<qint64, double>> samples;
    for (const QByteArray &line : lines.split('\n')) {
        const QJsonObject series = QJsonDocument::fromJson(line).object();
        const QJsonArray values = series.value("values").toArray();
        const QJsonArray times = series.value("timestamps").toArray();
        for (int i = 0; i < values.size() && i < times.size(); ++i)
            samples.append({qint64(times.at(i).toDouble()), values.at(i).toDouble()});
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

// The store's readings as the engine should hold them.
QVector<QPair<qint64, double>> expected(const QString &path, const QString &series)
{
    QVector<QPair<qint64, double>> samples;
    for (const StoredReading &reading : stored(path, series))
        samples.append({reading.timeMs, reading.kelvin});
    std::sort(samples.begin(), samples.end());
    return samples;
}

QString monitorConfig(const QString &dir, const QString &tty, const QString &url, const QByteArray &extra = {})
{
    return QStringLiteral("[store]\npath=%1/store.db\n[instrument/cryo]\nport=%2\nperiod=100\n"
                          "[remote_write]\nurl=%3\nname=lab1\nlabels=facility=north\n")
               .arg(dir, tty, url)
           + QString::fromUtf8(extra);
}

} // namespace

class RemoteWriteTest : public QObject
{
    Q_OBJECT

private slots:
    // The labels of each kind of series, as the protocol and /metrics want them.
    void seriesLabels_data()
    {
        QTest::addColumn<QString>("instrument");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("state");
        QTest::addColumn<QString>("labels");
        QTest::addColumn<double>("factor");
        QTest::newRow("a VKRHX350") << "cryo"
                                    << ""
                                    << ""
                                    << "K" << false
                                    << "__name__=frostgauge_temperature_kelvin facility=north instrument=cryo "
                                       "monitor=lab1 unit=kelvin"
                                    << 1.0;
        QTest::newRow("a vacuum in mbar") << "gauge"
                                          << "pressure"
                                          << ""
                                          << "mbar" << false
                                          << "__name__=frostgauge_pressure_pascals channel=pressure facility=north "
                                             "instrument=gauge monitor=lab1 unit=pascals"
                                          << 100.0;
        QTest::newRow("a state") << "compressor"
                                 << "state"
                                 << ""
                                 << "" << true
                                 << "__name__=frostgauge_state_code channel=state facility=north "
                                    "instrument=compressor monitor=lab1"
                                 << 1.0;
        QTest::newRow("an archived flow") << "cryo2"
                                          << "flow"
                                          << "lab2"
                                          << "L/min" << false
                                          << "__name__=frostgauge_flow_cubic_meters_per_second channel=flow "
                                             "facility=north instrument=cryo2 monitor=lab1 source=lab2 "
                                             "unit=cubic_meters_per_second"
                                          << 1e-3 / 60;
    }

    void seriesLabels()
    {
        QFETCH(QString, instrument);
        QFETCH(QString, channel);
        QFETCH(QString, source);
        QFETCH(QString, unit);
        QFETCH(bool, state);
        QFETCH(QString, labels);
        QFETCH(double, factor);
        double got = 0;
        const Labels made = RemoteWrite::seriesLabels({instrument, channel, source, unit, state}, "lab1",
                                                      {{"facility", "north"}, {"empty", ""}}, &got);
        QStringList text;
        for (const auto &label : made)
            text << label.first + '=' + label.second;
        QCOMPARE(text.join(' '), labels);
        QCOMPARE(got, factor);
        // An archive's name reads back into its parts.
        if (!source.isEmpty()) {
            const RemoteWrite::SeriesName name =
                RemoteWrite::archivedSeries(source + '/' + instrument + ':' + channel, unit);
            QCOMPARE(name.source, source);
            QCOMPARE(name.instrument, instrument);
            QCOMPARE(name.channel, channel);
        }
    }

    // A request: each series once, its samples in order, snappy's block format.
    void requestRoundTrip()
    {
        const QVector<Labels> series{{{"__name__", "a"}, {"instrument", "x"}}, {{"__name__", "b"}}};
        const QVector<RemoteWrite::Sample> samples{{0, 1000, 4.2}, {1, 1000, 1e-7}, {0, 2000, 4.3}};
        const QByteArray body = RemoteWrite::writeRequest(series, samples);
        QVector<Labels> readSeries;
        QVector<RemoteWrite::Sample> readSamples;
        QVERIFY(RemoteWrite::readWriteRequest(body, &readSeries, &readSamples));
        QCOMPARE(readSeries, series);
        QCOMPARE(readSamples.size(), 3);
        QCOMPARE(readSamples.at(0).timeMs, 1000);
        QCOMPARE(readSamples.at(1).timeMs, 2000); // the first series' samples together, in order
        QCOMPARE(readSamples.at(2).value, 1e-7);
        QVERIFY(!RemoteWrite::readWriteRequest("not snappy at all", &readSeries, &readSamples));
    }

    // Every reading of the store in VictoriaMetrics, once, with its time and
    // value: across the engine stopped and started again, and across the
    // monitor killed with SIGKILL and started again.
    void everyReadingOnceInVictoriaMetrics()
    {
        if (!TsdbProcess::available(TsdbProcess::VictoriaMetrics))
            QSKIP("victoria-metrics is not installed");
        QTemporaryDir dir;
        TsdbProcess engine(TsdbProcess::VictoriaMetrics, dir.filePath("vm"));
        QVERIFY(engine.start());
        SimulatorProcess sim({"--link", dir.filePath("tty")});
        QVERIFY(sim.started());
        const QString config = writeTestFile(
            dir, "monitor.conf", monitorConfig(dir.path(), dir.filePath("tty"), engine.writeUrl()).toUtf8());
        const QString store = dir.filePath("store.db");
        auto monitor = std::make_unique<MonitorRun>();
        QVERIFY(monitor->start(config));
        QVERIFY(waitUntil([&] { return exported(engine, "cryo").size() >= 20; }));

        // The engine away: said once, readings wait in the store.
        engine.stop();
        const int before = stored(store, "cryo").size();
        QVERIFY2(monitor->waitForLog("readings wait in the store and go when it takes them again"),
                 qPrintable(monitor->log()));
        QVERIFY(waitUntil([&] { return stored(store, "cryo").size() >= before + 30; }));
        QVERIFY(engine.start());
        QVERIFY2(monitor->waitForLog("takes readings again"), qPrintable(monitor->log()));
        QVERIFY2(monitor->waitForLog("remote write outage: "), qPrintable(monitor->log()));
        QCOMPARE(monitor->log().count("readings wait in the store"), 1);
        // Committed before the kill (a kill takes what waits for the next commit).
        QVERIFY(waitUntil([&] {
            HistoryStore reader;
            QVector<StoredEvent> events;
            return reader.openForReading(store)
                   && reader.events(QString(), 0, std::numeric_limits<qint64>::max(), &events)
                   && std::any_of(events.cbegin(), events.cend(),
                                  [](const StoredEvent &event) { return event.kind == EventKind::RemoteWriteOutage; });
        }));

        // Killed between its commits and its requests, then started again.
        monitor->process.kill();
        monitor->process.waitForFinished(limitMs());
        monitor = std::make_unique<MonitorRun>();
        QVERIFY(monitor->start(config));
        const int later = stored(store, "cryo").size();
        QVERIFY(waitUntil([&] { return stored(store, "cryo").size() >= later + 20; }));
        sim.stop(); // no new readings: what the store holds is the whole run

        QVector<QPair<qint64, double>> held;
        QVector<QPair<qint64, double>> wanted;
        const bool same = waitUntil([&] {
            held = exported(engine, "cryo");
            wanted = expected(store, "cryo");
            return held.size() == wanted.size() && wanted.size() > 0;
        });
        QVERIFY2(same, qPrintable(QStringLiteral("%1 in the engine, %2 stored").arg(held.size()).arg(wanted.size())));
        for (int i = 0; i < wanted.size(); ++i) {
            QCOMPARE(held.at(i).first, wanted.at(i).first);
            QVERIFY2(qAbs(held.at(i).second - wanted.at(i).second) < 1e-9,
                     qPrintable(QStringLiteral("%1: %2 against %3")
                                    .arg(wanted.at(i).first)
                                    .arg(held.at(i).second)
                                    .arg(wanted.at(i).second)));
        }
        // The outage is in the history with its length and what went after it.
        HistoryStore reader;
        QVERIFY(reader.openForReading(store));
        QVector<StoredEvent> events;
        QVERIFY(reader.events(QString(), 0, std::numeric_limits<qint64>::max(), &events));
        QStringList outages;
        for (const StoredEvent &event : qAsConst(events)) {
            if (event.kind == EventKind::RemoteWriteOutage)
                outages << event.detail;
        }
        QCOMPARE(outages.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral(" \\(\\d+ s\\): .*; [1-9]\\d* reading\\(s\\) sent after it$"))
                     .match(outages.first())
                     .hasMatch(),
                 qPrintable(outages.first()));
        monitor->stop();
    }

    // Readings older than Prometheus' head block (a clock set back three hours)
    // are refused: counted once for the burst, never sent again, and the
    // readings after them go on.
    void prometheusRefusesWhatIsTooOld()
    {
        if (!TsdbProcess::available(TsdbProcess::Prometheus))
            QSKIP("prometheus is not installed");
        QTemporaryDir dir;
        TsdbProcess engine(TsdbProcess::Prometheus, dir.filePath("prometheus"));
        QVERIFY(engine.start());
        MonitorConfig config;
        config.path = dir.filePath("monitor.conf");
        config.storePath = dir.filePath("store.db");
        InstrumentConfig instrument;
        instrument.name = "cryo";
        instrument.port = dir.filePath("tty");
        QFile(instrument.port).open(QIODevice::WriteOnly);
        config.instruments << instrument;
        config.remoteWrite.enabled = true;
        config.remoteWrite.url = engine.writeUrl();
        config.remoteWrite.monitorName = "lab1";
        qint64 now = QDateTime::currentMSecsSinceEpoch();
        Monitor monitor(config);
        monitor.setClock([&] { return now; });
        ScriptedDriver *driver = nullptr;
        monitor.setDriverFactory([&](const InstrumentConfig &) { return driver = new ScriptedDriver("cryo"); });
        QVERIFY(monitor.start());
        QVERIFY(waitUntil([&] { return driver && driver->isOpen(); }));
        driver->answer("S1");
        const auto measureSeconds = [&](int seconds) {
            for (int i = 0; i < seconds; ++i) {
                now += 1000;
                driver->measure(4.2 + i * 0.001);
            }
        };
        const auto count = [&] {
            const QJsonObject answer =
                QJsonDocument::fromJson(
                    engine
                        .get(QStringLiteral(
                                 "/api/v1/query?query=count_over_time(frostgauge_temperature_kelvin[6h])&time=%1")
                                 .arg(now / 1000.0, 0, 'f', 3))
                        .body)
                    .object();
            const QJsonArray result = answer.value("data").toObject().value("result").toArray();
            return result.isEmpty() ? 0 : result.first().toObject().value("value").toArray().at(1).toString().toInt();
        };
        measureSeconds(30);
        QVERIFY2(waitUntil([&] { return count() == 30; }), qPrintable(QString::number(count())));
        now -= 3 * 3600 * 1000; // the clock set back three hours
        measureSeconds(40);
        now += 3 * 3600 * 1000 + 60 * 1000;
        measureSeconds(20);
        QVERIFY2(waitUntil([&] { return count() == 50; }), qPrintable(QString::number(count())));
        // The burst is said once it ends, in the store at the next commit.
        QStringList refused;
        QVERIFY(waitUntil([&] {
            HistoryStore reader;
            QVector<StoredEvent> events;
            refused.clear();
            if (reader.openForReading(config.storePath)
                && reader.events(QString(), 0, std::numeric_limits<qint64>::max(), &events)) {
                for (const StoredEvent &event : qAsConst(events)) {
                    if (event.kind == EventKind::SamplesRefused)
                        refused << event.detail;
                }
            }
            return !refused.isEmpty();
        }));
        monitor.stop();
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused.first().startsWith(QStringLiteral("40 reading(s) refused by %1: 400").arg(engine.writeUrl())),
                 qPrintable(refused.first()));
    }

    // A wrong password fails --check and is said by the running monitor; an
    // engine that cannot be reached is a warning at --check.
    void loginsAndUnreachableEngines()
    {
        if (!TsdbProcess::available(TsdbProcess::VictoriaMetrics))
            QSKIP("victoria-metrics is not installed");
        QTemporaryDir dir;
        TsdbProcess engine(TsdbProcess::VictoriaMetrics, dir.filePath("vm"),
                           {"-httpAuth.username=lab1", "-httpAuth.password=right"});
        QVERIFY(engine.start());
        writeTestFile(dir, "wrong", "wrong\n");
        writeTestFile(dir, "right", "right\n");
        const auto check = [&](const QString &url, const QString &password) {
            const QString path =
                writeTestFile(dir, "check.conf",
                              monitorConfig(dir.path(), dir.filePath("tty"), url,
                                            "username=lab1\npassword_file=" + dir.filePath(password).toUtf8() + "\n")
                                  .toUtf8());
            QProcess process;
            process.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", path, "--check"});
            process.waitForFinished(limitMs());
            return qMakePair(process.exitCode(), QString::fromUtf8(process.readAllStandardError()));
        };
        const auto wrong = check(engine.writeUrl(), "wrong");
        QCOMPARE(wrong.first, 2);
        QVERIFY2(wrong.second.contains(QStringLiteral("[remote_write]: %1: 401").arg(engine.writeUrl()))
                     && wrong.second.contains("the engine refused the login"),
                 qPrintable(wrong.second));
        const auto right = check(engine.writeUrl(), "right");
        QVERIFY2(right.first == 0 && !right.second.contains("login"), qPrintable(right.second));
        QVERIFY(right.second.contains("sends the password in the clear; use https"));
        const QString nowhere = QStringLiteral("http://127.0.0.1:%1/api/v1/write").arg(freePort());
        const auto unreachable = check(nowhere, "right");
        QVERIFY2(unreachable.first == 0
                     && unreachable.second.contains(
                         QStringLiteral("warning: [remote_write] url: %1: Connection refused").arg(nowhere)),
                 qPrintable(unreachable.second));

        // The running monitor says a wrong password once, plainly.
        SimulatorProcess sim({"--link", dir.filePath("tty")});
        QVERIFY(sim.started());
        MonitorRun monitor;
        QVERIFY(monitor.start(
            writeTestFile(dir, "run.conf",
                          monitorConfig(dir.path(), dir.filePath("tty"), engine.writeUrl(),
                                        "username=lab1\npassword_file=" + dir.filePath("wrong").toUtf8() + "\n")
                              .toUtf8())));
        QVERIFY2(monitor.waitForLog("the engine refused the login"), qPrintable(monitor.log()));
        monitor.stop();
    }

    // Over HTTPS with the facility's own authority: readings go; without
    // trusting it, --check fails with the reason.
    void overTls()
    {
        if (!TsdbProcess::available(TsdbProcess::VictoriaMetrics))
            QSKIP("victoria-metrics is not installed");
        QTemporaryDir dir;
        const QString d = dir.path();
        QString why;
        QVERIFY2(makeTestCertificates(d, &why), qPrintable(why));
        TsdbProcess engine(TsdbProcess::VictoriaMetrics, dir.filePath("vm"),
                           {"-tls", "-tlsCertFile=" + d + "/server.crt", "-tlsKeyFile=" + d + "/server.key"});
        engine.setScheme(QStringLiteral("https"), d + "/ca.crt");
        QVERIFY(engine.start());
        const auto check = [&](const QByteArray &extra) {
            const QString path = writeTestFile(
                dir, "check.conf", monitorConfig(d, dir.filePath("tty"), engine.writeUrl(), extra).toUtf8());
            QProcess process;
            process.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", path, "--check"});
            process.waitForFinished(limitMs());
            return qMakePair(process.exitCode(), QString::fromUtf8(process.readAllStandardError()));
        };
        const auto untrusted = check({});
        QVERIFY2(untrusted.first == 2 && untrusted.second.contains("[remote_write]: ")
                     && untrusted.second.contains("TLS: ") && untrusted.second.contains("check ca_file"),
                 qPrintable(untrusted.second));
        const auto trusted = check("ca_file=" + QFile::encodeName(d) + "/ca.crt\n");
        QVERIFY2(trusted.first == 0 && !trusted.second.contains("TLS"), qPrintable(trusted.second));
        SimulatorProcess sim({"--link", dir.filePath("tty")});
        QVERIFY(sim.started());
        MonitorRun monitor;
        QVERIFY(monitor.start(writeTestFile(
            dir, "run.conf",
            monitorConfig(d, dir.filePath("tty"), engine.writeUrl(), "ca_file=" + QFile::encodeName(d) + "/ca.crt\n")
                .toUtf8())));
        QVERIFY2(waitUntil([&] { return exported(engine, "cryo").size() >= 10; }), qPrintable(monitor.log()));
        monitor.stop();
    }
};

FROSTGAUGE_TEST_MAIN(RemoteWriteTest)
#include "test-remote-write.moc"
