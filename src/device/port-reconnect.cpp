#include "port-reconnect.h"

#include "log-categories.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <QFileInfo>
#include <QTimer>
#include <sys/stat.h>

PortReconnector::PortReconnector(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &PortReconnector::attempt);
}

void PortReconnector::start(const QString &path, std::function<bool(const QString &)> open, int firstDelayMs)
{
    m_path = path;
    m_open = std::move(open);
    m_delayMs = qBound(1, firstDelayMs, int(LongestDelayMs));
    m_active = true;
    struct stat link;
    m_lostLinkInode = 0;
    if (::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
        m_lostLinkInode = link.st_ino;
        m_lostLinkChangeNs = qint64(link.st_ctim.tv_sec) * 1000000000 + link.st_ctim.tv_nsec;
    }
    m_timer->start(m_delayMs);
}

void PortReconnector::stop()
{
    m_active = false;
    m_timer->stop();
}

bool PortReconnector::canReturn(const QString &path)
{
    return !QDir::cleanPath(path).startsWith(QLatin1String("/dev/pts/"));
}

bool PortReconnector::isStaleTerminalLink() const
{
    if (!m_lostLinkInode)
        return false;
    struct stat link;
    if (::lstat(QFile::encodeName(m_path).constData(), &link) != 0 || !S_ISLNK(link.st_mode))
        return false;
    const qint64 changeNs = qint64(link.st_ctim.tv_sec) * 1000000000 + link.st_ctim.tv_nsec;
    return link.st_ino == m_lostLinkInode && changeNs == m_lostLinkChangeNs
           && !canReturn(QFileInfo(m_path).canonicalFilePath());
}

bool PortReconnector::isWaiting() const
{
    return m_active;
}

void PortReconnector::attempt()
{
    // Only a path that is there is tried: opening a missing one would only
    // fail. A network address is always tried: its connection is made anew.
    // A copy is called: the owner may stop or restart the wait from inside it.
    const auto open = m_open;
    const bool network = m_path.startsWith(QLatin1String("tcp://"));
    if (open && (network || (QFileInfo::exists(m_path) && !isStaleTerminalLink())) && open(m_path)) {
        qCDebug(lcDevice) << "reopened" << m_path;
        m_active = false;
        emit reconnected(m_path);
        return;
    }
    if (!m_active)
        return;
    m_delayMs = qMin(m_delayMs * 2, int(LongestDelayMs));
    m_timer->start(m_delayMs);
}

QString otherInstrumentMessage(const QString &path, const QString &knownSerial, const QString &newSerial)
{
    if (knownSerial.isEmpty() || newSerial == knownSerial)
        return QString();
    return QStringLiteral("Refused: the instrument on %1 reports serial number %2, not %3")
        .arg(path, newSerial, knownSerial);
}
