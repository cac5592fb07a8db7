// frostgauge-cli: the instrument from scripts. Same Device and Firmware code as
// the window, the same command lines on the wire, and a time-out on every wait.
//
// Exit codes: 0 success, 1 instrument or transfer failure, 2 usage or bad input.

#include "cli-output.h"
#include "commands.h"

#include <QCoreApplication>
#include <QTextStream>

#include <sodium.h>

#include <cstdio>

namespace {

struct Command {
    const char *name;
    int (*run)(const QStringList &arguments);
};

const Command Commands[] = {
    {"ports", commandPorts},
    {"identify", commandIdentify},
    {"get", commandGet},
    {"set", commandSet},
    {"monitor", commandMonitor},
    {"measure", commandMeasure},
    {"upload-curve", commandUploadCurve},
    {"upgrade", commandUpgrade},
    {"history", commandHistory},
    {"plot", commandPlot},
    {"note", commandNote},
    {"ack", commandAck},
    {"try", commandTry},
};

int dispatch(QStringList arguments)
{
    const bool help = arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"));
    if (arguments.isEmpty() || help) {
        fputs(generalUsage, help ? stdout : stderr);
        return help ? Success : Usage;
    }
    const QString name = arguments.takeFirst();
    for (const Command &command : Commands) {
        if (name == QLatin1String(command.name))
            return command.run(arguments);
    }
    return usageError(QStringLiteral("unknown command ") + name);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-cli"));
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    if (sodium_init() != 0)
        return fail(QStringLiteral("cannot initialise libsodium"), Failure);

    const int code = dispatch(QCoreApplication::arguments().mid(1));
    // Output that did not reach its file (a full disk, a closed pipe) is no success.
    out().flush();
    if (code == Success && (out().status() != QTextStream::Ok || fflush(stdout) != 0 || ferror(stdout)))
        return fail(QStringLiteral("cannot write standard output"), Failure);
    return code;
}
