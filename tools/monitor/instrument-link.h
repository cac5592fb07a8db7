#pragma once

// One instrument of the monitor: its port, reopened by itself after a loss,
// the check that the instrument is the one configured, and its readings. A link
// that is lost or refused never holds up the others: each runs on its own
// timers and the shared event loop.

#include "monitor-config.h"

#include <QObject>

class Device;
class PortReconnector;

class InstrumentLink : public QObject
{
    Q_OBJECT

public:
    InstrumentLink(const InstrumentConfig &config, QObject *parent = nullptr);
    void start();
    void stop();

signals:
    void reading(const QString &instrument, qint64 timeMs, double kelvin);
    // kind: "connected", "lost", "refused"; detail says who or why.
    void event(const QString &instrument, const QString &kind, const QString &detail);
    void identity(const QString &instrument, const QString &model, const QString &serialNumber, const QString &version);

private:
    bool open(const QString &path);
    void identified();
    void refuse(const QString &why);
    void lost(const QString &reason);
    void waitForPort(int firstDelayMs = 500);

    InstrumentConfig m_config;
    Device *m_device = nullptr;
    PortReconnector *m_reconnector;
    QString m_knownSerial;
    QString m_lastProblem;
    bool m_connected = false;
};
