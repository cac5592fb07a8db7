// note: a person's note at a time of a frostgauge-monitor store's history,
// written beside the monitor that may be writing the store.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "history/history-note.h"
#include "history/history-store.h"
#include "history/history-time.h"
#include "monitor-api.h"

#include <QDateTime>

int commandNote(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption instrumentOption(QStringLiteral("instrument"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption atOption(QStringLiteral("at"), QString(), QStringLiteral("TIME"));
    parser.addOptions({instrumentOption, atOption});
    addLoginOptions(parser);
    if (const int code = parseCommandLine(QStringLiteral("note"), parser, arguments))
        return code;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 2)
        return fail(QStringLiteral("note needs a STORE and the TEXT"), Usage);
    // The words of the text as a shell passed them, one blank apart.
    const QString text = positional.mid(1).join(QLatin1Char(' '));
    const QString problem = noteProblem(text);
    if (!problem.isEmpty())
        return fail(problem, Usage);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 at = now;
    if (parser.isSet(atOption) && !parseHistoryTime(parser.value(atOption), &at))
        return fail(QStringLiteral("--at takes a time: ISO 8601 or milliseconds since 1970, from 1970 to 9999"), Usage);
    const QString timeProblem = noteTimeProblem(at, now);
    if (!timeProblem.isEmpty())
        return fail(timeProblem, Usage);

    const QString &target = positional.first();
    if (isMonitorAddress(target)) {
        // Through the running monitor: it writes the note and passes it on at once.
        MonitorApi api;
        if (const int code = readLogin(parser, target, &api))
            return code;
        return postToMonitor(api, QStringLiteral("/api/notes"),
                             {{"text", text}, {"instrument", parser.value(instrumentOption)}, {"time", isoTime(at)}});
    }
    HistoryStore store;
    if (!store.openForNotes(positional.first()))
        return fail(store.error(), Failure);
    const QString instrument = parser.value(instrumentOption);
    if (!instrument.isEmpty() && !store.instruments().contains(instrument))
        return fail(QStringLiteral("%1: no instrument %2 in this store (it has: %3)")
                        .arg(positional.first(), instrument, store.instruments().join(QStringLiteral(", "))),
                    Usage);
    if (!store.insertNote(instrument, at, text, currentUserName()))
        return fail(store.error(), Failure);
    return Success;
}

int commandAck(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption noteOption(QStringLiteral("note"), QString(), QStringLiteral("TEXT"));
    parser.addOption(noteOption);
    addLoginOptions(parser);
    if (const int code = parseCommandLine(QStringLiteral("ack"), parser, arguments))
        return code;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        return fail(QStringLiteral("ack needs a monitor's address and an ALARM"), Usage);
    if (!isMonitorAddress(positional.first()))
        return fail(QStringLiteral("ack needs a monitor's web address (http://HOST:PORT): an alarm's state lives in "
                                   "the running monitor, not in its store"),
                    Usage);
    QJsonObject request{{"alarm", positional.at(1)}};
    if (parser.isSet(noteOption)) {
        const QString problem = noteProblem(parser.value(noteOption));
        if (!problem.isEmpty())
            return fail(QStringLiteral("--note: ") + problem, Usage);
        request.insert(QStringLiteral("note"), parser.value(noteOption));
    }
    MonitorApi api;
    if (const int code = readLogin(parser, positional.first(), &api))
        return code;
    // Said when it worked: a command that prints nothing leaves a person unsure.
    return postToMonitor(
        api, QStringLiteral("/api/acknowledge"), request,
        QStringLiteral("alarm %1 acknowledged at %2 by %3%4")
            .arg(positional.at(1), positional.first(), api.user,
                 parser.isSet(noteOption) ? QStringLiteral(": ") + parser.value(noteOption) : QString()));
}
