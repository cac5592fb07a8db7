// The Upgrade tab: wording of the question, progress, file handling, and a whole
// upgrade against the simulator with an image made by frostgauge-image.

#include "device/device-serial.h"
#include "firmware/version-compare.h"
#include "support/debug-capture.h"
#include "support/image-builder.h"
#include "support/modal-answer.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/window-fixture.h"
#include "ui/progress-percent.h"

#include <QProcess>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

#include <memory>

class FirmwarePanelTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    // A stalled step's wait: what the simulator does answer comes well within it
    // even on a busy machine.
    const int stallTimeoutMs = limitMs(2000);

    QString writeFile(const QString &name, const QByteArray &data) { return writeTestFile(dir, name, data); }

    // A window whose port is open on a pty and whose instrument said who it is.
    struct Rig {
        PtyPeer peer;
        MainWindow window;
        Rig(const QByteArray &identification)
        {
            if (!openPortInWindow(window, peer.path()))
                return; // the test's first look at the window fails and says why
            peer.write(identification + "\n*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\n");
            QTRY_VERIFY_WITH_TIMEOUT(!window.device->compatId.isEmpty(), limitMs());
            peer.drain(40);
            peer.take();
        }
    };

private slots:
    void init() { QSettings().clear(); }

    void wording_data()
    {
        // clang-format off
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("question");
        QTest::newRow("newer image") << "1.5.2" << "1.6" << "Upgrade firmware from version 1.5.2 to version 1.6?";
        QTest::newRow("older image") << "2.0" << "1.9.9" << "Downgrade firmware from version 2.0 to version 1.9.9?";
        QTest::newRow("equal, padded with zeros") << "1.6" << "1.6.0" << "Upgrade firmware from version 1.6 to version 1.6.0?";
        QTest::newRow("non-number part counts as 0") << "1.6a" << "1.1" << "Upgrade firmware from version 1.6a to version 1.1?";
        QTest::newRow("numeric, not textual") << "1.10" << "1.9" << "Downgrade firmware from version 1.10 to version 1.9?";
        QTest::newRow("empty versions") << "" << "" << "Upgrade firmware from version  to version ?";
        // clang-format on
    }

    void wording()
    {
        QFETCH(QString, device);
        QFETCH(QString, image);
        QTEST(firmwareUpgradeQuestion(device, image), "question");
    }

    void progress_data()
    {
        // clang-format off
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("stateMax");
        QTest::addColumn<int>("percent");
        QTest::newRow("0 of 100") << 0 << 100 << 1;
        QTest::newRow("49 of 100") << 49 << 100 << 50;
        QTest::newRow("99 of 100") << 99 << 100 << 100;
        QTest::newRow("100 of 100") << 100 << 100 << 100;
        QTest::newRow("past the end") << 144 << 120 << 100;
        QTest::newRow("nothing to send") << 0 << 0 << 100;
        QTest::newRow("large transfer") << 2000000000 << 2100000000 << 95;
        // clang-format on
    }

    void progress()
    {
        QFETCH(int, state);
        QFETCH(int, stateMax);
        QTEST(progressPercent(state, stateMax), "percent");
        MainWindow window;
        window.deviceProgress(state, stateMax);
        QTEST(window.ui->progressBar->value(), "percent");
    }

    void confirmOrDecline()
    {
        using namespace ImageBuilder;
        const QString image = writeFile("good.crp", sign(head() + record(revision1, "0123456789abcdef")));
        Rig rig("NORDA,VKRHX350,S1,1.5.2");
        QVERIFY(rig.window.device);

        DebugCapture debug;
        QString title, text;
        chooseFileInNextDialog(image);
        answerNextMessageBox(QMessageBox::No, &title, &text);
        rig.window.ui->upgradeButton->click();
        QCOMPARE(title, QStringLiteral("Firmware upgrade"));
        QCOMPARE(text, QStringLiteral("Upgrade firmware from version 1.5.2 to version 1.6?"));
        QCOMPARE(rig.peer.drain(50), QByteArray());
        QVERIFY(debug.contains("firmware vendor: \"NORDA\""));
        QVERIFY(debug.contains("firmware model: \"VKRHX350\""));
        QVERIFY(debug.contains("firmware version: \"1.6\""));
        QVERIFY(debug.contains("firmware blob size: 16"));
        QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), dir.path());

        chooseFileInNextDialog(image);
        answerNextMessageBox(QMessageBox::Yes);
        rig.window.ui->upgradeButton->click();
        QCOMPARE(rig.peer.waitForBytes(14), QByteArray(":system:reset\n"));
        QCOMPARE(rig.window.device->upgradeStage, int(Device::UpgradeResetting));
    }

    void invalidFileShowsCriticalBox()
    {
        Rig rig("NORDA,VKRHX350,S1,1.5.2");
        QVERIFY(rig.window.device);
        QTemporaryDir other;
        const QString bad = other.filePath("broken.crp");
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(500, 'z'));
        file.close();

        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        chooseFileInNextDialog(bad);
        answerNextMessageBox(QMessageBox::Ok, &title, &text, &icon);
        rig.window.ui->upgradeButton->click();
        QCOMPARE(title, QStringLiteral("Firmware upgrade"));
        QCOMPARE(text, QStringLiteral("Invalid or unsupported firmware file"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(rig.peer.drain(50), QByteArray());
        // The folder is remembered as soon as a file is accepted.
        QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), other.path());

        cancelNextDialog();
        rig.window.ui->upgradeButton->click();
        QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), other.path());
    }

    void transferButtonsRefuseBeforeAnyDialog_data()
    {
        // clang-format off
        QTest::addColumn<bool>("uploadRunning");
        QTest::addColumn<bool>("pressUpgrade");
        QTest::addColumn<QString>("message");
        QTest::newRow("upgrade during an upload")
            << true << true << "A calibration upload is under way: firmware upgrade not started";
        QTest::newRow("upload during an upgrade")
            << false << false << "A firmware upgrade is under way: calibration upload not started";
        // clang-format on
    }

    void transferButtonsRefuseBeforeAnyDialog()
    {
        QFETCH(bool, uploadRunning);
        QFETCH(bool, pressUpgrade);
        QFETCH(QString, message);
        Rig rig("NORDA,VKRHX350-BS,S1,1.5.2");
        QVERIFY(rig.window.device);
        if (uploadRunning) {
            QVERIFY(rig.window.device->uploadCalibration(QByteArray(64, 'c')));
        } else {
            QVERIFY(rig.window.device->upgradeFirmware(QByteArray(64, 'f')));
            rig.window.curveTemperatures = {4.0, 77.0};
            rig.window.curveVoltages = {1.6, 1.0};
        }
        rig.peer.drain(40);
        rig.peer.take();

        // A dialog would sit in exec() until answered; this one only records it.
        auto opened = std::make_shared<bool>(false);
        answerNextModal(
            [opened](QWidget *modal) {
                *opened = true;
                if (auto *dialog = qobject_cast<QDialog *>(modal))
                    dialog->reject();
            },
            10);
        (pressUpgrade ? rig.window.ui->upgradeButton : rig.window.ui->sensorUploadButton)->click();
        QTest::qWait(200);
        QVERIFY(!*opened);
        QCOMPARE(rig.peer.drain(50), QByteArray());
        QCOMPARE(rig.window.statusBar()->currentMessage(), message);
    }

    void lineStaysQuietDuringATransfer()
    {
        Rig rig("NORDA,VKRHX350-BS,S1,1.5.2");
        QVERIFY(rig.window.device);
        rig.window.device->versionNumber = 0x01050200;
        QVERIFY(rig.window.device->upgradeFirmware(QByteArray(200, 'f')));
        QCOMPARE(rig.peer.waitForBytes(4), QByteArray("@02\n"));
        rig.peer.take();
        QVERIFY(!rig.window.ui->tab_2->isEnabled());
        QVERIFY(!rig.window.ui->calibrationTab->isEnabled());

        // Whatever reaches the slots while the transfer runs goes nowhere.
        rig.window.relay1TempSpinChanged(12.5);
        rig.window.saveButtonClicked();
        rig.window.adcCalibrationR1MeasureButtonClicked();
        rig.window.adcCalibrationRealMasureButtonClicked();
        rig.window.adcCalibrationResetButtonClicked();
        rig.window.enableSerialOutputButtonClicked();
        QCOMPARE(rig.peer.drain(50), QByteArray());
        QVERIFY(rig.window.statusBar()->currentMessage().startsWith(QStringLiteral("A transfer is under way")));

        // A read-back answer that arrives now does not send the next query.
        rig.window.getParametersStage = 0;
        rig.peer.write("cal = vkr\n");
        QCOMPARE(rig.peer.drain(50), QByteArray());
        QCOMPARE(rig.window.getParametersStage, 1);

        rig.peer.write("*ERASE_OK\n*WRITE_OK\n*WRITE_OK\n");
        // The end opens the line again and the read-back goes on.
        QVERIFY(rig.peer.waitFor(":rs232:period?\n").endsWith("\nboot\n:rs232:period?\n"));
        QVERIFY(rig.window.ui->tab_2->isEnabled());
        QVERIFY(rig.window.ui->calibrationTab->isEnabled());
        QCOMPARE(rig.window.ui->upgradeMessageLabel->text(),
                 QStringLiteral("Firmware written; the instrument starts it"));
    }

    void closingDuringATransferSendsNothingMore()
    {
        Rig rig("NORDA,VKRHX350-BS,S1,1.5.2");
        QVERIFY(rig.window.device);
        QVERIFY(rig.window.device->uploadCalibration(QByteArray(64, 'c')));
        rig.peer.drain(40);
        rig.peer.take();
        // A read-back the transfer paused must not go on as the port closes.
        rig.window.getParametersStage = 2;
        rig.window.ui->serialPortCloseButton->click();
        QCOMPARE(rig.peer.drain(50), QByteArray());
        QVERIFY(rig.window.ui->tab_2->isEnabled());
        QVERIFY(rig.window.statusBar()->currentMessage().startsWith("Calibration upload stopped: the port was closed")
                || rig.window.statusBar()->currentMessage() == "Port closed");
    }

    void noPortDoesNothing()
    {
        MainWindow window;
        window.firmwareUpgradeButtonClicked();
        QVERIFY(!QSettings().contains("/ui/firmware-upgrade-last-path"));
    }

    void wholeUpgradeAgainstTheSimulator()
    {
        QByteArray build;
        for (int i = 0; i < 64 * 1024; ++i)
            build.append(char((i * 2654435761u) >> 24));
        const QString buildPath = writeFile("app-r2.bin", build);
        const QString image = dir.filePath("release-1.6.crp");
        QProcess tool;
        tool.start(QStringLiteral(FROSTGAUGE_IMAGE_EXECUTABLE),
                   {"create", "--output", image, "--version", "1.6", "--build",
                    "r1=" + writeFile("app-r1.bin", "other revision"), "--build", "r2=" + buildPath});
        QVERIFY(tool.waitForFinished(limitMs()));
        QCOMPARE(tool.exitCode(), 0);

        const QString dump = dir.filePath("flash.bin");
        SimulatorProcess sim({"--revision", "2", "--flash-dump", dump, "--version", "1.5.2"});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->modelValue->text(), QStringLiteral("VKRHX350"), limitMs());

        QString text;
        chooseFileInNextDialog(image);
        answerNextMessageBox(QMessageBox::Yes, nullptr, &text);
        window.ui->upgradeButton->click();
        QCOMPARE(text, QStringLiteral("Upgrade firmware from version 1.5.2 to version 1.6?"));
        QTRY_VERIFY_WITH_TIMEOUT(window.device->managementMode, limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.device->upgradeStage, int(Device::UpgradeIdle), limitMs());
        QCOMPARE(window.ui->progressBar->value(), 100);

        // Back in its application: identified and read back again.
        QTRY_VERIFY_WITH_TIMEOUT(!window.device->managementMode, limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->modelValue->text(), QStringLiteral("VKRHX350"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        QCOMPARE(window.ui->displayRefreshSpin->value(), 500);

        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);
    }

    void upgradeThatCannotProceed_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("simulatorOptions");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("retryCompletes");
        QTest::newRow("instrument stays in its application")
            << QStringList{"--stay-in-application"}
            << QString::fromLatin1(Device::NotInManagementFirmware) << false;
        QTest::newRow("write never acknowledged")
            << QStringList{"--drop-ack", "3"}
            << QStringLiteral("Firmware upgrade stopped: no acknowledgement of the write at offset 224 "
                              "within %1 s. The instrument waits in its management firmware: start "
                              "the upgrade again.").arg(stallTimeoutMs / 1000.0)
            << true;
        // clang-format on
    }

    void upgradeThatCannotProceed()
    {
        QFETCH(QStringList, simulatorOptions);
        QFETCH(QString, message);
        QFETCH(bool, retryCompletes);
        QByteArray build;
        for (int i = 0; i < 1000; ++i)
            build.append(char(i * 11));
        const QString image = dir.filePath("stall.crp");
        QProcess tool;
        tool.start(QStringLiteral(FROSTGAUGE_IMAGE_EXECUTABLE),
                   {"create", "--output", image, "--version", "1.6", "--build", "r1=" + writeFile("stall.bin", build)});
        QVERIFY(tool.waitForFinished(limitMs()));
        const QString dump = dir.filePath("stall-flash.bin");
        QFile::remove(dump);
        SimulatorProcess sim(simulatorOptions + QStringList{"--flash-dump", dump});
        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_VERIFY_WITH_TIMEOUT(!window.device->compatId.isEmpty(), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        window.device->transferTimeoutMs = stallTimeoutMs;

        chooseFileInNextDialog(image);
        answerNextMessageBox(QMessageBox::Yes);
        window.ui->upgradeButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->upgradeMessageLabel->text(), message, limitMs());
        QCOMPARE(window.statusBar()->currentMessage(), message);
        QCOMPARE(window.device->upgradeStage, int(Device::UpgradeIdle));
        QVERIFY(window.ui->tab_2->isEnabled());
        QVERIFY(window.ui->upgradeButton->isEnabled());

        if (!retryCompletes) {
            QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
            sim.stop();
            QFile flash(dump);
            QVERIFY(!flash.exists() || (flash.open(QIODevice::ReadOnly) && flash.readAll().isEmpty()));
            return;
        }
        // The instrument waits in its management firmware: the operator starts again.
        QVERIFY(window.device->managementMode);
        chooseFileInNextDialog(image);
        answerNextMessageBox(QMessageBox::Yes);
        window.ui->upgradeButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->upgradeMessageLabel->text(),
                                  QStringLiteral("Firmware written; the instrument starts it"), limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(!window.device->managementMode, limitMs());
        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);
    }
};

FROSTGAUGE_TEST_MAIN(FirmwarePanelTest)
#include "test-firmware-panel.moc"
