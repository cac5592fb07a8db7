// Settings widgets: every change is stored under its key and, with a port open,
// sent as its exact command. Run under a decimal-comma locale as well.

#include "device/device-serial.h"
#include "support/pty-peer.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QSettings>

#include <memory>

class WindowSettingsTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<MainWindow> window;

    void openPort()
    {
        QVERIFY(openPortInWindow(*window, peer->path()));
        peer->waitForBytes(8);
        peer->take();
    }

    void change(const QString &widgetName, const QVariant &value)
    {
        QWidget *widget = window->findChild<QWidget *>(widgetName);
        QVERIFY2(widget, qPrintable(widgetName));
        if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget))
            spin->setValue(value.toDouble());
        else if (auto *intSpin = qobject_cast<QSpinBox *>(widget))
            intSpin->setValue(value.toInt());
        else if (auto *combo = qobject_cast<QComboBox *>(widget))
            combo->setCurrentIndex(value.toInt());
    }

private slots:
    void init()
    {
        QSettings().clear();
        peer = std::make_unique<PtyPeer>();
        window = std::make_unique<MainWindow>();
    }

    void cleanup()
    {
        window.reset();
        peer.reset();
    }

    void handlers_data()
    {
        // clang-format off
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("command");

        QTest::newRow("relay 1 set-point") << "relay1TempSpin" << QVariant(77.5) << "/relay1-temperature"
                                           << QVariant(77.5) << QByteArray(":relay1:temp 77.500\n");
        QTest::newRow("relay 1 set-point, 4.2") << "relay1TempSpin" << QVariant(4.2) << "/relay1-temperature"
                                                << QVariant(4.2) << QByteArray(":relay1:temp 4.200\n");
        QTest::newRow("relay 2 set-point") << "relay2TempSpin" << QVariant(300.0) << "/relay2-temperature"
                                           << QVariant(300.0) << QByteArray(":relay2:temp 300.000\n");
        QTest::newRow("relay 1 hysteresis") << "relay1HystSpin" << QVariant(0.25) << "/relay1-hysteresis"
                                            << QVariant(0.25) << QByteArray(":relay1:hyst 0.250\n");
        QTest::newRow("relay 2 hysteresis") << "relay2HystSpin" << QVariant(12.345) << "/relay2-hysteresis"
                                            << QVariant(12.345) << QByteArray(":relay2:hyst 12.345\n");
        QTest::newRow("relay 1 default On") << "relay1DefaultStateCombo" << QVariant(1)
                                            << "/relay1-default-state" << QVariant(1)
                                            << QByteArray(":relay1:default 1\n");
        QTest::newRow("relay 2 default On") << "relay2DefaultStateCombo" << QVariant(1)
                                            << "/relay2-default-state" << QVariant(1)
                                            << QByteArray(":relay2:default 1\n");
        QTest::newRow("sensor Custom") << "sensorCombo" << QVariant(4) << "/sensor-id" << QVariant(16)
                                       << QByteArray(":cal user\n");
        QTest::newRow("sensor DT-670") << "sensorCombo" << QVariant(2) << "/sensor-id" << QVariant(2)
                                       << QByteArray(":cal dt-670\n");
        QTest::newRow("sensor DT-400") << "sensorCombo" << QVariant(1) << "/sensor-id" << QVariant(1)
                                       << QByteArray(":cal dt-400\n");
        QTest::newRow("sensor ASC") << "sensorCombo" << QVariant(3) << "/sensor-id" << QVariant(3)
                                    << QByteArray(":cal asc\n");
        QTest::newRow("RS-232 output enabled") << "rs232AutomaticOutputCombo" << QVariant(1)
                                               << "/rs232-automatic-output" << QVariant(1)
                                               << QByteArray(":rs232:period 500\n");
        QTest::newRow("RS-232 period while disabled") << "rs232OutputPeriodSpin" << QVariant(250.0)
                                                      << "/rs232-automatic-output-period"
                                                      << QVariant(250.0) << QByteArray(":rs232:period 0\n");
        QTest::newRow("RS-485 output enabled") << "rs485AutomaticOutputCombo" << QVariant(1)
                                               << "/rs485-automatic-output" << QVariant(1)
                                               << QByteArray(":rs485:period 500\n");
        QTest::newRow("RS-485 period while disabled") << "rs485OutputPeriodSpin" << QVariant(730.0)
                                                      << "/rs485-automatic-output-period"
                                                      << QVariant(730.0) << QByteArray(":rs485:period 0\n");
        QTest::newRow("display refresh") << "displayRefreshSpin" << QVariant(700)
                                         << "/display-refresh-period" << QVariant(700)
                                         << QByteArray(":display:period 700\n");
        // clang-format on
    }

    void handlers()
    {
        QFETCH(QString, widget);
        QFETCH(QVariant, value);
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, command);

        // No port: stored, nothing sent (and nothing fails).
        change(widget, value);
        QCOMPARE(QSettings().value(key).toString(), stored.toString());

        // Back to the value after the build, then the change again with a port open.
        QSettings().clear();
        window = std::make_unique<MainWindow>();
        openPort();
        change(widget, value);
        QCOMPARE(QSettings().value(key).toString(), stored.toString());
        QCOMPARE(peer->waitForBytes(command.size()), command);
        QCOMPARE(peer->drain(30), command);
    }

    void enabledOutputSendsItsPeriod()
    {
        openPort();
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        window->ui->rs232OutputPeriodSpin->setValue(250);
        window->ui->rs485AutomaticOutputCombo->setCurrentIndex(1);
        window->ui->rs485OutputPeriodSpin->setValue(990);
        window->ui->rs485AutomaticOutputCombo->setCurrentIndex(0);
        const QByteArray expected(":rs232:period 500\n:rs232:period 250\n:rs485:period 500\n"
                                  ":rs485:period 990\n:rs485:period 0\n");
        QCOMPARE(peer->waitForBytes(expected.size()), expected);
    }

    void serialOutputButtonFollowsRs232Only()
    {
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
        window->ui->rs485AutomaticOutputCombo->setCurrentIndex(1);
        window->ui->rs485AutomaticOutputCombo->setCurrentIndex(0);
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(0);
        QVERIFY(!window->ui->enableSerialOutputButton->isHidden());
        QCOMPARE(window->ui->sensorNameValue->text(), QStringLiteral("VKR"));
        window->ui->sensorCombo->setCurrentIndex(4);
        QCOMPARE(window->ui->sensorNameValue->text(), QStringLiteral("Custom"));
    }

    void serialOutputButtonWithoutPort()
    {
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(0);
        QVERIFY(!window->ui->enableSerialOutputButton->isHidden());
        window->ui->enableSerialOutputButton->click();
        QCOMPARE(window->ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Enabled"));
        QCOMPARE(QSettings().value("/rs232-automatic-output").toInt(), 1);
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
    }

    void serialOutputButtonWithPort()
    {
        window->ui->rs232OutputPeriodSpin->setValue(100);
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        window->ui->rs232AutomaticOutputCombo->setCurrentIndex(0);
        openPort();
        window->ui->enableSerialOutputButton->click();
        QCOMPARE(peer->waitForBytes(18), QByteArray(":rs232:period 100\n"));
    }

    void saveAndApply()
    {
        window->ui->saveButton->click();
        openPort();
        window->ui->applyButton->click();
        window->ui->saveButton->click();
        window->ui->saveButton2->click();
        QCOMPARE(peer->waitForBytes(12), QByteArray(":save\n:save\n"));
        QCOMPARE(peer->drain(30), QByteArray(":save\n:save\n"));
    }
};

FROSTGAUGE_TEST_MAIN(WindowSettingsTest)
#include "test-window-settings.moc"
