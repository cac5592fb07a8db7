// Process start-up and shutdown.

#include "history/history-store.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
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
        QVERIFY(program.waitForFinished(limitMs()));
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

    // Under X the window and the viewer leave Qt's GL integration (and with
    // it the driver's renderer) unloaded, unless the user asks for it.
    void openGlOnlyWhenAsked_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("integration"); // empty: the variable unset
        QTest::addColumn<bool>("glMapped");
        // clang-format off
        QTest::newRow("window") << FROSTGAUGE_EXECUTABLE << "Frostgauge" << "" << false;
        QTest::newRow("window, the user's GLX") << FROSTGAUGE_EXECUTABLE << "Frostgauge" << "xcb_glx" << true;
        QTest::newRow("viewer") << FROSTGAUGE_HISTORY_EXECUTABLE << "day.db - Frostgauge history" << "" << false;
        // clang-format on
    }

    void openGlOnlyWhenAsked()
    {
        QFETCH(QString, program);
        QFETCH(QString, title);
        QFETCH(QString, integration);
        QFETCH(bool, glMapped);
        QTemporaryDir dir;
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(dir.filePath("day.db")));
            store.addReading("cryo", 1796882400000, 4.2);
            QVERIFY(store.commit());
        }
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QPA_PLATFORM");
        environment.remove("QT_XCB_GL_INTEGRATION");
        if (!integration.isEmpty())
            environment.insert("QT_XCB_GL_INTEGRATION", integration);
        environment.insert("XDG_CONFIG_HOME", dir.path());
        run.setProcessEnvironment(environment);
        // The program's libraries as mapped once its window is on the screen
        // (looked for every 50 ms up to the wait limit). The display is waited
        // for first: on a busy machine xvfb-run can start the command before
        // its server takes connections. A program that ended before its window
        // showed is reported with its status and what it said.
        const QString script = QStringLiteral(
            "for i in $(seq $3); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.05; done\n"
            "\"$0\" \"$2\" >/dev/null 2>\"$4\" & pid=$!\n"
            "for i in $(seq $3); do xwininfo -root -children | grep -q \"\\\"$1\" && break;"
            " kill -0 $pid 2>/dev/null || break; sleep 0.05; done\n"
            "if ! xwininfo -root -children | grep -q \"\\\"$1\"; then\n"
            "  echo NO-WINDOW; kill -0 $pid 2>/dev/null || { wait $pid; echo \"ended with status $?\"; }; cat \"$4\"\n"
            "fi\n"
            "cat /proc/$pid/maps; kill $pid; wait $pid\n");
        run.start("xvfb-run", {"-a", "-s", "-screen 0 1280x1024x24", "bash", "-c", script, program, title,
                               dir.filePath("day.db"), QString::number(limitMs(60000) / 50), dir.filePath("stderr")});
        QVERIFY(run.waitForFinished(limitMs(90000)));
        const QString maps = QString::fromUtf8(run.readAllStandardOutput());
        QVERIFY2(!maps.contains("NO-WINDOW") && maps.contains("libqxcb"),
                 qPrintable(maps.left(2000) + QString::fromUtf8(run.readAllStandardError()).left(2000)));
        // Qt's GL integration and the driver behind it. (libGL and libGLX, the
        // vendor-neutral dispatch, stay: Debian's Qwt links QtOpenGL.)
        const QRegularExpression gl("xcbglintegrations/|libGLX_\\w+\\.so|libEGL_\\w+\\.so|_dri\\.so|libLLVM|libglapi");
        QCOMPARE(maps.contains(gl), glMapped);
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
