// The MQTT client in process against a real mosquitto: what the library does
// while our slots run inside its callbacks.

#include "monitor/mqtt/mqtt-client.h"
#include "support/mqtt-broker.h"
#include "support/test-main.h"

#include <QSignalSpy>
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
};

FROSTGAUGE_TEST_MAIN(MqttClientTest)
#include "test-mqtt-client.moc"
