// The history viewer on a large store: the first full-range draw, redraws after
// zooms and pans to random ranges (from the whole store down to ten seconds),
// the peak resident memory, and the export of the whole range to PNG.
// Usage: frostgauge-bench-history-view STORE [REDRAWS]
// (a store from: frostgauge-bench-history-store STORE 30 --instruments 4)

#include "history-plot/history-plot.h"
#include "history-window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

double percentile(QVector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(p * values.size())));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s STORE [REDRAWS]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int redraws = argc > 2 ? atoi(argv[2]) : 200;

    HistoryWindow window;
    window.resize(1600, 900);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    QElapsedTimer clock;
    clock.start();
    // Opening shows the whole range: the store is read and the plot painted before it returns.
    if (!window.openStore(path)) {
        fprintf(stderr, "%s\n", qPrintable(window.error()));
        return 1;
    }
    const double firstMs = clock.nsecsElapsed() / 1e6;
    HistoryPlot *plot = window.plot();
    const qint64 from = plot->fromMs();
    const qint64 to = plot->toMs();
    printf("store: %s, %lld days, %d instruments, canvas %d px wide\n", qPrintable(path), (to - from) / 86400000,
           int(plot->curves().size()), plot->canvas()->width());
    printf("first full-range draw: %.1f ms\n", firstMs);

    QVector<double> times;
    QRandomGenerator random(7);
    const double whole = double(to - from);
    for (int i = 0; i < redraws; ++i) {
        // Spans spread evenly on a log scale from ten seconds to the whole store.
        const double span = 10000.0 * std::pow(whole / 10000.0, random.generateDouble());
        const qint64 start = from + qint64(random.generateDouble() * (whole - span));
        clock.restart();
        plot->setRange(start, start + qint64(span));
        times << clock.nsecsElapsed() / 1e6;
    }
    printf("zoom/pan redraws (%d): median %.1f ms, p95 %.1f ms, max %.1f ms\n", redraws, percentile(times, 0.5),
           percentile(times, 0.95), *std::max_element(times.begin(), times.end()));

    plot->showWholeRange();
    const QString png = path + QStringLiteral(".bench.png");
    clock.restart();
    if (!window.exportImage(png)) {
        fprintf(stderr, "%s\n", qPrintable(window.error()));
        return 1;
    }
    printf("whole range to PNG from the window: %.1f ms\n", clock.nsecsElapsed() / 1e6);
    QFile::remove(png);
    printf("peak resident memory: %.1f MiB\n", peakResidentKiB() / 1024.0);
    return 0;
}
