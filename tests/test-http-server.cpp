// The HTTP server in process, on the test's own event loop: what depends only
// on the server and its timers, with limits made short for the test.

#include "monitor/web/http-server.h"
#include "support/free-port.h"
#include "support/test-main.h"

#include <QTcpSocket>

class HttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    // A connection that says nothing, one that stops halfway through its
    // headers and one kept alive after its answer are all let go once idle:
    // none holds one of the server's places for ever.
    void idleClientsAreLetGo()
    {
        HttpConfig config;
        config.enabled = true;
        const quint16 port = freePort();
        config.listen = {{QStringLiteral("127.0.0.1"), port}};
        int handled = 0;
        HttpServer server(config, [&](const HttpRequest &) {
            ++handled;
            return HttpResponse::text(200, QStringLiteral("ok"));
        });
        server.setIdleTimeout(1);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QTcpSocket silent, halfway, kept;
        for (QTcpSocket *client : {&silent, &halfway, &kept})
            client->connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(waitUntil([&] {
            return silent.state() == QAbstractSocket::ConnectedState
                   && halfway.state() == QAbstractSocket::ConnectedState
                   && kept.state() == QAbstractSocket::ConnectedState;
        }));
        halfway.write("GET /x HTTP/1.1\r\nHost: x\r\n");
        kept.write("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
        QByteArray keptAnswer;
        connect(&kept, &QTcpSocket::readyRead, this, [&] { keptAnswer += kept.readAll(); });
        QVERIFY(waitUntil([&] { return keptAnswer.contains("\r\n\r\nok"); }));
        QVERIFY(waitUntil([&] { return server.connectionCount() == 0; }));
        QVERIFY(waitUntil([&] {
            return silent.state() == QAbstractSocket::UnconnectedState
                   && halfway.state() == QAbstractSocket::UnconnectedState
                   && kept.state() == QAbstractSocket::UnconnectedState;
        }));
        QVERIFY(keptAnswer.startsWith("HTTP/1.1 200"));
        QVERIFY(!halfway.readAll().contains("200"));
        QVERIFY(silent.readAll().isEmpty());
        QCOMPARE(handled, 1);
    }
};

FROSTGAUGE_TEST_MAIN(HttpServerTest)
#include "test-http-server.moc"
