#include "pty-link.h"

#include "common/raw-pseudo-terminal.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyLink::PtyLink(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_paceTimer = new QTimer(this);
    m_paceTimer->setSingleShot(true);
    connect(m_paceTimer, &QTimer::timeout, this, &PtyLink::flushOutput);
    m_inputTimer = new QTimer(this);
    m_inputTimer->setSingleShot(true);
    connect(m_inputTimer, &QTimer::timeout, this, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(true);
    });
}

PtyLink::~PtyLink()
{
    hangUp();
}

bool PtyLink::open(QString *error)
{
    RawPseudoTerminal terminal;
    if (!openRawPseudoTerminal(&terminal, error))
        return false;
    m_master = terminal.master;
    m_slave = terminal.slave;
    m_slavePath = terminal.slavePath;

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyLink::readReady);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyLink::flushOutput);
    return true;
}

double PtyLink::wireSeconds(qint64 bytes) const
{
    // 8N1: ten bit times per byte.
    return m_paceBaud > 0 ? bytes * 10.0 / m_paceBaud : 0.0;
}

void PtyLink::readReady()
{
    char buffer[4096];
    size_t wanted = sizeof buffer;
    if (m_paceBaud > 0) {
        // What the line carried since the last read, a few bytes at the least.
        const double now = double(nowMs());
        m_inputFreeMs = qMax(m_inputFreeMs, now - 50.0);
        const double carried = (now - m_inputFreeMs) / 1000.0 * m_paceBaud / 10.0;
        if (carried < 16) {
            m_readNotifier->setEnabled(false);
            m_inputTimer->start(int((16 - carried) * 10000.0 / m_paceBaud) + 1);
            return;
        }
        wanted = qMin(wanted, size_t(carried));
    }
    const ssize_t n = ::read(m_master, buffer, wanted);
    if (n > 0) {
        m_inputFreeMs += wireSeconds(n) * 1000.0;
        emit received(QByteArray(buffer, int(n)));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // Nobody holds the other side open (we keep our slave descriptor, so
        // this is rare); wait for the next open instead of spinning.
        m_readNotifier->setEnabled(false);
        QTimer::singleShot(50, this, [this] {
            if (m_readNotifier)
                m_readNotifier->setEnabled(true);
        });
    }
}

void PtyLink::send(const QByteArray &bytes, qint64 notBeforeMs)
{
    if (m_master < 0 || bytes.isEmpty())
        return;
    m_queue.enqueue({bytes, notBeforeMs});
    flushOutput();
}

void PtyLink::flushOutput()
{
    while (!m_queue.isEmpty() && m_master >= 0) {
        Pending &next = m_queue.head();
        if (m_paceBaud > 0) {
            const qint64 now = nowMs();
            const double start = qMax<double>(qMax<double>(m_lineFreeMs, next.notBeforeMs), now);
            if (start > now) {
                m_paceTimer->start(int(start - now) + 1);
                return;
            }
            m_lineFreeMs = start + wireSeconds(next.bytes.size()) * 1000.0;
        }
        const ssize_t n = ::write(m_master, next.bytes.constData(), size_t(next.bytes.size()));
        if (n < 0) {
            if (errno == EAGAIN) {
                m_writeNotifier->setEnabled(true);
                return;
            }
            m_queue.clear();
            return;
        }
        if (n < next.bytes.size()) {
            next.bytes.remove(0, int(n));
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_queue.dequeue();
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void PtyLink::hangUp()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_queue.clear();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}
