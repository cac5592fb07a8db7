#include "common/raw-pseudo-terminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

bool openRawPseudoTerminal(RawPseudoTerminal *terminal, QString *error)
{
    char name[256] = {};
    if (openpty(&terminal->master, &terminal->slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot make a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // The modes stay with the terminal, whoever opens its slave side next.
    struct termios raw;
    tcgetattr(terminal->slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(terminal->slave, TCSANOW, &raw);
    fcntl(terminal->master, F_SETFL, fcntl(terminal->master, F_GETFL) | O_NONBLOCK);
    fcntl(terminal->master, F_SETFD, FD_CLOEXEC);
    terminal->slavePath = QString::fromLocal8Bit(name);
    return true;
}
