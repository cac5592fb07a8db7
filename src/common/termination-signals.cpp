#include "common/termination-signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

bool onTerminationSignals(QObject *context, std::function<void(int signal)> handler, std::initializer_list<int> numbers)
{
    if (signalPipe[0] < 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)] {
        unsigned char byte = 0;
        if (::read(signalPipe[0], &byte, 1) == 1)
            handler(byte);
    });
    for (const int number : numbers)
        signal(number, onSignal);
    return true;
}
