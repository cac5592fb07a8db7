#pragma once

// Set-up shared by the benchmark programs: a headless application with a
// throw-away settings store and no debug output, and a window whose Device
// (without a port) is fed bytes directly.

#include "device/device-serial.h"
#include "ui/mainwindow.h"

#include <QTemporaryDir>

// Call before the application object exists; keep the result alive. Headless
// unless told otherwise (the live-plot figure wants a real X server, Xvfb).
inline QTemporaryDir *prepareBenchEnvironment(bool headless = true)
{
    auto *configHome = new QTemporaryDir;
    qputenv("XDG_CONFIG_HOME", configHome->path().toLocal8Bit());
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    return configHome;
}

// A Device connected to the window as an open port is, to be fed with receiveBytes.
inline Device *attachDevice(MainWindow &window)
{
    auto *device = new Device(&window);
    window.device = device;
    window.connectDevice();
    return device;
}
