// ADC measurement and calibration commands, and the calibration tab.

#include "device/adc-calibration.h"
#include "device/device-serial.h"
#include "support/debug-capture.h"
#include "support/device-on-pty.h"
#include "support/simulator-process.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QSettings>
#include <QStatusBar>

#include <limits>
#include <memory>

class AdcCalibrationTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceOnPty> link;

    QByteArray sent() { return link->peer.takeAfter(); }

    // Hands the terminal to a window, which opens it as the operator would.
    bool openWindowOnLink(MainWindow &window)
    {
        link->device.close();
        if (!openPortInWindow(window, link->peer.path()))
            return false;
        link->peer.waitForBytes(8);
        link->peer.take();
        return true;
    }

private slots:
    void init()
    {
        QSettings().clear();
        link = std::make_unique<DeviceOnPty>();
        QVERIFY(link->opened);
    }

    void cleanup() { link.reset(); }

    void calibrationCommand_data()
    {
        // clang-format off
        QTest::addColumn<double>("offset");
        QTest::addColumn<double>("slope");
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("zeros") << 0.0 << 0.0 << QByteArray(":volt:cal 00000000 00000000\n");
        QTest::newRow("1.5 mV, slope 1") << 0.0015 << 1.0 << QByteArray(":volt:cal 000005dc 01000000\n");
        QTest::newRow("-0.2 mV, slope 0.5") << -0.0002 << 0.5 << QByteArray(":volt:cal ffffff38 00800000\n");
        QTest::newRow("truncated toward zero") << 0.0000019 << -0.00000005
                                               << QByteArray(":volt:cal 00000001 00000000\n");
        QTest::newRow("largest slope that fits") << 0.0 << 127.99999994039536
                                                 << QByteArray(":volt:cal 00000000 7fffffff\n");
        QTest::newRow("slope 1e8 does not fit") << 0.0 << 1e8 << QByteArray();
        QTest::newRow("offset beyond 2147 V") << 2148.0 << 1.0 << QByteArray();
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 1.0 << QByteArray();
        QTest::newRow("infinite slope") << 0.0 << std::numeric_limits<double>::infinity() << QByteArray();
        // clang-format on
    }

    void calibrationCommand()
    {
        QFETCH(double, offset);
        QFETCH(double, slope);
        QFETCH(QByteArray, command);
        DebugCapture debug;
        link->device.sendADCCalibration(offset, slope);
        QCOMPARE(sent(), command);
        if (command.isEmpty())
            QVERIFY(debug.contains("calibration not sent"));
        else
            QVERIFY(debug.contains("calibration command"));
    }

    void measurementsNeedVersion150_data()
    {
        // clang-format off
        QTest::addColumn<uint>("versionNumber");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("not identified") << 0u << QByteArray();
        QTest::newRow("0x0104FFFF") << 0x0104FFFFu << QByteArray();
        QTest::newRow("0x01050000") << 0x01050000u << QByteArray(":volt:raw?\n:volt:unc?\n:volt:cor?\n");
        // clang-format on
    }

    void measurementsNeedVersion150()
    {
        QFETCH(uint, versionNumber);
        link->device.versionNumber = versionNumber;
        link->device.measureRaw();
        link->device.measureUncalibrated();
        link->device.measureCalibrated();
        link->device.provision();
        QTEST(sent(), "expected");
    }

    void offsetAndSlope_data()
    {
        // clang-format off
        QTest::addColumn<QVector<double>>("inputs"); // measured1, measured2, real1, real2
        QTest::addColumn<bool>("computed");
        QTest::addColumn<double>("offset_");
        QTest::addColumn<double>("slope_");
        QTest::newRow("example") << QVector<double>{0.49, 1.49, 0.6, 1.8} << true << 0.01 << 1.2;
        QTest::newRow("equal readings") << QVector<double>{1.0, 1.0 + 5e-8, 0.6, 1.8} << false << 0.0 << 0.0;
        QTest::newRow("equal true voltages") << QVector<double>{0.49, 1.49, 1.0, 1.0} << false << 0.0 << 0.0;
        QTest::newRow("before any reading") << QVector<double>{0.0, 0.0, 0.6, 1.8} << false << 0.0 << 0.0;
        // clang-format on
    }

    void offsetAndSlope()
    {
        QFETCH(QVector<double>, inputs);
        double offset = 0.0, slope = 0.0;
        QTEST(computeAdcCalibration(inputs[0], inputs[1], inputs[2], inputs[3], &offset, &slope), "computed");
        QFETCH(double, offset_);
        QFETCH(double, slope_);
        QVERIFY(qAbs(offset - offset_) < 1e-12);
        QVERIFY(qAbs(slope - slope_) < 1e-12);
    }

    void panelComputesAndSends()
    {
        MainWindow window;
        QVERIFY(openWindowOnLink(window));
        window.device->versionNumber = 0x01050200;

        window.ui->adcCalibrationR1MeasureButton->click();
        QCOMPARE(sent(), QByteArray(":volt:unc?\n"));
        link->peer.write("Vunc = 490000\n");
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->adcCalibrationR1->text(), QStringLiteral("0.490000 V"), limitMs());
        window.ui->adcCalibrationV1->setValue(0.6);

        window.ui->adcCalibrationR2MeasureButton->click();
        QCOMPARE(sent(), QByteArray(":volt:unc?\n"));
        link->peer.write("Vunc = 1490000\n");
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->adcCalibrationR2->text(), QStringLiteral("1.490000 V"), limitMs());
        window.ui->adcCalibrationV2->setValue(1.8);
        QCOMPARE(window.ui->adcCalibrationSlope->text(), QStringLiteral("1.200000000"));
        QCOMPARE(window.ui->adcCalibrationOffset->text(), QStringLiteral("0.010000 V"));

        // The offset is a hair below 10 mV in binary and is truncated, not rounded.
        window.ui->adcCalibrationButton->click();
        QCOMPARE(sent(), QByteArray(":volt:cal 0000270f 01333333\n"));
        window.ui->adcCalibrationRealMasureButton->click();
        QCOMPARE(sent(), QByteArray(":volt:cor?\n"));

        window.ui->adcCalibrationResetButton->click();
        QCOMPARE(sent(), QByteArray(":volt:cal 00000000 00000000\n"));
        QCOMPARE(window.ui->adcCalibrationSlope->text(), QStringLiteral("1.200000000"));
        QCOMPARE(window.ui->adcCalibrationOffset->text(), QStringLiteral("0.010000 V"));

        window.ui->saveButton2->click();
        QCOMPARE(sent(), QByteArray(":save\n"));
    }

    void secondMeasureWaitsForTheFirstReading_data()
    {
        // clang-format off
        QTest::addColumn<bool>("firstIsR1");
        QTest::addColumn<bool>("secondIsR1");
        QTest::newRow("R1 then R2") << true << false;
        QTest::newRow("R2 then R1") << false << true;
        QTest::newRow("R1 twice") << true << true;
        // clang-format on
    }

    void secondMeasureWaitsForTheFirstReading()
    {
        QFETCH(bool, firstIsR1);
        QFETCH(bool, secondIsR1);
        MainWindow window;
        QVERIFY(openWindowOnLink(window));
        window.device->versionNumber = 0x01050200;
        QPushButton *first =
            firstIsR1 ? window.ui->adcCalibrationR1MeasureButton : window.ui->adcCalibrationR2MeasureButton;
        QPushButton *second =
            secondIsR1 ? window.ui->adcCalibrationR1MeasureButton : window.ui->adcCalibrationR2MeasureButton;
        first->click();
        QCOMPARE(sent(), QByteArray(":volt:unc?\n"));
        // The second press asks nothing while the first reading is awaited.
        second->click();
        QCOMPARE(sent(), QByteArray());
        QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("Waiting for the reading")));

        link->peer.write("Vunc = 100000\n");
        QLineEdit *firstField = firstIsR1 ? window.ui->adcCalibrationR1 : window.ui->adcCalibrationR2;
        QLineEdit *otherField = firstIsR1 ? window.ui->adcCalibrationR2 : window.ui->adcCalibrationR1;
        QTRY_COMPARE_WITH_TIMEOUT(firstField->text(), QStringLiteral("0.100000 V"), limitMs());
        QCOMPARE(otherField->text(), QString());
        QCOMPARE(window.adcMeasureTarget, -1);

        // Once answered, the other button measures again.
        second->click();
        QCOMPARE(sent(), QByteArray(":volt:unc?\n"));
        QCOMPARE(window.adcMeasureTarget, secondIsR1 ? 0 : 1);
    }

    void measureOnAnInstrumentWithoutVoltageQueriesAwaitsNothing()
    {
        MainWindow window;
        QVERIFY(openWindowOnLink(window));
        window.device->versionNumber = 0x01040000;
        window.ui->adcCalibrationR1MeasureButton->click();
        QCOMPARE(sent(), QByteArray());
        QCOMPARE(window.adcMeasureTarget, -1);
    }

    void outOfRangeCalibrationIsRefused()
    {
        MainWindow window;
        QVERIFY(openWindowOnLink(window));
        window.adcMeasured1 = 1.0;
        window.adcMeasured2 = 1.0 + 2e-7;
        window.ui->adcCalibrationV1->setValue(0.0);
        window.ui->adcCalibrationV2->setValue(10.0);
        QVERIFY(qAbs(window.adcSlope) > 1e7);
        window.ui->adcCalibrationButton->click();
        QCOMPARE(sent(), QByteArray());
        QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("Calibration not sent")));
    }

    void roundTripWithTheSimulator()
    {
        SimulatorProcess sim({"--adc-input", "0.6"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->modelValue->text(), QStringLiteral("VKRHX350"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());

        window.ui->adcCalibrationRealMasureButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.ui->adcCalibrationRealValue->text().endsWith(QStringLiteral("(uncalibrated)")),
                                 limitMs());

        window.ui->adcCalibrationR1MeasureButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->adcCalibrationR1->text(), QStringLiteral("0.490000 V"), limitMs());
        window.ui->adcCalibrationV1->setValue(0.6);
        // The operator connects the second reference.
        window.device->serialSendCommand(":sim:adc-input 1.8\n");
        window.ui->adcCalibrationR2MeasureButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->adcCalibrationR2->text(), QStringLiteral("1.490000 V"), limitMs());
        window.ui->adcCalibrationV2->setValue(1.8);
        window.ui->adcCalibrationButton->click();

        window.device->serialSendCommand(":sim:adc-input 1.0\n");
        window.ui->adcCalibrationRealMasureButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.ui->adcCalibrationRealValue->text().endsWith(QStringLiteral("(calibrated)")),
                                 limitMs());
        const double volts = window.ui->adcCalibrationRealValue->text().section(' ', 0, 0).toDouble();
        QVERIFY2(qAbs(volts - 1.0) < 5e-6, qPrintable(window.ui->adcCalibrationRealValue->text()));
    }

    void buttonsWithoutPortDoNothing()
    {
        MainWindow window;
        window.ui->adcCalibrationR1MeasureButton->click();
        window.ui->adcCalibrationR2MeasureButton->click();
        window.ui->adcCalibrationRealMasureButton->click();
        window.ui->adcCalibrationButton->click();
        window.ui->adcCalibrationResetButton->click();
        QCOMPARE(window.adcMeasureTarget, -1);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
    }
};

FROSTGAUGE_TEST_MAIN(AdcCalibrationTest)
#include "test-adc-calibration.moc"
