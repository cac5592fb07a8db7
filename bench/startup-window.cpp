// Start-up to the first shown window, for /usr/bin/time: with no argument the
// program's own start-up (as main does it: signature library, identity,
// application object, MainWindow, show); with "minimal" a bare Qt Widgets
// window holding one Qwt plot, the floor. Both exit once the window is exposed.

#include "ui/application-identity.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QWindow>

#include <qwt_plot.h>
#include <sodium.h>

#include <cstring>

int main(int argc, char *argv[])
{
    const bool minimal = argc > 1 && strcmp(argv[1], "minimal") == 0;
    QWidget *window = nullptr;
    if (!minimal && sodium_init() != 0)
        return 1;
    if (!minimal)
        setApplicationIdentity();
    QApplication app(argc, argv);
    if (minimal) {
        auto *plain = new QMainWindow;
        plain->setCentralWidget(new QwtPlot(plain));
        plain->resize(1024, 600);
        window = plain;
    } else {
        window = new MainWindow(nullptr);
    }
    window->show();
    while (!window->windowHandle() || !window->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    QCoreApplication::processEvents();
    delete window;
    return 0;
}
