// The window against the simulated instrument, end to end.

#include "device/device-serial.h"
#include "support/simulator-process.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>

#include <qwt_plot_curve.h>

class WindowSimulatorTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void readBackEditSaveAndReadings()
    {
        QTemporaryDir dir;
        const QString statePath = dir.filePath("state.json");
        SimulatorProcess sim({"--state", statePath, "--serial", "E2E-1", "--version", "1.5.2"});
        QVERIFY(sim.started());

        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->serialNumberValue->text(), QStringLiteral("E2E-1"), limitMs());
        QCOMPARE(window.ui->modelValue->text(), QStringLiteral("VKRHX350"));
        QCOMPARE(window.ui->versionValue->text(), QStringLiteral("1.5.2"));
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());

        // The simulator's own values, not the stored defaults.
        QCOMPARE(window.ui->sensorCombo->currentText(), QStringLiteral("DT-670"));
        QCOMPARE(window.ui->relay1TempSpin->value(), 77.0);
        QCOMPARE(window.ui->relay1HystSpin->value(), 2.0);
        QCOMPARE(window.ui->relay2TempSpin->value(), 150.0);
        QCOMPARE(window.ui->relay2HystSpin->value(), 5.0);
        QCOMPARE(window.ui->displayRefreshSpin->value(), 500);
        QCOMPARE(window.ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Disabled"));
        QVERIFY(!window.ui->enableSerialOutputButton->isHidden());

        window.ui->relay1TempSpin->setValue(81.25);
        QSignalSpy parameters(window.device, &Device::parameterReceived);
        window.device->serialSendCommand(":relay1:temp?\n");
        QVERIFY(parameters.wait(limitMs()));
        QCOMPARE(parameters.last().at(1).toString(), QStringLiteral("81.250"));

        window.ui->saveButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(statePath), limitMs());
        QFile state(statePath);
        QVERIFY(state.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(state.readAll()).object().value("relay1:temp").toDouble(), 81.25);

        window.ui->rs232OutputPeriodSpin->setValue(100);
        window.ui->enableSerialOutputButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.plotTemperatures.size() >= 5, limitMs());
        QVERIFY(window.ui->temperatureValue->text().endsWith(QStringLiteral(" K")));
        QCOMPARE(window.temperatureCurve->dataSize(), size_t(window.plotTemperatures.size()));
        QCOMPARE(window.temperatureCurve->sample(int(window.temperatureCurve->dataSize()) - 1).x(), 0.0);

        window.ui->serialPortCloseButton->click();
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
    }
};

FROSTGAUGE_TEST_MAIN(WindowSimulatorTest)
#include "test-window-simulator.moc"
