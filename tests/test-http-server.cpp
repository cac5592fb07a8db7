// The HTTP server in process, on the test's own event loop: what depends only
// on the server and its timers, with limits made short for the test.

#include "monitor/web/http-server.h"
#include "support/free-port.h"
#include "support/test-main.h"

#include <QTcpSocket>

#include <memory>
#include <sys/resource.h>

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

    // A full server whose clients all leave at once takes new ones again:
    // places freed while it was full must not leave it deaf. (The number of
    // places follows the files a process may open: the test lowers its own
    // limit so that twenty fill them.)
    void fullServerTakesClientsAgain()
    {
        rlimit files = {};
        ::getrlimit(RLIMIT_NOFILE, &files);
        const rlimit saved = files;
        files.rlim_cur = 128 + 20;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &files) == 0);
        struct Restore {
            rlimit limit;
            ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
        } restore{saved};
        HttpConfig config;
        config.enabled = true;
        const quint16 port = freePort();
        config.listen = {{QStringLiteral("127.0.0.1"), port}};
        HttpServer server(config, [](const HttpRequest &) { return HttpResponse::text(200, QStringLiteral("ok")); });
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        ::setrlimit(RLIMIT_NOFILE, &saved);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 20; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QStringLiteral("127.0.0.1"), port);
        }
        QVERIFY(waitUntil([&] { return server.connectionCount() == 20; }));
        for (const auto &client : idle)
            client->abort();
        QTcpSocket next;
        next.connectToHost(QStringLiteral("127.0.0.1"), port);
        next.write("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
        QByteArray answer;
        connect(&next, &QTcpSocket::readyRead, this, [&] { answer += next.readAll(); });
        QVERIFY2(waitUntil([&] { return answer.contains("\r\n\r\nok"); }, limitMs(5000)),
                 qPrintable(QStringLiteral("no answer; %1 connections held").arg(server.connectionCount())));
    }
};

FROSTGAUGE_TEST_MAIN(HttpServerTest)
#include "test-http-server.moc"
