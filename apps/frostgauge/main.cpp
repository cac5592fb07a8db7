#include "common/x11-opengl.h"
#include "ui/application-identity.h"
#include "ui/mainwindow.h"

#include <QApplication>

#include <sodium.h>

int main(int argc, char *argv[])
{
    // Firmware images cannot be verified without the signature library.
    if (sodium_init() != 0)
        return 1;

    setApplicationIdentity();
    leaveOpenGlUnloaded();

    auto *application = new QApplication(argc, argv);
    auto *window = new MainWindow(nullptr);
    window->show();
    const int result = application->exec();
    delete window;
    delete application;
    return result;
}
