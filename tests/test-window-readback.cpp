// Identification and the staged settings read-back, one query per answer.

#include "device/device-serial.h"
#include "support/pty-peer.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QSettings>
#include <QStatusBar>

#include <memory>

class WindowReadbackTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<MainWindow> window;

    // Plays one reply and returns what the window sent in answer.
    QByteArray answer(const QByteArray &line)
    {
        peer->take();
        peer->write(line + "\n");
        return peer->takeAfter();
    }

private slots:
    void init()
    {
        QSettings().clear();
        peer = std::make_unique<PtyPeer>();
        window = std::make_unique<MainWindow>();
        QVERIFY(openPortInWindow(*window, peer->path()));
        peer->waitForBytes(8);
        peer->take();
    }

    void cleanup()
    {
        window.reset();
        peer.reset();
    }

    void tenQueriesEachAfterItsAnswer()
    {
        const QByteArray first = answer("NORDA,VKRHX350,S-42,1.3.2");
        QCOMPARE(first, QByteArray(":cal?\n"));
        QCOMPARE(window->ui->modelValue->text(), QStringLiteral("VKRHX350"));
        QCOMPARE(window->ui->versionValue->text(), QStringLiteral("1.3.2"));
        QCOMPARE(window->ui->serialNumberValue->text(), QStringLiteral("S-42"));
        QCOMPARE(peer->drain(100), QByteArray()); // nothing more until the answer

        const QList<QPair<QByteArray, QByteArray>> exchange = {
            {"cal = user", ":rs232:period?\n"},
            {"rs232:period = 250", ":rs485:period?\n"},
            {"rs485:period = 0", ":relay1:default?\n"},
            {"relay1:default = 1", ":relay1:temp?\n"},
            {"relay1:temp = not-a-number", ":relay1:hyst?\n"},
            {"relay1:hyst = 2.5", ":relay2:default?\n"},
            {"relay2:default = 1", ":relay2:temp?\n"},
            {"relay2:temp = 4.2", ":relay2:hyst?\n"},
            {"relay2:hyst = 0.75", ":display:period?\n"},
            {"display:period = 500", ""},
        };
        for (const auto &step : exchange)
            QCOMPARE(answer(step.first), step.second);
        QCOMPARE(window->getParametersStage, -1);
        QCOMPARE(answer("relay1:temp = 9"), QByteArray());

        QCOMPARE(window->ui->sensorCombo->currentText(), QStringLiteral("Custom"));
        QCOMPARE(window->ui->sensorNameValue->text(), QStringLiteral("Custom"));
        QCOMPARE(window->ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Enabled"));
        QCOMPARE(window->ui->rs232OutputPeriodSpin->value(), 250.0);
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
        QCOMPARE(window->ui->rs485AutomaticOutputCombo->currentText(), QStringLiteral("Disabled"));
        QCOMPARE(window->ui->relay1DefaultStateCombo->currentText(), QStringLiteral("On"));
        QCOMPARE(window->ui->relay1TempSpin->value(), 9.0); // the non-number changed nothing
        QCOMPARE(window->ui->relay1HystSpin->value(), 2.5);
        QCOMPARE(window->ui->relay2DefaultStateCombo->currentText(), QStringLiteral("On"));
        QCOMPARE(window->ui->relay2TempSpin->value(), 4.2);
        QCOMPARE(window->ui->relay2HystSpin->value(), 0.75);
        QCOMPARE(window->ui->displayRefreshSpin->value(), 500);

        // Shown, not echoed and not stored; the display period alone is remembered.
        QSettings settings;
        QStringList keys = settings.allKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"display-refresh-period", "serial/port-name"}));
        QCOMPARE(settings.value("/display-refresh-period").toInt(), 500);
    }

    void nonNumberChangesNothingButMovesOn()
    {
        window->ui->relay1TempSpin->setValue(55.0);
        peer->take();
        answer("NORDA,VKRHX350,S-42,1.3.2");
        window->getParametersStage = 4;
        QCOMPARE(answer("relay1:temp = warm"), QByteArray(":relay1:hyst?\n"));
        QCOMPARE(window->ui->relay1TempSpin->value(), 55.0);
        window->ui->relay1HystSpin->setValue(3.0);
        peer->drain(30);
        QCOMPARE(answer("relay1:hyst = inf"), QByteArray(":relay2:default?\n"));
        QCOMPARE(window->ui->relay1HystSpin->value(), 3.0);
    }

    void zeroPeriodShowsTheSerialOutputButton()
    {
        answer("rs232:period = 250");
        QVERIFY(window->ui->enableSerialOutputButton->isHidden());
        answer("rs232:period = 0");
        QCOMPARE(window->ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Disabled"));
        QCOMPARE(window->ui->rs232OutputPeriodSpin->value(), 250.0);
        QVERIFY(!window->ui->enableSerialOutputButton->isHidden());
        answer("rs485:period = 700");
        QCOMPARE(window->ui->rs485AutomaticOutputCombo->currentText(), QStringLiteral("Enabled"));
        QCOMPARE(window->ui->rs485OutputPeriodSpin->value(), 700.0);
        QVERIFY(!window->ui->enableSerialOutputButton->isHidden());
    }

    void unknownSensorKeywordKeepsTheSelection()
    {
        window->ui->sensorCombo->setCurrentIndex(3);
        window->ui->sensorNameValue->setText(QStringLiteral("stale"));
        answer("cal = nitrogen");
        QCOMPARE(window->ui->sensorCombo->currentText(), QStringLiteral("ASC"));
        QCOMPARE(window->ui->sensorNameValue->text(), QStringLiteral("ASC"));
    }

    void defaultStateOutsideTheItemsKeepsTheSelection_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("index");
        QTest::newRow("in range") << QByteArray("relay1:default = 0") << 0;
        QTest::newRow("one past the items") << QByteArray("relay1:default = 2") << 1;
        QTest::newRow("far past") << QByteArray("relay1:default = 5") << 1;
        QTest::newRow("negative") << QByteArray("relay1:default = -1") << 1;
        // clang-format on
    }

    void defaultStateOutsideTheItemsKeepsTheSelection()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, index);
        window->ui->relay1DefaultStateCombo->setCurrentIndex(1);
        answer(line);
        QCOMPARE(window->ui->relay1DefaultStateCombo->currentIndex(), index);
        QVERIFY(!window->ui->relay1DefaultStateCombo->currentText().isEmpty());
    }

    void foreignInstrumentGetsNothing()
    {
        // Another maker's line is no identification reply at all: nothing changes.
        QCOMPARE(answer("ACME,TM-9,42,2.0"), QByteArray());
        QCOMPARE(window->ui->modelValue->text(), QStringLiteral("-"));
        QCOMPARE(answer("NORDA,VKRHX999,42,2.0"), QByteArray());
        QCOMPARE(window->ui->modelValue->text(), QStringLiteral("NORDA VKRHX999"));
        QCOMPARE(window->ui->serialNumberValue->text(), QStringLiteral("42"));
        QCOMPARE(window->statusBar()->currentMessage(),
                 QStringLiteral("Not a VKRHX350: NORDA,VKRHX999,42,2.0 answered"));
        QVERIFY(!window->ui->upgradeButton->isEnabled());
        QVERIFY(!window->ui->sensorUploadButton->isEnabled());
        QCOMPARE(window->getParametersStage, -1);
        // Settings and the ADC panel send nothing to it.
        window->ui->relay1TempSpin->setValue(33.0);
        window->ui->saveButton->click();
        window->ui->adcCalibrationResetButton->click();
        QCOMPARE(peer->drain(50), QByteArray());
        QVERIFY(window->statusBar()->currentMessage().startsWith("Not a VKRHX350: nothing is sent"));
        // A VKRHX350 answering later is taken as usual.
        QCOMPARE(answer("NORDA,VKRHX350,S-42,1.3.2"), QByteArray(":cal?\n"));
        QVERIFY(window->ui->upgradeButton->isEnabled());
    }

    void operatorChangeDuringReadBackIsSent()
    {
        answer("NORDA,VKRHX350,S-42,1.3.2");
        QCOMPARE(answer("cal = vkr"), QByteArray(":rs232:period?\n"));
        peer->take();
        window->ui->relay2HystSpin->setValue(3.5);
        QCOMPARE(peer->waitForBytes(19), QByteArray(":relay2:hyst 3.500\n"));
        QCOMPARE(QSettings().value("/relay2-hysteresis").toDouble(), 3.5);
        QCOMPARE(answer("rs232:period = 0"), QByteArray(":rs485:period?\n"));
    }

    void managementIdentificationSendsNoQuery()
    {
        QCOMPARE(answer("NORDA,VKRHX350-BS,S-42,1.3.0"), QByteArray());
        QCOMPARE(window->ui->modelValue->text(), QStringLiteral("VKRHX350-BS"));
        QCOMPARE(window->ui->versionValue->text(), QStringLiteral("1.3.0"));
        QCOMPARE(window->getParametersStage, -1);
    }

    void compatAnswerStartsTheReadBack()
    {
        QCOMPARE(answer("NORDA,VKRHX350,S-9,1.5.2"), QByteArray("@00\n"));
        QCOMPARE(answer("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"), QByteArray(":cal?\n"));
        // A new identification restarts the read-back.
        answer("cal = vkr");
        QCOMPARE(answer("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"), QByteArray(":cal?\n"));
        QCOMPARE(window->getParametersStage, 0);
    }

    void voltageReadings()
    {
        window->adcMeasureTarget = 0;
        answer("Vunc = 500");
        QCOMPARE(window->ui->adcCalibrationR1->text(), QStringLiteral("0.000500 V"));
        QCOMPARE(window->adcMeasured1, 0.0005);
        QCOMPARE(window->adcMeasureTarget, -1);
        answer("Vunc = 700");
        QCOMPARE(window->ui->adcCalibrationR1->text(), QStringLiteral("0.000500 V"));
        QCOMPARE(window->ui->adcCalibrationR2->text(), QString());
        window->adcMeasureTarget = 1;
        answer("Vunc = 1.5");
        QCOMPARE(window->adcMeasureTarget, 1);
        answer("Vunc = -2500000");
        QCOMPARE(window->ui->adcCalibrationR2->text(), QStringLiteral("-2.500000 V"));

        answer("Vcor = -500 C");
        QCOMPARE(window->ui->adcCalibrationRealValue->text(), QStringLiteral("-0.000500 V (calibrated)"));
        answer("Vcor = 2000000");
        QCOMPARE(window->ui->adcCalibrationRealValue->text(), QStringLiteral("2.000000 V (uncalibrated)"));
        answer("Vcor = 1000 U");
        QCOMPARE(window->ui->adcCalibrationRealValue->text(), QStringLiteral("0.001000 V (uncalibrated)"));
        answer("Vcor = 12 X");
        QCOMPARE(window->ui->adcCalibrationRealValue->text(), QStringLiteral("0.001000 V (uncalibrated)"));
    }

    void onlyTheAwaitedKeyAdvancesTheReadBack_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("stray");
        QTest::newRow("late voltage reading") << QByteArray("Vunc = 5");
        QTest::newRow("a later key") << QByteArray("relay1:temp = 12.000");
        QTest::newRow("an echo of the query's key with another case") << QByteArray("CAL = vkr");
        QTest::newRow("unknown key") << QByteArray("foo = 1");
        // clang-format on
    }

    void onlyTheAwaitedKeyAdvancesTheReadBack()
    {
        QFETCH(QByteArray, stray);
        answer("NORDA,VKRHX350,S-42,1.3.2");
        QCOMPARE(window->getParametersStage, 0);
        // The stray line is handled as itself and sends nothing.
        QCOMPARE(answer(stray), QByteArray());
        QCOMPARE(window->getParametersStage, 0);
        if (stray.startsWith("relay1:temp"))
            QCOMPARE(window->ui->relay1TempSpin->value(), 12.0);
        QCOMPARE(answer("cal = vkr"), QByteArray(":rs232:period?\n"));
        QCOMPARE(window->getParametersStage, 1);
    }
};

FROSTGAUGE_TEST_MAIN(WindowReadbackTest)
#include "test-window-readback.moc"
