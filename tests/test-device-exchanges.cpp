// The instrument link byte by byte, on a scripted link rather than a terminal:
// line framing, reply handling and the identity the Device builds from it.
// Every answer is handled before play() returns, so no test waits on a clock.

#include "device/compat-ids.h"
#include "device/device-serial.h"
#include "support/debug-capture.h"
#include "support/scripted-link.h"
#include "support/test-main.h"

#include <QSignalSpy>

#include <memory>

class DeviceExchangeTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceOnLink> link;

private slots:
    void init() { link = std::make_unique<DeviceOnLink>(); }
    void cleanup() { link.reset(); }

    // The window's contract: the seven signals first, in this order (a
    // signal's index in the meta-object follows its declaration), then the slots.
    void signalsInTheirOrder()
    {
        const QMetaObject &meta = Device::staticMetaObject;
        QStringList declared;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                declared << QString::fromLatin1(meta.method(i).name());
        }
        const QStringList specified{"identified",         "deviceReset", "deviceRestarted",  "deviceManagementMode",
                                    "temperatureChanged", "progress",    "parameterReceived"};
        QCOMPARE(declared.mid(0, specified.size()), specified);
        QCOMPARE(meta.method(meta.methodOffset()).name(), QByteArray("identified"));
        const int firstSlot = meta.indexOfSlot("serialRead()");
        QVERIFY(firstSlot > meta.indexOfSignal("transferEnded(Device::Transfer,bool,QString)"));
        QCOMPARE(meta.indexOfSlot("serialParse()"), firstSlot + 1);
        QCOMPARE(meta.indexOfSlot("serialParseLine(QByteArray)"), firstSlot + 2);
    }

    void openingSequenceAndEndOfTheLink()
    {
        QCOMPARE(link->opening, QByteArray("\x03\x0a\x2a\x69\x64\x6e\x3f\x0a", 8));
        QSignalSpy lost(&link->device, &Device::connectionLost);
        link->instrument.hangUp();
        QCOMPARE(lost.count(), 1);
        link->device.serialSendCommand(QStringLiteral(":save\n"));
        QCOMPARE(link->instrument.take(), QByteArray());
    }

    void crLfYieldsLineThenEmptyLine()
    {
        DebugCapture debug;
        link->instrument.play(QByteArray("\x41\x42\x0d\x0a\x43\x44"));
        QCOMPARE(link->device.receiveBuffer, QByteArray("CD"));
        QCOMPARE(debug.lines().filter("message from device").size(), 1);
        QVERIFY(debug.contains("\"AB\""));
        link->instrument.play("\n");
        QVERIFY(link->device.receiveBuffer.isEmpty());
        QVERIFY(debug.contains("\"CD\""));
    }

    void lineSplitOverReadsIsHandedOnOnce()
    {
        QSignalSpy parameters(&link->device, &Device::parameterReceived);
        link->instrument.play("relay1:te");
        link->instrument.play("mp = 7");
        QCOMPARE(parameters.count(), 0);
        link->instrument.play("7.5\n");
        QCOMPARE(parameters.count(), 1);
        QCOMPARE(parameters.at(0).at(0).toString(), QStringLiteral("relay1:temp"));
        QCOMPARE(parameters.at(0).at(1).toString(), QStringLiteral("77.5"));
    }

    void severalLinesInOneReadKeepOrder()
    {
        QSignalSpy parameters(&link->device, &Device::parameterReceived);
        link->instrument.play("a = 1\nb = 2\rc = 3\r\n");
        QCOMPARE(parameters.count(), 3);
        QCOMPARE(parameters.at(0).at(0).toString(), QStringLiteral("a"));
        QCOMPARE(parameters.at(1).at(0).toString(), QStringLiteral("b"));
        QCOMPARE(parameters.at(2).at(0).toString(), QStringLiteral("c"));
    }

    void identification_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("serialNumber");
        QTest::addColumn<QString>("version");
        QTest::addColumn<uint>("versionNumber");
        QTest::addColumn<bool>("managementMode");
        QTest::addColumn<bool>("isIdentified");
        QTest::addColumn<int>("identifiedCount");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("defaultCompat");

        QTest::newRow("application 1.3.2")
            << QByteArray("NORDA,VKRHX350,123,1.3.2\n") << "VKRHX350" << "123" << "1.3.2"
            << 0x01030200u << false << true << 1 << QByteArray() << true;
        QTest::newRow("management 1.4 asks for its identifier")
            << QByteArray("NORDA,VKRHX350-BS,77,1.4\n") << "VKRHX350-BS" << "77" << "1.4"
            << 0x01040000u << true << true << 0 << QByteArray("@00\n") << false;
        QTest::newRow("unsupported model")
            << QByteArray("NORDA,OTHER,5,1.0\n") << "OTHER" << "5" << "1.0" << 0x01000000u
            << false << false << 0 << QByteArray() << false;
        QTest::newRow("three fields change nothing")
            << QByteArray("NORDA,VKRHX350,123\n") << "" << "" << "" << 0u << false << false << 0
            << QByteArray() << false;
        QTest::newRow("large component spills")
            << QByteArray("NORDA,VKRHX350,9,1.300.0.0\n") << "VKRHX350" << "9" << "1.300.0.0"
            << 0x012C0000u << false << true << 0 << QByteArray("@00\n") << false;
        QTest::newRow("non-numeric component counts as 0")
            << QByteArray("NORDA,VKRHX350,9,1.x.7\n") << "VKRHX350" << "9" << "1.x.7"
            << 0x01000700u << false << true << 1 << QByteArray() << true;
        // clang-format on
    }

    void identification()
    {
        QFETCH(QByteArray, line);
        QSignalSpy identified(&link->device, &Device::identified);
        link->instrument.play(line);
        QTEST(link->device.model, "model");
        QTEST(link->device.serialNumber, "serialNumber");
        QTEST(link->device.version, "version");
        QTEST(uint(link->device.versionNumber), "versionNumber");
        QTEST(link->device.managementMode, "managementMode");
        QTEST(link->device.isIdentified, "isIdentified");
        QTEST(int(identified.count()), "identifiedCount");
        QTEST(link->instrument.take(), "sent");
        QFETCH(bool, defaultCompat);
        QCOMPARE(link->device.compatId == compatIdBytes(uuid_compat_stm32g071kb_r1), defaultCompat);
    }

    void compatLine_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("digits");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("revision 2") << QByteArray("21de3ef209bf4a7883a09eb750df2e57")
                                    << compatIdBytes(uuid_compat_stm32g070kb_r2);
        QTest::newRow("mixed case") << QByteArray("AbCd") << QByteArray("\xab\xcd");
        QTest::newRow("odd count: first digit alone") << QByteArray("abc") << QByteArray("\x0a\xbc");
        QTest::newRow("non-hex skipped") << QByteArray("12-3z4") << QByteArray("\x12\x34");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        // clang-format on
    }

    void compatLine()
    {
        QFETCH(QByteArray, digits);
        link->instrument.play("NORDA,VKRHX350,1,1.5.2\n");
        QSignalSpy identified(&link->device, &Device::identified);
        link->instrument.play("*COMPAT = " + digits + "\n");
        QTEST(link->device.compatId, "bytes");
        QCOMPARE(identified.count(), 1);
    }

    void foreignInstruments_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QString>("answer");
        // Only this maker's exact prefix makes an identification reply; any
        // other line is unknown, whatever its fields.
        QTest::newRow("another maker") << QByteArray("ACME,TM-9,42,2.0\n") << "";
        QTest::newRow("another maker answering the compatibility query too")
            << QByteArray("ACME,TM-9,42,2.0\n*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\n") << "";
        QTest::newRow("this maker in lower case") << QByteArray("norda,VKRHX350,1,1.0\n") << "";
        QTest::newRow("this maker, unknown model") << QByteArray("NORDA,VKRHX999,5,1.0\n")
                                                  << "NORDA,VKRHX999,5,1.0";
        QTest::newRow("this maker, three fields") << QByteArray("NORDA,VKRHX350,5\n")
                                                 << "NORDA,VKRHX350,5";
        QTest::newRow("compatibility answer alone") << QByteArray("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\n")
                                                   << "";
        // clang-format on
    }

    void foreignInstruments()
    {
        QFETCH(QByteArray, lines);
        QFETCH(QString, answer);
        QSignalSpy identified(&link->device, &Device::identified);
        QSignalSpy unknown(&link->device, &Device::unknownInstrument);
        link->instrument.play(lines);
        QCOMPARE(identified.count(), 0);
        QVERIFY(!link->device.isIdentified);
        QVERIFY(link->device.compatId.isEmpty());
        QCOMPARE(link->device.foreignIdentification, answer);
        QCOMPARE(unknown.count(), answer.isEmpty() ? 0 : 1);
        QCOMPARE(link->instrument.take(), QByteArray());
        // An unknown line of four fields after an identification changes nothing.
        if (!answer.isEmpty()) {
            link->instrument.play("NORDA,VKRHX350,7,1.3.0\n");
            QVERIFY(link->device.isIdentified);
            QVERIFY(link->device.foreignIdentification.isEmpty());
            link->instrument.play("a,b,c,d\n");
            QVERIFY(link->device.isIdentified);
            QCOMPARE(unknown.count(), 1);
        }
    }

    void managementIdentityWaitsForCompat()
    {
        QSignalSpy identified(&link->device, &Device::identified);
        link->instrument.play("NORDA,VKRHX350-BS,77,1.4\n");
        QCOMPARE(identified.count(), 0);
        QVERIFY(link->device.compatId.isEmpty());
        link->instrument.play("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\n");
        QCOMPARE(identified.count(), 1);
    }

    void parameterLines_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QStringList>("parameter");
        QTest::addColumn<bool>("toDebug");
        QTest::newRow("key and value") << QByteArray("cal = dt-670\n") << QStringList{"cal", "dt-670"} << false;
        QTest::newRow("empty value") << QByteArray("cal = \n") << QStringList{"cal", ""} << false;
        QTest::newRow("untrimmed") << QByteArray(" cal =  vkr \n") << QStringList{" cal", " vkr "} << false;
        QTest::newRow("two separators") << QByteArray("a = b = c\n") << QStringList() << false;
        QTest::newRow("bare equals sign") << QByteArray("a=b\n") << QStringList() << true;
        QTest::newRow("*RESET without its space") << QByteArray("*RESET\n") << QStringList() << true;
        QTest::newRow("text after NUL is cut")
            << QByteArray("cal = asc\0 = x\n", 15) << QStringList{"cal", "asc"} << false;
        // clang-format on
    }

    void parameterLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QStringList, parameter);
        QFETCH(bool, toDebug);
        DebugCapture debug;
        QSignalSpy parameters(&link->device, &Device::parameterReceived);
        QSignalSpy resets(&link->device, &Device::deviceReset);
        link->instrument.play(line);
        QCOMPARE(parameters.count(), parameter.isEmpty() ? 0 : 1);
        if (!parameter.isEmpty()) {
            QCOMPARE(parameters.at(0).at(0).toString(), parameter.at(0));
            QCOMPARE(parameters.at(0).at(1).toString(), parameter.at(1));
        }
        QCOMPARE(debug.contains("message from device: "), toDebug);
        QCOMPARE(resets.count(), 0);
    }

    void temperatureLines()
    {
        DebugCapture debug;
        QSignalSpy temperatures(&link->device, &Device::temperatureChanged);
        link->instrument.play("*T = 77.350 K\n*T = abc K\n*T = 4.2\n*T =  12.5 K\n*T = inf K\n*T = nan K\n"
                              "*T = 77.5\n*T = 4.200 K\n*T = 3 KK\n*T = 1e3 K\n");
        // The number runs up to an optional " K": a line without the unit keeps
        // its last digits.
        const QList<double> expected = {77.35, 4.2, 12.5, 77.5, 4.2, 1000.0};
        QCOMPARE(temperatures.count(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(temperatures.at(i).at(0).toDouble(), expected.at(i));
        QVERIFY(!debug.contains("message from device"));
    }

    void announcements()
    {
        QSignalSpy resets(&link->device, &Device::deviceReset);
        QSignalSpy restarts(&link->device, &Device::deviceRestarted);
        link->instrument.play("*RESET rebooting\n");
        QCOMPARE(resets.count(), 1);
        link->instrument.play("*BOOTSTRAP waiting\n");
        QCOMPARE(link->instrument.take(), QByteArray());
        link->instrument.play("*MGMTmode\n");
        QCOMPARE(link->instrument.take(), QByteArray("*IDN?\n"));
        link->instrument.play("*APP running\n");
        QCOMPARE(link->instrument.take(), QByteArray("*IDN?\n"));
        QCOMPARE(restarts.count(), 1);
    }

    void managementReset()
    {
        QSignalSpy management(&link->device, &Device::deviceManagementMode);
        link->device.reset(Device::ResetToManagement);
        QVERIFY(link->device.managementRequested);
        QCOMPARE(link->instrument.take(), QByteArray(":system:reset\n"));
        link->instrument.play("*BOOTSTRAP waiting\n");
        QCOMPARE(link->instrument.take(), QByteArray("\x03"));
        QVERIFY(link->device.managementRequested);
        // Any identification ends the request, even of an unsupported model.
        link->instrument.play("NORDA,SOMETHING,1,1.0\n");
        QVERIFY(!link->device.managementRequested);
        QCOMPARE(management.count(), 1);
        // No request, no interrupt.
        link->instrument.play("*BOOTSTRAP again\n");
        QCOMPARE(link->instrument.take(), QByteArray());
    }

    void plainResetLeavesRequestAlone()
    {
        link->device.reset(Device::ResetNormal);
        QVERIFY(!link->device.managementRequested);
        QCOMPARE(link->instrument.take(), QByteArray(":system:reset\n"));
        Device unopened;
        unopened.reset(Device::ResetToManagement);
        QVERIFY(!unopened.managementRequested);
    }

    // Listening only, the Device sends nothing of its own, not even the
    // identification query an announcement calls for; forwarded bytes still go,
    // and every byte read is reported as read.
    void listeningOnly()
    {
        QSignalSpy received(&link->device, &Device::bytesReceived);
        link->device.listenOnly = true;
        link->instrument.play("*APP running\n");
        link->device.serialSendCommand(QStringLiteral(":save\n"));
        link->device.reset(Device::ResetNormal);
        QCOMPARE(link->instrument.take(), QByteArray());
        link->device.forwardBytes(":relay1:temp?\n");
        QCOMPARE(link->instrument.take(), QByteArray(":relay1:temp?\n"));
        link->instrument.play("relay1:temp = 4");
        link->instrument.play(".200\r\n");
        QCOMPARE(received.count(), 3);
        QCOMPARE(received.at(2).at(0).toByteArray(), QByteArray(".200\r\n"));
        link->device.listenOnly = false;
        link->instrument.play("*APP running\n");
        QCOMPARE(link->instrument.take(), QByteArray("*IDN?\n"));
    }

    void overlongLineIsDropped()
    {
        DebugCapture debug;
        QSignalSpy parameters(&link->device, &Device::parameterReceived);
        link->instrument.play("k = " + QByteArray(Device::MaxLineLength + 100, 'x') + "\nnext = 1\n");
        QCOMPARE(parameters.count(), 1);
        QCOMPARE(parameters.at(0).at(0).toString(), QStringLiteral("next"));

        // A stream without line ends never grows the buffer past the bound.
        for (int i = 0; i < 20; ++i) {
            link->instrument.play(QByteArray(4000, 'y'));
            QVERIFY(link->device.receiveBuffer.size() <= Device::MaxLineLength);
        }
        link->instrument.play("tail = 2\nafter = 3\n");
        QCOMPARE(parameters.count(), 2);
        QCOMPARE(parameters.at(1).at(0).toString(), QStringLiteral("after"));
        QCOMPARE(debug.lines().filter("discarding overlong line").size(), 2);
    }
};

FROSTGAUGE_TEST_MAIN(DeviceExchangeTest)
#include "test-device-exchanges.moc"
