#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QVector>

#include <functional>

class Device;
class PortReconnector;
class QSettings;
class QwtPlot;
class QwtPlotCurve;
class Ui_MainWindow;

// The program's one window: instrument connection, settings, live plot and the
// maintenance tabs (custom sensor curve, firmware upgrade, ADC calibration).
// Its slots live in one source file per concern.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    Ui_MainWindow *ui;
    QwtPlot *temperaturePlot;
    QwtPlotCurve *temperatureCurve;
    QwtPlot *sensorPlot;
    QwtPlotCurve *sensorCurve;
    QSettings *settings;
    Device *device;
    int getParametersStage;
    bool updatingFromDevice;
    double lastTemperature;
    int adcMeasureTarget;
    double adcMeasured1, adcMeasured2, adcReal1, adcReal2, adcOffset, adcSlope;
    int plotHistoryLength;
    QElapsedTimer plotClock;
    QVector<double> plotTimes, plotAges, plotTemperatures;
    QVector<double> curveTemperatures, curveVoltages;

public slots:
    void quitTriggered();
    void checkForUpdatesTriggered();
    void sensorChanged(int index);
    void relay1TempSpinChanged(double value);
    void relay2TempSpinChanged(double value);
    void relay1HystSpinChanged(double value);
    void relay2HystSpinChanged(double value);
    void relay1DefaultStateChanged(int index);
    void relay2DefaultStateChanged(int index);
    void rs232AutomaticOutputChanged(int index);
    void rs232OutputPeriodSpinChanged(int value);
    void rs485AutomaticOutputChanged(int index);
    void rs485OutputPeriodSpinChanged(int value);
    void displayRefreshSpinChanged(int value);
    void serialPortsRefreshButtonClicked();
    void serialPortOpenButtonClicked();
    void serialPortCloseButtonClicked();
    void enableSerialOutputButtonClicked();
    void plotClearButtonClicked();
    void applyButtonClicked();
    void saveButtonClicked();
    void sensorFileChooseButtonClicked();
    void sensorUploadButtonClicked();
    void firmwareUpgradeButtonClicked();
    void adcCalibrationR1MeasureButtonClicked();
    void adcCalibrationR2MeasureButtonClicked();
    void adcCalibrationValueChanged(double value);
    void adcCalibrationRealMasureButtonClicked();
    void adcCalibrationButtonClicked();
    void adcCalibrationResetButtonClicked();
    void deviceIdentified();
    void deviceReset();
    void deviceRestarted();
    void temperatureChanged(double value);
    void deviceProgress(int state, int stateMax);
    void deviceParameterReceived(const QString &key, const QString &value);

public:
    void updateAvailability(bool open);
    // Routes the signals of `device` (just opened) to the window.
    void connectDevice();
    // Sends a settings command, if a port is open and no transfer holds the line.
    void sendSetting(const QString &command);

    // Waits for a lost port to come back and opens it again as Open does.
    PortReconnector *reconnector;

    // Seconds on the plot's time base; the live plot reads the clock only here,
    // so tests can stand in a clock of their own.
    std::function<double()> plotSeconds;

private:
    void getParameters();
    void pushPoint();
    void scheduleReplot();
    void setupPlots();
    void restoreSettings();
    void connectWidgets();
    void endConnection(const QString &statusText);
    // The Open path: a new Device on the named port, shared by the button and
    // the reconnection.
    bool openPortNamed(const QString &name);
    void portLost(const QString &reason);
    void loadSensorCurve(const QString &path);
    bool refuseConcurrentTransfer(bool startingUpgrade);
    // True (with a status-bar message) when a command must not go out now: an
    // upload or upgrade holds the line, or what answered is not a VKRHX350.
    bool lineClosedToCommands();
    void deviceNotRecognized(const QString &answer);
    void setTransferRunning(bool running);
    void deviceTransferEnded(bool upgrade, bool succeeded, const QString &message);
    void measureReference(int target);
    int rs232OutputPeriod() const;
    int rs485OutputPeriod() const;

    bool replotPending = false;
    // The port of the open (or lost) connection, and the serial number of the
    // instrument a reconnection must find there again (empty: any).
    QString openPortName;
    QString reconnectSerial;
    // Started when a reference reading is asked for; a reading that has not
    // come within a few seconds no longer holds the measure buttons.
    QElapsedTimer adcMeasureClock;
};
