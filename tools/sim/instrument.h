#pragma once

#include "sensor-physics.h"
#include "settings-file.h"

#include "temperature-profile.h"
#include <QByteArray>
#include <QElapsedTimer>

#include <QObject>
#include <QString>
#include <QVector>

class QTimer;

// A simulated VKRHX350's protocol: its application personality (settings,
// temperature output, ADC, custom curve) and its management personality (flash
// erase and write), answering command lines as the instrument does. The
// physics and the settings file have files of their own.
class Instrument : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QString serialNumber = QStringLiteral("SIM0001");
        QString version = QStringLiteral("1.5.2");
        QString bootVersion = QStringLiteral("1.4.0.0");
        int revision = 1;
        QString statePath;
        QString flashDumpPath;
        int dropAck = 0;                // never acknowledge this write (1-based; 0 = none)
        int hangupAfter = 0;            // hang up after this many received lines (0 = never)
        bool garbage = false;           // interleave lines that are no protocol at all
        bool stayInApplication = false; // a reset never enters the management firmware
        double adcInput = 1.0;
        QString profile; // what the temperature does (TemperatureProfile); empty: a cool-down
    };

    explicit Instrument(const Options &options, QObject *parent = nullptr);

    // Bytes from the tool; complete lines are answered.
    void receive(const QByteArray &bytes);
    // Writes the flash image received so far (with --flash-dump).
    void dumpFlash() const;
    int temperaturesSent() const { return m_temperaturesSent; }

signals:
    // Bytes for the tool: replies, announcements and readings.
    void send(const QByteArray &bytes);
    void hangUpRequested();

private:
    TemperatureProfile m_profile;
    enum class Mode { Application, Bootstrap, Management };

    void handleLine(const QString &line);
    void handleApplication(const QString &line);
    void handleManagement(const QString &line);
    bool handleCommon(const QString &line, bool management);
    void reply(const QString &line);
    void error(const QString &what);
    void startReset();
    void enterApplication();
    void updateTemperatureTimer();
    void emitTemperature();
    double reportedTemperature() const;
    double uncalibratedVolts() const;
    bool acknowledgeWrite();
    void decodeCurve();
    void loadState();
    void saveState() const;
    void sendGarbage();
    QString identification() const;
    QString compatLine() const;

    Options m_options;
    Mode m_mode = Mode::Application;
    QByteArray m_input;
    int m_linesReceived = 0;
    int m_writesSeen = 0;
    int m_temperaturesSent = 0;

    SimulatedSettings m_settings;

    qint32 m_adcOffsetMicrovolts = 0;
    qint32 m_adcSlopeFixed = 0;

    bool m_curveErased = false;
    SimulatedPhysics::CustomCurve m_curve;

    QByteArray m_flash;
    bool m_flashErased = false;

    QTimer *m_temperatureTimer;
    QTimer *m_bootstrapTimer;
    QElapsedTimer m_uptime;
};
