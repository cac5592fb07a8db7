#include "port-write.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

void writeNow(QSerialPort *port, const QByteArray &bytes)
{
    qint64 written = 0;
#ifdef Q_OS_UNIX
    if (port->bytesToWrite() == 0) {
        while (written < bytes.size()) {
            const ssize_t n = ::write(port->handle(), bytes.constData() + written, size_t(bytes.size() - written));
            if (n > 0)
                written += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break; // full (EAGAIN) or failing: the port's buffer takes over and reports
        }
    }
#endif
    if (written < bytes.size())
        port->write(bytes.constData() + written, bytes.size() - written);
}
