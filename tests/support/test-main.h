#pragma once

// main() for the test executables: headless, with an empty settings store of
// their own (a temporary XDG_CONFIG_HOME) and the program's identity, so the
// window under test reads and writes exactly where the program would.

#include "support/wait-limits.h"
#include "ui/application-identity.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#define FROSTGAUGE_TEST_MAIN(TestObject)                                                                               \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        qputenv("QT_QPA_PLATFORM",                                                                                     \
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));          \
        QTemporaryDir configHome;                                                                                      \
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());                                                   \
        setApplicationIdentity();                                                                                      \
        /* Dialogs must be widgets that a test can answer. */                                                          \
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                                                   \
        QApplication app(argc, argv);                                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
