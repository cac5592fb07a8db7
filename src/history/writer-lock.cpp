#include "history/writer-lock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

namespace {

// The name of the file a store's path leads to: symbolic links, to the store
// or to a folder on the way, resolved (SQLite keeps its log beside that file
// too). A store not made yet is named in its folder's real place.
QString realStorePath(const QString &storePath)
{
    const QFileInfo store(storePath);
    QString real = store.canonicalFilePath();
    if (real.isEmpty() && !store.isSymLink()) {
        const QString folder = store.absoluteDir().canonicalPath();
        if (!folder.isEmpty())
            real = folder + QLatin1Char('/') + store.fileName();
    }
    return real.isEmpty() ? storePath : real;
}

} // namespace

bool WriterLock::acquire(const QString &storePath, QString *error)
{
    release();
    // The lock follows the file, not the name it was given: every path to a
    // store leads to the one lock beside it. A store with other hard links is
    // refused: each name would get a log of its own, and one writer's open
    // would undo what the other wrote.
    const QString realPath = realStorePath(storePath);
    struct stat file;
    if (::stat(QFile::encodeName(realPath).constData(), &file) == 0 && S_ISREG(file.st_mode) && file.st_nlink > 1) {
        *error = QStringLiteral("%1 has %2 names (hard links); a store is written through one name only")
                     .arg(storePath)
                     .arg(quint64(file.st_nlink));
        return false;
    }
    const QString lockPath = realPath + QStringLiteral(".lock");
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
