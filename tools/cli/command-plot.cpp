// plot: a store's readings drawn as the viewer draws them, into a PNG, SVG or
// PDF file, with no display.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "history-plot.h"
#include "history-store.h"
#include "plot-export.h"

#include <QFileInfo>
#include <QRegularExpression>

int commandPlot(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption instrumentOption(QStringLiteral("instrument"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption fromOption(QStringLiteral("from"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption toOption(QStringLiteral("to"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                          QStringLiteral("FILE"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QString(), QStringLiteral("WIDTHxHEIGHT"),
                                        QStringLiteral("1600x900"));
    parser.addOptions({instrumentOption, fromOption, toOption, outputOption, sizeOption});
    if (const int code = parseCommandLine(QStringLiteral("plot"), parser, arguments))
        return code;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return fail(QStringLiteral("plot needs one STORE"), Usage);
    const QString output = parser.value(outputOption);
    if (output.isEmpty())
        return fail(QStringLiteral("plot needs -o FILE (%1)").arg(plotFileKinds()), Usage);
    const QString kind = QFileInfo(output).suffix().toLower();
    if (kind != QLatin1String("png") && kind != QLatin1String("svg") && kind != QLatin1String("pdf"))
        return fail(QStringLiteral("%1: the file name must end in %2").arg(output, plotFileKinds()), Usage);
    const QRegularExpressionMatch size =
        QRegularExpression(QStringLiteral("^(\\d{2,5})x(\\d{2,5})$")).match(parser.value(sizeOption));
    const QSize pixels = size.hasMatch() ? QSize(size.captured(1).toInt(), size.captured(2).toInt()) : QSize();
    if (!size.hasMatch() || pixels.width() < 200 || pixels.height() < 150 || pixels.width() > 20000
        || pixels.height() > 20000)
        return fail(QStringLiteral("--size takes WIDTHxHEIGHT in pixels, from 200x150 to 20000x20000"), Usage);
    qint64 from = 0;
    qint64 to = 0;
    for (const auto &bound : {qMakePair(&fromOption, &from), qMakePair(&toOption, &to)}) {
        if (parser.isSet(*bound.first) && !parseHistoryTime(parser.value(*bound.first), bound.second))
            return fail(QStringLiteral("--%1 takes an ISO 8601 time (2026-12-10T06:00:00) or milliseconds since 1970")
                            .arg(bound.first->names().constFirst()),
                        Usage);
    }

    HistoryStore store;
    if (!store.openForReading(positional.first()))
        return fail(store.error(), Usage);
    const QString instrument = parser.value(instrumentOption);
    if (!instrument.isEmpty() && !store.instruments().contains(instrument))
        return fail(QStringLiteral("%1 holds no instrument %2 (it has: %3)")
                        .arg(positional.first(), instrument, store.instruments().join(QStringLiteral(", "))),
                    Usage);
    qint64 first = 0;
    qint64 last = 0;
    if (!store.timeSpan(&first, &last))
        return fail(QStringLiteral("%1 holds no readings yet").arg(positional.first()), Failure);
    if (!parser.isSet(fromOption))
        from = first;
    if (!parser.isSet(toOption))
        to = last;
    if (from >= to)
        return fail(QStringLiteral("--from must come before --to"), Usage);

    HistoryPlot plot(&store);
    plot.setTitle(QFileInfo(positional.first()).fileName()
                  + (instrument.isEmpty() ? QString() : QStringLiteral(": ") + instrument));
    plot.prepareForRendering(pixels);
    plot.setInstrument(instrument);
    plot.setRange(from, to);
    QString error;
    if (!exportPlot(&plot, output, pixels, &error))
        return fail(error, Failure);
    return Success;
}
