// The firmware upgrade exchange over a pseudo-terminal, played step by step.

#include "device/device-serial.h"
#include "support/debug-capture.h"
#include "support/device-on-pty.h"
#include "support/test-main.h"

#include <QSignalSpy>

#include <memory>

class FirmwareUpgradeTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceOnPty> link;

    QByteArray reply(const QByteArray &line) { return link->reply(line); }

    static QByteArray image(int size)
    {
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes.append(char(i * 31 + 7));
        return bytes;
    }

    static QList<QList<int>> progressOf(const QSignalSpy &spy)
    {
        QList<QList<int>> values;
        for (const auto &signal : spy)
            values << QList<int>{signal.at(0).toInt(), signal.at(1).toInt()};
        return values;
    }

private slots:
    void init()
    {
        link = std::make_unique<DeviceOnPty>();
        QVERIFY(link->opened);
    }

    void cleanup() { link.reset(); }

    void wholeExchangeFromTheApplication()
    {
        reply("NORDA,VKRHX350,S1,1.5.2");
        reply("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57");
        QSignalSpy progress(&link->device, &Device::progress);
        QSignalSpy resets(&link->device, &Device::deviceReset);
        QSignalSpy identified(&link->device, &Device::identified);
        QSignalSpy management(&link->device, &Device::deviceManagementMode);
        QSignalSpy restarted(&link->device, &Device::deviceRestarted);
        QSignalSpy ended(&link->device, &Device::transferEnded);
        const QByteArray data = image(224);

        link->device.upgradeFirmware(data);
        QCOMPARE(link->peer.waitForBytes(14), QByteArray(":system:reset\n"));
        link->peer.take();
        QCOMPARE(link->device.upgradeStage, int(Device::UpgradeResetting));
        QCOMPARE(reply("*RESET restarting"), QByteArray());
        QCOMPARE(resets.count(), 1);
        QCOMPARE(reply("*BOOTSTRAP waiting"), QByteArray("\x03"));
        QCOMPARE(reply("*MGMT"), QByteArray("*IDN?\n"));
        QCOMPARE(reply("NORDA,VKRHX350-BS,S1,1.4.0.0"), QByteArray("@00\n@02\n"));
        QCOMPARE(progressOf(progress), (QList<QList<int>>{{0, 224}}));
        QCOMPARE(management.count(), 0);
        QCOMPARE(reply("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57"), QByteArray());
        QCOMPARE(identified.count(), 1);
        QCOMPARE(reply("*ERASE_OK"), "@03 000000 " + data.left(112).toHex() + "\n");
        QCOMPARE(reply("*WRITE_OK"), "@03 000070 " + data.mid(112).toHex() + "\n");
        QCOMPARE(reply("*WRITE_OK"), QByteArray("boot\n"));
        QCOMPARE(progressOf(progress), (QList<QList<int>>{{0, 224}, {112, 224}, {224, 224}}));
        QCOMPARE(link->device.upgradeStage, int(Device::UpgradeIdle));
        QVERIFY(link->device.transferData.isEmpty());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<Device::Transfer>(), Device::FirmwareUpgrade);
        QCOMPARE(ended.at(0).at(1).toBool(), true);
        QCOMPARE(reply("*APP running"), QByteArray("*IDN?\n"));
        QCOMPARE(restarted.count(), 1);
        QCOMPARE(reply("*WRITE_OK"), QByteArray());
    }

    void alreadyInManagementModeErasesAtOnce()
    {
        reply("NORDA,VKRHX350-BS,S1,1.4");
        QVERIFY(link->device.managementMode);
        link->peer.take();
        QSignalSpy progress(&link->device, &Device::progress);
        link->device.upgradeFirmware(image(8));
        QCOMPARE(link->peer.waitForBytes(4), QByteArray("@02\n"));
        link->peer.take();
        QCOMPARE(reply("*ERASE_OK"), "@03 000000 " + image(8).toHex() + "\n");
        QCOMPARE(progressOf(progress), (QList<QList<int>>{{0, 8}, {112, 8}}));
        QCOMPARE(reply("*WRITE_OK"), QByteArray("boot\n"));
    }

    void legacyCommandSet()
    {
        reply("NORDA,VKRHX350-BS,S1,1.3.9");
        link->peer.take();
        link->device.upgradeFirmware(image(120));
        QCOMPARE(link->peer.waitForBytes(12), QByteArray("flash erase\n"));
        link->peer.take();
        QCOMPARE(reply("*ERASE_OK"), "flash write 000000 " + image(120).left(112).toHex() + "\n");
        // The fill goes at the end of the last chunk.
        QCOMPARE(reply("*WRITE_OK"), "flash write 000070 " + image(120).mid(112).toHex() + "\n");
        QCOMPARE(reply("*WRITE_OK"), QByteArray("boot\n"));

        // The command set follows the version at the moment of sending.
        QCOMPARE(reply("NORDA,VKRHX350-BS,S1,1.4.0"), QByteArray("@00\n"));
        link->device.upgradeFirmware(image(13));
        QCOMPARE(link->peer.waitForBytes(4), QByteArray("@02\n"));
        link->peer.take();
        QCOMPARE(reply("*ERASE_OK"), "@03 000000 " + image(13).toHex() + "ffffff\n");
    }

    void debugLines()
    {
        reply("NORDA,VKRHX350-BS,S1,1.4");
        DebugCapture debug;
        link->device.upgradeFirmware(image(336));
        reply("*ERASE_OK");
        reply("*WRITE_OK");
        reply("*WRITE_OK");
        reply("*WRITE_OK");
        QCOMPARE(debug.lines().filter("upgradeFirmwareStep").join('|'),
                 QStringLiteral("upgradeFirmwareStep: erasing device|"
                                "upgradeFirmwareStep: writing device (0 of 336)|"
                                "upgradeFirmwareStep: writing device (112 of 336)|"
                                "upgradeFirmwareStep: writing device (224 of 336)|"
                                "upgradeFirmwareStep: booting device"));
    }

    void acknowledgementsWhileIdleAreIgnored()
    {
        QCOMPARE(reply("*ERASE_OK"), QByteArray());
        QCOMPARE(reply("*WRITE_OK done"), QByteArray());
        QCOMPARE(link->device.upgradeStage, int(Device::UpgradeIdle));
    }

    void acknowledgementWhileResettingResetsAgain()
    {
        link->device.upgradeFirmware(image(16));
        link->peer.drain(40);
        link->peer.take();
        QCOMPARE(reply("*WRITE_OK"), QByteArray(":system:reset\n"));
        QCOMPARE(link->device.upgradeStage, int(Device::UpgradeResetting));
    }

    void handOverNeedsTheManagementFirmware_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("identification");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("erases");
        QTest::newRow("management model") << QByteArray("NORDA,VKRHX350-BS,S1,1.4.0.0")
                                          << QByteArray("@00\n@02\n") << true;
        QTest::newRow("legacy management model") << QByteArray("NORDA,VKRHX350-BS,S1,1.3.2")
                                                 << QByteArray("flash erase\n") << true;
        QTest::newRow("application model") << QByteArray("NORDA,VKRHX350,S1,1.3.2") << QByteArray()
                                           << false;
        QTest::newRow("application model, new") << QByteArray("NORDA,VKRHX350,S1,1.5.2")
                                                << QByteArray("@00\n") << false;
        QTest::newRow("unknown model") << QByteArray("NORDA,VKRHX999-BS,S1,1.4.0.0") << QByteArray()
                                       << false;
        QTest::newRow("too few fields") << QByteArray("NORDA,VKRHX350-BS,1.4.0.0") << QByteArray()
                                        << false;
        QTest::newRow("too many fields") << QByteArray("NORDA,VKRHX350-BS,S1,1.4,x") << QByteArray()
                                         << false;
        // clang-format on
    }

    void handOverNeedsTheManagementFirmware()
    {
        QFETCH(QByteArray, identification);
        QFETCH(QByteArray, answer);
        QFETCH(bool, erases);
        reply("NORDA,VKRHX350,S1,1.3.2");
        QSignalSpy ended(&link->device, &Device::transferEnded);
        link->device.upgradeFirmware(image(16));
        link->peer.drain(40);
        link->peer.take();
        QCOMPARE(reply("*APP back"), QByteArray("*IDN?\n"));
        QCOMPARE(reply(identification), answer);
        if (erases) {
            QCOMPARE(link->device.upgradeStage, int(Device::UpgradeWriting));
            QCOMPARE(ended.count(), 0);
            return;
        }
        QCOMPARE(link->device.upgradeStage, int(Device::UpgradeIdle));
        QVERIFY(link->device.transferData.isEmpty());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(1).toBool(), false);
        QCOMPARE(ended.at(0).at(2).toString(), QString::fromLatin1(Device::NotInManagementFirmware));
        // Acknowledgements now write nothing.
        QCOMPARE(reply("*ERASE_OK"), QByteArray());
        QCOMPARE(reply("*WRITE_OK"), QByteArray());
    }

    void noPortStaysResetting()
    {
        Device unopened;
        DebugCapture debug;
        unopened.upgradeFirmware(image(16));
        QCOMPARE(unopened.upgradeStage, int(Device::UpgradeResetting));
        QVERIFY(!unopened.managementRequested);
        QVERIFY(debug.contains("upgradeFirmwareStep: resetting device"));
    }
};

FROSTGAUGE_TEST_MAIN(FirmwareUpgradeTest)
#include "test-firmware-upgrade.moc"
