// Arbitrary bytes from the instrument, in arbitrary chunks, through the read
// path with the window's slots connected as in a real session: the read-back,
// both transfers and the management hand-over all run.
//
// Input: byte 0 picks what is under way (bit 0 a calibration upload, bit 1 a
// firmware upgrade, bit 2 management mode, bit 3 a pending ADC measurement),
// byte 1 seeds the chunk sizes; the rest is the stream.

#include "device/device-serial.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

MainWindow *session()
{
    static QTemporaryDir *configHome = [] {
        auto *dir = new QTemporaryDir;
        qputenv("XDG_CONFIG_HOME", dir->path().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return dir;
    }();
    Q_UNUSED(configHome);
    static int argc = 1;
    static char name[] = "fuzz-reply-stream";
    static char *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);
    Q_UNUSED(app);
    static MainWindow *window = [] {
        auto *w = new MainWindow;
        w->show(); // a shown plot computes its scales on every reading
        return w;
    }();
    return window;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    session();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    MainWindow *window = session();
    const uint8_t mode = data[0];
    uint32_t chunkSeed = data[1] | 1u;
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), int(size - 2));

    window->getParametersStage = -1;
    window->adcMeasureTarget = (mode & 8) ? 0 : -1;
    auto *device = new Device(window);
    window->device = device;
    window->connectDevice();
    device->managementMode = mode & 4;
    if (mode & 1)
        device->uploadCalibration(QByteArray(100, '\x5a'));
    if (mode & 2)
        device->upgradeFirmware(QByteArray(300, '\xa5'));

    for (int offset = 0; offset < stream.size();) {
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        const int chunk = 1 + int((chunkSeed >> 16) % 64);
        device->receiveBytes(stream.mid(offset, chunk));
        offset += chunk;
    }

    device->close();
    window->device = nullptr;
    delete device;
    // Between reads the event loop runs: repaints and deferred work happen there.
    QCoreApplication::processEvents();
    return 0;
}
