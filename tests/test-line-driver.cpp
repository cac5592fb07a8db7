// Line instruments read through their protocol files, against the simulator
// playing the same files on a pseudo-terminal and on TCP: every shipped
// description, and the ways an instrument or its peer answers badly.

#include "drivers/line/line-driver.h"
#include "history/history-csv.h"
#include "history/history-store.h"
#include "monitor/instrument-link.h"
#include "monitor/monitor.h"
#include "support/simulator-process.h"
#include "support/test-main.h"
#include "support/wait-limits.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QString shipped(const QString &name)
{
    return QStringLiteral(FROSTGAUGE_SOURCE_DIR "/data/protocols/%1.conf").arg(name);
}

LineProtocol load(const QString &path)
{
    LineProtocol protocol;
    QString error;
    if (!loadLineProtocol(path, &protocol, &error))
        qFatal("%s", qPrintable(error));
    return protocol;
}

// What a driver said, as the tests look at it.
struct Heard {
    QVector<QVector<double>> readings; // per channel
    QStringList events;
    int lost = 0;

    explicit Heard(LineDriver *driver)
    {
        readings.resize(driver->channels().size());
        QObject::connect(driver, &InstrumentDriver::reading, driver,
                         [this](int channel, double value) { readings[channel].append(value); });
        QObject::connect(driver, &InstrumentDriver::event, driver, [this](EventKind kind, const QString &detail) {
            events << eventKindName(kind) + QStringLiteral(": ") + detail;
        });
        QObject::connect(driver, &InstrumentDriver::lost, driver, [this] { ++lost; });
    }
    int fewest() const
    {
        int fewest = INT_MAX;
        for (const auto &values : readings)
            fewest = qMin(fewest, int(values.size()));
        return fewest;
    }
    int count(const QString &prefix) const
    {
        return int(std::count_if(events.cbegin(), events.cend(),
                                 [&](const QString &event) { return event.startsWith(prefix); }));
    }
};

} // namespace

class LineDriverTest : public QObject
{
    Q_OBJECT

private slots:
    // Each shipped description read through the simulator playing it: every
    // channel gets values near the simulator's, and nothing is said of bad
    // replies.
    void shippedDescriptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("tcp");
        for (const char *name :
             {"scpi-thermometer", "pressure-gauge-stream", "three-stage-thermometer", "compressor"}) {
            QTest::addRow("%s on a terminal", name) << name << false;
            QTest::addRow("%s on TCP", name) << name << true;
        }
    }

    void shippedDescriptions()
    {
        QFETCH(QString, name);
        QFETCH(bool, tcp);
        const QString path = shipped(name);
        QStringList arguments{QStringLiteral("--protocol"), path, QStringLiteral("--serial"), QStringLiteral("SN42")};
        if (tcp)
            arguments << QStringLiteral("--tcp") << QStringLiteral("127.0.0.1:0");
        SimulatorProcess sim(arguments);
        QVERIFY(sim.started());
        QCOMPARE(sim.path().startsWith(QLatin1String("tcp://")), tcp);
        DriverOptions options;
        options.protocol = load(path);
        options.periodMs = 100;
        LineDriver driver(options);
        Heard heard(&driver);
        QVector<InstrumentIdentity> connected;
        connect(&driver, &InstrumentDriver::connected, this,
                [&](const InstrumentIdentity &identity) { connected << identity; });
        QVERIFY(driver.open(sim.path()));
        QVERIFY2(waitUntil([&] { return heard.fewest() >= 3; }), qPrintable(heard.events.join('\n')));
        QCOMPARE(connected.size(), 1);
        if (!options.protocol.identify.isEmpty())
            QCOMPARE(connected.first().serialNumber, QStringLiteral("SN42"));
        QVERIFY2(heard.events.isEmpty(), qPrintable(heard.events.join('\n')));
        const QVector<InstrumentChannel> channels = driver.channels();
        for (int i = 0; i < channels.size(); ++i) {
            const LineChannel &about = options.protocol.channels.at(i);
            for (const double value : qAsConst(heard.readings.at(i))) {
                if (about.states.isEmpty())
                    QVERIFY2(qAbs(value / about.simValue.toDouble() - 1) < 0.5,
                             qPrintable(QStringLiteral("%1: %2").arg(about.name).arg(value)));
                else
                    QCOMPARE(value, about.states.at(1).second); // ON
            }
        }
        driver.close();
    }

    // An instrument that answers badly gives no value, and each kind of bad
    // answer is said once for the whole burst.
    void badAnswers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("said");
        QTest::newRow("error replies") << "scpi-thermometer"
                                       << "error"
                                       << "error reply: 'MEAS:TEMP?' answered '-113,\"Undefined header\"'";
        QTest::newRow("garbage") << "scpi-thermometer"
                                 << "garbage"
                                 << "bad reply: 'MEAS:TEMP?' answered '#?%&!': temperature does not match reply=";
        QTest::newRow("no reply") << "compressor"
                                  << "silent"
                                  << "bad reply: no reply to 'STATE?' within 1000 ms";
        QTest::newRow("half a line") << "scpi-thermometer"
                                     << "partial"
                                     << "bad reply: a reply to 'MEAS:TEMP?' cut short: no \\n came within 100 ms";
        QTest::newRow("no terminator") << "three-stage-thermometer"
                                       << "no-terminator"
                                       << "bad reply: a reply to 'READ?' cut short: no \\r\\n came within 100 ms";
        QTest::newRow("bytes that are not text") << "scpi-thermometer"
                                                 << "binary"
                                                 << "bad reply: a reply that is not text: '\\x01\\x02\\xff\\xfe'";
        QTest::newRow("an endless line") << "scpi-thermometer"
                                         << "endless"
                                         << "bad reply: 1 line(s) of more than 4096 bytes without their end; dropped";
    }

    void badAnswers()
    {
        QFETCH(QString, name);
        QFETCH(QString, fault);
        QFETCH(QString, said);
        SimulatorProcess sim({QStringLiteral("--protocol"), shipped(name), QStringLiteral("--fault"), fault});
        QVERIFY(sim.started());
        DriverOptions options;
        options.protocol = load(shipped(name));
        options.periodMs = 100;
        LineDriver driver(options);
        Heard heard(&driver);
        QSignalSpy rounds(&driver, &LineDriver::roundDone);
        QVERIFY(driver.open(sim.path()));
        // Two rounds: each bad answer came at least twice.
        QVERIFY2(waitUntil([&] { return rounds.size() >= 2; }), qPrintable(heard.events.join('\n')));
        QCOMPARE(heard.fewest(), 0);
        for (const auto &values : qAsConst(heard.readings))
            QVERIFY(values.isEmpty());
        QVERIFY2(heard.count(said) == 1, qPrintable(heard.events.join('\n')));
        if (fault == "silent") // every query of a round without a reply: the instrument is silent
            QCOMPARE(heard.count("no answer: no reply to any of the last 2 queries"), 1);
    }

    // A peer that closes every connection at once: the link tries again and
    // again, and says so once for the outage.
    void peerClosingAtOnceIsOneEvent()
    {
        SimulatorProcess sim({QStringLiteral("--protocol"), shipped("scpi-thermometer"), QStringLiteral("--tcp"),
                              QStringLiteral("127.0.0.1:0"), QStringLiteral("--fault"), QStringLiteral("close")});
        QVERIFY(sim.started());
        InstrumentConfig config;
        config.name = QStringLiteral("thermo");
        config.driver = QStringLiteral("line");
        config.port = sim.path();
        config.protocol = load(shipped("scpi-thermometer"));
        DriverOptions options;
        options.protocol = config.protocol;
        auto *driver = new LineDriver(options);
        int attempts = 0;
        connect(driver, &InstrumentDriver::lost, this, [&] { ++attempts; });
        InstrumentLink link(config, driver, [] { return qint64(0); });
        QStringList events;
        connect(&link, &InstrumentLink::event, this, [&](const QString &, EventKind kind, const QString &detail) {
            events << eventKindName(kind) + QStringLiteral(": ") + detail;
        });
        link.start();
        QVERIFY(waitUntil([&] { return attempts >= 3; }));
        link.stop();
        QCOMPARE(events.size(), 1);
        QVERIFY2(events.first().startsWith(QStringLiteral("lost: ") + sim.path()), qPrintable(events.first()));
    }

    // Another instrument of the protocol on the port (another serial number)
    // is refused, as a VKRHX350 is.
    void otherSerialNumberIsRefused()
    {
        SimulatorProcess sim({QStringLiteral("--protocol"), shipped("scpi-thermometer"), QStringLiteral("--serial"),
                              QStringLiteral("OTHER")});
        QVERIFY(sim.started());
        InstrumentConfig config;
        config.name = QStringLiteral("thermo");
        config.driver = QStringLiteral("line");
        config.port = sim.path();
        config.serial = QStringLiteral("SN42");
        DriverOptions options;
        options.protocol = load(shipped("scpi-thermometer"));
        auto *driver = new LineDriver(options);
        Heard heard(driver);
        InstrumentLink link(config, driver, [] { return qint64(0); });
        QStringList events;
        connect(&link, &InstrumentLink::event, this, [&](const QString &, EventKind kind, const QString &detail) {
            events << eventKindName(kind) + QStringLiteral(": ") + detail;
        });
        link.start();
        QVERIFY(waitUntil([&] { return !events.isEmpty(); }));
        QCOMPARE(events.first(), QStringLiteral("refused: Refused: the instrument on %1 reports serial number OTHER, "
                                                "not SN42")
                                     .arg(sim.path()));
        link.stop();
        QCOMPARE(heard.fewest(), 0);
    }

    // A monitor with a VKRHX350 and two line instruments, one on a terminal and
    // one on TCP: every channel is a series of the one store, and alarms
    // watch a pressure in its unit and a compressor's state word.
    void everyChannelInOneStore()
    {
        QTemporaryDir dir;
        SimulatorProcess vkrhx350;
        SimulatorProcess thermometers({QStringLiteral("--protocol"), shipped("three-stage-thermometer")});
        SimulatorProcess compressor({QStringLiteral("--protocol"), shipped("compressor"), QStringLiteral("--tcp"),
                                     QStringLiteral("127.0.0.1:0")});
        QVERIFY(vkrhx350.started() && thermometers.started() && compressor.started());
        const QString path = dir.filePath(QStringLiteral("monitor.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[store]\npath=%1\n"
                                  "[instrument/cryo]\nport=%2\nperiod=100\n"
                                  "[instrument/stages]\ndriver=line\nport=%3\nprotocol=%4\nperiod=100\n"
                                  "channels=stage1, stage3\n"
                                  "[instrument/compressor]\ndriver=line\nport=%5\nprotocol=%6\nperiod=100\n"
                                  "[alarm/return-pressure]\ninstrument=compressor:return_pressure\nabove=10\n"
                                  "[alarm/running]\ninstrument=compressor:state\nstate=ON\n")
                       .arg(dir.filePath(QStringLiteral("history.db")), vkrhx350.path(), thermometers.path(),
                            shipped("three-stage-thermometer"), compressor.path(), shipped("compressor"))
                       .toUtf8());
        file.close();
        MonitorConfig config;
        QString error;
        QVERIFY2(readMonitorConfig(path, &config, &error), qPrintable(error));
        Monitor monitor(config);
        QHash<QString, int> readings;
        QHash<QString, QString> units;
        connect(&monitor, &Monitor::readingDurable, this,
                [&](const QString &series, qint64, double, qint64, const QString &unit) {
                    ++readings[series];
                    units[series] = unit;
                });
        QStringList alarms;
        connect(&monitor, &Monitor::alarmChanged, this,
                [&](const QString &alarm, const QString &instrument, bool raised) {
                    if (raised)
                        alarms << QStringLiteral("%1: %2").arg(instrument, alarm);
                });
        QVERIFY(monitor.start());
        const QStringList series{"cryo", "stages:stage1", "stages:stage3", "compressor:state",
                                 "compressor:return_pressure"};
        QVERIFY2(waitUntil([&] {
                     return std::all_of(series.cbegin(), series.cend(),
                                        [&](const QString &name) { return readings.value(name) >= 3; })
                            && alarms.size() >= 2;
                 }),
                 qPrintable(QStringLiteral("%1 / %2").arg(readings.keys().join(','), alarms.join('\n'))));
        QVERIFY(!readings.contains(QStringLiteral("stages:stage2"))); // not among channels=
        QCOMPARE(units.value(QStringLiteral("cryo")), QStringLiteral("K"));
        QCOMPARE(units.value(QStringLiteral("compressor:return_pressure")), QStringLiteral("bar"));
        alarms.sort();
        QCOMPARE(alarms, QStringList({"compressor:return_pressure: return-pressure", "compressor:state: running"}));
        monitor.stop();
        HistoryStore store;
        QVERIFY(store.openForReading(config.storePath));
        // The history says each alarm's value in its channel's words.
        QVector<StoredEvent> events;
        QVERIFY(store.events(QString(), 0, std::numeric_limits<qint64>::max(), &events));
        QStringList raised;
        for (const StoredEvent &event : qAsConst(events)) {
            if (event.kind == EventKind::AlarmRaised)
                raised << event.instrument + QStringLiteral(": ") + event.detail;
        }
        raised.sort();
        QCOMPARE(raised.size(), 2);
        QVERIFY2(raised.at(0).startsWith(QStringLiteral("compressor:return_pressure: return-pressure at 16."))
                     && raised.at(0).endsWith(QStringLiteral(" bar")),
                 qPrintable(raised.at(0)));
        QCOMPARE(raised.at(1), QStringLiteral("compressor:state: running at ON"));
        // Each series' unit is kept with it; a channel's CSV has its values as they came.
        QCOMPARE(store.unitOf(QStringLiteral("cryo")), QStringLiteral("K"));
        QCOMPARE(store.unitOf(QStringLiteral("compressor:return_pressure")), QStringLiteral("bar"));
        QCOMPARE(store.unitOf(QStringLiteral("compressor:state")), QString());
        QString csv;
        QTextStream out(&csv);
        QVERIFY(writeReadingsCsv(store, QStringLiteral("compressor:return_pressure"), 0,
                                 std::numeric_limits<qint64>::max(), out));
        out.flush();
        QVERIFY2(csv.startsWith(QStringLiteral("time,instrument,value,unit\n"))
                     && QRegularExpression(QStringLiteral("\n[0-9T:.-]+Z,compressor:return_pressure,1\\d\\.\\d+,bar\n"))
                            .match(csv)
                            .hasMatch(),
                 qPrintable(csv.left(300)));
        csv.clear();
        QVERIFY(writeReadingsCsv(store, QStringLiteral("cryo"), 0, std::numeric_limits<qint64>::max(), out));
        out.flush();
        QVERIFY(csv.startsWith(QStringLiteral("time,instrument,temperature_K\n")));
        // Each series in the file, and nothing under the instruments' own names.
        for (const QString &name : series + QStringList{"stages", "compressor", "stages:stage2"}) {
            qint64 count = 0;
            QVERIFY(
                store.readings(name, 0, std::numeric_limits<qint64>::max(), [&](const StoredReading &) { ++count; }));
            QVERIFY2(series.contains(name) ? count >= 3 : count == 0, qPrintable(name));
        }
    }
};

FROSTGAUGE_TEST_MAIN(LineDriverTest)
#include "test-line-driver.moc"
