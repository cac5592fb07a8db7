#pragma once

// One instrument of the monitor: its port, reopened by itself after a loss,
// the check that the instrument is the one configured, and its readings. A link
// that is lost or refused never holds up the others: each runs on its own
// timers and the shared event loop.

#include "device/instrument-identity.h"
#include "history/history-event.h"
#include "monitor/monitor-config.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <deque>

class Device;
class PortReconnector;
class SharedPort;
class QTimer;

class InstrumentLink : public QObject
{
    Q_OBJECT

public:
    // No sensor of the instrument reports more (its curves end well below).
    static constexpr double HottestKelvin = 2000;
    // A client's lines waiting for the instrument, at the most; then the
    // client waits in its own write.
    static constexpr int ClientBacklogBytes = 4096;
    // A client's next line goes to the port once fewer bytes than this wait
    // there to go down the line: what a client that leaves had sent but the
    // instrument did not answer yet stays this small.
    static constexpr int ClientBytesInFlight = 256;
    // How long after an open the instrument has to answer identification
    // before it is said to be silent and asked again, at doubling intervals.
    static constexpr int FirstIdentifyWaitMs = 2000;
    // How long the instrument may take to answer a client's line: a client
    // that leaves sooner after its last line leaves answers on their way,
    // which go to no one.
    static constexpr int AnswerWindowMs = 300;

    InstrumentLink(const InstrumentConfig &config, QObject *parent = nullptr);
    void start();
    void stop();

signals:
    void reading(const QString &instrument, qint64 timeMs, double kelvin);
    // detail says who, what or why.
    void event(const QString &instrument, EventKind kind, const QString &detail);
    void identity(const QString &instrument, const InstrumentIdentity &identity);

private:
    bool open(const QString &path);
    void share();
    void clientLine(const QByteArray &line);
    // Passes the client's waiting lines on as fast as the line takes them.
    void feedInstrument();
    void forwardClientLine(const QByteArray &line);
    void clientLeft();
    // The maintenance went on past its limit: silence alarms count again.
    void maintenanceOverdue();
    void identifyAgain();
    void startApplication();
    void startMaintenance(const QString &why);
    void endMaintenance();
    QString backInApplication() const;
    // The monitor speaks to the instrument only while no client is in the
    // middle of a maintenance exchange.
    void updateListenOnly();
    // Reads the settings once at connect, one query per answer, so that a
    // client's change is recorded with the value it replaced.
    void readBackNext(const QString &answeredKey);
    void identified();
    void refuse(const QString &why);
    void lost(const QString &reason);
    void waitForPort(int firstDelayMs = 500);
    void sendConfiguredSettings();
    // The burst of impossible values that just ended, as one event.
    void reportRejected();

    InstrumentConfig m_config;
    Device *m_device = nullptr;
    PortReconnector *m_reconnector;
    QString m_knownSerial;
    QString m_lastProblem;
    bool m_connected = false;
    SharedPort *m_share = nullptr;
    bool m_maintenance = false;
    bool m_restarted = false;
    struct Rejected {
        qint64 count = 0;
        qint64 firstMs = 0;
        qint64 lastMs = 0;
        double firstValue = 0;
    };
    Rejected m_rejected; // announced its application again, not yet identified
    // The settings as the instrument last reported them (or a client set them).
    QHash<QString, QString> m_settings;
    // Which setting the monitor's own read-back asks next (-1: none running).
    int m_readBack = -1;
    std::deque<QByteArray> m_clientLines;
    int m_clientBytes = 0;
    QElapsedTimer m_sinceClientLine; // the last line a client sent went down the line
    QTimer *m_feedTimer;
    QTimer *m_maintenanceLimit;
    QTimer *m_identifyTimer;
    int m_identifyWaitMs = FirstIdentifyWaitMs;
};
