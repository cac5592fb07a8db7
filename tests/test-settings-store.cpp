// A settings store holding values of the wrong type or out of range (edited by
// hand, or written by another version): the window still builds and the
// widgets keep to their ranges.

#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui/settings-file-check.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStatusBar>

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void badValues_data()
    {
        // clang-format off
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
        // clang-format on
    }

    void badValues()
    {
        QFETCH(QVariant, value);
        {
            QSettings settings;
            for (const char *key :
                 {"/serial/port-name", "/sensor-id", "/relay1-temperature", "/relay1-hysteresis",
                  "/relay1-default-state", "/relay2-temperature", "/relay2-hysteresis", "/relay2-default-state",
                  "/rs232-automatic-output", "/rs232-automatic-output-period", "/rs485-automatic-output",
                  "/rs485-automatic-output-period", "/display-refresh-period", "/custom-sensor-name",
                  "/custom-sensor-file", "/ui/sensor-file-last-path", "/ui/firmware-upgrade-last-path"})
                settings.setValue(QLatin1String(key), value);
        }
        MainWindow window;
        window.show();
        QTest::qWait(10);
        for (QDoubleSpinBox *spin :
             {window.ui->relay1TempSpin, window.ui->relay1HystSpin, window.ui->relay2TempSpin,
              window.ui->relay2HystSpin, window.ui->rs232OutputPeriodSpin, window.ui->rs485OutputPeriodSpin}) {
            QVERIFY2(spin->value() >= spin->minimum() && spin->value() <= spin->maximum(),
                     qPrintable(spin->objectName()));
        }
        QVERIFY(window.ui->displayRefreshSpin->value() >= 100 && window.ui->displayRefreshSpin->value() <= 10000);
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

    void hostileFiles_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("setAside");
        // Lines as Qt's INI format encodes them, between two good lines.
        QTest::newRow("list claiming 2^31 items")
            << QByteArray("sensor-id=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)") << true;
        QTest::newRow("the same under another key")
            << QByteArray("other=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)") << true;
        QTest::newRow("string list claiming 2^31 items")
            << QByteArray("relay1-hysteresis=@Variant(\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)") << true;
        QTest::newRow("map claiming 2^31 items")
            << QByteArray("relay2-temperature=@Variant(\\0\\0\\0\\b\\x7f\\xff\\xff\\xff)") << false;
        QTest::newRow("unknown user type")
            << QByteArray("relay2-temperature=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFoo\\0)") << false;
        QTest::newRow("byte array without its end") << QByteArray("custom-sensor-name=@ByteArray(abc") << false;
        QTest::newRow("binary junk") << QByteArray("\x01\x02\xff\xfe junk = = \x00\x00") << false;
        QTest::newRow("a long value") << "custom-sensor-name=" + QByteArray(300000, 'n') << false;
        // clang-format on
    }

    void hostileFiles()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, setAside);
        const QString path = QSettings().fileName();
        QCOMPARE(nativeSettingsPath(), path);
        QFile::remove(path + ".bad");
        writeStore(path, "[General]\nrelay1-temperature=42.5\n" + line + "\nrelay2-hysteresis=7\n");

        MainWindow window;
        window.show();
        QTest::qWait(10);
        // The good values around the bad line are kept.
        QCOMPARE(window.ui->relay1TempSpin->value(), 42.5);
        QCOMPARE(window.ui->relay2HystSpin->value(), 7.0);
        QCOMPARE(QFile::exists(path + ".bad"), setAside);
        if (setAside)
            QVERIFY(window.statusBar()->currentMessage().startsWith("Settings: unreadable values set aside"));
        window.ui->relay1TempSpin->setValue(12.5);
        QCOMPARE(QSettings().value("/relay1-temperature").toDouble(), 12.5);
    }

    void absurdFilesAreSetAsideWhole_data()
    {
        // clang-format off
        QTest::addColumn<bool>("directory");
        QTest::newRow("two mebibytes") << false;
        QTest::newRow("a folder at the path") << true;
        // clang-format on
    }

    void absurdFilesAreSetAsideWhole()
    {
        QFETCH(bool, directory);
        const QString path = QSettings().fileName();
        QFile::remove(path);
        QFile::remove(path + ".bad");
        QDir().rmdir(path + ".bad");
        if (directory)
            QVERIFY(QDir().mkpath(path));
        else
            writeStore(path, "[General]\n" + QByteArray(2 * 1024 * 1024, '#') + "\n");
        {
            MainWindow window;
            QCOMPARE(window.ui->relay1TempSpin->value(), 100.0);
            QVERIFY(window.statusBar()->currentMessage().contains(path + ".bad"));
            window.ui->relay1TempSpin->setValue(12.5);
        }
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(QSettings().value("/relay1-temperature").toDouble(), 12.5);
        QDir(path + ".bad").removeRecursively();
        QFile::remove(path + ".bad");
    }

private:
    static void writeStore(const QString &path, const QByteArray &text)
    {
        QSettings().sync();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
};

FROSTGAUGE_TEST_MAIN(SettingsStoreTest)
#include "test-settings-store.moc"
