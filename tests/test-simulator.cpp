// The simulator as an instrument: driven through a real Device over its
// pseudo-terminal.

#include "device/compat-ids.h"
#include "device/device-serial.h"
#include "support/debug-capture.h"
#include "support/simulator-process.h"
#include "support/test-main.h"
#include "support/wait-limits.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

class SimulatorTest : public QObject
{
    Q_OBJECT

private:
    // Opens a Device on the simulator and waits until it is identified.
    static std::unique_ptr<Device> connectTo(SimulatorProcess &sim)
    {
        auto device = std::make_unique<Device>();
        if (!sim.started() || !device->openPort(sim.path()))
            return nullptr;
        QSignalSpy identified(device.get(), &Device::identified);
        if (!identified.wait(limitMs()))
            return nullptr;
        return device;
    }

    // Sends a query and returns the value of the parameter reply.
    static QString query(Device &device, const QString &command)
    {
        QSignalSpy parameters(&device, &Device::parameterReceived);
        device.serialSendCommand(command);
        if (!parameters.wait(limitMs()))
            return QStringLiteral("<no answer>");
        return parameters.at(0).at(1).toString();
    }

private slots:
    void identifiesWithItsRevision()
    {
        SimulatorProcess sim({"--serial", "A17", "--version", "1.5.2", "--revision", "2"});
        auto device = connectTo(sim);
        QVERIFY(device);
        QCOMPARE(device->manufacturer, QStringLiteral("NORDA"));
        QCOMPARE(device->model, QStringLiteral("VKRHX350"));
        QCOMPARE(device->serialNumber, QStringLiteral("A17"));
        QCOMPARE(device->version, QStringLiteral("1.5.2"));
        QCOMPARE(device->compatId, compatIdBytes(uuid_compat_stm32g070kb_r2));
        QVERIFY(!device->managementMode);
    }

    void oldVersionNeedsNoCompatQuery()
    {
        SimulatorProcess sim({"--version", "1.3.2"});
        auto device = connectTo(sim);
        QVERIFY(device);
        QCOMPARE(device->compatId, compatIdBytes(uuid_compat_stm32g071kb_r1));
    }

    void readBackSetAndSave()
    {
        QTemporaryDir dir;
        const QString statePath = dir.filePath("state.json");
        {
            SimulatorProcess sim({"--state", statePath});
            auto device = connectTo(sim);
            QVERIFY(device);
            const QStringList queries = {
                ":cal?\n",         ":rs232:period?\n",  ":rs485:period?\n",   ":relay1:default?\n",
                ":relay1:temp?\n", ":relay1:hyst?\n",   ":relay2:default?\n", ":relay2:temp?\n",
                ":relay2:hyst?\n", ":display:period?\n"};
            for (const QString &q : queries)
                QVERIFY2(query(*device, q) != QStringLiteral("<no answer>"), qPrintable(q));

            device->serialSendCommand(":relay1:temp 42.125\n");
            device->serialSendCommand(":cal user\n");
            device->serialSendCommand(":rs485:period 250\n");
            device->serialSendCommand(":relay2:default 1\n");
            QCOMPARE(query(*device, ":relay1:temp?\n"), QStringLiteral("42.125"));
            QCOMPARE(query(*device, ":cal?\n"), QStringLiteral("user"));
            device->serialSendCommand(":save\n");
            QCOMPARE(query(*device, ":rs485:period?\n"), QStringLiteral("250"));
        }
        SimulatorProcess restarted({"--state", statePath});
        auto device = connectTo(restarted);
        QVERIFY(device);
        QCOMPARE(query(*device, ":relay1:temp?\n"), QStringLiteral("42.125"));
        QCOMPARE(query(*device, ":cal?\n"), QStringLiteral("user"));
        QCOMPARE(query(*device, ":rs485:period?\n"), QStringLiteral("250"));
        QCOMPARE(query(*device, ":relay2:default?\n"), QStringLiteral("1"));
    }

    void temperaturesAtTheSetPeriod()
    {
        SimulatorProcess sim;
        auto device = connectTo(sim);
        QVERIFY(device);
        QSignalSpy temperatures(device.get(), &Device::temperatureChanged);
        QTest::qWait(300);
        QCOMPARE(temperatures.count(), 0);
        // A slow machine can only make readings late, never early: ten at
        // 100 ms take most of a second (timers may fire up to 5 % early).
        QElapsedTimer clock;
        clock.start();
        device->serialSendCommand(":rs232:period 100\n");
        QTRY_VERIFY_WITH_TIMEOUT(temperatures.count() >= 10, limitMs());
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        const double kelvin = temperatures.last().at(0).toDouble();
        QVERIFY(kelvin > 4.0 && kelvin < 300.0);
        // Once a later query is answered, every reading sent before the stop has arrived.
        device->serialSendCommand(":rs232:period 0\n");
        QCOMPARE(query(*device, ":display:period?\n"), QStringLiteral("500"));
        const int stopped = temperatures.count();
        QTest::qWait(300);
        QCOMPARE(temperatures.count(), stopped);
    }

    void managementModeAndBack()
    {
        SimulatorProcess sim({"--boot-version", "1.4.0.0"});
        auto device = connectTo(sim);
        QVERIFY(device);
        QSignalSpy management(device.get(), &Device::deviceManagementMode);
        QSignalSpy resets(device.get(), &Device::deviceReset);
        device->reset(Device::ResetToManagement);
        QVERIFY(management.wait(limitMs()));
        QCOMPARE(resets.count(), 1);
        QVERIFY(device->managementMode);
        QCOMPARE(device->model, QStringLiteral("VKRHX350-BS"));
        QCOMPARE(device->version, QStringLiteral("1.4.0.0"));

        QSignalSpy restarted(device.get(), &Device::deviceRestarted);
        QSignalSpy identified(device.get(), &Device::identified);
        device->serialSendCommand("boot\n");
        QVERIFY(restarted.wait(limitMs()));
        QTRY_COMPARE_WITH_TIMEOUT(device->model, QStringLiteral("VKRHX350"), limitMs());
        QVERIFY(!device->managementMode);
        QTRY_VERIFY_WITH_TIMEOUT(identified.count() >= 1, limitMs());

        // A plain reset comes back in the application.
        restarted.clear();
        device->reset(Device::ResetNormal);
        QVERIFY(restarted.wait(limitMs()));
        QTRY_VERIFY_WITH_TIMEOUT(!device->managementMode && device->model == QStringLiteral("VKRHX350"), limitMs());
    }

    void flashDumpMatchesTheWrittenImage_data()
    {
        // clang-format off
        QTest::addColumn<QString>("bootVersion");
        QTest::newRow("current command set") << "1.4.0.0";
        QTest::newRow("legacy command set") << "1.3.9";
        // clang-format on
    }

    void flashDumpMatchesTheWrittenImage()
    {
        QFETCH(QString, bootVersion);
        QTemporaryDir dir;
        const QString dumpPath = dir.filePath("flash.bin");
        SimulatorProcess sim({"--flash-dump", dumpPath, "--boot-version", bootVersion});
        auto device = connectTo(sim);
        QVERIFY(device);
        QByteArray image;
        for (int i = 0; i < 1003; ++i)
            image.append(char((i * 7 + 3) & 0xff));
        QSignalSpy restarted(device.get(), &Device::deviceRestarted);
        device->upgradeFirmware(image);
        QVERIFY(restarted.wait(limitMs()));
        QCOMPARE(device->upgradeStage, int(Device::UpgradeIdle));
        QFile dump(dumpPath);
        QVERIFY(dump.open(QIODevice::ReadOnly));
        // The fill that brings the payload to a multiple of 8 goes at the end.
        QCOMPARE(dump.readAll(), image + QByteArray(5, char(0xff)));
    }

    void badInputGetsAnErrorLine_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("unknown command") << QByteArray(":launch:rocket\n");
        QTest::newRow("write before erase") << QByteArray(":cal:write 0000 00112233\n");
        QTest::newRow("value out of range") << QByteArray(":relay1:temp 5000\n");
        QTest::newRow("bad sensor") << QByteArray(":cal nitrogen\n");
        QTest::newRow("voltage query on the management firmware's terms") << QByteArray("@03 000000 00\n");
        // clang-format on
    }

    void badInputGetsAnErrorLine()
    {
        QFETCH(QByteArray, command);
        SimulatorProcess sim;
        auto device = connectTo(sim);
        QVERIFY(device);
        DebugCapture debug;
        device->serialSendCommand(QString::fromLatin1(command));
        QTRY_VERIFY_WITH_TIMEOUT(debug.contains("!ERR"), limitMs());
        QCOMPARE(query(*device, ":display:period?\n"), QStringLiteral("500"));
    }

    void badWritesAreRefusedNotAcknowledged()
    {
        SimulatorProcess sim;
        auto device = connectTo(sim);
        QVERIFY(device);
        DebugCapture debug;
        device->serialSendCommand(":cal:erase\n");
        QTRY_VERIFY_WITH_TIMEOUT(!debug.contains("never"), limitMs()); // let the erase answer pass
        device->serialSendCommand(":cal:write 0000 zz11\n");
        device->serialSendCommand(":cal:write 0030 0011\n");
        device->serialSendCommand(":cal:write 0000 001\n");
        QTRY_COMPARE_WITH_TIMEOUT(debug.lines().filter("!ERR").size(), 3, limitMs());
        QCOMPARE(debug.lines().filter("cal-write-done").size(), 0);
        QCOMPARE(sim.process().state(), QProcess::Running);
    }

    void droppedAcknowledgementStallsTheTransfer()
    {
        SimulatorProcess sim({"--drop-ack", "2"});
        auto device = connectTo(sim);
        QVERIFY(device);
        QSignalSpy progress(device.get(), &Device::progress);
        device->uploadCalibration(QByteArray(200, 'c'));
        QTRY_COMPARE_WITH_TIMEOUT(progress.count(), 3, limitMs()); // erase, first chunk, second chunk
        QTest::qWait(300);
        QCOMPARE(progress.count(), 3);
        QCOMPARE(device->calibrationStage, int(Device::CalibrationWriting));
        QCOMPARE(device->transferPosition, 96);
    }

    void hangUpAfterLines()
    {
        SimulatorProcess sim({"--hangup-after", "3"});
        auto device = connectTo(sim); // "*idn?" and "@00" are its first two lines
        QVERIFY(device);
        QSignalSpy lost(device.get(), &Device::connectionLost);
        QSignalSpy parameters(device.get(), &Device::parameterReceived);
        device->serialSendCommand(":cal?\n");
        QVERIFY(lost.wait(limitMs()));
        QCOMPARE(parameters.count(), 0);
        sim.process().waitForFinished(limitMs());
        QCOMPARE(sim.process().state(), QProcess::NotRunning);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void garbageLeavesEveryReadingIntact()
    {
        SimulatorProcess sim({"--garbage"});
        auto device = connectTo(sim);
        QVERIFY(device);
        DebugCapture debug;
        QSignalSpy temperatures(device.get(), &Device::temperatureChanged);
        device->serialSendCommand(":rs232:period 20\n");
        // The junk is drawn at random: read until each kind has come at least once.
        QTRY_VERIFY_WITH_TIMEOUT(temperatures.count() >= 60 && debug.contains("message from device:  \"#")
                                     && debug.contains("discarding overlong line"),
                                 limitMs());
        for (const QList<QVariant> &reading : temperatures)
            QVERIFY(reading.at(0).toDouble() > 4.0);
        QCOMPARE(query(*device, ":display:period?\n"), QStringLiteral("500"));
    }

    void pacedLineDeliversTheSameImage()
    {
        QTemporaryDir dir;
        const QString dumpPath = dir.filePath("flash.bin");
        SimulatorProcess sim({"--pace-baud", "115200", "--flash-dump", dumpPath});
        auto device = connectTo(sim);
        QVERIFY(device);
        QByteArray image(600, 'i');
        QSignalSpy restarted(device.get(), &Device::deviceRestarted);
        device->upgradeFirmware(image);
        QVERIFY(restarted.wait(limitMs()));
        QFile dump(dumpPath);
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.readAll(), image);
    }

    void linkNamesTheTerminal()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath("ttyVKR");
        {
            SimulatorProcess sim({"--link", linkPath});
            QVERIFY(sim.started());
            QCOMPARE(QFileInfo(linkPath).symLinkTarget(), sim.path());
            Device device;
            QVERIFY(device.openPort(linkPath));
            QSignalSpy identified(&device, &Device::identified);
            QVERIFY(identified.wait(limitMs()));
        }
        QVERIFY(!QFileInfo::exists(linkPath) && !QFileInfo(linkPath).isSymLink());
    }
    // What the temperature does, from the command line and from the port: a
    // step, a reading stuck where it is, a warm-up ramp; a profile that is
    // none is refused with the forms it takes.
    void temperatureProfiles()
    {
        QTemporaryDir dir;
        const QString state = dir.filePath(QStringLiteral("state.json"));
        QFile file(state);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"rs232:period\": 100}");
        file.close();
        SimulatorProcess sim({"--profile", "step 12.5", "--state", state});
        std::unique_ptr<Device> device = connectTo(sim);
        QVERIFY(device);
        QVector<double> readings;
        connect(device.get(), &Device::temperatureChanged, this, [&](double kelvin) { readings << kelvin; });
        QByteArray heard;
        connect(device.get(), &Device::bytesReceived, this, [&](const QByteArray &bytes) { heard += bytes; });
        QVERIFY(waitUntil([&] { return readings.size() >= 3; }));
        for (const double kelvin : qAsConst(readings))
            QVERIFY2(qAbs(kelvin - 12.5) <= 0.006, qPrintable(QString::number(kelvin)));
        device->serialSendCommand("*SIM profile stuck\n");
        QVERIFY(waitUntil([&] { return heard.contains("*SIM OK"); }));
        readings.clear();
        QVERIFY(waitUntil([&] { return readings.size() >= 3; }));
        QCOMPARE(readings.at(1), readings.at(0));
        QCOMPARE(readings.at(2), readings.at(0));
        device->serialSendCommand("*SIM profile ramp 600 300\n"); // a warm-up of 10 K a second
        QVERIFY(waitUntil([&] { return !readings.isEmpty() && readings.last() > 15; }));
        device->serialSendCommand("*SIM profile boil 3\n");
        QVERIFY(waitUntil([&] { return heard.contains("*SIM ERROR 'boil 3' is no profile (cool SECONDS"); }));
        // On the command line, refused before anything starts.
        QProcess refused;
        refused.start(QStringLiteral(FROSTGAUGE_SIM_EXECUTABLE), {"--profile", "quench 300"});
        QVERIFY(refused.waitForFinished(limitMs()));
        QCOMPARE(refused.exitCode(), 2);
        QVERIFY(refused.readAllStandardError().contains("--profile: 'quench 300' is no profile"));
    }
};

FROSTGAUGE_TEST_MAIN(SimulatorTest)
#include "test-simulator.moc"
