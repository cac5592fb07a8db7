#include "monitor/shared-port.h"

#include "device/port-list.h"

#include "common/raw-pseudo-terminal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

SharedPort::SharedPort(const QString &linkPath, const QString &instrumentPort, QObject *parent)
    : QObject(parent), m_linkPath(linkPath), m_instrumentPort(instrumentPort), m_pollTimer(new QTimer(this))
{
    m_pollTimer->setInterval(ClientPollMs);
    connect(m_pollTimer, &QTimer::timeout, this, &SharedPort::lookForClient);
}

SharedPort::~SharedPort()
{
    // The link goes with the monitor, so nobody opens a terminal that is gone;
    // one that another program has pointed elsewhere meanwhile is its own.
    const QByteArray target = rawLinkTarget(m_linkPath);
    if (!target.isEmpty() && (target == m_slavePath || (m_client && target == SharedPortInUseTarget)))
        QFile::remove(m_linkPath);
    closeTerminal();
}

bool SharedPort::open(QString *error)
{
    const QFileInfo link(m_linkPath);
    // A link of an earlier run (one that crashed) is replaced; anything else is not ours.
    if ((link.exists() || link.isSymLink()) && !isSharedPortLink(m_linkPath)) {
        *error = QStringLiteral("%1 exists and is not a shared port's link; it is left as it is").arg(m_linkPath);
        return false;
    }
    if (!link.absoluteDir().exists()) {
        *error = QStringLiteral("the folder %1 does not exist").arg(link.absolutePath());
        return false;
    }
    return makeTerminal(error);
}

bool SharedPort::makeTerminal(QString *error)
{
    RawPseudoTerminal terminal;
    if (!openRawPseudoTerminal(&terminal, error))
        return false;
    m_master = terminal.master;
    const int slave = terminal.slave;
    // A new terminal is its owner's (and the tty group's to write to): the
    // operators who may use the instrument's port (its group, dialout as a
    // rule) may use this one. Without that group the owner alone may.
    struct stat port;
    if (::stat(QFile::encodeName(m_instrumentPort).constData(), &port) == 0)
        (void)!::fchown(slave, uid_t(-1), port.st_gid);
    ::fchmod(slave, 0660);
    // Holding no end of the client's side lets the master see when it comes and goes.
    ::close(slave);
    m_slavePath = QFile::encodeName(terminal.slavePath);
    if (!pointLink(m_slavePath, error)) {
        closeTerminal();
        return false;
    }
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SharedPort::readClient);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SharedPort::flushOutput);
    watchOpens();
    m_pollTimer->start();
    return true;
}

void SharedPort::watchOpens()
{
    // Without inotify the link's redirection alone keeps a second client out.
    m_opens = 0;
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch < 0)
        return;
    if (::inotify_add_watch(m_watch, m_slavePath.constData(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(m_watch);
        m_watch = -1;
        return;
    }
    m_watchNotifier = new QSocketNotifier(m_watch, QSocketNotifier::Read, this);
    connect(m_watchNotifier, &QSocketNotifier::activated, this, &SharedPort::readOpens);
}

void SharedPort::readOpens()
{
    // Our own open to set exclusive use comes and goes within one turn of the
    // loop, so the count after a whole batch is that of the clients.
    alignas(struct inotify_event) char buffer[4096];
    bool opened = false;
    for (;;) {
        const ssize_t n = ::read(m_watch, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            if (event->mask & IN_OPEN) {
                ++m_opens;
                opened = true;
            }
            if (event->mask & IN_CLOSE)
                --m_opens;
            at += ssize_t(sizeof(struct inotify_event)) + event->len;
        }
    }
    // Two opens in the same instant reach us as one event (inotify merges
    // them); the second client then shows when the first closes while the
    // terminal is still held. Either way neither may go on speaking through
    // the other's session.
    if (m_client && (m_opens > 1 || (m_opens <= 0 && !clientHungUp()))) {
        emit clientsCollided();
        dropClient();
        return;
    }
    if (opened && !m_client)
        lookForClient();
}

bool SharedPort::pointLink(const QByteArray &target, QString *error)
{
    // A new link beside the old one, renamed over it: whoever opens the path
    // finds the old terminal or the new one, never no link at all.
    const QByteArray path = QFile::encodeName(m_linkPath);
    const QByteArray temporary = path + ".new";
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot make the link %1: %2").arg(m_linkPath, QString::fromLocal8Bit(strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

void SharedPort::closeTerminal()
{
    m_pollTimer->stop();
    delete m_watchNotifier;
    m_watchNotifier = nullptr;
    if (m_watch >= 0)
        ::close(m_watch);
    m_watch = -1;
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_client = false;
    m_input.clear();
    m_output.clear();
    m_discarding = false;
    m_paused = false;
    m_clientFed = false;
}

bool SharedPort::clientHungUp() const
{
    struct pollfd master = {m_master, POLLIN, 0};
    return m_master >= 0 && ::poll(&master, 1, 0) > 0 && (master.revents & POLLHUP);
}

void SharedPort::lookForClient()
{
    if (m_client) {
        // Paused, the terminal is not read: a client that left is found here.
        if (m_paused && clientHungUp())
            dropClient();
        return;
    }
    // Without a client the master reports a hang-up; an open clears it.
    struct pollfd master = {m_master, POLLIN, 0};
    if (m_master < 0 || ::poll(&master, 1, 0) < 0)
        return;
    if (master.revents & POLLHUP) {
        // A client that came and went between two looks (echo ... > PATH) left
        // its lines: they are taken as any client's, then the terminal is new.
        if (master.revents & POLLIN) {
            m_client = true;
            emit clientConnected();
            readClient();
        }
        return;
    }
    m_client = true;
    // A second client finds no terminal behind the link, and one that opens
    // the terminal by its own name finds it taken (root excepted).
    QString ignored;
    pointLink(QByteArray(SharedPortInUseTarget), &ignored);
    const int slave = ::open(m_slavePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        ::ioctl(slave, TIOCEXCL);
        ::close(slave);
    }
    m_readNotifier->setEnabled(true);
    emit clientConnected();
    // What the client wrote before we noticed it is read now.
    readClient();
}

void SharedPort::quietFor(int ms)
{
    if (ms <= 0) {
        m_quiet.invalidate();
        return;
    }
    m_quiet.start();
    m_quietMs = ms;
}

void SharedPort::setPaused(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    if (m_readNotifier)
        m_readNotifier->setEnabled(m_client && !paused);
    if (!paused && m_client)
        readClient();
}

void SharedPort::readClient()
{
    // Lines already read go first; more is read only while they are taken.
    takeLines();
    char buffer[4096];
    bool gone = false;
    while (!m_paused && m_master >= 0) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            m_input.append(buffer, int(n));
            takeLines();
            continue;
        }
        // EIO: the client closed its end or died; what it wrote before is still here.
        gone = !(n < 0 && (errno == EAGAIN || errno == EINTR));
        break;
    }
    if (gone)
        dropClient();
}

void SharedPort::takeLines()
{
    int start = 0;
    for (int i = 0; i < m_input.size() && !m_paused; ++i) {
        const char byte = m_input.at(i);
        if (byte != '\n' && byte != '\x03')
            continue;
        const bool discarding = m_discarding;
        m_discarding = false;
        const QByteArray line = m_input.mid(start, i + 1 - start);
        start = i + 1;
        if (!discarding)
            emit clientLine(line); // may pause us, or drop the client
        if (m_master < 0)
            return;
    }
    m_input.remove(0, start);
    if (m_input.size() > MaxLineLength && m_input.indexOf('\n') < 0 && m_input.indexOf('\x03') < 0) {
        m_input.clear();
        m_discarding = true;
    }
}

void SharedPort::dropClient()
{
    // Half a line is no command: it is dropped with the terminal, and so is
    // what the client wrote that was not taken yet.
    closeTerminal();
    emit clientDisconnected();
    QString error;
    if (!makeTerminal(&error)) {
        // No terminal behind it: the link would only mislead.
        if (isSharedPortLink(m_linkPath))
            QFile::remove(m_linkPath);
        emit failed(error);
    }
}

void SharedPort::send(const QByteArray &bytes)
{
    const bool atLineStart = m_instrumentAtLineStart;
    if (!bytes.isEmpty())
        m_instrumentAtLineStart = bytes.endsWith('\n');
    if (!m_client || m_master < 0)
        return;
    // Answers to the client that left are not the next one's.
    if (isQuiet())
        return;
    QByteArray kept = bytes;
    // A client's first bytes start a line, never with the end of one it never asked for.
    if (!m_clientFed && !atLineStart) {
        const int end = kept.indexOf('\n');
        if (end < 0)
            return;
        kept.remove(0, end + 1);
    }
    m_clientFed = true;
    m_output.append(kept);
    flushOutput();
}

void SharedPort::flushOutput()
{
    while (!m_output.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_output.constData(), size_t(m_output.size()));
        if (n > 0) {
            m_output.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A client that reads nothing fills the terminal; what does not fit
            // waits here, and a client far behind loses its oldest lines, whole.
            if (m_output.size() > 4 * MaxLineLength) {
                const int cut = m_output.indexOf('\n', m_output.size() - 4 * MaxLineLength);
                m_output.remove(0, cut < 0 ? m_output.size() : cut + 1);
            }
            m_writeNotifier->setEnabled(true);
            return;
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}
