// A settings store holding values of the wrong type or out of range (edited by
// hand, or written by another version): the window still builds and the
// widgets keep to their ranges.

#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QSettings>

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void badValues_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("text") << QVariant(QStringLiteral("not a number"));
        QTest::newRow("huge") << QVariant(1e308);
        QTest::newRow("huge negative") << QVariant(-1e308);
        QTest::newRow("negative index") << QVariant(-7);
        QTest::newRow("large int") << QVariant(2147483647);
        QTest::newRow("list") << QVariant(QStringList{"a", "b"});
        QTest::newRow("empty") << QVariant(QString());
        QTest::newRow("nan text") << QVariant(QStringLiteral("nan"));
        QTest::newRow("inf text") << QVariant(QStringLiteral("inf"));
    }

    void badValues()
    {
        QFETCH(QVariant, value);
        {
            QSettings settings;
            for (const char *key :
                 {"/serial/port-name", "/sensor-id", "/relay1-temperature", "/relay1-hysteresis",
                  "/relay1-default-state", "/relay2-temperature", "/relay2-hysteresis",
                  "/relay2-default-state", "/rs232-automatic-output", "/rs232-automatic-output-period",
                  "/rs485-automatic-output", "/rs485-automatic-output-period", "/display-refresh-period",
                  "/custom-sensor-name", "/custom-sensor-file", "/ui/sensor-file-last-path",
                  "/ui/firmware-upgrade-last-path"})
                settings.setValue(QLatin1String(key), value);
        }
        MainWindow window;
        window.show();
        QTest::qWait(10);
        for (QDoubleSpinBox *spin : {window.ui->relay1TempSpin, window.ui->relay1HystSpin,
                                     window.ui->relay2TempSpin, window.ui->relay2HystSpin,
                                     window.ui->rs232OutputPeriodSpin, window.ui->rs485OutputPeriodSpin}) {
            QVERIFY2(spin->value() >= spin->minimum() && spin->value() <= spin->maximum(),
                     qPrintable(spin->objectName()));
        }
        QVERIFY(window.ui->displayRefreshSpin->value() >= 100
                && window.ui->displayRefreshSpin->value() <= 10000);
        QVERIFY(window.ui->sensorCombo->currentIndex() >= 0);
        for (QComboBox *combo : {window.ui->relay1DefaultStateCombo, window.ui->relay2DefaultStateCombo,
                                 window.ui->rs232AutomaticOutputCombo, window.ui->rs485AutomaticOutputCombo})
            QVERIFY(combo->currentIndex() >= -1 && combo->currentIndex() < combo->count());
        QVERIFY(window.ui->sensorNameEdit->text().size() <= 8);
        QVERIFY(window.curveTemperatures.isEmpty());
        // The operator can go on from here: a change is stored as usual.
        window.ui->relay1TempSpin->setValue(12.5);
        QCOMPARE(QSettings().value("/relay1-temperature").toDouble(), 12.5);
    }
};

FROSTGAUGE_TEST_MAIN(SettingsStoreTest)
#include "test-settings-store.moc"
