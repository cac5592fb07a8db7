// The table of the instrument's settings: the commands it formats, the values
// it refuses, and that the window's widgets allow what it allows.

#include "device/instrument-settings.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

class InstrumentSettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void setCommands_data()
    {
        // clang-format off
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("error");
        QTest::newRow("sensor") << "cal" << "dt-670" << ":cal dt-670\n" << "";
        QTest::newRow("unknown sensor") << "cal" << "pt100" << ""
                                        << "cal: pt100 is not one of vkr, dt-400, dt-670, asc, user";
        QTest::newRow("set-point, three decimals") << "relay1:temp" << "77.5" << ":relay1:temp 77.500\n" << "";
        QTest::newRow("set-point at the floor") << "relay2:hyst" << "0.1" << ":relay2:hyst 0.100\n" << "";
        QTest::newRow("set-point below") << "relay1:temp" << "0.05" << "" << "relay1:temp: 0.05 is outside 0.1 to 1000 K";
        QTest::newRow("set-point not a number") << "relay2:temp" << "nan" << "" << "relay2:temp: nan is outside 0.1 to 1000 K";
        QTest::newRow("state") << "relay2:default" << "1" << ":relay2:default 1\n" << "";
        QTest::newRow("state 2") << "relay1:default" << "2" << "" << "relay1:default: 2 is not 0 (off) or 1 (on)";
        QTest::newRow("output off") << "rs232:period" << "0" << ":rs232:period 0\n" << "";
        QTest::newRow("output period") << "rs485:period" << "1000" << ":rs485:period 1000\n" << "";
        QTest::newRow("output period too short") << "rs232:period" << "50" << ""
                                                 << "rs232:period: 50 is neither 0 (output off) nor within 100 to 1000 ms";
        QTest::newRow("display") << "display:period" << "10000" << ":display:period 10000\n" << "";
        QTest::newRow("display too slow") << "display:period" << "10001" << ""
                                          << "display:period: 10001 is outside 100 to 10000 ms";
        // clang-format on
    }

    void setCommands()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, error);
        const InstrumentSettings::Setting *setting = InstrumentSettings::find(key);
        QVERIFY(setting);
        QString command, message;
        QCOMPARE(InstrumentSettings::setCommand(*setting, value, &command, &message), error.isEmpty());
        QTEST(command, "command");
        QCOMPARE(message, error);
        // The command read back as the monitor reads a client's line.
        if (!command.isEmpty()) {
            QString carried;
            QCOMPARE(InstrumentSettings::fromCommand(command.toLatin1(), &carried), setting);
            QCOMPARE(carried, command.section(QLatin1Char(' '), 1).trimmed());
        }
    }

    void linesThatSetNothing_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("query") << QByteArray(":relay1:temp?\n");
        QTest::newRow("curve write") << QByteArray(":cal:write 0000 00ff\n");
        QTest::newRow("curve erase") << QByteArray(":cal:erase\n");
        QTest::newRow("no line end yet") << QByteArray(":relay1:temp 4.200");
        QTest::newRow("reset") << QByteArray(":system:reset\n");
        QTest::newRow("identification") << QByteArray("*IDN?\n");
        // clang-format on
    }

    void linesThatSetNothing()
    {
        QFETCH(QByteArray, line);
        QString value;
        QVERIFY(!InstrumentSettings::fromCommand(line, &value));
    }

    void everySettingReadsBackUnderItsKey()
    {
        QCOMPARE(InstrumentSettings::SettingCount, 10);
        for (const InstrumentSettings::Setting &setting : InstrumentSettings::Settings)
            QCOMPARE(QString::fromLatin1(setting.query), QStringLiteral(":%1?\n").arg(setting.key));
        QVERIFY(!InstrumentSettings::find("Vunc"));
    }

    void theWindowAllowsWhatTheTableAllows()
    {
        MainWindow window;
        const struct {
            const char *key;
            QDoubleSpinBox *spin;
        } doubles[] = {
            {"relay1:temp", window.ui->relay1TempSpin},         {"relay1:hyst", window.ui->relay1HystSpin},
            {"relay2:temp", window.ui->relay2TempSpin},         {"relay2:hyst", window.ui->relay2HystSpin},
            {"rs232:period", window.ui->rs232OutputPeriodSpin}, {"rs485:period", window.ui->rs485OutputPeriodSpin},
        };
        for (const auto &row : doubles) {
            const InstrumentSettings::Setting *setting = InstrumentSettings::find(row.key);
            QCOMPARE(row.spin->minimum(), setting->minimum);
            QCOMPARE(row.spin->maximum(), setting->maximum);
        }
        const InstrumentSettings::Setting *display = InstrumentSettings::find("display:period");
        QCOMPARE(double(window.ui->displayRefreshSpin->minimum()), display->minimum);
        QCOMPARE(double(window.ui->displayRefreshSpin->maximum()), display->maximum);
        for (const char *key : {"relay1:default", "relay2:default"}) {
            const InstrumentSettings::Setting *state = InstrumentSettings::find(key);
            QCOMPARE(double(window.ui->relay1DefaultStateCombo->count() - 1), state->maximum);
        }
        QCOMPARE(window.ui->sensorCombo->count(), int(std::size(InstrumentSettings::SensorCurves)));
        for (const InstrumentSettings::SensorCurve &sensor : InstrumentSettings::SensorCurves) {
            const int index = window.ui->sensorCombo->findData(sensor.code);
            QVERIFY(index >= 0);
            QCOMPARE(window.ui->sensorCombo->itemText(index), QString::fromLatin1(sensor.name));
        }
    }
};

FROSTGAUGE_TEST_MAIN(InstrumentSettingsTest)
#include "test-instrument-settings.moc"
