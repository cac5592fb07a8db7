// Round trips of one query line at a time on a port: the time from writing
// ":relay1:temp?" to the answer's line, N times. On the simulator's own port
// and on a shared port of frostgauge-monitor in front of it, the difference
// is what the monitor adds per line.
// Usage: frostgauge-bench-line-latency PORT [N]   (prints p50, p99 and max in ms)

#include "device/device-serial.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { timedOut = true; });
    deadline.start(timeoutMs);
    while (!done() && !timedOut)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return fprintf(stderr, "usage: %s PORT [N]\n", argv[0]), 2;
    const int count = argc > 2 ? atoi(argv[2]) : 2000;
    Device device;
    if (!device.openPort(QString::fromLocal8Bit(argv[1])))
        return fprintf(stderr, "cannot open %s\n", argv[1]), 1;
    if (!waitFor([&] { return device.isIdentified; }, 5000))
        return fprintf(stderr, "no instrument on %s\n", argv[1]), 1;

    int answers = 0;
    QObject::connect(&device, &Device::parameterReceived, [&](const QString &key, const QString &) {
        if (key == QLatin1String("relay1:temp"))
            ++answers;
    });
    QVector<double> ms;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        const int before = answers;
        clock.start();
        device.serialSendCommand(QStringLiteral(":relay1:temp?\n"));
        if (!waitFor([&] { return answers > before; }, 2000))
            return fprintf(stderr, "no answer to query %d\n", i), 1;
        ms << clock.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    printf("%.3f %.3f %.3f\n", ms.at(ms.size() / 2), ms.at(int(ms.size() * 0.99)), ms.last());
    return 0;
}
