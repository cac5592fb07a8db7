// The MQTT client in process against a real mosquitto: what the library does
// while our slots run inside its callbacks.

#include "history/history-store.h"
#include "monitor/mqtt/mqtt-client.h"
#include "monitor/mqtt/mqtt-publisher.h"
#include "support/mqtt-broker.h"
#include "support/test-main.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// This process's connection to the broker on port, found among its descriptors.
int socketTo(int port)
{
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in peer = {};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && peer.sin_family == AF_INET
            && ntohs(peer.sin_port) == port)
            return fd;
    }
    return -1;
}

} // namespace

class MqttClientTest : public QObject
{
    Q_OBJECT

private slots:
    // Messages that wait in the socket when the broker goes away are read
    // afterwards, and a slot answers each one with a publish (as the archive
    // asks a source for what it misses): the write that finds the connection
    // gone must end in a lost connection, not in a loop that never returns.
    void publishFromAMessageOnADeadConnection()
    {
        QTemporaryDir dir;
        MqttBroker broker(dir.path());
        MqttConfig config;
        config.enabled = true;
        config.host = QStringLiteral("127.0.0.1");
        config.port = broker.port();
        config.clientId = QStringLiteral("answering");
        MqttClient client(config);
        QSignalSpy connected(&client, &MqttClient::connected);
        QSignalSpy disconnected(&client, &MqttClient::disconnected);
        QVERIFY(client.start(QStringLiteral("answering/status")));
        QVERIFY(connected.wait(limitMs()));
        QVERIFY(client.subscribe(QStringLiteral("ask")));
        int answered = 0;
        connect(&client, &MqttClient::message, this, [&](const QString &, const QByteArray &payload) {
            client.publish(QStringLiteral("answer"), payload, false);
            ++answered;
        });
        // The subscription is in place once a message on it comes back.
        QVERIFY(waitUntil([&] {
            QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1",
                                                "-t", "ask", "-m", "ready"});
            return waitUntil([&] { return answered > 0; }, 1000);
        }));

        // From here the test's loop does not run, so the client reads nothing
        // until the broker is gone.
        const int socket = socketTo(broker.port());
        QVERIFY(socket >= 0);
        QCOMPARE(QProcess::execute("sh", {"-c", QStringLiteral("printf '1\\n2\\n3\\n4\\n5\\n' | mosquitto_pub -h "
                                                               "127.0.0.1 -p %1 -q 1 -t ask -l")
                                                    .arg(broker.port())}),
                 0);
        pollfd waiting = {socket, POLLIN, 0};
        QCOMPARE(::poll(&waiting, 1, limitMs()), 1);
        broker.stop();

        QVERIFY(disconnected.wait(limitMs()));
        QVERIFY(!client.isConnected());
        QVERIFY(answered > 1);
    }

    // A broker that takes every message and acknowledges none (played here by
    // a socket that answers the connection and then only listens): the
    // messages waiting for an acknowledgement stay bounded, and the readings
    // beyond them wait in the store instead of in memory.
    void brokerThatNeverAcknowledges()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QList<QTcpSocket *> clients;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *client = silent.nextPendingConnection();
            clients << client;
            connect(client, &QTcpSocket::readyRead, client, [client] {
                const QByteArray bytes = client->readAll();
                if (bytes.startsWith('\x10')) // CONNECT: accepted
                    client->write(QByteArray("\x20\x02\x00\x00", 4));
            });
        });
        QTemporaryDir dir;
        HistoryStore store;
        QVERIFY(store.openForWriting(dir.filePath(QStringLiteral("h.db"))));
        MqttConfig config;
        config.enabled = true;
        config.host = QStringLiteral("127.0.0.1");
        config.port = silent.serverPort();
        config.clientId = QStringLiteral("never-acked");
        config.qos = 1;
        MqttPublisher publisher(config, &store,
                                {{QStringLiteral("cryo"), QStringLiteral("cryo"), QString(), QStringLiteral("K"), {}}});
        QVERIFY(publisher.start());
        QVERIFY(waitUntil([&] { return publisher.isConnected(); }));
        int most = 0;
        for (int i = 0; i < 5000; ++i) {
            const qint64 time = 1800000000000 + 100 * i;
            const qint64 seq = store.addReading(QStringLiteral("cryo"), time, 4.2);
            QVERIFY(store.commit());
            publisher.publishReading(QStringLiteral("cryo"), time, 4.2, seq);
            most = qMax(most, publisher.inFlight());
            if (i % 500 == 0)
                QTest::qWait(1);
        }
        QVERIFY2(most <= 1000, qPrintable(QString::number(most)));
        QCOMPARE(publisher.inFlight(), 1000);
        publisher.stop();
    }
};

FROSTGAUGE_TEST_MAIN(MqttClientTest)
#include "test-mqtt-client.moc"
