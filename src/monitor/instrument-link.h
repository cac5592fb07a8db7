#pragma once

// One instrument of the monitor: its port, reopened by itself after a loss,
// the check that the instrument is the one configured, a shared port's
// client, and its readings. What the instrument says is its driver's
// (drivers/instrument-driver.h). A link that is lost or refused never holds up
// the others: each runs on its own timers and the shared event loop.

#include "device/instrument-identity.h"
#include "drivers/instrument-driver.h"
#include "history/history-event.h"
#include "monitor/common/monitor-config.h"

#include <QElapsedTimer>
#include <QObject>

#include <deque>
#include <functional>

class PortReconnector;
class SharedPort;
class QTimer;

class InstrumentLink : public QObject
{
    Q_OBJECT

public:
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
    // Impossible values in a row, with no possible one between, that make an
    // instrument one that sends only such: said then, not only at the end.
    static constexpr int ImpossibleRunToSay = 10;
    // How long the instrument may take to answer a client's line: a client
    // that leaves sooner after its last line leaves answers on their way,
    // which go to no one.
    static constexpr int AnswerWindowMs = 300;

    using Clock = std::function<qint64()>;

    // The link owns the driver.
    InstrumentLink(const InstrumentConfig &config, InstrumentDriver *driver, Clock clock, QObject *parent = nullptr);
    void start();
    void stop();
    // The series a channel's readings are kept under.
    QString seriesName(int channel) const;

signals:
    void reading(const QString &series, qint64 timeMs, double value, const QString &unit);
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
    void identifyAgain();
    void connected(const InstrumentIdentity &identity);
    void driverReading(int channel, double value);
    void refuse(const QString &why);
    void lost(const QString &reason);
    void waitForPort(int firstDelayMs = 500);
    // The burst of impossible values that just ended, as one event.
    void reportRejected();

    InstrumentConfig m_config;
    InstrumentDriver *m_driver;
    QVector<InstrumentChannel> m_channels;
    Clock m_clock;
    PortReconnector *m_reconnector;
    QString m_knownSerial;
    QString m_lastProblem;
    bool m_connected = false;
    SharedPort *m_share = nullptr;
    struct Rejected {
        qint64 count = 0;
        qint64 firstMs = 0;
        qint64 lastMs = 0;
        double firstValue = 0;
        QString unit;
    };
    Rejected m_rejected;
    std::deque<QByteArray> m_clientLines;
    int m_clientBytes = 0;
    QElapsedTimer m_sinceClientLine; // the last line a client sent went down the line
    QTimer *m_feedTimer;
    QTimer *m_identifyTimer;
    int m_identifyWaitMs = FirstIdentifyWaitMs;
};
