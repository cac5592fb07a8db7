// Process start-up and shutdown.

#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QProcess>
#include <QSettings>
#include <QTimer>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void signatureLibraryFailureExitsWithOne()
    {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", SODIUM_INIT_FAILS_LIBRARY);
        // In the sanitizer build the preloaded library comes before the runtime.
        environment.insert("ASAN_OPTIONS",
                           environment.value("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_CONFIG_HOME", qEnvironmentVariable("XDG_CONFIG_HOME"));
        program.setProcessEnvironment(environment);
        program.start(FROSTGAUGE_EXECUTABLE, QStringList());
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(program.readAllStandardOutput(), QByteArray());
        QVERIFY(QSettings().allKeys().isEmpty());
    }

    void quitEndsTheLoopWithItsResult()
    {
        auto *window = new MainWindow;
        window->show();
        QTimer::singleShot(0, window->ui->actionQuit, &QAction::trigger);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!window->isVisible());
        delete window;
    }

    void settingsSurviveIntoTheNextRun()
    {
        {
            MainWindow first;
            first.ui->relay2TempSpin->setValue(42.5);
        }
        MainWindow second;
        QCOMPARE(second.ui->relay2TempSpin->value(), 42.5);
    }
};

FROSTGAUGE_TEST_MAIN(StartupTest)
#include "test-startup.moc"
