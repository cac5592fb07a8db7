#include "mainwindow.h"

#include "combo-index.h"
#include "device/instrument-settings.h"
#include "device/port-reconnect.h"
#include "settings-file-check.h"
#include "settings-keys.h"
#include "ui_mainwindow.h"

#include <QSettings>
#include <QVBoxLayout>

#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_engine.h>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    // Before the store is opened: a line Qt's reader cannot take would stop
    // the window at every start.
    const SettingsFileCheck settingsCheck = checkSettingsFile(nativeSettingsPath());
    settings = new QSettings(this);
    reconnector = new PortReconnector(this);
    connect(reconnector, &PortReconnector::reconnected, this,
            [this](const QString &path) { statusBar()->showMessage(QStringLiteral("Reconnected to %1").arg(path)); });
    ui = new Ui_MainWindow;
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Frostgauge (1.6)"));

    setupPlots();

    ui->sensorCombo->clear();
    for (const InstrumentSettings::SensorCurve &sensor : InstrumentSettings::SensorCurves)
        ui->sensorCombo->addItem(QString::fromLatin1(sensor.name), sensor.code);

    // Restored before anything is connected: restoring sends and stores nothing.
    restoreSettings();

    ui->modelValue->setText(QStringLiteral("-"));
    ui->versionValue->setText(QStringLiteral("-"));
    ui->serialNumberValue->setText(QStringLiteral("-"));

    connectWidgets();

    ui->enableSerialOutputButton->hide();
    device = nullptr;
    statusBar()->showMessage(settingsCheck.dropped.isEmpty() ? QStringLiteral("Port closed") : settingsCheck.message());

    updatingFromDevice = false;
    adcMeasureTarget = -1;
    adcMeasured1 = adcMeasured2 = adcReal1 = adcReal2 = adcOffset = adcSlope = 0.0;
    getParametersStage = -1;
    plotHistoryLength = 300;
    plotClock.start();
    plotSeconds = [this] { return plotClock.elapsed() / 1000.0; };

    // A stored curve file that can still be read is shown and is what Upload sends.
    if (!ui->sensorFileEdit->text().isEmpty())
        loadSensorCurve(ui->sensorFileEdit->text());

    serialPortsRefreshButtonClicked();
    updateAvailability(false);
}

MainWindow::~MainWindow()
{
    delete ui;
    delete settings;
}

void MainWindow::setupPlots()
{
    temperaturePlot = new QwtPlot(this);
    auto *temperatureLayout = new QVBoxLayout;
    temperatureLayout->addWidget(temperaturePlot);
    ui->plotFrame->setLayout(temperatureLayout);
    temperaturePlot->setTitle(QStringLiteral("Temperature"));
    temperaturePlot->enableAxis(QwtPlot::yLeft);
    temperaturePlot->setAxisTitle(QwtPlot::yLeft, QStringLiteral("T, K"));
    temperaturePlot->setAxisTitle(QwtPlot::xBottom, QStringLiteral("t"));
    temperatureCurve = new QwtPlotCurve(QStringLiteral("T"));
    temperatureCurve->setPen(Qt::red, 2);
    temperatureCurve->setAxes(QwtPlot::xBottom, QwtPlot::yLeft);
    temperatureCurve->attach(temperaturePlot);
    temperaturePlot->insertLegend(new QwtLegend, QwtPlot::RightLegend);
    // The live plot is redrawn whole with every read, so a canvas backing store
    // would only be a full-canvas pixmap thrown away and allocated anew each time.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(temperaturePlot->canvas()))
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);

    sensorPlot = new QwtPlot(this);
    auto *sensorLayout = new QVBoxLayout;
    sensorLayout->addWidget(sensorPlot);
    ui->sensorPlotFrame->setLayout(sensorLayout);
    sensorCurve = new QwtPlotCurve(QStringLiteral("Sensor"));
    sensorCurve->setPen(Qt::red, 2);
    sensorCurve->setYAxis(QwtPlot::yLeft);
    sensorCurve->attach(sensorPlot);
    sensorPlot->setTitle(QStringLiteral("Sensor"));
    sensorPlot->enableAxis(QwtPlot::yLeft);
    sensorPlot->setAxisTitle(QwtPlot::yLeft, QStringLiteral("V"));
    sensorPlot->setAxisTitle(QwtPlot::xBottom, QStringLiteral("T"));
    sensorPlot->setAxisScaleEngine(QwtPlot::yLeft, new QwtLogScaleEngine(10));
    sensorPlot->setAxisAutoScale(QwtPlot::yLeft, true);
    sensorPlot->setAxisAutoScale(QwtPlot::xBottom, true);
    sensorPlot->insertLegend(new QwtLegend, QwtPlot::RightLegend);
}

namespace {
void fillBinaryCombo(QComboBox *combo, const QString &off, const QString &on)
{
    combo->clear();
    combo->addItem(off, 0);
    combo->addItem(on, 1);
}
} // namespace

void MainWindow::restoreSettings()
{
    using namespace SettingsKeys;
    const int sensorIndex = ui->sensorCombo->findData(settings->value(SensorId, 0).toInt());
    if (sensorIndex >= 0)
        ui->sensorCombo->setCurrentIndex(sensorIndex);
    ui->sensorNameValue->setText(ui->sensorCombo->currentText());

    ui->relay1TempSpin->setValue(settings->value(Relay1Temperature, 100.0).toDouble());
    ui->relay1HystSpin->setValue(settings->value(Relay1Hysteresis, 10.0).toDouble());
    fillBinaryCombo(ui->relay1DefaultStateCombo, QStringLiteral("Off"), QStringLiteral("On"));
    selectComboIndex(ui->relay1DefaultStateCombo, settings->value(Relay1DefaultState, 0).toInt());
    ui->relay2TempSpin->setValue(settings->value(Relay2Temperature, 150.0).toDouble());
    ui->relay2HystSpin->setValue(settings->value(Relay2Hysteresis, 10.0).toDouble());
    fillBinaryCombo(ui->relay2DefaultStateCombo, QStringLiteral("Off"), QStringLiteral("On"));
    selectComboIndex(ui->relay2DefaultStateCombo, settings->value(Relay2DefaultState, 0).toInt());
    fillBinaryCombo(ui->rs232AutomaticOutputCombo, QStringLiteral("Disabled"), QStringLiteral("Enabled"));
    selectComboIndex(ui->rs232AutomaticOutputCombo, settings->value(Rs232Output, 0).toInt());
    ui->rs232OutputPeriodSpin->setValue(settings->value(Rs232OutputPeriod, 500.0).toDouble());
    fillBinaryCombo(ui->rs485AutomaticOutputCombo, QStringLiteral("Disabled"), QStringLiteral("Enabled"));
    selectComboIndex(ui->rs485AutomaticOutputCombo, settings->value(Rs485Output, 0).toInt());
    ui->rs485OutputPeriodSpin->setValue(settings->value(Rs485OutputPeriod, 500.0).toDouble());
    ui->displayRefreshSpin->setValue(settings->value(DisplayRefreshPeriod, 100).toInt());
    ui->sensorNameEdit->setText(settings->value(CustomSensorName, QStringLiteral("Custom")).toString());
    ui->sensorFileEdit->setText(settings->value(CustomSensorFile, QString()).toString());
}

void MainWindow::connectWidgets()
{
    connect(ui->serialPortsRefreshButton, &QPushButton::clicked, this, &MainWindow::serialPortsRefreshButtonClicked);
    connect(ui->serialPortOpenButton, &QPushButton::clicked, this, &MainWindow::serialPortOpenButtonClicked);
    connect(ui->serialPortCloseButton, &QPushButton::clicked, this, &MainWindow::serialPortCloseButtonClicked);
    connect(ui->enableSerialOutputButton, &QPushButton::clicked, this, &MainWindow::enableSerialOutputButtonClicked);
    connect(ui->plotClearButton, &QPushButton::clicked, this, &MainWindow::plotClearButtonClicked);
    connect(ui->applyButton, &QPushButton::clicked, this, &MainWindow::applyButtonClicked);
    connect(ui->saveButton, &QPushButton::clicked, this, &MainWindow::saveButtonClicked);
    connect(ui->saveButton2, &QPushButton::clicked, this, &MainWindow::saveButtonClicked);
    connect(ui->sensorFileChooseButton, &QPushButton::clicked, this, &MainWindow::sensorFileChooseButtonClicked);
    connect(ui->sensorUploadButton, &QPushButton::clicked, this, &MainWindow::sensorUploadButtonClicked);
    connect(ui->upgradeButton, &QPushButton::clicked, this, &MainWindow::firmwareUpgradeButtonClicked);

    const auto indexChanged = qOverload<int>(&QComboBox::currentIndexChanged);
    const auto doubleChanged = qOverload<double>(&QDoubleSpinBox::valueChanged);
    connect(ui->sensorCombo, indexChanged, this, &MainWindow::sensorChanged);
    connect(ui->relay1TempSpin, doubleChanged, this, &MainWindow::relay1TempSpinChanged);
    connect(ui->relay2TempSpin, doubleChanged, this, &MainWindow::relay2TempSpinChanged);
    connect(ui->relay1HystSpin, doubleChanged, this, &MainWindow::relay1HystSpinChanged);
    connect(ui->relay2HystSpin, doubleChanged, this, &MainWindow::relay2HystSpinChanged);
    connect(ui->relay1DefaultStateCombo, indexChanged, this, &MainWindow::relay1DefaultStateChanged);
    connect(ui->relay2DefaultStateCombo, indexChanged, this, &MainWindow::relay2DefaultStateChanged);
    connect(ui->rs232AutomaticOutputCombo, indexChanged, this, &MainWindow::rs232AutomaticOutputChanged);
    // The period boxes carry doubles without decimals; their slots take whole
    // milliseconds, truncated toward zero.
    connect(ui->rs232OutputPeriodSpin, doubleChanged, this,
            [this](double value) { rs232OutputPeriodSpinChanged(int(value)); });
    connect(ui->rs485AutomaticOutputCombo, indexChanged, this, &MainWindow::rs485AutomaticOutputChanged);
    connect(ui->rs485OutputPeriodSpin, doubleChanged, this,
            [this](double value) { rs485OutputPeriodSpinChanged(int(value)); });
    connect(ui->displayRefreshSpin, qOverload<int>(&QSpinBox::valueChanged), this,
            &MainWindow::displayRefreshSpinChanged);
    connect(ui->adcCalibrationR1MeasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationR1MeasureButtonClicked);
    connect(ui->adcCalibrationR2MeasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationR2MeasureButtonClicked);
    connect(ui->adcCalibrationRealMasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationRealMasureButtonClicked);
    connect(ui->adcCalibrationButton, &QPushButton::clicked, this, &MainWindow::adcCalibrationButtonClicked);
    connect(ui->adcCalibrationResetButton, &QPushButton::clicked, this, &MainWindow::adcCalibrationResetButtonClicked);
    connect(ui->adcCalibrationV1, doubleChanged, this, &MainWindow::adcCalibrationValueChanged);
    connect(ui->adcCalibrationV2, doubleChanged, this, &MainWindow::adcCalibrationValueChanged);
    connect(ui->actionQuit, &QAction::triggered, this, &MainWindow::quitTriggered);
    connect(ui->actionCheckForUpdates, &QAction::triggered, this, &MainWindow::checkForUpdatesTriggered);
}
