// What the two transfers share: one at a time, a bounded wait for every step,
// and an end that is always reported.

#include "device/device-serial.h"
#include "support/debug-capture.h"
#include "support/scripted-link.h"
#include "support/test-main.h"

#include <QSignalSpy>

#include <memory>

class TransfersTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceOnLink> link;
    // Each step's wait: long enough that a test waiting half of it between
    // steps is not overtaken by a busy machine.
    const int timeoutMs = limitMs(1000);
    QString timeoutText() const { return QString::number(timeoutMs / 1000.0); }

    QByteArray reply(const QByteArray &line) { return link->reply(line); }

    // Starts a transfer of the given kind on an instrument already in its
    // management firmware (so an upgrade erases at once) and takes what went out.
    bool start(Device::Transfer kind, int size = 200)
    {
        const bool started = kind == Device::FirmwareUpgrade ? link->device.upgradeFirmware(QByteArray(size, 'f'))
                                                             : link->device.uploadCalibration(QByteArray(size, 'c'));
        link->instrument.take();
        return started;
    }

private slots:
    void init()
    {
        link = std::make_unique<DeviceOnLink>();
        reply("NORDA,VKRHX350-BS,S1,1.4.0.0");
        link->device.transferTimeoutMs = timeoutMs;
    }

    void cleanup() { link.reset(); }

    void oneTransferAtATime_data()
    {
        // clang-format off
        QTest::addColumn<Device::Transfer>("running");
        QTest::addColumn<Device::Transfer>("starting");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("upgrade during an upload")
            << Device::CalibrationUpload << Device::FirmwareUpgrade << QByteArray();
        QTest::newRow("upload during an upgrade")
            << Device::FirmwareUpgrade << Device::CalibrationUpload << QByteArray();
        QTest::newRow("upload again starts over")
            << Device::CalibrationUpload << Device::CalibrationUpload << QByteArray(":cal:erase\n");
        QTest::newRow("upgrade again starts over")
            << Device::FirmwareUpgrade << Device::FirmwareUpgrade << QByteArray("@02\n");
        // clang-format on
    }

    void oneTransferAtATime()
    {
        QFETCH(Device::Transfer, running);
        QFETCH(Device::Transfer, starting);
        QFETCH(QByteArray, sent);
        QVERIFY(start(running, 200));
        reply(running == Device::FirmwareUpgrade ? "*ERASE_OK" : "*cal-erase-done");
        const int position = link->device.transferPosition;
        QVERIFY(position > 0);

        DebugCapture debug;
        QSignalSpy ended(&link->device, &Device::transferEnded);
        const bool started = starting == Device::FirmwareUpgrade ? link->device.upgradeFirmware(QByteArray(16, 'g'))
                                                                 : link->device.uploadCalibration(QByteArray(16, 'h'));
        QCOMPARE(link->instrument.take(), sent);
        QCOMPARE(started, !sent.isEmpty());
        QCOMPARE(ended.count(), 0);
        if (sent.isEmpty()) {
            // The running transfer goes on untouched.
            QCOMPARE(link->device.activeTransfer(), running);
            QCOMPARE(link->device.transferPosition, position);
            QCOMPARE(link->device.transferData.size(), 200);
            QVERIFY(debug.contains("not started"));
        } else {
            QCOMPARE(link->device.transferPosition, 0);
            QCOMPARE(link->device.transferData.size(), 16);
        }
    }

    void stalledStepEndsTheTransfer_data()
    {
        // clang-format off
        QTest::addColumn<Device::Transfer>("kind");
        QTest::addColumn<QByteArrayList>("acknowledgements");
        QTest::addColumn<QString>("message");
        QTest::newRow("upgrade: erase")
            << Device::FirmwareUpgrade << QByteArrayList()
            << "Firmware upgrade stopped: no acknowledgement of the erase within %1 s. The "
               "instrument waits in its management firmware: start the upgrade again.";
        QTest::newRow("upgrade: second write")
            << Device::FirmwareUpgrade << QByteArrayList{"*ERASE_OK", "*WRITE_OK"}
            << "Firmware upgrade stopped: no acknowledgement of the write at offset 112 within "
               "%1 s. The instrument waits in its management firmware: start the upgrade again.";
        QTest::newRow("upload: erase")
            << Device::CalibrationUpload << QByteArrayList()
            << "Calibration upload stopped: no acknowledgement of the erase within %1 s.";
        QTest::newRow("upload: first write")
            << Device::CalibrationUpload << QByteArrayList{"*cal-erase-done"}
            << "Calibration upload stopped: no acknowledgement of the write at offset 0 within %1 s.";
        // clang-format on
    }

    void stalledStepEndsTheTransfer()
    {
        QFETCH(Device::Transfer, kind);
        QFETCH(QByteArrayList, acknowledgements);
        QFETCH(QString, message);
        QSignalSpy ended(&link->device, &Device::transferEnded);
        QVERIFY(start(kind));
        for (const QByteArray &line : acknowledgements) {
            // Answered steps restart the clock: past half the time-out each, so
            // that two of them outlast one.
            QTest::qWait(timeoutMs * 6 / 10);
            QVERIFY(!reply(line).isEmpty());
        }
        QVERIFY(ended.wait(limitMs()));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<Device::Transfer>(), kind);
        QCOMPARE(ended.at(0).at(1).toBool(), false);
        QCOMPARE(ended.at(0).at(2).toString(), message.arg(timeoutText()));
        QCOMPARE(link->device.activeTransfer(), Device::NoTransfer);
        QVERIFY(link->device.transferData.isEmpty());
        // A late acknowledgement writes nothing; a new transfer of either kind starts.
        QCOMPARE(reply(kind == Device::FirmwareUpgrade ? "*WRITE_OK" : "*cal-write-done"), QByteArray());
        QVERIFY(link->device.uploadCalibration(QByteArray(8, 'x')));
        QCOMPARE(link->instrument.take(), QByteArray(":cal:erase\n"));
    }

    void silentResetEndsTheUpgrade()
    {
        reply("NORDA,VKRHX350,S1,1.5.2");
        QSignalSpy ended(&link->device, &Device::transferEnded);
        QVERIFY(link->device.upgradeFirmware(QByteArray(16, 'f')));
        QCOMPARE(link->instrument.take(), QByteArray(":system:reset\n"));
        QVERIFY(ended.wait(limitMs()));
        QCOMPARE(ended.at(0).at(2).toString(),
                 QStringLiteral("Firmware upgrade stopped: no answer from the management firmware "
                                "after the reset within %1 s.")
                     .arg(timeoutText()));
        // A late bootstrap announcement is no longer held in management mode.
        QCOMPARE(reply("*BOOTSTRAP waiting"), QByteArray());
    }

    void endOfThePortEndsTheTransfer_data()
    {
        // clang-format off
        QTest::addColumn<bool>("hangUp");
        QTest::newRow("closed") << false;
        QTest::newRow("hung up") << true;
        // clang-format on
    }

    void endOfThePortEndsTheTransfer()
    {
        QFETCH(bool, hangUp);
        QSignalSpy ended(&link->device, &Device::transferEnded);
        QSignalSpy lost(&link->device, &Device::connectionLost);
        QVERIFY(start(Device::CalibrationUpload));
        if (hangUp) {
            link->instrument.hangUp();
            QCOMPARE(lost.count(), 1);
        } else {
            link->device.close();
        }
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(1).toBool(), false);
        QVERIFY(ended.at(0).at(2).toString().startsWith(hangUp ? "Calibration upload stopped: the connection was lost"
                                                               : "Calibration upload stopped: the port was closed"));
        QCOMPARE(link->device.activeTransfer(), Device::NoTransfer);
    }

    void finishedUploadIsReported()
    {
        QSignalSpy ended(&link->device, &Device::transferEnded);
        QVERIFY(start(Device::CalibrationUpload, 48));
        QVERIFY(reply("*cal-erase-done").startsWith(":cal:write 0000 "));
        QCOMPARE(ended.count(), 0);
        QCOMPARE(reply("*cal-write-done"), QByteArray());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<Device::Transfer>(), Device::CalibrationUpload);
        QCOMPARE(ended.at(0).at(1).toBool(), true);
        // No clock is left running after the end: past a step's whole wait, nothing.
        QTest::qWait(timeoutMs * 3 / 2);
        QCOMPARE(ended.count(), 1);
    }
};

FROSTGAUGE_TEST_MAIN(TransfersTest)
#include "test-transfers.moc"
