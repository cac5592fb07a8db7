// A monitor with a VKRHX350 and line instruments, as a lab runs it: every
// channel published on MQTT with Home Assistant's discovery, on the dashboard
// (in chromium) and in /metrics (checked by promtool), each in its unit.

#include "history/history-store.h"
#include "support/free-port.h"
#include "support/headless-browser.h"
#include "support/monitor-run.h"
#include "support/mqtt-broker.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/wait-limits.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

QString shipped(const char *name)
{
    return QStringLiteral(FROSTGAUGE_SOURCE_DIR "/data/protocols/%1.conf").arg(QLatin1String(name));
}

QByteArray fetch(const QString &url)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), {"-s", "--max-time", "10", url});
    curl.waitForFinished(limitMs());
    return curl.readAllStandardOutput();
}

} // namespace

class LineMonitorTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SimulatorProcess> cryo;
    std::unique_ptr<SimulatorProcess> gauge;
    std::unique_ptr<SimulatorProcess> compressor;
    std::unique_ptr<MqttBroker> broker;
    MonitorRun monitor;
    QString base;

private slots:
    void initTestCase()
    {
        cryo = std::make_unique<SimulatorProcess>(QStringList{"--link", dir.filePath("cryo")});
        gauge = std::make_unique<SimulatorProcess>(
            QStringList{"--protocol", shipped("pressure-gauge-stream"), "--link", dir.filePath("gauge")});
        compressor = std::make_unique<SimulatorProcess>(
            QStringList{"--protocol", shipped("compressor"), "--tcp", "127.0.0.1:0"});
        QVERIFY(cryo->started() && gauge->started() && compressor->started());
        broker = std::make_unique<MqttBroker>(dir.path());
        const quint16 port = freePort();
        base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        const QString config =
            QStringLiteral("[store]\npath=%1\n"
                           "[mqtt]\nhost=127.0.0.1\nport=%2\nclient_id=lab1\ndiscovery=homeassistant\n"
                           "[http]\nlisten=127.0.0.1:%3\n"
                           "[instrument/cryo]\nport=%4\nperiod=100\n"
                           "[instrument/gauge]\ndriver=line\nprotocol=%5\nport=%6\n"
                           "[instrument/compressor]\ndriver=line\nprotocol=compressor\nport=%7\nperiod=200\n"
                           "[alarm/vacuum]\ninstrument=gauge:pressure\nabove=1e-7\n")
                .arg(dir.filePath("store.db"))
                .arg(broker->port())
                .arg(port)
                .arg(dir.filePath("cryo"), shipped("pressure-gauge-stream"), dir.filePath("gauge"), compressor->path());
        // protocol=compressor is found by its name in the shipped folder only once
        // installed: here it is given as a path.
        QString text = config;
        text.replace(QStringLiteral("protocol=compressor"), QStringLiteral("protocol=") + shipped("compressor"));
        QVERIFY(monitor.start(writeTestFile(dir, "monitor.conf", text.toUtf8())));
        QVERIFY2(monitor.waitForLog(QStringLiteral("http: serving on %1").arg(base)), qPrintable(monitor.log()));
        for (const char *series : {"cryo", "gauge:pressure", "compressor:state", "compressor:return_pressure"})
            QVERIFY2(waitUntil([&] { return storedReadings(dir.filePath("store.db"), series) >= 2; }),
                     qPrintable(QStringLiteral("%1\n%2").arg(series, monitor.log())));
    }

    void cleanupTestCase()
    {
        const QString log = monitor.stop();
        QVERIFY2(log.contains(QStringLiteral("monitor stopped")), qPrintable(log));
    }

    // Each channel's reading on its own topic in its unit, and a sensor for
    // Home Assistant with the class of its unit; the VKRHX350 as ever.
    void publishedWithDiscovery()
    {
        QProcess subscriber;
        subscriber.start(QStringLiteral("mosquitto_sub"), {"-h", "127.0.0.1", "-p", QString::number(broker->port()),
                                                           "-v", "-t", "frostgauge/#", "-t", "homeassistant/#"});
        QString heard;
        const QStringList wanted{"frostgauge/cryo/temperature {\"time\"",
                                 "frostgauge/gauge:pressure/value {\"time\"",
                                 "frostgauge/compressor:state/value {\"time\"",
                                 "\"unit\":\"bar\"",
                                 "\"state\":\"ON\"",
                                 "\"device_class\":\"pressure\"",
                                 "\"unit_of_measurement\":\"mbar\""};
        const bool all = waitUntil([&] {
            heard += QString::fromUtf8(subscriber.readAllStandardOutput());
            return std::all_of(wanted.cbegin(), wanted.cend(),
                               [&](const QString &text) { return heard.contains(text); });
        });
        stopProcess(subscriber);
        QVERIFY2(all, qPrintable(heard.right(3000)));
        // A vacuum keeps its digits: not 0.000.
        QVERIFY2(
            QRegularExpression(QStringLiteral("gauge:pressure/value \\{[^}]*\"value\":1\\.\\d+e-06,\"unit\":\"mbar\""))
                .match(heard)
                .hasMatch(),
            qPrintable(heard.right(3000)));
    }

    void metricsInBaseUnits()
    {
        const QByteArray metrics = fetch(base + QStringLiteral("/metrics"));
        QVERIFY2(
            QRegularExpression(QStringLiteral("\nfrostgauge_temperature_kelvin\\{instrument=\"cryo\"\\} [0-9.]+\n"))
                .match(QString::fromUtf8(metrics))
                .hasMatch(),
            metrics.constData());
        // 1.2e-6 mbar are 1.2e-4 Pa; 16.2 bar 1.62e6 Pa.
        const QRegularExpressionMatch vacuum =
            QRegularExpression(
                QStringLiteral("\nfrostgauge_pressure_pascals\\{instrument=\"gauge\",channel=\"pressure\"\\} (\\S+)\n"))
                .match(QString::fromUtf8(metrics));
        QVERIFY2(vacuum.hasMatch(), metrics.constData());
        QVERIFY(vacuum.captured(1).toDouble() > 0.5e-4 && vacuum.captured(1).toDouble() < 3e-4);
        QVERIFY(metrics.contains("\nfrostgauge_state{instrument=\"compressor\",channel=\"state\",state=\"ON\"} 1\n"));
        QVERIFY(metrics.contains("\nfrostgauge_state{instrument=\"compressor\",channel=\"state\",state=\"OFF\"} 0\n"));
        QVERIFY(metrics.contains("frostgauge_alarm_active{alarm=\"vacuum\",instrument=\"gauge:pressure\"} 1\n"));
        if (QStandardPaths::findExecutable(QStringLiteral("promtool")).isEmpty())
            QSKIP("promtool (package prometheus) is not installed");
        QProcess promtool;
        promtool.start(QStringLiteral("promtool"), {"check", "metrics"});
        promtool.write(metrics);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(limitMs()));
        QVERIFY2(promtool.exitCode() == 0,
                 (promtool.readAllStandardOutput() + promtool.readAllStandardError()).constData());
    }

    // A facility archive on the same broker keeps every channel under the
    // lab's name, a pressure's values whole, and tells their units.
    void archivedByTheFacility()
    {
        MonitorRun archive;
        QVERIFY(archive.start(
            writeTestFile(dir, "archive.conf",
                          QStringLiteral("[store]\npath=%1\n[mqtt]\nhost=127.0.0.1\nport=%2\nclient_id=archive\n"
                                         "[source/lab1]\nclient_id=lab1\ntopic_prefix=frostgauge\n")
                              .arg(dir.filePath("archive.db"))
                              .arg(broker->port())
                              .toUtf8())));
        for (const char *series : {"lab1/cryo", "lab1/gauge:pressure", "lab1/compressor:state"})
            QVERIFY2(waitUntil([&] { return storedReadings(dir.filePath("archive.db"), series) >= 2; }),
                     qPrintable(QStringLiteral("%1\n%2").arg(series, archive.log())));
        archive.stop();
        HistoryStore store;
        QVERIFY(store.openForReading(dir.filePath("archive.db")));
        QCOMPARE(store.unitOf(QStringLiteral("lab1/gauge:pressure")), QStringLiteral("mbar"));
        QCOMPARE(store.unitOf(QStringLiteral("lab1/cryo")), QStringLiteral("K"));
        double pressure = 0;
        QVERIFY(store.readings(QStringLiteral("lab1/gauge:pressure"), 0, std::numeric_limits<qint64>::max(),
                               [&](const StoredReading &reading) { pressure = reading.kelvin; }));
        QVERIFY2(pressure > 0.5e-6 && pressure < 3e-6, qPrintable(QString::number(pressure)));
    }

    // The dashboard's tiles: each channel in its unit, a state as its word.
    void dashboardInChromium()
    {
        if (!HeadlessBrowser::available())
            QSKIP("chromium is not installed");
        HeadlessBrowser browser;
        QVERIFY(browser.start(dir.filePath("chromium")));
        QVERIFY(browser.open(base + "/", 500));
        const auto tiles = [&] {
            return browser
                .evaluate(QStringLiteral("[...document.querySelectorAll('.tile')].map(t => t.querySelector('h2')"
                                         ".textContent + '=' + t.querySelector('.kelvin').textContent).join('|')"))
                .toString();
        };
        QString seen;
        const QRegularExpression wanted(
            QStringLiteral("^cryo=\\d+\\.\\d{3} K\\|gauge:pressure=1\\.\\d{3}e-6 mbar\\|"
                           "compressor:state=ON\\|compressor:return_pressure=1\\d\\.\\d+ bar$"));
        QVERIFY2(waitUntil([&] { return wanted.match(seen = tiles()).hasMatch(); }), qPrintable(seen));
        browser.keepScreenshot("screenshot-dashboard-channels.png");
        // A channel's page: its unit on the axis, a pressure on a logarithmic one.
        QVERIFY(browser.open(base + "/instrument/gauge%3Apressure", 500));
        QString label;
        QVERIFY2(waitUntil([&] {
                     label = browser
                                 .evaluate(
                                     QStringLiteral("typeof chart !== 'undefined' && chart ? chart.getOption('ylabel')"
                                                    " + '/' + chart.getOption('logscale') : ''"))
                                 .toString();
                     return label.startsWith(QLatin1String("mbar/"));
                 }),
                 qPrintable(label));
        browser.keepScreenshot("screenshot-instrument-pressure.png");
    }
};

FROSTGAUGE_TEST_MAIN(LineMonitorTest)
#include "test-line-monitor.moc"
