#include "instrument-session.h"

#include "device/port-list.h"
#include "device/protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

InstrumentSession::InstrumentSession(int timeoutMs) : m_timeoutMs(timeoutMs)
{
    QObject::connect(&m_device, &Device::connectionLost, [this](const QString &reason) {
        m_lost = true;
        m_error = QStringLiteral("connection lost: ") + reason;
    });
    QObject::connect(&m_device, &Device::identified, [this] { m_identified = true; });
    QObject::connect(&m_device, &Device::unknownInstrument, [this](const QString &answer) { m_foreign = answer; });
    // Another maker's device answers the identification query with a line the
    // instrument link takes as unknown; kept to name it if no VKRHX350 answers.
    QObject::connect(&m_device, &Device::bytesReceived, [this](const QByteArray &bytes) {
        m_received += bytes;
        for (int end; (end = m_received.indexOf('\n')) >= 0; m_received.remove(0, end + 1)) {
            const QByteArray line = m_received.left(end).trimmed();
            if (line.count(',') == 3 && !line.startsWith(Protocol::IdentificationPrefix))
                m_otherAnswer = QString::fromUtf8(line);
        }
        // Only a line's start matters; a stream without line ends stays bounded.
        if (m_received.size() > Device::MaxLineLength)
            m_received.clear();
    });
    QObject::connect(&m_device, &Device::parameterReceived, [this](const QString &key, const QString &value) {
        m_lastKey = key;
        m_lastValue = value;
        ++m_parameterCount;
    });
}

QString resolvePortName(const QString &port)
{
    for (const PortEntry &entry : availablePortEntries()) {
        if (port == entry.displayText || port == entry.portName)
            return entry.portName;
    }
    // A relative path is relative to where the command runs, as for any other
    // file (the serial port library would look for it under /dev).
    if (port.contains(QLatin1Char('/')) && QDir::isRelativePath(port))
        return QFileInfo(port).absoluteFilePath();
    return port;
}

bool InstrumentSession::open(const QString &port)
{
    const QString name = resolvePortName(port);
    // A script's commands follow one another: the shared port the last one
    // just closed may still be in use for a moment.
    QElapsedTimer waited;
    waited.start();
    while (!m_device.openPort(name)) {
        if (!sharedPortInUse(name) || waited.elapsed() >= SharedPortWaitMs) {
            m_error =
                QStringLiteral("cannot open port %1: %2").arg(name, portOpenError(name, m_device.portErrorString()));
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool InstrumentSession::waitUntil(const std::function<bool()> &done, const QString &what, int timeoutMs)
{
    const int limit = timeoutMs < 0 ? m_timeoutMs : timeoutMs;
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(20);
    while (!done()) {
        if (m_lost)
            return false;
        if (timer.elapsed() > limit) {
            m_error = QStringLiteral("no %1 within %2 s").arg(what).arg(limit / 1000.0);
            return false;
        }
        loop.exec();
    }
    return true;
}

bool InstrumentSession::identify()
{
    if (!waitUntil([this] { return m_identified || !m_foreign.isEmpty(); },
                   QStringLiteral("identification from the instrument"))) {
        if (!m_lost && !m_otherAnswer.isEmpty())
            m_error = QStringLiteral("not a VKRHX350 (%1 answered)").arg(m_otherAnswer);
        return false;
    }
    if (!m_identified) {
        m_error = QStringLiteral("not a VKRHX350 (%1 answered)").arg(m_foreign);
        return false;
    }
    return true;
}

bool InstrumentSession::query(const QString &command, const QString &key, QString *value)
{
    const int before = m_parameterCount;
    m_device.serialSendCommand(command);
    if (!waitUntil([&] { return m_parameterCount > before && m_lastKey == key; },
                   QStringLiteral("answer to %1").arg(command.trimmed())))
        return false;
    *value = m_lastValue;
    return true;
}

bool InstrumentSession::openIdentified(const QString &port)
{
    return open(port) && identify();
}

void InstrumentSession::flushWrites()
{
    m_device.waitForWritten(m_timeoutMs);
}
