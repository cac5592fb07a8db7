// frostgauge-history --plot: a store's readings drawn as the viewer draws
// them, into a PNG, SVG or PDF file, with no display. frostgauge-cli plot
// hands over to it.

#include "plot-command.h"

#include "common/command-output.h"
#include "history-options/store-selection.h"
#include "history-plot/history-plot.h"
#include "history-plot/plot-export.h"
#include "history/history-store.h"
#include "history/history-time.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

const char plotUsage[] =
    "Usage: frostgauge-history --plot STORE -o FILE.png|svg|pdf [--instrument NAME] [--from TIME] [--to TIME]\n"
    "                          [--size WIDTHxHEIGHT] [--log | --linear]\n"
    "Draws the store's readings as the viewer draws them (default 1600x900 pixels), with no display.\n"
    "TIME is ISO 8601 or milliseconds since 1970. The temperature axis is logarithmic with --log, linear\n"
    "with --linear, and by default logarithmic when the readings shown span more than two decades.\n";

} // namespace

int plotCommand(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        out() << plotUsage;
        return Success;
    }
    QCommandLineParser parser;
    StoreSelection selection;
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                          QStringLiteral("FILE"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QString(), QStringLiteral("WIDTHxHEIGHT"),
                                        QStringLiteral("1600x900"));
    const QCommandLineOption logOption(QStringLiteral("log"));
    const QCommandLineOption linearOption(QStringLiteral("linear"));
    selection.addOptionsTo(parser);
    parser.addOptions({outputOption, sizeOption, logOption, linearOption});
    if (!parser.parse(QStringList{QStringLiteral("frostgauge-history --plot")} + arguments))
        return fail(parser.errorText() + QLatin1String("\n\n") + QLatin1String(plotUsage), Usage);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return fail(QStringLiteral("plot needs one STORE"), Usage);
    const QString output = parser.value(outputOption);
    if (output.isEmpty())
        return fail(QStringLiteral("plot needs -o FILE (%1)").arg(plotFileKinds()), Usage);
    if (!isPlotFileName(output))
        return fail(QStringLiteral("%1: the file name must end in %2").arg(output, plotFileKinds()), Usage);
    const QRegularExpressionMatch size =
        QRegularExpression(QStringLiteral("^(\\d{2,5})x(\\d{2,5})$")).match(parser.value(sizeOption));
    const QSize pixels = size.hasMatch() ? QSize(size.captured(1).toInt(), size.captured(2).toInt()) : QSize();
    if (!size.hasMatch() || pixels.width() < 200 || pixels.height() < 150 || pixels.width() > 20000
        || pixels.height() > 20000)
        return fail(QStringLiteral("--size takes WIDTHxHEIGHT in pixels, from 200x150 to 20000x20000"), Usage);
    if (parser.isSet(logOption) && parser.isSet(linearOption))
        return fail(QStringLiteral("give --log or --linear, not both"), Usage);
    if (const int code = selection.readTimes(parser))
        return code;
    if (const int code = selection.open(parser, positional.first()))
        return code;
    HistoryStore &store = selection.store;
    const QString &instrument = selection.instrument;
    qint64 first = 0;
    qint64 last = 0;
    if (!store.timeSpan(&first, &last))
        return fail(QStringLiteral("%1 holds no readings yet").arg(positional.first()), Failure);
    // A store's own times may lie outside those a plot can show.
    const qint64 from = selection.fromGiven ? selection.fromMs : clampHistoryTime(first);
    const qint64 to = selection.toGiven ? selection.toMs : clampHistoryTime(last);
    if (from >= to)
        return fail(
            QStringLiteral("--from must come before --to: the range %1 to %2 is empty").arg(isoTime(from), isoTime(to)),
            Usage);

    HistoryPlot plot(&store);
    QString readError;
    QObject::connect(&plot, &HistoryPlot::readError, [&](const QString &message) { readError = message; });
    plot.setTitle(QFileInfo(positional.first()).fileName()
                  + (instrument.isEmpty() ? QString() : QStringLiteral(": ") + instrument));
    plot.prepareForRendering(pixels);
    plot.setInstrument(instrument);
    plot.setRange(from, to);
    // The axis the readings call for, unless one was asked for: a cool-down
    // from room temperature reads on decades.
    double lo = 0;
    double hi = 0;
    plot.setLogScale(parser.isSet(logOption)
                     || (!parser.isSet(linearOption) && plot.shownSpan(&lo, &hi)
                         && HistoryPlot::suitsLogScale(lo, hi, plot.unit() == QLatin1String("K"))));
    // A plot that could not read its readings would look like a quiet range.
    if (!readError.isEmpty())
        return fail(QStringLiteral("%1: %2; no plot was written").arg(positional.first(), readError), Failure);
    if (plot.leftOff() > 0)
        fprintf(stderr, "frostgauge-history: %d column(s) of values beyond %g K left off the plot\n", plot.leftOff(),
                HistoryPlot::MaxPlottedKelvin);
    QString error;
    if (!exportPlot(&plot, output, pixels, &error))
        return fail(error, Failure);
    return Success;
}
