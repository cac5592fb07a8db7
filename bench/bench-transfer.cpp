// The same transfers as bare-client, through the window: open the port as the
// operator does, wait for the read-back, then time the exchange.
//
//   frostgauge-bench-transfer upgrade PTY BYTES
//   frostgauge-bench-transfer curve PTY POINTS
// Prints the seconds the exchange took.

#include "bench-support.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {
// Runs the event loop as exec() does, blocking until something happens, and
// checks the condition after each wake-up. processEvents() with a time limit
// would not block: it strips WaitForMoreEvents and the wait would spin,
// taking a core from the simulator on the other end.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 600000)
{
    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { timedOut = true; });
    deadline.start(timeoutMs);
    while (!done()) {
        if (timedOut)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QTemporaryDir> configHome(prepareBenchEnvironment());
    if (argc != 4)
        return fprintf(stderr, "usage: frostgauge-bench-transfer upgrade|curve PTY SIZE\n"), 2;
    qputenv("FROSTGAUGE_EXTRA_PORTS", argv[2]);
    QApplication app(argc, argv);
    const QString mode = QString::fromLatin1(argv[1]);
    const long size = atol(argv[3]);

    MainWindow window;
    window.show();
    window.ui->serialPortCombo->setCurrentIndex(window.ui->serialPortCombo->findData(QString::fromLocal8Bit(argv[2])));
    window.ui->serialPortOpenButton->click();
    if (!window.device
        || !waitFor(
            [&] { return window.ui->modelValue->text() != QLatin1String("-") && window.getParametersStage == -1; },
            10000))
        return fprintf(stderr, "no instrument on %s\n", argv[2]), 1;

    // An operator picks the image and confirms before the exchange starts; the
    // window idles for a second here too. Without the pause the exchange starts
    // while the scheduler still counts the window's start-up burst against the
    // process, which alone made it 1.2-1.3 x slower than a second later.
    bool settled = false;
    QTimer::singleShot(1000, [&] { settled = true; });
    waitFor([&] { return settled; });

    QElapsedTimer timer;
    timer.start();
    if (mode == QLatin1String("upgrade")) {
        QByteArray image;
        for (long i = 0; i < size; ++i)
            image.append(char(i * 7));
        bool restarted = false;
        QObject::connect(window.device, &Device::deviceRestarted, [&] { restarted = true; });
        window.device->upgradeFirmware(image);
        if (!waitFor([&] { return restarted && !window.device->managementMode; }))
            return fprintf(stderr, "upgrade did not finish\n"), 1;
    } else {
        window.curveTemperatures.fill(4.2, int(size));
        window.curveVoltages.fill(1.6, int(size));
        window.ui->sensorUploadButton->click();
        if (!waitFor([&] { return window.device->calibrationStage == Device::CalibrationIdle; }))
            return fprintf(stderr, "upload did not finish\n"), 1;
    }
    printf("%.3f\n", timer.elapsed() / 1000.0);
    return 0;
}
