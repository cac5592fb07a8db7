// The instrument link over a real pseudo-terminal: what only a terminal shows,
// opening, write order under a full line, hang-ups.

#include "device/device-serial.h"
#include "support/device-on-pty.h"
#include "support/test-main.h"

#include <QSerialPort>
#include <QSignalSpy>

#include <memory>

namespace {
const QByteArray openingBytes("\x03\x0a\x2a\x69\x64\x6e\x3f\x0a", 8);
}

class DeviceLinkTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceOnPty> link;

private slots:
    void init()
    {
        link = std::make_unique<DeviceOnPty>();
        QVERIFY(link->opened);
    }

    void cleanup() { link.reset(); }

    void openingSequenceComesFirstAndAlone()
    {
        PtyPeer other;
        Device fresh;
        QVERIFY(fresh.openPort(other.path()));
        QCOMPARE(other.drain(150), openingBytes);
    }

    void failedOpenSendsNothing()
    {
        Device fresh;
        QVERIFY(!fresh.openPort(QStringLiteral("/nonexistent/ttyNOPE")));
        fresh.serialSendCommand(QStringLiteral(":save\n"));
        QVERIFY(fresh.close());
        QVERIFY(!fresh.port);
    }

    void sendingWithoutPortDoesNothing()
    {
        Device fresh;
        fresh.serialSendCommand(QStringLiteral(":save\n"));
        QVERIFY(fresh.close());
        QVERIFY(fresh.close());

        QVERIFY(link->device.close());
        QVERIFY(link->device.close());
        link->device.serialSendCommand(QStringLiteral(":save\n"));
        QCOMPARE(link->peer.drain(50), QByteArray());
    }

    void commandsAreWrittenAsGiven()
    {
        link->device.serialSendCommand(QStringLiteral(":relay1:temp 4.200\n"));
        QCOMPARE(link->peer.waitForBytes(19), QByteArray(":relay1:temp 4.200\n"));
    }

    // Commands go to the line at once where it takes them; once it is full the
    // rest waits in the port's buffer, and no later command may overtake it
    // when the line frees up before the buffer has been sent.
    void commandsKeepOrderWhenTheLineIsFull()
    {
        QByteArray expected;
        QByteArray received;
        bool filledUp = false;
        for (int i = 0; i < 4000; ++i) {
            const QString command = QStringLiteral(":cal:write %1 %2\n")
                                        .arg(i, 4, 16, QLatin1Char('0'))
                                        .arg(QString(224, QLatin1Char("0123456789abcdef"[i % 16])));
            expected += command.toUtf8();
            link->device.serialSendCommand(command);
            filledUp = filledUp || link->device.port->bytesToWrite() > 0;
            if (i % 500 == 499)
                received += link->peer.take(); // the far end reads; no event loop ran
        }
        QVERIFY(filledUp);
        received += link->peer.waitForBytes(expected.size() - received.size(), 20000);
        QCOMPARE(received.size(), expected.size());
        QVERIFY(received == expected);
    }

    void lostPortReasons_data()
    {
        // clang-format off
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("systemText");
        QTest::addColumn<QString>("reason");
        QTest::newRow("hang-up, unknown") << int(QSerialPort::ResourceError) << "Unknown error"
                                          << "the port closed: cable pulled or device gone";
        QTest::newRow("hang-up, ioctl") << int(QSerialPort::ResourceError) << "Inappropriate ioctl for device"
                                        << "the port closed: cable pulled or device gone (Inappropriate ioctl for device)";
        QTest::newRow("read error, no text") << int(QSerialPort::ReadError) << ""
                                             << "the port could not be read: cable pulled or device gone";
        // clang-format on
    }

    void lostPortReasons()
    {
        QFETCH(int, error);
        QFETCH(QString, systemText);
        QTEST(Device::lostPortReason(error, systemText), "reason");
    }

    void hangUpEndsTheLink()
    {
        QSignalSpy lost(&link->device, &Device::connectionLost);
        link->peer.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, limitMs());
        QVERIFY(!link->device.port);
        QVERIFY(!lost.at(0).at(0).toString().isEmpty());
        QTest::qWait(100);
        QCOMPARE(lost.count(), 1);
    }
};

FROSTGAUGE_TEST_MAIN(DeviceLinkTest)
#include "test-device-link.moc"
