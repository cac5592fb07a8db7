// Choosing, opening and closing the port from the window, and losing it.

#include "device/device-serial.h"
#include "device/port-list.h"
#include "device/port-reconnect.h"
#include "support/process-cpu.h"
#include "support/pty-peer.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QStatusBar>

#include <memory>

namespace {
const QByteArray openingBytes("\x03\n*idn?\n");
} // namespace

class WindowConnectionTest : public QObject
{
    Q_OBJECT

private:
    static void expectAvailability(MainWindow &window, bool open)
    {
        QCOMPARE(window.ui->serialPortCombo->isEnabled(), !open);
        QCOMPARE(window.ui->serialPortOpenButton->isEnabled(), !open);
        QCOMPARE(window.ui->serialPortCloseButton->isEnabled(), open);
        QCOMPARE(window.ui->applyButton->isEnabled(), open);
        QCOMPARE(window.ui->sensorUploadButton->isEnabled(), open);
        QCOMPARE(window.ui->upgradeButton->isEnabled(), open);
        // These keep their state whatever the connection does.
        QVERIFY(window.ui->serialPortsRefreshButton->isEnabled());
        QVERIFY(window.ui->saveButton->isEnabled());
        QVERIFY(window.ui->sensorFileChooseButton->isEnabled());
        QVERIFY(window.ui->relay1TempSpin->isEnabled());
    }

    static void selectPort(MainWindow &window, const QString &path)
    {
        const int index = window.ui->serialPortCombo->findData(path);
        QVERIFY(index >= 0);
        window.ui->serialPortCombo->setCurrentIndex(index);
    }

private slots:
    void init()
    {
        QSettings().clear();
        qunsetenv("FROSTGAUGE_EXTRA_PORTS");
    }

    void displayText_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("port");
        QTest::addColumn<QString>("text");
        QTest::newRow("all empty") << QStringList{"COM1", "", "", ""} << "COM1";
        QTest::newRow("manufacturer and description")
            << QStringList{"COM3", "M", "D", ""} << "COM3 (M, D)";
        QTest::newRow("serial number only") << QStringList{"ttyUSB0", "", "", "S1"} << "ttyUSB0 (S1)";
        QTest::newRow("all three") << QStringList{"ttyACM0", "FTDI", "USB UART", "A9X"}
                                   << "ttyACM0 (FTDI, USB UART, A9X)";
        // clang-format on
    }

    void displayText()
    {
        QFETCH(QStringList, port);
        QTEST(portDisplayText(port.at(0), port.at(1), port.at(2), port.at(3)), "text");
    }

    void extraPortsAndRememberedPort()
    {
        qputenv("FROSTGAUGE_EXTRA_PORTS", "/dev/pts/9991::/dev/pts/9992");
        {
            MainWindow window;
            const int count = window.ui->serialPortCombo->count();
            QVERIFY(count >= 2);
            QCOMPARE(window.ui->serialPortCombo->itemText(count - 2), QStringLiteral("/dev/pts/9991"));
            QCOMPARE(window.ui->serialPortCombo->itemData(count - 1).toString(), QStringLiteral("/dev/pts/9992"));
            // Nothing remembered and no COM1: the first entry is current.
            QCOMPARE(window.ui->serialPortCombo->currentIndex(), 0);
        }
        QSettings().setValue("/serial/port-name", "/dev/pts/9992");
        MainWindow window;
        QCOMPARE(window.ui->serialPortCombo->currentData().toString(), QStringLiteral("/dev/pts/9992"));
        QSettings().setValue("/serial/port-name", "/dev/ttyGONE");
        window.ui->serialPortsRefreshButton->click();
        QCOMPARE(window.ui->serialPortCombo->currentIndex(), 0);
    }

    void openCloseAndOpenAgain()
    {
        PtyPeer peer;
        qputenv("FROSTGAUGE_EXTRA_PORTS", peer.path().toLocal8Bit());
        MainWindow window;
        expectAvailability(window, false);
        selectPort(window, peer.path());

        window.ui->serialPortOpenButton->click();
        QVERIFY(window.device);
        QCOMPARE(window.device->parent(), &window);
        expectAvailability(window, true);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
        QCOMPARE(QSettings().value("/serial/port-name").toString(), peer.path());
        QCOMPARE(peer.waitForBytes(8), openingBytes);

        Device *first = window.device;
        window.serialPortOpenButtonClicked();
        QCOMPARE(window.device, first);

        // Refresh while open rebuilds the list and follows the open port's name.
        window.ui->serialPortsRefreshButton->click();
        QCOMPARE(window.ui->serialPortCombo->currentData().toString(), peer.path());
        QVERIFY(!window.ui->serialPortCombo->isEnabled());

        window.ui->serialPortCloseButton->click();
        QVERIFY(!window.device);
        expectAvailability(window, false);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
        QTest::qWait(20);

        peer.take();
        window.ui->serialPortOpenButton->click();
        QVERIFY(window.device);
        QCOMPARE(peer.waitForBytes(8), openingBytes);
        window.ui->actionQuit->trigger();
        QVERIFY(!window.device);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
    }

    void failedOpenCanBeRetried()
    {
        qputenv("FROSTGAUGE_EXTRA_PORTS", "/nonexistent/ttyNOPE");
        MainWindow window;
        selectPort(window, QStringLiteral("/nonexistent/ttyNOPE"));
        window.ui->serialPortOpenButton->click();
        QVERIFY(!window.device);
        expectAvailability(window, false);
        QVERIFY(
            window.statusBar()->currentMessage().startsWith(QStringLiteral("Cannot open port /nonexistent/ttyNOPE: ")));
        QVERIFY(window.statusBar()->currentMessage().size() > 40);
        QVERIFY(!QSettings().contains("/serial/port-name"));

        PtyPeer peer;
        qputenv("FROSTGAUGE_EXTRA_PORTS", peer.path().toLocal8Bit());
        window.ui->serialPortsRefreshButton->click();
        selectPort(window, peer.path());
        window.ui->serialPortOpenButton->click();
        QVERIFY(window.device);
        QCOMPARE(peer.waitForBytes(8), openingBytes);
    }

    void openWithNoEntryDoesNothing()
    {
        MainWindow window;
        window.ui->serialPortCombo->clear();
        window.ui->serialPortOpenButton->click();
        QVERIFY(!window.device);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Port closed"));
    }

    void hangUpReturnsToClosedStateWithoutBusyLoop()
    {
        auto peer = std::make_unique<PtyPeer>();
        qputenv("FROSTGAUGE_EXTRA_PORTS", peer->path().toLocal8Bit());
        MainWindow window;
        selectPort(window, peer->path());
        window.ui->serialPortOpenButton->click();
        QCOMPARE(peer->waitForBytes(8), openingBytes);

        peer->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!window.device, limitMs());
        expectAvailability(window, false);
        QVERIFY(window.statusBar()->currentMessage().startsWith(
            QStringLiteral("Connection lost: the port closed: cable pulled or device gone")));
        QVERIFY(!window.statusBar()->currentMessage().contains("Unknown error"));
        // A pseudo-terminal's number goes to the next program that asks: not waited for.
        QVERIFY(!window.statusBar()->currentMessage().contains("waiting for"));
        QVERIFY(!window.reconnector->isWaiting());

        const double before = processCpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(processCpuSeconds() - before < 0.2, "the lost port keeps the process busy");

        PtyPeer next;
        qputenv("FROSTGAUGE_EXTRA_PORTS", next.path().toLocal8Bit());
        window.ui->serialPortsRefreshButton->click();
        selectPort(window, next.path());
        window.ui->serialPortOpenButton->click();
        QVERIFY(window.device);
        QCOMPARE(next.waitForBytes(8), openingBytes);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
    }

    void deviceResetMessageLastsTwoSeconds()
    {
        PtyPeer peer;
        qputenv("FROSTGAUGE_EXTRA_PORTS", peer.path().toLocal8Bit());
        MainWindow window;
        selectPort(window, peer.path());
        window.ui->serialPortOpenButton->click();
        // How long the message stood, from the status bar's own changes: a busy
        // machine can only make it stand longer.
        QElapsedTimer shown;
        qint64 stoodMs = -1;
        connect(window.statusBar(), &QStatusBar::messageChanged, &window, [&](const QString &text) {
            if (text == QLatin1String("Device reset"))
                shown.start();
            else if (text.isEmpty() && shown.isValid())
                stoodMs = shown.elapsed();
        });
        peer.write("*RESET booting\n");
        QTRY_COMPARE_WITH_TIMEOUT(window.statusBar()->currentMessage(), QStringLiteral("Device reset"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.statusBar()->currentMessage(), QString(), limitMs());
        // A coarse timer may fire up to 5 % early, and the status bar starts it
        // just before it shows the message, so a little under 1900 ms is right.
        QVERIFY2(stoodMs >= 1800, qPrintable(QString::number(stoodMs)));
        // Restart and update checks change nothing in the window.
        window.ui->actionCheckForUpdates->trigger();
        window.deviceRestarted();
        QCOMPARE(window.statusBar()->currentMessage(), QString());
    }

    void quitWithoutPortClosesWindow()
    {
        MainWindow window;
        window.show();
        QVERIFY(window.isVisible());
        window.ui->actionQuit->trigger();
        QVERIFY(!window.isVisible());
    }
};

FROSTGAUGE_TEST_MAIN(WindowConnectionTest)
#include "test-window-connection.moc"
