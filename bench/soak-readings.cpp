// Soak: one million temperature lines through the window's reading path (read
// path, line handling, temperature slot, plot). Resident memory at the end must
// stay within 1 MiB of what it was after the first thousand lines, and the plot
// at 300 points. Prints the figures; exits 1 when a bound is missed.
//
//   frostgauge-soak [LINES]   (default 1000000)

#include "bench-support.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {
long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}
} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QTemporaryDir> configHome(prepareBenchEnvironment());
    QApplication app(argc, argv);
    const long lines = argc > 1 ? atol(argv[1]) : 1000000;

    MainWindow window;
    window.show();
    Device *device = attachDevice(window);

    const int linesPerRead = 100; // about what one read delivers at 115200 baud
    long sent = 0;
    long residentAfterWarmUp = -1;
    QElapsedTimer timer;
    timer.start();
    while (sent < lines) {
        QByteArray chunk;
        for (int i = 0; i < linesPerRead && sent < lines; ++i, ++sent)
            chunk += QByteArray("*T = ") + QByteArray::number(4.2 + (sent % 2900) * 0.1, 'f', 3) + " K\r\n";
        device->receiveBytes(chunk);
        // Each read returns to the event loop, as it does on a real line.
        QCoreApplication::processEvents();
        // SOAK_TRACE: resident memory every thousand lines at first (a one-time
        // step shows there), then every hundred thousand.
        if (qEnvironmentVariableIsSet("SOAK_TRACE") && sent % (sent < 20000 ? 1000 : 100000) == 0)
            fprintf(stderr, "%ld lines: %ld KiB\n", sent, residentKiB());
        if (residentAfterWarmUp < 0 && sent >= 1000) {
            QCoreApplication::processEvents();
            residentAfterWarmUp = residentKiB();
        }
    }
    QCoreApplication::processEvents();
    const double seconds = timer.elapsed() / 1000.0;
    const long residentAtEnd = residentKiB();
    const int points = window.plotTemperatures.size();
    const long growth = residentAtEnd - residentAfterWarmUp;

    printf("lines:              %ld\n", sent);
    printf("seconds:            %.1f (%.0f lines/s)\n", seconds, sent / seconds);
    printf("resident after 1k:  %ld KiB\n", residentAfterWarmUp);
    printf("resident at end:    %ld KiB (growth %ld KiB, bound 1024 KiB)\n", residentAtEnd, growth);
    printf("plot points:        %d (bound 300)\n", points);
    printf("last text:          %s\n", qPrintable(window.ui->temperatureValue->text()));
    return growth <= 1024 && points == 300 ? 0 : 1;
}
