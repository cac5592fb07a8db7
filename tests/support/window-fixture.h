#pragma once

// Opens a window's port on a given device path (a pty or the simulator) the way
// an operator does: list it, select it, press Open.

#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QtTest>

inline bool openPortInWindow(MainWindow &window, const QString &path)
{
    qputenv("FROSTGAUGE_EXTRA_PORTS", path.toLocal8Bit());
    window.ui->serialPortsRefreshButton->click();
    const int index = window.ui->serialPortCombo->findData(path);
    if (index < 0)
        return false;
    window.ui->serialPortCombo->setCurrentIndex(index);
    window.ui->serialPortOpenButton->click();
    return window.device != nullptr;
}
