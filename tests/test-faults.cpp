// Faults end to end through the window: the line hung up in the middle of each
// exchange, a dropped acknowledgement, and junk between real replies.

#include "device/device-serial.h"
#include "support/simulator-process.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>

#include <sys/resource.h>

namespace {
double processCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray testImage(int size)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char(i ^ (i >> 8)));
    return bytes;
}
} // namespace

class FaultTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    static void expectLostAndQuiet(MainWindow &window)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!window.device, limitMs());
        QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("Connection lost: ")));
        QVERIFY(window.ui->serialPortOpenButton->isEnabled());
        QVERIFY(!window.ui->serialPortCloseButton->isEnabled());
        const double before = processCpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(processCpuSeconds() - before < 0.2, "busy after the line was lost");
    }

    static void waitForReadBack(MainWindow &window)
    {
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->modelValue->text(), QStringLiteral("VKRHX350"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
    }

    // Opens a fresh simulator and runs a whole upgrade to the end.
    void upgradeCompletes(MainWindow &window)
    {
        const QString dump = dir.filePath("flash-after.bin");
        SimulatorProcess sim({"--flash-dump", dump});
        window.ui->modelValue->clear();
        QVERIFY(openPortInWindow(window, sim.path()));
        waitForReadBack(window);
        const QByteArray image = testImage(1000);
        window.device->upgradeFirmware(image);
        QTRY_VERIFY_WITH_TIMEOUT(window.device->upgradeStage == Device::UpgradeIdle && !window.device->managementMode,
                                 limitMs());
        QFile flash(dump);
        QTRY_VERIFY_WITH_TIMEOUT(flash.exists(), limitMs());
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), image);
    }

private slots:
    void init() { QSettings().clear(); }

    void hangUpDuringReadBack()
    {
        // "*idn?", "@00", then the read-back's third query is the last line heard.
        SimulatorProcess sim({"--hangup-after", "5"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        expectLostAndQuiet(window);
        QVERIFY(!QTest::currentTestFailed());
        QVERIFY(window.getParametersStage >= 0);
        upgradeCompletes(window);
    }

    void hangUpDuringCalibrationUpload()
    {
        // Identification 2, read-back 10, erase 1, then the third write.
        SimulatorProcess sim({"--hangup-after", "16"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        waitForReadBack(window);
        window.curveTemperatures.resize(30);
        window.curveVoltages.fill(1.0, 30);
        QSignalSpy progress(window.device, &Device::progress);
        window.ui->sensorUploadButton->click();
        expectLostAndQuiet(window);
        QVERIFY(!QTest::currentTestFailed());
        QVERIFY(progress.count() >= 3);
        upgradeCompletes(window);
    }

    void hangUpDuringFirmwareUpgrade()
    {
        // Identification 2, read-back 10, reset, "*IDN?", "@00", erase, then the
        // third write.
        SimulatorProcess sim({"--hangup-after", "19"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        waitForReadBack(window);
        window.device->upgradeFirmware(testImage(2000));
        expectLostAndQuiet(window);
        QVERIFY(!QTest::currentTestFailed());
        upgradeCompletes(window);
    }

    void droppedAcknowledgementStallsOnlyTheTransfer()
    {
        const QString dump = dir.filePath("flash-dropped.bin");
        SimulatorProcess sim({"--drop-ack", "2", "--flash-dump", dump});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        waitForReadBack(window);
        window.device->upgradeFirmware(testImage(1000));
        QTRY_COMPARE_WITH_TIMEOUT(window.device->transferPosition, 224, limitMs());
        QTest::qWait(300);
        QCOMPARE(window.device->upgradeStage, int(Device::UpgradeWriting));
        QCOMPARE(window.device->transferPosition, 224);

        // Everything else still works: the instrument answers, readings arrive.
        QSignalSpy parameters(window.device, &Device::parameterReceived);
        window.device->serialSendCommand(":cal?\n");
        QVERIFY(!parameters.wait(300)); // management firmware: no such query
        window.ui->serialPortCloseButton->click();
        QVERIFY(!window.device);

        // Reopened: still the management firmware, so the upgrade starts with the erase.
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_VERIFY_WITH_TIMEOUT(window.device->managementMode, limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(!window.device->compatId.isEmpty(), limitMs());
        const QByteArray image = testImage(1000);
        window.device->upgradeFirmware(image);
        QTRY_VERIFY_WITH_TIMEOUT(!window.device->managementMode, limitMs());
        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), image);
    }

    void garbageBetweenRealReplies()
    {
        SimulatorProcess sim({"--garbage"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        waitForReadBack(window);
        QCOMPARE(window.ui->displayRefreshSpin->value(), 500);
        QSignalSpy readings(window.device, &Device::temperatureChanged);
        window.ui->rs232OutputPeriodSpin->setValue(100);
        window.ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        window.ui->rs232OutputPeriodSpin->setValue(20);
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 100, limitMs());
        window.ui->rs232AutomaticOutputCombo->setCurrentIndex(0);
        // Once a later query is answered, every reading sent before the stop has arrived.
        QSignalSpy parameters(window.device, &Device::parameterReceived);
        window.device->serialSendCommand(":display:period?\n");
        QVERIFY(parameters.wait(limitMs()));
        QVERIFY(window.device->receiveBuffer.size() <= Device::MaxLineLength);
        sim.stop();
        const QByteArray report = sim.process().readAllStandardError();
        const QRegularExpressionMatch sent =
            QRegularExpression("sent (\\d+) temperature readings").match(QString::fromLatin1(report));
        QVERIFY2(sent.hasMatch(), report.constData());
        QCOMPARE(readings.count(), sent.captured(1).toInt());
        QCOMPARE(window.plotTemperatures.size(), qMin(300, int(readings.count())));
    }
};

FROSTGAUGE_TEST_MAIN(FaultTest)
#include "test-faults.moc"
