#include "command-line.h"

#include "cli-output.h"

int parseCommandLine(const QString &command, QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.parse(QStringList{QStringLiteral("frostgauge-cli ") + command} + arguments))
        return usageError(parser.errorText());
    return Success;
}

int parsePortCommand(const QString &command, QCommandLineParser &parser, const QStringList &arguments,
                     PortArguments *parsed)
{
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    parser.addOption(timeout);
    if (const int code = parseCommandLine(command, parser, arguments))
        return code;
    if (parser.isSet(timeout)) {
        double seconds = 0;
        if (!parseSeconds(parser.value(timeout), 0.001, 3600, &seconds))
            return fail(QStringLiteral("--timeout takes a number of seconds from 0.001 to 3600"), Usage);
        parsed->timeoutMs = int(seconds * 1000);
        parsed->timeoutGiven = true;
    }
    parsed->positional = parser.positionalArguments();
    if (parsed->positional.isEmpty())
        return fail(QStringLiteral("%1 needs a PORT").arg(command), Usage);
    if (parsed->positional.first().trimmed().isEmpty())
        return fail(QStringLiteral("the PORT given to %1 is empty").arg(command), Usage);
    return Success;
}
