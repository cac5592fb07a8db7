// Custom sensor curves: the file format, the curve record, the calibration
// upload and the custom sensor tab.

#include "device/device-serial.h"
#include "device/sensor-curve.h"
#include "support/debug-capture.h"
#include "support/device-on-pty.h"
#include "support/modal-answer.h"
#include "support/pty-peer.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "support/window-fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtEndian>

#include <qwt_plot_curve.h>

#include <memory>

namespace {
qint32 le32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<qint32>(bytes.constData() + offset);
}

} // namespace

class SensorCurveTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    // Uploads through a Device on a pty and plays the acknowledgements.

private slots:
    void init() { QSettings().clear(); }

    void curveFile_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QVector<double>>("temperatures");
        QTest::addColumn<QVector<double>>("voltages");
        const QVector<double> t{4.2, 10.0};
        const QVector<double> v{1.6259, 1.4207};
        QTest::newRow("LF") << QByteArray("4.2 1.6259\n10 1.4207\n") << t << v;
        QTest::newRow("CR LF, no final line end") << QByteArray("4.2 1.6259\r\n10 1.4207") << t << v;
        QTest::newRow("tabs and blanks") << QByteArray("  4.2\t\t1.6259  \n\t10    1.4207\t\n") << t << v;
        QTest::newRow("headers, three columns and commas are skipped")
            << QByteArray("Temperature Voltage\n# curve\n4.2 1.6259\n5 1.6 -0.02\n4.2,1.6259\n"
                          "4,2 1,6259\n10 1.4207\nK V\n")
            << t << v;
        QTest::newRow("nothing after a NUL is read")
            << QByteArray("4.2 1.6259\n10 1.4207\n\0 20 1.1\n", 30) << t << v;
        QTest::newRow("exponents and signs") << QByteArray("4.2e0 +1.6259\n1e1 1.4207E0\n") << t << v;
        QTest::newRow("only non-point lines") << QByteArray("a b\n1 2 3\n4.2,1.6\n\n")
                                              << QVector<double>() << QVector<double>();
        QTest::newRow("nan and inf are no points") << QByteArray("nan 1\n4.2 inf\n4.2 1.6259\n")
                                                   << QVector<double>{4.2} << QVector<double>{1.6259};
        // clang-format on
    }

    void curveFile()
    {
        QFETCH(QByteArray, contents);
        const SensorCurve curve = parseSensorCurve(contents);
        QTEST(curve.temperatures, "temperatures");
        QTEST(curve.voltages, "voltages");
    }

    void pointsTheRecordCannotHold_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("error");
        QTest::newRow("below absolute zero")
            << QByteArray("# K V\n4.2 1.6\n-0.5 1.7\n") << "line 3: -0.5 K is below absolute zero";
        QTest::newRow("temperature past the field")
            << QByteArray("4.2 1.6\n\n3e6 1.0\n") << "line 3: 3e+06 K does not fit the curve record (at most 2147483.647 K)";
        QTest::newRow("temperature that scales to infinity")
            << QByteArray("1e308 1.0\n") << "line 1: 1e+308 K does not fit the curve record (at most 2147483.647 K)";
        QTest::newRow("voltage past the field, CR LF")
            << QByteArray("4.2 1.6\r\n10 2200\r\n") << QStringLiteral("line 2: 2200 V does not fit the curve record (within \u00b12147.483647 V)");
        QTest::newRow("negative voltage past the field")
            << QByteArray("10 -2147.5\n") << QStringLiteral("line 1: -2147.5 V does not fit the curve record (within \u00b12147.483647 V)");
        QByteArray many;
        for (int i = 0; i <= MaxSensorCurvePoints; ++i)
            many += QByteArray::number(1 + i * 0.01) + " 1.5\n";
        QTest::newRow("one point more than a record carries")
            << many << "line 8190: more than 8189 points, more than the instrument's curve can hold";
        // clang-format on
    }

    void pointsTheRecordCannotHold()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, error);
        const SensorCurve curve = parseSensorCurve(contents);
        QCOMPARE(curve.error, error);
        QVERIFY(curve.temperatures.isEmpty() && curve.voltages.isEmpty());
    }

    void largeButFittingPointsAreKept()
    {
        const SensorCurve curve = parseSensorCurve("0 -1\n2000000 2000\n");
        QCOMPARE(curve.error, QString());
        const QByteArray record = sensorCurveRecord("edge", curve.temperatures, curve.voltages);
        QCOMPARE(record.mid(24).toHex(), QByteArray("00000000"
                                                    "c0bdf0ff"
                                                    "00943577"
                                                    "00943577"));
    }

    void curveRecord()
    {
        const QByteArray record =
            sensorCurveRecord(QStringLiteral("DT670"), {4.2, 1.6259, 300.0}, {1.6259, -0.5, 0.0000019});
        QCOMPARE(record.size(), 48);
        QCOMPARE(le32(record, 0), 0x05DE41D4);
        QCOMPARE(le32(record, 4), 3);
        QCOMPARE(record.mid(8, 16), QByteArray("DT670") + QByteArray(11, '\0'));
        QCOMPARE(le32(record, 24), 4200);
        QCOMPARE(le32(record, 28), 1625900);
        QCOMPARE(le32(record, 32), 1625); // truncated, where rounding would give 1626
        QCOMPARE(le32(record, 36), -500000);
        QCOMPARE(le32(record, 40), 300000);
        QCOMPARE(le32(record, 44), 1);

        const QString longName = QStringLiteral("ÄÖÜäöüßé"); // 8 characters, 16+ UTF-8 bytes
        const QByteArray named = sensorCurveRecord(longName + QStringLiteral("€"), {}, {});
        QCOMPARE(named.size(), 24);
        QCOMPARE(named.mid(8, 16), (longName + QStringLiteral("€")).toUtf8().left(16));
    }

    void nameIsCutBetweenCharacters_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kept");
        QTest::newRow("ASCII") << QStringLiteral("ABCDEFGHIJKLMNOPQRS") << QStringLiteral("ABCDEFGHIJKLMNOP");
        QTest::newRow("two-byte character across the cut")
            << QStringLiteral("aÄÖÜäöüßé") << QStringLiteral("aÄÖÜäöüß");
        QTest::newRow("three-byte characters") << QStringLiteral("€€€€€€") << QStringLiteral("€€€€€");
        QTest::newRow("four-byte characters, exact fit")
            << QStringLiteral("\U0001F9CA\U0001F9CA\U0001F9CA\U0001F9CA\U0001F9CA")
            << QStringLiteral("\U0001F9CA\U0001F9CA\U0001F9CA\U0001F9CA");
        QTest::newRow("four-byte character across the cut")
            << QStringLiteral("ab\U0001F9CA\U0001F9CA\U0001F9CA\U0001F9CA")
            << QStringLiteral("ab\U0001F9CA\U0001F9CA\U0001F9CA");
        // clang-format on
    }

    void nameIsCutBetweenCharacters()
    {
        QFETCH(QString, name);
        QFETCH(QString, kept);
        const QByteArray field = sensorCurveRecord(name, {}, {}).mid(8, 16);
        const QByteArray expected = kept.toUtf8();
        QCOMPARE(field, expected + QByteArray(16 - expected.size(), '\0'));
    }

    void upload120Bytes()
    {
        DeviceOnPty rig;
        QVERIFY(rig.opened);
        QSignalSpy progress(&rig.device, &Device::progress);
        QByteArray payload;
        for (int i = 0; i < 120; ++i)
            payload.append(char(i));
        rig.device.uploadCalibration(payload);
        QCOMPARE(rig.peer.waitForBytes(11), QByteArray(":cal:erase\n"));
        rig.peer.take();
        QCOMPARE(rig.reply("*cal-erase-done"), ":cal:write 0000 " + payload.mid(0, 48).toHex() + "\n");
        QCOMPARE(rig.reply("*cal-write-done"), ":cal:write 0030 " + payload.mid(48, 48).toHex() + "\n");
        QCOMPARE(rig.reply("*cal-write-done"), ":cal:write 0060 " + payload.mid(96).toHex() + "\n");
        QCOMPARE(rig.reply("*cal-write-done"), QByteArray());
        QCOMPARE(rig.device.calibrationStage, int(Device::CalibrationIdle));
        QVERIFY(rig.device.transferData.isEmpty());
        QList<int> states;
        for (const auto &signal : progress) {
            QCOMPARE(signal.at(1).toInt(), 120);
            states << signal.at(0).toInt();
        }
        QCOMPARE(states, (QList<int>{0, 48, 96, 144}));
        QCOMPARE(rig.reply("*cal-write-done"), QByteArray());
    }

    void shortAndUnalignedPayloads()
    {
        DeviceOnPty rig;
        QVERIFY(rig.opened);
        QSignalSpy progress(&rig.device, &Device::progress);
        rig.device.uploadCalibration(QByteArray(24, '\x11'));
        rig.peer.waitForBytes(11);
        rig.peer.take();
        QCOMPARE(rig.reply("*cal-erase-done"), ":cal:write 0000 " + QByteArray(24, '\x11').toHex() + "\n");
        QCOMPARE(progress.last(), (QList<QVariant>{48, 24}));
        QCOMPARE(rig.reply("*cal-write-done"), QByteArray());

        // The fill goes at the end: the data keeps its offsets.
        rig.device.uploadCalibration(QByteArray(13, '\x22'));
        rig.peer.waitForBytes(11);
        rig.peer.take();
        QCOMPARE(rig.reply("*cal-erase-done"), ":cal:write 0000 " + QByteArray(13, '\x22').toHex() + "ffffff\n");
        QCOMPARE(progress.last(), (QList<QVariant>{48, 16}));
    }

    void offsetsPast65535UseMoreDigits()
    {
        DeviceOnPty rig;
        QVERIFY(rig.opened);
        rig.device.uploadCalibration(QByteArray(65584, '\x33'));
        while (rig.device.calibrationStage != Device::CalibrationIdle)
            rig.device.uploadCalibrationStep();
        const QByteArray all = rig.peer.waitFor(":cal:write 10020 ", 10000);
        QVERIFY(all.contains("\n:cal:write ffc0 "));
        QVERIFY(all.contains("\n:cal:write fff0 "));
        QVERIFY(all.endsWith(":cal:write 10020 " + QByteArray(16, '\x33').toHex() + "\n"));
    }

    void tabLoadsPlotsAndRemembers()
    {
        const QString path = writeTestFile(dir, "curve.txt", "T V\n4.2 1.6259\r\n10 1.4207\r\n");
        MainWindow window;
        DebugCapture debug;
        QStringList filters;
        chooseFileInNextDialog(path, &filters);
        window.ui->sensorFileChooseButton->click();
        QCOMPARE(filters, (QStringList{"Data files (*.cal *.dat *.tab *.txt)", "All files (*.*)"}));
        QCOMPARE(window.ui->sensorFileEdit->text(), path);
        QCOMPARE(window.curveTemperatures, (QVector<double>{4.2, 10.0}));
        QCOMPARE(window.curveVoltages, (QVector<double>{1.6259, 1.4207}));
        QCOMPARE(window.sensorCurve->dataSize(), size_t(2));
        QCOMPARE(window.sensorCurve->sample(1), QPointF(10.0, 1.4207));
        QVERIFY(debug.contains("calibration data: 4.200000, 1.625900"));
        QCOMPARE(QSettings().value("/ui/sensor-file-last-path").toString(), dir.path());
        QCOMPARE(QSettings().value("/custom-sensor-file").toString(), path);

        // The next start shows and loads the same curve.
        MainWindow next;
        QCOMPARE(next.ui->sensorFileEdit->text(), path);
        QCOMPARE(next.curveTemperatures, (QVector<double>{4.2, 10.0}));

        // Cancel changes nothing; a file without points empties the curve.
        cancelNextDialog();
        window.ui->sensorFileChooseButton->click();
        QCOMPARE(window.curveTemperatures.size(), 2);
        const QString empty = writeTestFile(dir, "empty.dat", "no points here\n");
        chooseFileInNextDialog(empty);
        window.ui->sensorFileChooseButton->click();
        QVERIFY(window.curveTemperatures.isEmpty());
        QCOMPARE(window.sensorCurve->dataSize(), size_t(0));
        QCOMPARE(window.ui->sensorFileEdit->text(), empty);
    }

    void unreadableStoredFileLeavesTheCurveEmpty()
    {
        QSettings().setValue("/custom-sensor-file", dir.filePath("gone.txt"));
        MainWindow window;
        QCOMPARE(window.ui->sensorFileEdit->text(), dir.filePath("gone.txt"));
        QVERIFY(window.curveTemperatures.isEmpty());
    }

    void uploadRefusesAnEmptyCurve()
    {
        PtyPeer peer;
        MainWindow window;
        QVERIFY(openPortInWindow(window, peer.path()));
        peer.waitForBytes(8);
        peer.take();
        QString title, text;
        answerNextMessageBox(QMessageBox::Ok, &title, &text);
        window.ui->sensorUploadButton->click();
        QCOMPARE(title, QStringLiteral("Custom sensor"));
        QCOMPARE(text, QStringLiteral("No calibration points loaded"));
        QCOMPARE(peer.drain(50), QByteArray());
        QCOMPARE(window.device->calibrationStage, int(Device::CalibrationIdle));
    }

    void uploadWaitsForAFirmwareUpgrade()
    {
        PtyPeer peer;
        MainWindow window;
        QVERIFY(openPortInWindow(window, peer.path()));
        peer.waitForBytes(8);
        peer.take();
        window.curveTemperatures = {4.2};
        window.curveVoltages = {1.6};
        window.device->upgradeStage = Device::UpgradeWriting;
        window.ui->sensorUploadButton->click();
        QCOMPARE(peer.drain(50), QByteArray());
        QVERIFY(window.statusBar()->currentMessage().contains(QStringLiteral("firmware upgrade is under way")));
    }

    void uploadEndToEnd()
    {
        QTemporaryDir stateDir;
        const QString statePath = stateDir.filePath("state.json");
        SimulatorProcess sim({"--state", statePath});
        QByteArray file("# DT-670 excerpt\n");
        QVector<double> temperatures, voltages;
        for (int i = 0; i < 40; ++i) {
            temperatures << 2.0 + i * 7.25;
            voltages << 1.7 - i * 0.03125;
            file += QByteArray::number(temperatures.last(), 'f', 4) + "\t" + QByteArray::number(voltages.last(), 'f', 6)
                    + "\n";
        }
        const QString path = writeTestFile(dir, "dt670.tab", file);

        MainWindow window;
        QVERIFY(openPortInWindow(window, sim.path()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->modelValue->text(), QStringLiteral("VKRHX350"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        chooseFileInNextDialog(path);
        window.ui->sensorFileChooseButton->click();
        window.ui->sensorNameEdit->setText(QStringLiteral("Probe 7"));
        window.ui->sensorUploadButton->click();
        QCOMPARE(QSettings().value("/custom-sensor-name").toString(), QStringLiteral("Probe 7"));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->progressBar->value(), 100, limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.device->calibrationStage, int(Device::CalibrationIdle), limitMs());
        window.ui->saveButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(statePath), limitMs());
        QFile state(statePath);
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QByteArray stored =
            QByteArray::fromHex(QJsonDocument::fromJson(state.readAll()).object().value("curve").toString().toLatin1());
        const SensorCurve parsed = parseSensorCurve(file);
        QCOMPARE(parsed.temperatures.size(), 40);
        QCOMPARE(stored, sensorCurveRecord(QStringLiteral("Probe 7"), parsed.temperatures, parsed.voltages));
        QCOMPARE(le32(stored, 4), 40);
        for (int i = 0; i < 40; ++i) {
            QVERIFY(qAbs(le32(stored, 24 + 8 * i) - temperatures.at(i) * 1000) <= 1);
            QVERIFY(qAbs(le32(stored, 28 + 8 * i) - voltages.at(i) * 1e6) <= 1);
        }
    }
};

FROSTGAUGE_TEST_MAIN(SensorCurveTest)
#include "test-sensor-curve.moc"
