// The VKRHX350's driver on a pseudo-terminal, with the test as the
// instrument: what it says at the opening and to the states the instrument
// can be found in, apart from any monitor.

#include "drivers/vkrhx350/vkrhx350-driver.h"
#include "support/pty-peer.h"
#include "support/test-main.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

class Vkrhx350DriverTest : public QObject
{
    Q_OBJECT

    QStringList m_events;

    void follow(Vkrhx350Driver *driver)
    {
        connect(driver, &InstrumentDriver::event, this, [this](EventKind kind, const QString &detail) {
            m_events << eventKindName(kind) + QStringLiteral(": ") + detail;
        });
    }

private slots:
    void init() { m_events.clear(); }

    // Found in its management firmware at the opening with nobody on the
    // shared port: its application is started, the history says so, and an
    // instrument that stays there is asked again once the maintenance's limit
    // has passed, and started again.
    void managementFirmwareAtTheOpening()
    {
        PtyPeer peer;
        DriverOptions options;
        options.maintenanceLimitSeconds = 1;
        Vkrhx350Driver driver(options);
        follow(&driver);
        QSignalSpy connected(&driver, &InstrumentDriver::connected);
        QSignalSpy refused(&driver, &InstrumentDriver::refused);
        QSignalSpy answered(&driver, &InstrumentDriver::answered);
        QVERIFY(driver.open(peer.path()));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.take();
        peer.write("NORDA,VKRHX350-BS,S1,1.0.0\n");
        QVERIFY(peer.waitFor("boot\n").endsWith("boot\n"));
        QCOMPARE(answered.size(), 1);
        const QString starting =
            QStringLiteral("maintenance: in its management firmware with no client; starting its application");
        QCOMPARE(m_events, QStringList({starting}));
        // The boot did not take: after the limit, asked where it stands.
        peer.take();
        QVERIFY(peer.waitFor("*IDN?\n").endsWith("*IDN?\n"));
        QVERIFY2(m_events.size() == 2 && m_events[1].startsWith("maintenance ended: not back in its application 1 s"),
                 qPrintable(m_events.join('\n')));
        peer.take();
        peer.write("NORDA,VKRHX350-BS,S1,1.0.0\n");
        QVERIFY(peer.waitFor("boot\n").endsWith("boot\n"));
        QCOMPARE(m_events.last(), starting);
        // Now it starts, announces its application and is asked who it is.
        peer.take();
        peer.write("*APP VKRHX350 1.3.2\n");
        QVERIFY(peer.waitFor("*IDN?\n").endsWith("*IDN?\n"));
        peer.write("NORDA,VKRHX350,S1,1.3.2\n");
        QVERIFY(waitUntil([&] { return connected.size() == 1; }));
        QCOMPARE(m_events.last(), QStringLiteral("maintenance ended: VKRHX350 version 1.3.2 back in its application"));
        QCOMPARE(refused.size(), 0);
        peer.write("*T = 4.200 K\n");
        QSignalSpy readings(&driver, &InstrumentDriver::reading);
        QVERIFY(readings.wait(limitMs()));
        QCOMPARE(readings[0][1].toDouble(), 4.2);
    }

    // A corrupted line is no reading: a NUL or another control byte in it
    // (the window reads up to the NUL: "12<NUL>3" would be 12 K); and values
    // the instrument cannot send (0, a denormal, under a millikelvin, above
    // 2000 K) are outside its channel.
    void corruptedAndImpossibleValues()
    {
        PtyPeer peer;
        Vkrhx350Driver driver(DriverOptions{});
        QSignalSpy connected(&driver, &InstrumentDriver::connected);
        QSignalSpy readings(&driver, &InstrumentDriver::reading);
        QVERIFY(driver.open(peer.path()));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.write("NORDA,VKRHX350,S1,1.3.2\n");
        QVERIFY(connected.wait(limitMs()));
        peer.write(QByteArray("*T = 12\x00"
                              "3 K\n*T = 1\x07"
                              "2.5 K\n*T = 7\x1b"
                              ".1 K\n*T = 4.200 K\n",
                              50));
        QVERIFY(waitUntil([&] { return !readings.isEmpty(); }));
        QCOMPARE(readings.size(), 1);
        QCOMPARE(readings[0][1].toDouble(), 4.2);
        const InstrumentChannel channel = driver.channels().value(0);
        for (const double impossible : {0.0, 4.9e-324, -1.0, 0.0004, 2000.5})
            QVERIFY2(!channel.holds(impossible), qPrintable(QString::number(impossible)));
        for (const double possible : {0.001, 0.0101, 4.2, 300.0, 2000.0})
            QVERIFY2(channel.holds(possible), qPrintable(QString::number(possible)));
    }

    // Another instrument in its management firmware is not started: nothing
    // but identification goes to an instrument that is not the one configured.
    void otherInstrumentInItsManagementFirmwareIsLeftAlone()
    {
        PtyPeer peer;
        Vkrhx350Driver driver(DriverOptions{});
        driver.setIdentityCheck([](const InstrumentIdentity &identity) {
            return identity.serialNumber == QLatin1String("S1") ? QString() : QStringLiteral("not S1");
        });
        follow(&driver);
        QSignalSpy refused(&driver, &InstrumentDriver::refused);
        QVERIFY(driver.open(peer.path()));
        QVERIFY(peer.waitFor("*idn?\n").endsWith("*idn?\n"));
        peer.take();
        peer.write("NORDA,VKRHX350-BS,S2,1.0.0\n");
        QVERIFY(refused.wait(limitMs()));
        QCOMPARE(refused[0][0].toString(), QStringLiteral("not S1"));
        driver.close();
        QCOMPARE(peer.takeAfter(200), QByteArray());
        QVERIFY(m_events.isEmpty());
    }

    // Behind a serial server (tcp://HOST:PORT): the same exchange once the
    // connection is made, and a server that goes away is a loss of the port.
    void behindASerialServer()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Vkrhx350Driver driver(DriverOptions{});
        QSignalSpy connected(&driver, &InstrumentDriver::connected);
        QSignalSpy readings(&driver, &InstrumentDriver::reading);
        QSignalSpy lost(&driver, &InstrumentDriver::lost);
        QVERIFY(driver.open(QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort())));
        QVERIFY(server.waitForNewConnection(limitMs()));
        QTcpSocket *instrument = server.nextPendingConnection();
        QByteArray heard;
        QVERIFY(waitUntil([&] {
            heard += instrument->readAll();
            return heard.contains("*idn?\n");
        }));
        instrument->write("NORDA,VKRHX350,S1,1.3.2\n");
        QVERIFY(waitUntil([&] { return connected.size() == 1; }));
        instrument->write("*T = 4.200 K\n");
        QVERIFY(waitUntil([&] { return readings.size() == 1; }));
        QCOMPARE(readings[0][1].toDouble(), 4.2);
        instrument->close();
        QVERIFY(waitUntil([&] { return lost.size() == 1; }));
        QVERIFY(!driver.isOpen());
        // Nothing listens any more: the next open fails by itself, once.
        const quint16 port = server.serverPort();
        server.close();
        QVERIFY(driver.open(QStringLiteral("tcp://127.0.0.1:%1").arg(port)));
        QVERIFY(waitUntil([&] { return lost.size() == 2; }));
        QVERIFY2(lost[1][0].toString().contains(QStringLiteral("refused")), qPrintable(lost[1][0].toString()));
    }
};

FROSTGAUGE_TEST_MAIN(Vkrhx350DriverTest)
#include "test-vkrhx350-driver.moc"
