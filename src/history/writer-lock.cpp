#include "history/writer-lock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

WriterLock::~WriterLock()
{
    release();
}

void WriterLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the descriptor releases the lock
    m_fd = -1;
}

bool WriterLock::acquire(const QString &storePath, QString *error)
{
    release();
    const QString lockPath = storePath + QStringLiteral(".lock");
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("%1: cannot make the lock file %2: %3")
                     .arg(storePath, lockPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        char holder[32] = {};
        const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
        ::close(fd);
        const QByteArray pid = QByteArray(holder, int(qMax<ssize_t>(0, n))).trimmed();
        if (reason == EWOULDBLOCK)
            *error = QStringLiteral("%1 is being written by another frostgauge-monitor%2; one monitor writes a store")
                         .arg(storePath, pid.isEmpty() ? QString()
                                                       : QStringLiteral(" (process %1)").arg(QString::fromLatin1(pid)));
        else
            *error = QStringLiteral("%1: cannot lock %2: %3")
                         .arg(storePath, lockPath, QString::fromLocal8Bit(strerror(reason)));
        return false;
    }
    // The holder's name for a second writer's message; should it not be
    // written, the lock holds all the same.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
    m_fd = fd;
    return true;
}
