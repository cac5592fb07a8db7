// frostgauge-cli against the simulator (and a bare pty where nothing may arrive).

#include "device/device-serial.h"
#include "device/sensor-curve.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

class CliTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    struct Run {
        int code = -1;
        QString out;
        QString err;
    };

    static Run cli(const QStringList &args, const QByteArray &extraPorts = QByteArray())
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!extraPorts.isEmpty())
            environment.insert("FROSTGAUGE_EXTRA_PORTS", QString::fromLocal8Bit(extraPorts));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), args);
        Run run;
        if (!process.waitForFinished(60000))
            return run;
        run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    QString writeFile(const QString &name, const QByteArray &data) { return writeTestFile(dir, name, data); }

private slots:
    void portsIncludeExtraPorts()
    {
        const Run run = cli({"ports"}, "/dev/pts/9991:/tmp/vkr-bridge");
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.endsWith("/dev/pts/9991\n/tmp/vkr-bridge\n"));
    }

    void identify()
    {
        SimulatorProcess sim({"--serial", "CLI-7", "--revision", "2"});
        const Run run = cli({"identify", sim.path()});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("manufacturer: NORDA\nmodel: VKRHX350\nserial number: CLI-7\n"
                                         "version: 1.5.2\n"
                                         "compatibility identifier: 21de3ef209bf4a7883a09eb750df2e57\n"));
    }

    void getInTheWindowsOrder()
    {
        SimulatorProcess sim;
        Run run = cli({"get", sim.path()});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("cal = dt-670\nrs232:period = 0\nrs485:period = 0\n"
                                         "relay1:default = 0\nrelay1:temp = 77.000\nrelay1:hyst = 2.000\n"
                                         "relay2:default = 0\nrelay2:temp = 150.000\nrelay2:hyst = 5.000\n"
                                         "display:period = 500\n"));
        run = cli({"get", sim.path(), "relay2:temp", "cal", "--json"});
        QCOMPARE(run.code, 0);
        const QJsonObject json = QJsonDocument::fromJson(run.out.toUtf8()).object();
        QCOMPARE(json.value("relay2:temp").toString(), QStringLiteral("150.000"));
        QCOMPARE(json.value("cal").toString(), QStringLiteral("dt-670"));
        QCOMPARE(json.size(), 2);
        QCOMPARE(cli({"get", sim.path(), "relay9:temp"}).code, 2);
    }

    void setReadsBackAndSaves()
    {
        const QString state = dir.filePath("cli-state.json");
        {
            SimulatorProcess sim({"--state", state});
            const Run run = cli({"set", sim.path(), "relay1:temp=4.2", "cal=user", "rs232:period=250",
                                 "display:period=700", "relay2:default=1", "--save"});
            QCOMPARE(run.code, 0);
            QVERIFY2(run.out.contains("relay1:temp = 4.200\n") && run.out.contains("cal = user\n"),
                     qPrintable(run.out));
        }
        SimulatorProcess restarted({"--state", state});
        const Run run = cli({"get", restarted.path(), "relay1:temp", "rs232:period", "display:period"});
        QCOMPARE(run.out, QStringLiteral("relay1:temp = 4.200\nrs232:period = 250\ndisplay:period = 700\n"));
    }

    void outOfRangeSendsNothing_data()
    {
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<QString>("message");
        QTest::newRow("set-point") << "relay1:temp=5000" << "outside 0.1 to 1000 K";
        QTest::newRow("hysteresis") << "relay2:hyst=0" << "outside 0.1 to 1000 K";
        QTest::newRow("period") << "rs485:period=50" << "within 100 to 1000 ms";
        QTest::newRow("display") << "display:period=20000" << "outside 100 to 10000 ms";
        QTest::newRow("state") << "relay1:default=2" << "not 0 (off) or 1 (on)";
        QTest::newRow("sensor") << "cal=nitrogen" << "not one of vkr";
        QTest::newRow("unknown key") << "relay3:temp=4" << "known key";
    }

    void outOfRangeSendsNothing()
    {
        QFETCH(QString, assignment);
        QFETCH(QString, message);
        PtyPeer peer;
        const Run run = cli({"set", peer.path(), "relay1:temp=10", assignment});
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(peer.drain(50), QByteArray());
    }

    void foreignInstrumentIsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("identify") << QStringList{"identify"};
        QTest::newRow("set") << QStringList{"set", "relay1:temp=10"};
        QTest::newRow("upgrade") << QStringList{"upgrade", "image.crp", "--yes"};
    }

    void foreignInstrumentIsRefused()
    {
        QFETCH(QStringList, arguments);
        PtyPeer peer;
        if (arguments.first() == "upgrade")
            arguments[1] = writeFile("image.crp", QByteArray(200, 'i'));
        arguments.insert(1, peer.path());
        QProcess process;
        process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), arguments + QStringList{"--timeout", "2"});
        QCOMPARE(peer.waitForBytes(8), QByteArray("\x03\n*idn?\n"));
        peer.take();
        peer.write("ACME,TM-9,42,2.0\n*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\n");
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains("not a VKRHX350 (ACME,TM-9,42,2.0 answered)"), qPrintable(err));
        // Nothing but the identification went to it.
        QCOMPARE(peer.drain(50), QByteArray());
    }

    void monitorWritesCsv()
    {
        SimulatorProcess sim;
        const QString csv = dir.filePath("log.csv");
        Run run = cli({"monitor", sim.path(), "--count", "4", "--enable-output", "100", "--csv", csv});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out.count(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* \\d+\\.\\d{3} K$",
                                                  QRegularExpression::MultilineOption)),
                 4);
        run = cli({"monitor", sim.path(), "--count", "2", "--csv", csv});
        QCOMPARE(run.code, 0);
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines.first(), QStringLiteral("time,elapsed_s,temperature_K"));
        QCOMPARE(lines.filter("time,").size(), 1);
        QVERIFY(QRegularExpression("^\\S+,\\d+\\.\\d{3},\\d+\\.\\d{3}$").match(lines.last()).hasMatch());
    }

    void monitorWithoutOutputTimesOut()
    {
        SimulatorProcess sim;
        const Run run = cli({"monitor", sim.path(), "--timeout", "1", "--count", "3"});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains("no temperature reading within 1 s"), qPrintable(run.err));
    }

    void monitorKeepsRowsWhenTheLineDrops()
    {
        SimulatorProcess sim;
        const QString csv = dir.filePath("dropped.csv");
        QProcess monitor;
        monitor.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE),
                      {"monitor", sim.path(), "--enable-output", "100", "--csv", csv});
        QVERIFY(monitor.waitForStarted());
        QFile file(csv);
        QTRY_VERIFY_WITH_TIMEOUT(file.exists() && file.size() > 0 && QFile(csv).open(QIODevice::ReadOnly)
                                     && [&] { QFile f(csv); f.open(QIODevice::ReadOnly); return f.readAll().count('\n') >= 4; }(),
                                 5000);
        sim.process().kill();
        QVERIFY(monitor.waitForFinished(5000));
        QCOMPARE(monitor.exitCode(), 1);
        QVERIFY(monitor.readAllStandardError().contains("connection lost"));
        const QByteArray printed = monitor.readAllStandardOutput();
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = file.readAll().split('\n');
        // Every reading printed is also in the file.
        QCOMPARE(rows.size() - 2, printed.count('\n'));
    }

    void measure()
    {
        SimulatorProcess sim({"--adc-input", "0.6"});
        Run run = cli({"measure", sim.path()});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("0.490000 V\n"));
        run = cli({"measure", sim.path(), "--calibrated"});
        QCOMPARE(run.out, QStringLiteral("0.490000 V (uncalibrated)\n"));
        SimulatorProcess old({"--version", "1.4.2"});
        run = cli({"measure", old.path()});
        QCOMPARE(run.code, 1);
        QVERIFY(run.err.contains("needs 1.5.0.0"));
    }

    void uploadCurve()
    {
        const QString state = dir.filePath("curve-state.json");
        SimulatorProcess sim({"--state", state});
        const QByteArray file("4.2 1.6259\n10 1.4207\n77 1.0253\n");
        const QString path = writeFile("curve.txt", file);
        Run run = cli({"upload-curve", sim.path(), path, "--name", "Probe7"});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains("uploaded 3 points"));
        QCOMPARE(cli({"set", sim.path(), "cal=user", "--save"}).code, 0);
        QFile saved(state);
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const SensorCurve curve = parseSensorCurve(file);
        QCOMPARE(QByteArray::fromHex(QJsonDocument::fromJson(saved.readAll()).object().value("curve").toString().toLatin1()),
                 sensorCurveRecord("Probe7", curve.temperatures, curve.voltages));

        run = cli({"upload-curve", sim.path(), writeFile("empty.txt", "no points\n")});
        QCOMPARE(run.code, 2);
        QVERIFY(run.err.contains("no calibration points"));
    }

    void droppedAcknowledgementTimesOut()
    {
        SimulatorProcess sim({"--drop-ack", "2"});
        QByteArray file;
        for (int i = 0; i < 20; ++i)
            file += QByteArray::number(4 + i) + " " + QByteArray::number(1.6 - i * 0.01) + "\n";
        const Run run = cli({"upload-curve", sim.path(), writeFile("long.txt", file), "--timeout", "1"});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains("Calibration upload stopped: no acknowledgement of the write at offset 48 within 1 s"),
                 qPrintable(run.err));
    }

    void upgrade()
    {
        QByteArray build;
        for (int i = 0; i < 5000; ++i)
            build.append(char(i * 7));
        QProcess tool;
        const QString image = dir.filePath("cli.crp");
        tool.start(QStringLiteral(FROSTGAUGE_IMAGE_EXECUTABLE),
                   {"create", "--output", image, "--version", "1.6", "--build", "r1=" + writeFile("b.bin", build)});
        QVERIFY(tool.waitForFinished());
        const QString dump = dir.filePath("cli-flash.bin");
        SimulatorProcess sim({"--flash-dump", dump});

        Run run = cli({"upgrade", sim.path(), image});
        QCOMPARE(run.code, 2);
        QVERIFY(run.out.contains("Upgrade firmware from version 1.5.2 to version 1.6?"));
        QVERIFY(run.err.contains("--yes"));

        run = cli({"upgrade", sim.path(), image, "--yes"});
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.contains("upgraded: VKRHX350 version 1.5.2"), qPrintable(run.out + run.err));
        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);

        run = cli({"upgrade", sim.path(), writeFile("bad.crp", QByteArray(300, 'x')), "--yes"});
        QCOMPARE(run.code, 2);
        QVERIFY(run.err.contains("invalid or unsupported firmware file"));
    }

    void upgradeThatCannotProceed_data()
    {
        QTest::addColumn<QStringList>("simulatorOptions");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("retryCompletes");
        QTest::newRow("instrument stays in its application")
            << QStringList{"--stay-in-application"}
            << QString::fromLatin1(Device::NotInManagementFirmware) << false;
        QTest::newRow("write never acknowledged")
            << QStringList{"--drop-ack", "2"}
            << QStringLiteral("Firmware upgrade stopped: no acknowledgement of the write at offset 112 "
                              "within 1 s. The instrument waits in its management firmware")
            << true;
    }

    void upgradeThatCannotProceed()
    {
        QFETCH(QStringList, simulatorOptions);
        QFETCH(QString, message);
        QFETCH(bool, retryCompletes);
        QByteArray build;
        for (int i = 0; i < 1000; ++i)
            build.append(char(i * 13));
        QProcess tool;
        const QString image = dir.filePath("stall.crp");
        tool.start(QStringLiteral(FROSTGAUGE_IMAGE_EXECUTABLE),
                   {"create", "--output", image, "--version", "1.6", "--build", "r1=" + writeFile("s.bin", build)});
        QVERIFY(tool.waitForFinished());
        const QString dump = dir.filePath("stall-flash.bin");
        QFile::remove(dump);
        SimulatorProcess sim(simulatorOptions + QStringList{"--flash-dump", dump});

        Run run = cli({"upgrade", sim.path(), image, "--yes", "--timeout", "1"});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        if (!retryCompletes) {
            // Nothing erased, nothing written.
            sim.stop();
            QFile flash(dump);
            QVERIFY(!flash.exists() || (flash.open(QIODevice::ReadOnly) && flash.readAll().isEmpty()));
            return;
        }
        // Left in its management firmware, the instrument takes the upgrade again.
        run = cli({"upgrade", sim.path(), image, "--yes", "--timeout", "1"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("unknown command") << QStringList{"frobnicate"};
        QTest::newRow("no port") << QStringList{"identify"};
        QTest::newRow("unknown option") << QStringList{"identify", "/dev/null", "--fast"};
        QTest::newRow("bad timeout") << QStringList{"identify", "/dev/null", "--timeout", "soon"};
        QTest::newRow("duration and count") << QStringList{"monitor", "/dev/null", "--duration", "1", "--count", "2"};
        QTest::newRow("long name") << QStringList{"upload-curve", "/dev/null", "FILE", "--name", "TooLongName"};
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        args.replaceInStrings("FILE", writeFile("ok.txt", "4.2 1.6\n"));
        const Run run = cli(args);
        QCOMPARE(run.code, 2);
        QVERIFY(!run.err.isEmpty());
        QCOMPARE(cli({"get", "--help"}).code, 0);
    }

    void unopenablePortFails()
    {
        const Run run = cli({"identify", "/nonexistent/ttyNOPE"});
        QCOMPARE(run.code, 1);
        QVERIFY(run.err.contains("cannot open port /nonexistent/ttyNOPE"));
    }
};

FROSTGAUGE_TEST_MAIN(CliTest)
#include "test-cli.moc"
