#pragma once

// Opens a window's port on a given device path (a pty or the simulator) the way
// an operator does: list it, select it, press Open.

#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QStatusBar>
#include <QtTest>

inline bool openPortInWindow(MainWindow &window, const QString &path)
{
    qputenv("FROSTGAUGE_EXTRA_PORTS", path.toLocal8Bit());
    window.ui->serialPortsRefreshButton->click();
    const int index = window.ui->serialPortCombo->findData(path);
    if (index < 0)
        return false;
    window.ui->serialPortCombo->setCurrentIndex(index);
    // On a machine running many tests at once an open can fail for a moment
    // (another process still holds the terminal's lock): tried again, said if not.
    for (int attempt = 0; attempt < 5 && !window.device; ++attempt) {
        if (attempt > 0)
            QTest::qWait(200);
        window.ui->serialPortOpenButton->click();
    }
    if (!window.device)
        qWarning("cannot open %s: %s", qPrintable(path), qPrintable(window.statusBar()->currentMessage()));
    return window.device != nullptr;
}
