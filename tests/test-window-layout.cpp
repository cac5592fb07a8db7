// The window's widget tree, construction and restored settings.

#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QAbstractButton>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>

#include <memory>

class WindowLayoutTest : public QObject
{
    Q_OBJECT

private:
    static void clearStore()
    {
        QSettings settings;
        settings.clear();
        settings.sync();
    }
    static QString widgetText(QWidget *widget)
    {
        if (auto *label = qobject_cast<QLabel *>(widget))
            return label->text();
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            return button->text();
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            return edit->text();
        return QString();
    }

private slots:
    void init() { clearStore(); }

    void widgetsAndTexts_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        const char *rows[][3] = {
            {"serialPoerLabel", "QLabel", "Serial port"},
            {"serialPortCombo", "QComboBox", ""},
            {"serialPortsRefreshButton", "QPushButton", "Refresh"},
            {"serialPortOpenButton", "QPushButton", "Open"},
            {"serialPortCloseButton", "QPushButton", "Close"},
            {"temperatureLabel", "QLabel", "Temperature: "},
            {"temperatureValue", "QLabel", "unknown"},
            {"sensorNameLabel_2", "QLabel", "Sensor:"},
            {"enableSerialOutputButton", "QPushButton", "Enable serial output"},
            {"plotClearButton", "QPushButton", "Clear"},
            {"plotFrame", "QFrame", ""},
            {"sensorComboLabel", "QLabel", "Sensor"},
            {"relay1TempLabel", "QLabel", "Relay 1 temperature"},
            {"relay1HystLabel", "QLabel", "Relay 1 hysteresis"},
            {"relay1DefaultStateLabel", "QLabel", "Relay 1 default state"},
            {"relay2TempLabel", "QLabel", "Relay 2 temperature"},
            {"relay2HystLabel", "QLabel", "Relay 2 hysteresis"},
            {"relay2DefaultStateLabel", "QLabel", "Relay 2 default state"},
            {"rs232AutomaticOutputLabel", "QLabel", "RS232 automatic output"},
            {"rs232OutputPeriodLabel", "QLabel", "RS232 output period"},
            {"rs485AutomaticOutputLabel", "QLabel", "RS485 automatic output"},
            {"rs485OutputPeriodLabel", "QLabel", "RS485 output period"},
            {"displayRefreshLabel", "QLabel", "Display refresh period"},
            {"applyButton", "QPushButton", "Apply"},
            {"saveButton", "QPushButton", "Save"},
            {"sensorFileLabel", "QLabel", "Calibration file"},
            {"sensorFileChooseButton", "QPushButton", "Choose..."},
            {"sensorNameLabel", "QLabel", "Sensor name"},
            {"sensorUploadButton", "QPushButton", "Upload"},
            {"sensorPlotFrame", "QFrame", ""},
            {"upgradeButton", "QPushButton", "Upgrade firmware..."},
            {"deviceModelLabel", "QLabel", "Model"},
            {"versionLabel", "QLabel", "Version"},
            {"serialNumberLabel", "QLabel", "Serial number"},
            {"progressLabel", "QLabel", "Progress"},
            {"modelValue", "QLineEdit", "-"},
            {"versionValue", "QLineEdit", "-"},
            {"serialNumberValue", "QLineEdit", "-"},
            {"progressBar", "QProgressBar", ""},
            {"adcCalibrationR1Label", "QLabel", "ADC voltage 1"},
            {"adcCalibrationR1", "QLineEdit", ""},
            {"adcCalibrationR1MeasureButton", "QPushButton", "Measure"},
            {"adcCalibrationV1Label", "QLabel", "Real voltage 1"},
            {"adcCalibrationR2Label", "QLabel", "ADC voltage 2"},
            {"adcCalibrationR2", "QLineEdit", ""},
            {"adcCalibrationR2MeasureButton", "QPushButton", "Measure"},
            {"adcCalibrationV2Label", "QLabel", "Real voltage 2"},
            {"label", "QLabel", "ADC ofset"},
            {"adcCalibrationOffset", "QLineEdit", ""},
            {"label_2", "QLabel", "ADC slope"},
            {"adcCalibrationSlope", "QLineEdit", ""},
            {"adcCalibrationRealLabel", "QLabel", "Calibrated voltage"},
            {"adcCalibrationRealValue", "QLineEdit", ""},
            {"adcCalibrationRealMasureButton", "QPushButton", "Measure"},
            {"adcCalibrationButton", "QPushButton", "Calibrate"},
            {"adcCalibrationResetButton", "QPushButton", "Reset calibration"},
            {"saveButton2", "QPushButton", "Save"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << row[0] << row[1] << row[2];
        // clang-format on
    }

    void widgetsAndTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, text);
        MainWindow window;
        auto *widget = window.findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QCOMPARE(widgetText(widget), text);
    }

    void windowBarsAndTabs()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.size(), QSize(1024, 600));
        QCOMPARE(window.windowTitle(), QStringLiteral("Frostgauge (1.6)"));
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
        QCOMPARE(window.ui->tabWidget->count(), 5);
        const QStringList titles = {"Status", "Settings", "Custom sensor", "Upgrade", "Calibration"};
        const QStringList pages = {"tab", "tab_2", "tab_4", "tab_3", "calibrationTab"};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(window.ui->tabWidget->tabText(i), titles.at(i));
            QCOMPARE(window.ui->tabWidget->widget(i)->objectName(), pages.at(i));
        }
        QCOMPARE(window.ui->tabWidget->currentIndex(), 0);
        QCOMPARE(window.ui->menuMain->title(), QStringLiteral("Main"));
        QCOMPARE(window.ui->menuTools->title(), QStringLiteral("Tools"));
        QCOMPARE(window.ui->menuMain->actions(), QList<QAction *>{window.ui->actionQuit});
        QCOMPARE(window.ui->menuTools->actions(), QList<QAction *>{window.ui->actionCheckForUpdates});
        QCOMPARE(window.ui->actionQuit->text(), QStringLiteral("Quit"));
        QCOMPARE(window.ui->actionCheckForUpdates->text(), QStringLiteral("Check for updates"));
        QVERIFY(window.ui->mainToolBar->actions().isEmpty());
        QCOMPARE(window.toolBarArea(window.ui->mainToolBar), Qt::TopToolBarArea);
        QVERIFY(window.ui->enableSerialOutputButton->isHidden());
        for (QLabel *label : {window.ui->temperatureLabel, window.ui->temperatureValue, window.ui->sensorNameLabel_2,
                              window.ui->sensorNameValue})
            QCOMPARE(label->font().pointSize(), 16);
        QCOMPARE(window.ui->temperatureValue->minimumWidth(), 80);
        QCOMPARE(window.ui->serialPortCombo->sizePolicy().horizontalPolicy(), QSizePolicy::MinimumExpanding);
        QCOMPARE(window.ui->serialPortCombo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(window.ui->sensorPlotFrame->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(window.ui->sensorPlotFrame->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(window.ui->progressBar->value(), 0);
        QCOMPARE(window.ui->gridLayout->spacing(), 6);
        QCOMPARE(window.ui->verticalLayout_3->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(window.ui->sensorNameEdit->maxLength(), 8);
        for (QLineEdit *edit :
             {window.ui->sensorFileEdit, window.ui->modelValue, window.ui->versionValue, window.ui->serialNumberValue,
              window.ui->adcCalibrationR1, window.ui->adcCalibrationR2, window.ui->adcCalibrationOffset,
              window.ui->adcCalibrationSlope, window.ui->adcCalibrationRealValue})
            QVERIFY2(edit->isReadOnly(), qPrintable(edit->objectName()));
        QVERIFY(!window.ui->sensorNameEdit->isReadOnly());
    }

    void formNamesTheWindowOnlyWhenUnnamed()
    {
        QMainWindow named;
        named.setObjectName(QStringLiteral("AlreadyNamed"));
        Ui_MainWindow namedUi;
        namedUi.setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("AlreadyNamed"));
        QCOMPARE(named.windowTitle(), QStringLiteral("Frostgauge"));
    }

    void sensorNameRefusesNinthCharacter()
    {
        MainWindow window;
        window.ui->sensorNameEdit->clear();
        QTest::keyClicks(window.ui->sensorNameEdit, QStringLiteral("ABCDEFGHI"));
        QCOMPARE(window.ui->sensorNameEdit->text(), QStringLiteral("ABCDEFGH"));
    }

    void spinBoxes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<double>("minimum");
        QTest::addColumn<double>("maximum");
        QTest::addColumn<double>("step");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("relay1TempSpin") << "relay1TempSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
        QTest::newRow("relay1HystSpin") << "relay1HystSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
        QTest::newRow("relay2TempSpin") << "relay2TempSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
        QTest::newRow("relay2HystSpin") << "relay2HystSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
        QTest::newRow("rs232OutputPeriodSpin")
            << "rs232OutputPeriodSpin" << 0 << 100.0 << 1000.0 << 10.0 << " ms";
        QTest::newRow("rs485OutputPeriodSpin")
            << "rs485OutputPeriodSpin" << 0 << 100.0 << 1000.0 << 10.0 << " ms";
        QTest::newRow("adcCalibrationV1") << "adcCalibrationV1" << 6 << 0.0 << 10.0 << 0.01 << " V";
        QTest::newRow("adcCalibrationV2") << "adcCalibrationV2" << 6 << 0.0 << 10.0 << 0.01 << " V";
        // clang-format on
    }

    void spinBoxes()
    {
        QFETCH(QString, name);
        MainWindow window;
        auto *spin = window.findChild<QDoubleSpinBox *>(name);
        QVERIFY(spin);
        QTEST(spin->decimals(), "decimals");
        QTEST(spin->minimum(), "minimum");
        QTEST(spin->maximum(), "maximum");
        QTEST(spin->singleStep(), "step");
        QTEST(spin->suffix(), "suffix");
        QVERIFY(!spin->keyboardTracking());
    }

    void displayRefreshSpinBox()
    {
        MainWindow window;
        QSpinBox *spin = window.ui->displayRefreshSpin;
        QCOMPARE(spin->minimum(), 100);
        QCOMPARE(spin->maximum(), 10000);
        QCOMPARE(spin->singleStep(), 100);
        QCOMPARE(spin->value(), 100);
        QCOMPARE(spin->text(), QStringLiteral("100 ms"));
        QVERIFY(!spin->keyboardTracking());
    }

    void upgradePageFocusFollowsCreationOrder()
    {
        MainWindow window;
        const QStringList expected = {"upgradeButton", "serialNumberValue", "progressBar", "versionValue",
                                      "modelValue"};
        QStringList order;
        QWidget *widget = window.ui->upgradeButton;
        for (int i = 0; i < 5; ++i) {
            order << widget->objectName();
            do {
                widget = widget->nextInFocusChain();
            } while (widget->parentWidget() != window.ui->tab_3 || widget->inherits("QLabel"));
        }
        QCOMPARE(order, expected);
    }

    void slotsInMetaObjectOrder()
    {
        const QStringList expected = {
            "quitTriggered()",
            "checkForUpdatesTriggered()",
            "sensorChanged(int)",
            "relay1TempSpinChanged(double)",
            "relay2TempSpinChanged(double)",
            "relay1HystSpinChanged(double)",
            "relay2HystSpinChanged(double)",
            "relay1DefaultStateChanged(int)",
            "relay2DefaultStateChanged(int)",
            "rs232AutomaticOutputChanged(int)",
            "rs232OutputPeriodSpinChanged(int)",
            "rs485AutomaticOutputChanged(int)",
            "rs485OutputPeriodSpinChanged(int)",
            "displayRefreshSpinChanged(int)",
            "serialPortsRefreshButtonClicked()",
            "serialPortOpenButtonClicked()",
            "serialPortCloseButtonClicked()",
            "enableSerialOutputButtonClicked()",
            "plotClearButtonClicked()",
            "applyButtonClicked()",
            "saveButtonClicked()",
            "sensorFileChooseButtonClicked()",
            "sensorUploadButtonClicked()",
            "firmwareUpgradeButtonClicked()",
            "adcCalibrationR1MeasureButtonClicked()",
            "adcCalibrationR2MeasureButtonClicked()",
            "adcCalibrationValueChanged(double)",
            "adcCalibrationRealMasureButtonClicked()",
            "adcCalibrationButtonClicked()",
            "adcCalibrationResetButtonClicked()",
            "deviceIdentified()",
            "deviceReset()",
            "deviceRestarted()",
            "temperatureChanged(double)",
            "deviceProgress(int,int)",
            "deviceParameterReceived(QString,QString)",
        };
        const QMetaObject &meta = MainWindow::staticMetaObject;
        QCOMPARE(QString::fromLatin1(meta.className()), QStringLiteral("MainWindow"));
        QStringList actual;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Public);
            actual << QString::fromLatin1(method.methodSignature());
        }
        QCOMPARE(actual, expected);
        QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    }

    void emptyStoreGivesDefaults()
    {
        MainWindow window;
        QCOMPARE(window.ui->sensorCombo->count(), 5);
        const QStringList texts = {"VKR", "DT-400", "DT-670", "ASC", "Custom"};
        const QList<int> codes = {0, 1, 2, 3, 16};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(window.ui->sensorCombo->itemText(i), texts.at(i));
            QCOMPARE(window.ui->sensorCombo->itemData(i).toInt(), codes.at(i));
        }
        QCOMPARE(window.ui->sensorCombo->currentText(), QStringLiteral("VKR"));
        QCOMPARE(window.ui->sensorNameValue->text(), QStringLiteral("VKR"));
        QCOMPARE(window.ui->relay1TempSpin->text(), QStringLiteral("100.000 K"));
        QCOMPARE(window.ui->relay1HystSpin->text(), QStringLiteral("10.000 K"));
        QCOMPARE(window.ui->relay2TempSpin->text(), QStringLiteral("150.000 K"));
        QCOMPARE(window.ui->relay2HystSpin->text(), QStringLiteral("10.000 K"));
        QCOMPARE(window.ui->relay1DefaultStateCombo->currentText(), QStringLiteral("Off"));
        QCOMPARE(window.ui->relay2DefaultStateCombo->currentText(), QStringLiteral("Off"));
        QCOMPARE(window.ui->relay1DefaultStateCombo->itemData(1).toInt(), 1);
        QCOMPARE(window.ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Disabled"));
        QCOMPARE(window.ui->rs485AutomaticOutputCombo->currentText(), QStringLiteral("Disabled"));
        QCOMPARE(window.ui->rs485AutomaticOutputCombo->itemText(1), QStringLiteral("Enabled"));
        QCOMPARE(window.ui->rs232OutputPeriodSpin->text(), QStringLiteral("500 ms"));
        QCOMPARE(window.ui->rs485OutputPeriodSpin->text(), QStringLiteral("500 ms"));
        QCOMPARE(window.ui->sensorNameEdit->text(), QStringLiteral("Custom"));
        QCOMPARE(window.ui->sensorFileEdit->text(), QString());
        QCOMPARE(window.ui->displayRefreshSpin->value(), 100);
        QCOMPARE(window.ui->temperatureValue->text(), QStringLiteral("unknown"));
        QCOMPARE(window.getParametersStage, -1);
        QCOMPARE(window.adcMeasureTarget, -1);
        QCOMPARE(window.plotHistoryLength, 300);
        QVERIFY(!window.device);
        QVERIFY(window.plotClock.isValid());
        QVERIFY(QSettings().allKeys().isEmpty());
    }

    void storedValuesAreRestoredWithoutSideEffects()
    {
        {
            QSettings settings;
            settings.setValue("/sensor-id", 3);
            settings.setValue("/relay1-temperature", 77.5);
            settings.setValue("/relay1-hysteresis", 2.25);
            settings.setValue("/relay1-default-state", 1);
            settings.setValue("/relay2-temperature", 4.2);
            settings.setValue("/relay2-hysteresis", 0.5);
            settings.setValue("/relay2-default-state", 1);
            settings.setValue("/rs232-automatic-output", 1);
            settings.setValue("/rs232-automatic-output-period", 250.0);
            settings.setValue("/rs485-automatic-output", 1);
            settings.setValue("/rs485-automatic-output-period", 730.0);
            settings.setValue("/display-refresh-period", 700);
            settings.setValue("/custom-sensor-name", "Probe7");
            settings.setValue("/custom-sensor-file", "/nonexistent/curve.txt");
        }
        const QString storePath = QSettings().fileName();
        QFile store(storePath);
        QVERIFY(store.open(QIODevice::ReadOnly));
        const QByteArray before = store.readAll();
        store.close();

        MainWindow window;
        QCOMPARE(window.ui->sensorCombo->currentText(), QStringLiteral("ASC"));
        QCOMPARE(window.ui->sensorNameValue->text(), QStringLiteral("ASC"));
        QCOMPARE(window.ui->relay1TempSpin->value(), 77.5);
        QCOMPARE(window.ui->relay1HystSpin->value(), 2.25);
        QCOMPARE(window.ui->relay1DefaultStateCombo->currentText(), QStringLiteral("On"));
        QCOMPARE(window.ui->relay2TempSpin->value(), 4.2);
        QCOMPARE(window.ui->relay2HystSpin->value(), 0.5);
        QCOMPARE(window.ui->relay2DefaultStateCombo->currentText(), QStringLiteral("On"));
        QCOMPARE(window.ui->rs232AutomaticOutputCombo->currentText(), QStringLiteral("Enabled"));
        QCOMPARE(window.ui->rs232OutputPeriodSpin->value(), 250.0);
        QCOMPARE(window.ui->rs485AutomaticOutputCombo->currentText(), QStringLiteral("Enabled"));
        QCOMPARE(window.ui->rs485OutputPeriodSpin->value(), 730.0);
        QCOMPARE(window.ui->displayRefreshSpin->value(), 700);
        QCOMPARE(window.ui->sensorNameEdit->text(), QStringLiteral("Probe7"));
        QCOMPARE(window.ui->sensorFileEdit->text(), QStringLiteral("/nonexistent/curve.txt"));

        QVERIFY(store.open(QIODevice::ReadOnly));
        QCOMPARE(store.readAll(), before);
    }

    void storedSensorId_data()
    {
        // clang-format off
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("16 selects Custom") << 16 << "Custom";
        QTest::newRow("3 selects ASC") << 3 << "ASC";
        QTest::newRow("5 leaves VKR") << 5 << "VKR";
        QTest::newRow("-1 leaves VKR") << -1 << "VKR";
        // clang-format on
    }

    void storedSensorId()
    {
        QFETCH(int, stored);
        QFETCH(QString, shown);
        QSettings().setValue("/sensor-id", stored);
        MainWindow window;
        QCOMPARE(window.ui->sensorCombo->currentText(), shown);
        QCOMPARE(window.ui->sensorNameValue->text(), shown);
    }

    void outOfRangeStoredValues()
    {
        {
            QSettings settings;
            settings.setValue("/relay1-temperature", 0.0);
            settings.setValue("/relay2-temperature", 5000.0);
            settings.setValue("/relay1-hysteresis", "not a number");
            settings.setValue("/rs232-automatic-output-period", 0.0);
            settings.setValue("/rs485-automatic-output-period", 99999.0);
            settings.setValue("/relay1-default-state", 2);
            settings.setValue("/rs485-automatic-output", -5);
            settings.setValue("/display-refresh-period", 5);
        }
        MainWindow window;
        QCOMPARE(window.ui->relay1TempSpin->value(), 0.1);
        QCOMPARE(window.ui->relay2TempSpin->value(), 1000.0);
        QCOMPARE(window.ui->relay1HystSpin->value(), 0.1);
        QCOMPARE(window.ui->rs232OutputPeriodSpin->value(), 100.0);
        QCOMPARE(window.ui->rs485OutputPeriodSpin->value(), 1000.0);
        // An index the combo has no item for leaves it at its first item, never blank.
        QCOMPARE(window.ui->relay1DefaultStateCombo->currentIndex(), 0);
        QCOMPARE(window.ui->rs485AutomaticOutputCombo->currentIndex(), 0);
        QCOMPARE(window.ui->displayRefreshSpin->value(), 100);
    }

    void sharedSlots()
    {
        MainWindow window;
        // Both real-voltage boxes run the same computation; both Save buttons the
        // same slot (which, with no port, does nothing and fails nothing).
        window.adcMeasured1 = 0.49;
        window.adcMeasured2 = 1.49;
        window.ui->adcCalibrationV1->setValue(0.6);
        QCOMPARE(window.adcReal1, 0.6);
        window.ui->adcCalibrationV2->setValue(1.8);
        QCOMPARE(window.adcReal2, 1.8);
        QCOMPARE(window.ui->adcCalibrationSlope->text(), QStringLiteral("1.200000000"));
        window.ui->saveButton->click();
        window.ui->saveButton2->click();
        window.ui->applyButton->click();
        window.ui->actionCheckForUpdates->trigger();
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
    }

    void periodChangeReachesSlotAsInt()
    {
        MainWindow window;
        window.ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
        window.ui->rs232OutputPeriodSpin->setValue(250);
        QCOMPARE(QSettings().value("/rs232-automatic-output-period").toDouble(), 250.0);
    }
};

FROSTGAUGE_TEST_MAIN(WindowLayoutTest)
#include "test-window-layout.moc"
