// CPU of the window receiving readings at a given rate, one reading per read
// as on the line, with 300 points on screen. Prints the share of one core and
// how far the readings fell behind their schedule.
//
//   frostgauge-bench-live-plot PERIOD_MS SECONDS

#include "bench-support.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {
double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QTemporaryDir> configHome(prepareBenchEnvironment(false));
    QApplication app(argc, argv);
    const double periodMs = argc > 1 ? atof(argv[1]) : 100;
    const double seconds = argc > 2 ? atof(argv[2]) : 10;

    MainWindow window;
    window.show();
    Device *device = attachDevice(window);
    for (int i = 0; i < 300; ++i) // a full plot from the start
        device->receiveBytes("*T = " + QByteArray::number(290.0 - i * 0.1, 'f', 3) + " K\n");
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    long delivered = 0;
    double worstLagMs = 0;
    const double cpuBefore = cpuSeconds();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        // Deliver every reading that is due: a slow window falls behind here.
        const double now = clock.nsecsElapsed() / 1e6;
        while ((delivered + 1) * periodMs <= now) {
            worstLagMs = qMax(worstLagMs, now - (delivered + 1) * periodMs);
            device->receiveBytes("*T = " + QByteArray::number(4.2 + (delivered % 1000) * 0.01, 'f', 3) + " K\r\n");
            ++delivered;
        }
        if (now >= seconds * 1000)
            app.quit();
    });
    tick.start(qMax(1, int(periodMs)));
    app.exec();
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpuBefore;
    printf("period %.1f ms: %ld readings in %.1f s, CPU %.2f%% of a core, worst lag %.1f ms, plot %d points\n",
           periodMs, delivered, wall, 100.0 * cpu / wall, worstLagMs, window.plotTemperatures.size());
    return 0;
}
