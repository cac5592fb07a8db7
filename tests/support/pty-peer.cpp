#include "pty-peer.h"

#include "common/raw-pseudo-terminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    RawPseudoTerminal terminal;
    QString error;
    if (!openRawPseudoTerminal(&terminal, &error))
        qFatal("%s", qPrintable(error));
    m_master = terminal.master;
    m_slave = terminal.slave;
    m_path = terminal.slavePath;
}

PtyPeer::~PtyPeer()
{
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPeer::write(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_master, data, size_t(left));
        if (n < 0) {
            if (errno == EAGAIN) {
                QCoreApplication::processEvents();
                continue;
            }
            return;
        }
        data += n;
        left -= n;
    }
}

void PtyPeer::pump()
{
    if (m_master < 0)
        return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_received.append(buffer, int(n));
    }
}

QByteArray PtyPeer::waitForBytes(int count, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pump();
        if (m_received.size() >= count || timer.elapsed() > timeoutMs)
            return m_received;
        QTest::qWait(2);
    }
}

QByteArray PtyPeer::waitFor(const QByteArray &needle, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pump();
        if (m_received.contains(needle) || timer.elapsed() > timeoutMs)
            return m_received;
        QTest::qWait(2);
    }
}

QByteArray PtyPeer::drain(int settleMs)
{
    QTest::qWait(settleMs);
    pump();
    return m_received;
}

QByteArray PtyPeer::take()
{
    pump();
    QByteArray bytes = m_received;
    m_received.clear();
    return bytes;
}

QByteArray PtyPeer::takeAfter(int settleMs)
{
    drain(settleMs);
    return take();
}

void PtyPeer::hangUp()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}
