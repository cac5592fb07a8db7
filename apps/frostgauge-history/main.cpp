// frostgauge-history: the readings of a frostgauge-monitor store as a plot to
// zoom and pan through, with the events marked, following the store while
// the monitor writes to it. With --plot it draws the plot into a file instead,
// with no display.

#include "common/x11-opengl.h"
#include "frostgauge-version.h"
#include "history-plot/history-plot.h"
#include "history-window.h"
#include "history/history-time.h"
#include "plot-command.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Drawing into a file needs no display: off screen unless told otherwise.
    const bool plotting = argc > 1 && std::strcmp(argv[1], "--plot") == 0;
    if (plotting && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    leaveOpenGlUnloaded();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("frostgauge-history"));
    QApplication::setApplicationVersion(QStringLiteral(FROSTGAUGE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("frostgauge-history"));
    if (plotting)
        return plotCommand(QApplication::arguments().mid(2));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plots the readings of a frostgauge-monitor history store.\n"
                       "frostgauge-history --plot STORE -o FILE ... draws the plot into a file instead "
                       "(frostgauge-history --plot --help)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("STORE"),
                                 QStringLiteral("The store (default /var/lib/frostgauge/history.db)."));
    const QCommandLineOption fromOption(QStringLiteral("from"), QStringLiteral("Show from this time (ISO 8601)."),
                                        QStringLiteral("TIME"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("Show up to this time (ISO 8601)."),
                                      QStringLiteral("TIME"));
    parser.addOptions({fromOption, toOption});
    parser.process(app);
    qint64 fromMs = -1;
    qint64 toMs = -1;
    for (const auto &bound : {qMakePair(&fromOption, &fromMs), qMakePair(&toOption, &toMs)}) {
        if (parser.isSet(*bound.first) && !parseHistoryTime(parser.value(*bound.first), bound.second)) {
            fprintf(stderr, "frostgauge-history: --%s takes %s\n", qPrintable(bound.first->names().constFirst()),
                    HistoryTimeForms);
            return 2;
        }
    }
    if (fromMs >= 0 && toMs >= 0 && fromMs >= toMs) {
        fprintf(stderr, "frostgauge-history: --from must come before --to\n");
        return 2;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        fprintf(stderr, "frostgauge-history: give one STORE\n");
        return 2;
    }
    const QString path = positional.value(0, QStringLiteral("/var/lib/frostgauge/history.db"));

    HistoryWindow window;
    if (!window.openStore(path)) {
        // Said on the terminal too, for a start from a script or a shell.
        fprintf(stderr, "frostgauge-history: %s\n", qPrintable(window.error()));
        QMessageBox::critical(nullptr, QStringLiteral("Frostgauge history"),
                              QStringLiteral("The history store cannot be shown.\n\n%1").arg(window.error()));
        return 1;
    }
    if (fromMs >= 0 || toMs >= 0) {
        HistoryPlot *plot = window.plot();
        plot->setRange(fromMs >= 0 ? fromMs : plot->fromMs(), toMs >= 0 ? toMs : plot->toMs());
    }
    window.show();
    return app.exec();
}
