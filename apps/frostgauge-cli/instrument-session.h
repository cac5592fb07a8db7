#pragma once

// A scripted session with one instrument: the same Device as the window, with
// every wait bounded by a time-out so that a script never hangs.

#include "device/device-serial.h"

#include <QString>

#include <functional>

class InstrumentSession
{
public:
    // How long open() waits for a shared port that another client holds.
    static constexpr int SharedPortWaitMs = 1000;

    explicit InstrumentSession(int timeoutMs);

    // Opens the port (a device path or a name from the port list). False with
    // error() set when it cannot be opened.
    bool open(const QString &port);
    // Waits for the identification (and, from 1.4.0.0 on, the compatibility
    // identifier).
    bool identify();
    // open() and identify(): what every command but monitor starts with.
    bool openIdentified(const QString &port);
    // Lets the last command leave before the port closes.
    void flushWrites();
    // Runs the event loop until done() holds, the link is lost or timeoutMs
    // passes; `what` names the awaited thing in the error.
    bool waitUntil(const std::function<bool()> &done, const QString &what, int timeoutMs = -1);
    // Sends a query and waits for the parameter reply with this key.
    bool query(const QString &command, const QString &key, QString *value);

    Device &device() { return m_device; }
    QString error() const { return m_error; }
    void setError(const QString &error) { m_error = error; }
    bool connectionLost() const { return m_lost; }
    // After a loss the session may wait for the port and open it again.
    void clearLost() { m_lost = false; }
    int timeoutMs() const { return m_timeoutMs; }

private:
    Device m_device;
    int m_timeoutMs;
    bool m_lost = false;
    bool m_identified = false;
    QString m_foreign;
    QByteArray m_received;
    QString m_otherAnswer;
    QString m_error;
    QString m_lastKey;
    QString m_lastValue;
    int m_parameterCount = 0;
};

// Resolves a port given by the operator: a device path, a system name, or a
// line of the port list.
QString resolvePortName(const QString &port);
