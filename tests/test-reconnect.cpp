// A lost port that comes back: the window waits for it and opens it again as
// Open does, refuses another instrument, and spends nothing while it waits.

#include "device/device-serial.h"
#include "device/port-reconnect.h"
#include "support/process-cpu.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

#include <memory>

class ReconnectTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString link() const { return dir.filePath("vkr"); }

    // A simulator on the test's link whose saved settings turn its output on.
    std::unique_ptr<SimulatorProcess> simulator(const QString &serial)
    {
        const QString state = writeTestFile(dir, "state-" + serial + ".json", "{\"rs232:period\": 100}");
        return std::make_unique<SimulatorProcess>(QStringList{"--link", link(), "--serial", serial, "--state", state});
    }

private slots:
    void init() { QSettings().clear(); }

    void pathsThatComeBack_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("returns");
        QTest::newRow("pseudo-terminal") << "/dev/pts/3" << false;
        QTest::newRow("pseudo-terminal, untidy") << "/dev//pts/./7" << false;
        QTest::newRow("USB adapter") << "/dev/ttyUSB0" << true;
        QTest::newRow("by-id link") << "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0" << true;
        QTest::newRow("simulator link") << "/tmp/vkr" << true;
        QTest::newRow("out of pts again") << "/dev/pts/../ttyS0" << true;
        // clang-format on
    }

    void pathsThatComeBack()
    {
        QFETCH(QString, path);
        QTEST(PortReconnector::canReturn(path), "returns");
    }

    void windowReopensTheReturnedPort()
    {
        auto sim = simulator("SIM0001");
        QVERIFY(sim->started());
        MainWindow window;
        QVERIFY(openPortInWindow(window, link()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->serialNumberValue->text(), QStringLiteral("SIM0001"), limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(!window.plotTemperatures.isEmpty(), limitMs());

        sim->process().kill();
        sim->process().waitForFinished(limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!window.device, limitMs());
        const QString waiting = window.statusBar()->currentMessage();
        QVERIFY2(waiting.startsWith("Connection lost: ") && waiting.endsWith("; waiting for " + link() + " to return"),
                 qPrintable(waiting));
        QVERIFY(window.reconnector->isWaiting());

        // Back only after an attempt found nothing there.
        QTRY_VERIFY_WITH_TIMEOUT(window.reconnector->nextDelayMs() > PortReconnector::FirstDelayMs, limitMs());
        sim = simulator("SIM0001");
        QTRY_VERIFY_WITH_TIMEOUT(window.device, limitMs());
        QCOMPARE(window.statusBar()->currentMessage(), "Reconnected to " + link());
        // Identified and read back as after a press of Open, and readings flow again.
        // (Attempts come at growing intervals: on a loaded machine the new simulator
        // may only be seen by a late one.)
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        window.plotClearButtonClicked();
        QTRY_VERIFY_WITH_TIMEOUT(!window.plotTemperatures.isEmpty(), limitMs());
        QVERIFY(window.ui->serialPortCloseButton->isEnabled());
    }

    void anotherInstrumentIsRefused()
    {
        auto sim = simulator("SIM0001");
        MainWindow window;
        QVERIFY(openPortInWindow(window, link()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->serialNumberValue->text(), QStringLiteral("SIM0001"), limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!window.device, limitMs());

        sim = simulator("OTHER42");
        QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().startsWith("Refused"), limitMs());
        QCOMPARE(window.statusBar()->currentMessage(),
                 "Refused: the instrument on " + link() + " reports serial number OTHER42, not SIM0001");
        QVERIFY(!window.device);
        QVERIFY(!window.reconnector->isWaiting());
        // An explicit Open takes whatever instrument is there.
        QVERIFY(openPortInWindow(window, link()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->serialNumberValue->text(), QStringLiteral("OTHER42"), limitMs());
    }

    void waitingCostsNothingAndEndsOnRefresh()
    {
        auto sim = simulator("SIM0001");
        MainWindow window;
        QVERIFY(openPortInWindow(window, link()));
        QTRY_VERIFY_WITH_TIMEOUT(window.device && window.device->isIdentified, limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(window.reconnector->isWaiting(), limitMs());

        const double before = processCpuSeconds();
        QTest::qWait(3000);
        QVERIFY2(processCpuSeconds() - before < 0.3, "waiting for the port keeps the process busy");
        QVERIFY(window.reconnector->nextDelayMs() > PortReconnector::FirstDelayMs);

        window.ui->serialPortsRefreshButton->click();
        QVERIFY(!window.reconnector->isWaiting());
        sim = simulator("SIM0001");
        QTest::qWait(1500);
        QVERIFY(!window.device);
    }

    void staleLinkToAnotherTerminalIsNotOpened()
    {
        // link -> hop -> the simulator's terminal, as a far end killed without
        // removing its link leaves it.
        auto sim = simulator("SIM0001");
        const QString hop = dir.filePath("hop");
        const QString stale = dir.filePath("stale");
        QFile::remove(hop);
        QFile::remove(stale);
        QVERIFY(QFile::link(QFileInfo(link()).symLinkTarget(), hop));
        QVERIFY(QFile::link(hop, stale));
        MainWindow window;
        QVERIFY(openPortInWindow(window, stale));
        QTRY_VERIFY_WITH_TIMEOUT(window.device && window.device->isIdentified, limitMs());
        sim->process().kill();
        sim->process().waitForFinished(limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(window.reconnector->isWaiting(), limitMs());

        // The old link now leads to a terminal of somebody else.
        PtyPeer shell;
        QFile::remove(hop);
        QVERIFY(QFile::link(shell.path(), hop));
        // Until an attempt has seen the stale link (each one doubles the delay).
        const int delayAtChange = window.reconnector->nextDelayMs();
        QVERIFY(delayAtChange < PortReconnector::LongestDelayMs);
        QTRY_VERIFY_WITH_TIMEOUT(window.device || window.reconnector->nextDelayMs() > delayAtChange, limitMs());
        QVERIFY(!window.device);
        QCOMPARE(shell.drain(50), QByteArray());

        // A link made anew is the port's return.
        QFile::remove(stale);
        QVERIFY(QFile::link(shell.path(), stale));
        QTRY_VERIFY_WITH_TIMEOUT(window.device, limitMs());
        QCOMPARE(shell.waitForBytes(8), QByteArray("\x03\n*idn?\n"));
    }

    void lostTransferIsNotRestarted()
    {
        auto sim = simulator("SIM0001");
        MainWindow window;
        QVERIFY(openPortInWindow(window, link()));
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(window.device && window.device->isIdentified, limitMs());
        // The instrument goes at the first chunk it takes: polled instead, a
        // busy machine let the whole upload finish before the first look.
        bool midway = false;
        connect(window.device, &Device::progress, &window, [&] {
            if (!midway && window.device->transferPosition > 0) {
                midway = true;
                sim->process().kill();
            }
        });
        window.device->uploadCalibration(QByteArray(20000, 'c'));
        QTRY_VERIFY_WITH_TIMEOUT(midway, limitMs());
        sim->process().waitForFinished(limitMs());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!window.device, limitMs());
        QVERIFY(window.ui->tab_2->isEnabled());

        sim = simulator("SIM0001");
        QTRY_VERIFY_WITH_TIMEOUT(window.device, limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        QCOMPARE(window.device->activeTransfer(), Device::NoTransfer);
    }
};

FROSTGAUGE_TEST_MAIN(ReconnectTest)
#include "test-reconnect.moc"
