// frostgauge-cli against the simulator (and a bare pty where nothing may arrive).

#include "device/device-serial.h"
#include "device/sensor-curve.h"
#include "support/cli-run.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

#include <sys/stat.h>

class CliTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    using Run = CliRun;

    static Run cli(const QStringList &args, const QByteArray &extraPorts = QByteArray())
    {
        QMap<QString, QString> environment;
        if (!extraPorts.isEmpty())
            environment.insert(QStringLiteral("FROSTGAUGE_EXTRA_PORTS"), QString::fromLocal8Bit(extraPorts));
        return runCli(args, environment);
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
        // clang-format off
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<QString>("message");
        QTest::newRow("set-point") << "relay1:temp=5000" << "outside 0.1 to 1000 K";
        QTest::newRow("hysteresis") << "relay2:hyst=0" << "outside 0.1 to 1000 K";
        QTest::newRow("period") << "rs485:period=50" << "within 100 to 1000 ms";
        QTest::newRow("display") << "display:period=20000" << "outside 100 to 10000 ms";
        QTest::newRow("state") << "relay1:default=2" << "not 0 (off) or 1 (on)";
        QTest::newRow("sensor") << "cal=nitrogen" << "not one of vkr";
        QTest::newRow("unknown key") << "relay3:temp=4" << "known key";
        // clang-format on
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
        // clang-format off
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("identify") << QStringList{"identify"};
        QTest::newRow("set") << QStringList{"set", "relay1:temp=10"};
        QTest::newRow("upgrade") << QStringList{"upgrade", "image.crp", "--yes"};
        // clang-format on
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
        QVERIFY(process.waitForFinished(limitMs()));
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
        QCOMPARE(
            run.out.count(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* \\d+\\.\\d{3} K$",
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
        QVERIFY(monitor.waitForStarted(limitMs()));
        QFile file(csv);
        QTRY_VERIFY_WITH_TIMEOUT(
            file.exists() && file.size() > 0 && QFile(csv).open(QIODevice::ReadOnly) &&
                [&] {
                    QFile f(csv);
                    f.open(QIODevice::ReadOnly);
                    return f.readAll().count('\n') >= 4;
                }(),
            limitMs());
        sim.process().kill();
        QVERIFY(monitor.waitForFinished(limitMs()));
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
        QTRY_VERIFY_WITH_TIMEOUT(saved.exists(), limitMs());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const SensorCurve curve = parseSensorCurve(file);
        QCOMPARE(
            QByteArray::fromHex(QJsonDocument::fromJson(saved.readAll()).object().value("curve").toString().toLatin1()),
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
        QVERIFY2(
            run.err.contains("Calibration upload stopped: no acknowledgement of the write at offset 48 within 1 s"),
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
        QVERIFY(tool.waitForFinished(limitMs()));
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
        // clang-format off
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
        // clang-format on
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
        QVERIFY(tool.waitForFinished(limitMs()));
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
        // clang-format off
        QTest::addColumn<QStringList>("args");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("unknown command") << QStringList{"frobnicate"};
        QTest::newRow("no port") << QStringList{"identify"};
        QTest::newRow("unknown option") << QStringList{"identify", "/dev/null", "--fast"};
        QTest::newRow("bad timeout") << QStringList{"identify", "/dev/null", "--timeout", "soon"};
        QTest::newRow("duration and count") << QStringList{"monitor", "/dev/null", "--duration", "1", "--count", "2"};
        QTest::newRow("long name") << QStringList{"upload-curve", "/dev/null", "FILE", "--name", "TooLongName"};
        // clang-format on
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

    void badNumbersAndFiles_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString timeoutRange = "--timeout takes a number of seconds from 0.001 to 3600";
        const QString durationRange = "--duration takes a number of seconds from 0.001 to 31536000";
        const QString countRange = "--count takes a whole number of readings from 1 to 2147483647";
        for (const char *value : {"nan", "inf", "-1", "0", "1e9"})
            QTest::newRow(qPrintable(QStringLiteral("timeout %1").arg(value)))
                << QStringList{"identify", "PTY", "--timeout", value} << timeoutRange;
        for (const char *value : {"nan", "-inf", "0", "-5", "1e12"})
            QTest::newRow(qPrintable(QStringLiteral("duration %1").arg(value)))
                << QStringList{"monitor", "PTY", "--duration", value} << durationRange;
        for (const char *value : {"0", "-3", "1.5", "many", "99999999999"})
            QTest::newRow(qPrintable(QStringLiteral("count %1").arg(value)))
                << QStringList{"monitor", "PTY", "--count", value} << countRange;
        QTest::newRow("empty port") << QStringList{"identify", ""} << "the PORT given to identify is empty";
        QTest::newRow("curve from a FIFO") << QStringList{"upload-curve", "PTY", "FIFO"}
                                          << "FIFO is a pipe (FIFO), not a regular file";
        QTest::newRow("curve from a folder") << QStringList{"upload-curve", "PTY", "DIR"}
                                            << "DIR is a folder, not a file";
        QTest::newRow("image from a device") << QStringList{"upgrade", "PTY", "/dev/zero", "--yes"}
                                            << "/dev/zero is a device, not a regular file";
        QTest::newRow("curve below absolute zero") << QStringList{"upload-curve", "PTY", "COLD"}
                                                  << "COLD: line 2: -1 K is below absolute zero; nothing was sent";
        // clang-format on
    }

    void badNumbersAndFiles()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        PtyPeer peer;
        const QString fifo = dir.filePath("cli-fifo");
        if (!QFileInfo::exists(fifo))
            mkfifo(QFile::encodeName(fifo).constData(), 0600);
        const QString cold = writeFile("cold.txt", "4.2 1.6\n-1 1.7\n");
        const QStringList from = {"PTY", "FIFO", "DIR", "COLD"};
        const QStringList to = {peer.path(), fifo, dir.path(), cold};
        for (int i = 0; i < from.size(); ++i) {
            args.replaceInStrings(QRegularExpression("^" + from.at(i) + "$"), to.at(i));
            message.replace(QRegularExpression("^" + from.at(i)), to.at(i));
        }
        const Run run = cli(args);
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        // Nothing reached the port: bad input is found before it is opened.
        QCOMPARE(peer.drain(50), QByteArray());
    }

    void curveFromStandardInput()
    {
        SimulatorProcess sim;
        QProcess process;
        process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"upload-curve", sim.path(), "-", "--name", "Piped"});
        process.write("4.2 1.6259\n77 1.02\n300 0.5\n");
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(limitMs()));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().contains("uploaded 3 points as \"Piped\""));
    }

    void monitorCountHoldsInBursts()
    {
        PtyPeer peer;
        QProcess process;
        process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"monitor", peer.path(), "--count", "2"});
        peer.waitForBytes(8);
        peer.write("*T = 1.000 K\n*T = 2.000 K\n*T = 3.000 K\n*T = 4.000 K\n");
        QVERIFY(process.waitForFinished(limitMs()));
        QCOMPARE(process.exitCode(), 0);
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        QCOMPARE(out.count('\n'), 2);
        QVERIFY(out.contains("2.000 K") && !out.contains("3.000 K"));
    }

    void monitorWriteFailuresAreFailures_data()
    {
        // clang-format off
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("message");
        QTest::newRow("full disk (CSV)") << "csv" << "cannot write /dev/full";
        QTest::newRow("full disk (standard output)") << "stdout" << "cannot write standard output";
        QTest::newRow("folder gone") << "gone" << "cannot write";
        // clang-format on
    }

    void monitorWriteFailuresAreFailures()
    {
        QFETCH(QString, target);
        QFETCH(QString, message);
        SimulatorProcess sim;
        QStringList args{"monitor", sim.path(), "--count", "3", "--enable-output", "100"};
        QProcess process;
        if (target == "csv")
            args << "--csv"
                 << "/dev/full";
        else if (target == "gone")
            args << "--csv" << dir.filePath("no-such-folder/run.csv");
        else
            process.setStandardOutputFile("/dev/full");
        process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), args);
        QVERIFY(process.waitForFinished(limitMs()));
        QCOMPARE(process.exitCode(), 1);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    void monitorAcrossALostPort_data()
    {
        // clang-format off
        QTest::addColumn<QString>("returningSerial");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("same instrument returns") << "SIM0001" << 0 << "";
        QTest::newRow("another instrument returns")
            << "OTHER42" << 1 << "reports serial number OTHER42, not SIM0001";
        QTest::newRow("nothing returns") << "" << 1 << "did not return within 10 s";
        // clang-format on
    }

    void monitorAcrossALostPort()
    {
        QFETCH(QString, returningSerial);
        QFETCH(int, code);
        QFETCH(QString, message);
        const QString link = dir.filePath("cli-link");
        const QString state = writeFile("cli-state.json", "{\"rs232:period\": 100}");
        const QString csv = dir.filePath("gap.csv");
        QFile::remove(csv);
        auto sim =
            std::make_unique<SimulatorProcess>(QStringList{"--link", link, "--serial", "SIM0001", "--state", state});
        // Thirty readings in all: a few before the gap, the rest after a return.
        QProcess monitor;
        monitor.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE),
                      {"monitor", link, "--reconnect", "--give-up", "10", "--count", "30", "--csv", csv});
        const auto csvText = [&] {
            QFile file(csv);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(csvText().count(QLatin1Char('\n')) >= 4, limitMs()); // the header and three rows
        sim->process().kill();
        sim->process().waitForFinished(limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(csvText().contains("# lost at "), limitMs());
        if (!returningSerial.isEmpty())
            sim = std::make_unique<SimulatorProcess>(
                QStringList{"--link", link, "--serial", returningSerial, "--state", state});
        QVERIFY(monitor.waitForFinished(limitMs()));
        const QString err = QString::fromUtf8(monitor.readAllStandardError());
        QVERIFY2(monitor.exitCode() == code, qPrintable(err));
        QVERIFY2(err.contains(message), qPrintable(err));

        const QStringList lines = csvText().split('\n', Qt::SkipEmptyParts);
        const int lost = lines.indexOf(QRegularExpression("^# lost at \\S+: connection lost: .*"));
        QVERIFY2(lost > 1, qPrintable(lines.join('\n')));
        // Readings before the gap; after it only when the same instrument came back.
        const QRegularExpression row("^\\S+,\\d+\\.\\d{3},\\d+\\.\\d{3}$");
        QVERIFY(lines.at(lost - 1).contains(row));
        const int back = lines.indexOf(QRegularExpression("^# back at \\S+ after \\d+\\.\\d s$"));
        if (code == 0) {
            // Nothing is made up for the gap: between the two comments there are no rows.
            QVERIFY2(back == lost + 1, qPrintable(lines.join('\n')));
            QVERIFY2(!lines.mid(back + 1).filter(row).isEmpty(), qPrintable(lines.join('\n')));
        } else {
            QVERIFY(!lines.mid(lost + 1).join('\n').contains(row));
        }
    }

    // An instrument that comes back freshly started has its serial output off:
    // --enable-output turns it on again; without it the wait says so and goes
    // on, within --give-up.
    void monitorAcrossARestart_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("readingsAfter");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("output set again") << QStringList{"--enable-output", "100", "--count", "30"} << 0 << true << "";
        QTest::newRow("output off, said") << QStringList{"--duration", "12"} << 0 << false << "";
        QTest::newRow("output off, given up") << QStringList{"--give-up", "5", "--duration", "30"} << 1 << false
                                              << "no temperature reading within 5 s of the instrument's return: its serial output is off";
        // clang-format on
    }

    void monitorAcrossARestart()
    {
        QFETCH(QStringList, options);
        QFETCH(int, code);
        QFETCH(bool, readingsAfter);
        QFETCH(QString, message);
        const QString link = dir.filePath("restart-link");
        const QString csv = dir.filePath("restart.csv");
        QFile::remove(csv);
        // Before the restart the output runs (set by the command or by the saved settings).
        const QString on = writeFile("restart-on.json", "{\"rs232:period\": 100}");
        const QString off = writeFile("restart-off.json", "{\"rs232:period\": 0}");
        auto sim = std::make_unique<SimulatorProcess>(QStringList{"--link", link, "--state", on});
        QProcess monitor;
        monitor.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE),
                      QStringList{"monitor", link, "--reconnect", "--csv", csv} + options);
        const auto csvText = [&] {
            QFile file(csv);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(csvText().count(QLatin1Char('\n')) >= 6, limitMs()); // the header and five rows
        sim->process().kill();
        sim->process().waitForFinished(limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(csvText().contains("# lost at "), limitMs());
        // Freshly started on the same link, its output off as after any start.
        sim = std::make_unique<SimulatorProcess>(QStringList{"--link", link, "--state", off});
        QVERIFY(monitor.waitForFinished(limitMs()));
        const QString err = QString::fromUtf8(monitor.readAllStandardError());
        QVERIFY2(monitor.exitCode() == code, qPrintable(err));
        QVERIFY2(err.contains(message), qPrintable(err));

        const QStringList lines = csvText().split('\n', Qt::SkipEmptyParts);
        const QRegularExpression row("^\\S+,\\d+\\.\\d{3},\\d+\\.\\d{3}$");
        const int back = lines.indexOf(QRegularExpression("^# back at \\S+ after \\d+\\.\\d s$"));
        QVERIFY2(back > 2 && lines.at(back - 1).startsWith("# lost at "), qPrintable(lines.join('\n')));
        const QStringList after = lines.mid(back + 1);
        QCOMPARE(!after.filter(row).isEmpty(), readingsAfter);
        const QStringList said = after.filter(QRegularExpression("^# output off at \\S+: the instrument came back "
                                                                 "with its serial output off"));
        QVERIFY2(said.size() == (readingsAfter ? 0 : 1), qPrintable(lines.join('\n')));
    }

    // A restart on a port that stayed open (the instrument power-cycled behind
    // a powered adapter) is marked, and the output period is sent again.
    void monitorAcrossARestartOnTheSamePort()
    {
        PtyPeer peer;
        QProcess monitor;
        monitor.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE),
                      {"monitor", peer.path(), "--enable-output", "100", "--count", "4", "--timeout", "2"});
        QVERIFY(peer.waitFor(":rs232:period 100\n").endsWith(":rs232:period 100\n"));
        peer.take();
        peer.write("NORDA,VKRHX350,SIM1,1.3.2\n*T = 4.200 K\n*T = 4.201 K\n");
        peer.write("*RESET VKRHX350 restarting\n*APP VKRHX350 1.3.2\n");
        QCOMPARE(peer.waitFor("*IDN?\n"), QByteArray("*IDN?\n"));
        peer.take();
        peer.write("NORDA,VKRHX350,SIM1,1.3.2\n");
        QCOMPARE(peer.waitFor("\n"), QByteArray(":rs232:period 100\n"));
        peer.write("*T = 4.300 K\n*T = 4.301 K\n");
        QVERIFY(monitor.waitForFinished(limitMs()));
        QCOMPARE(monitor.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(monitor.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines.at(2).startsWith("# restarted at "), qPrintable(lines.join('\n')));
        QVERIFY(lines.at(4).endsWith(" 4.301 K"));
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
