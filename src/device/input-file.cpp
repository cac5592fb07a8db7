#include "input-file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no such file");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    case EISDIR:
        return QStringLiteral("is a folder, not a file");
    default:
        return QString::fromLocal8Bit(strerror(error));
    }
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("is a folder, not a file");
    if (S_ISFIFO(mode))
        return QStringLiteral("is a pipe (FIFO), not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("is a device, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("is a socket, not a regular file");
    return QStringLiteral("is not a regular file");
}

bool readAll(int fd, const QString &name, qint64 maxBytes, QByteArray *data, QString *error)
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("%1 cannot be read: %2").arg(name, systemReason(errno));
            return false;
        }
        if (n == 0)
            break;
        if (bytes.size() + n > maxBytes) {
            *error = QStringLiteral("%1 is larger than %2 bytes, more than such a file can be").arg(name).arg(maxBytes);
            return false;
        }
        bytes.append(buffer, int(n));
    }
    *data = bytes;
    return true;
}

} // namespace

bool readInputFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error)
{
    if (path.isEmpty()) {
        *error = QStringLiteral("no file named");
        return false;
    }
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(path, systemReason(errno));
        return false;
    }
    struct stat info;
    bool ok = false;
    if (::fstat(fd, &info) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, systemReason(errno));
    } else if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("%1 %2").arg(path, kindOf(info.st_mode));
    } else if (info.st_size > maxBytes) {
        *error = QStringLiteral("%1 is %2 bytes, more than such a file can be (at most %3)")
                     .arg(path)
                     .arg(qint64(info.st_size))
                     .arg(maxBytes);
    } else {
        // The size is checked again while reading: the file may grow meanwhile.
        ok = readAll(fd, path, maxBytes, data, error);
    }
    ::close(fd);
    return ok;
}

bool readInputStream(int fd, const QString &name, qint64 maxBytes, QByteArray *data, QString *error)
{
    return readAll(fd, name, maxBytes, data, error);
}
