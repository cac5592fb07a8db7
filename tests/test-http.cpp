// frostgauge-monitor over HTTP: the JSON API, the event stream, the metrics
// (checked by promtool), hostile requests on a raw socket, logins with and
// without TLS, and the dashboard in Debian's chromium, against a monitor with
// two simulated instruments.

#include "support/free-port.h"
#include "support/headless-browser.h"
#include "support/monitor-run.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether an answer's headers and as much body as they announce are there: a
// connection kept alive gives no other sign that it is complete.
bool wholeAnswer(const QByteArray &answer)
{
    const int end = answer.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QRegularExpressionMatch length =
        QRegularExpression(QStringLiteral("\\r\\ncontent-length: *(\\d+)"), QRegularExpression::CaseInsensitiveOption)
            .match(QString::fromLatin1(answer.left(end)));
    return length.hasMatch() && answer.size() - end - 4 >= length.captured(1).toInt();
}

// Sends bytes and reads what comes back until the answer is whole, the
// server hangs up, or nothing more came for the given seconds.
QByteArray rawRequestWithin(quint16 port, const QByteArray &bytes, int seconds)
{
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait = {seconds, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray answer;
    if (::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        if (!bytes.isEmpty())
            (void)!::write(client, bytes.constData(), size_t(bytes.size()));
        char buffer[4096];
        ssize_t n;
        while (!wholeAnswer(answer) && (n = ::read(client, buffer, sizeof buffer)) > 0)
            answer.append(buffer, int(n));
    }
    ::close(client);
    return answer;
}

// The sockets a process holds open.
int openSockets(qint64 pid)
{
    int sockets = 0;
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &descriptor : descriptors.entryInfoList(QDir::Files | QDir::System))
        sockets += descriptor.symLinkTarget().contains(QLatin1String("socket:")) ? 1 : 0;
    return sockets;
}

struct Fetched {
    int status = 0;
    QByteArray body;
};

Fetched fetch(const QString &url, const QStringList &extra = {})
{
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               QStringList{"-s", "-k", "--max-time", "10", "-w", "\n%{http_code}"} + extra + QStringList{url});
    curl.waitForFinished(limitMs());
    QByteArray out = curl.readAllStandardOutput();
    const int cut = out.lastIndexOf('\n');
    return {out.mid(cut + 1).toInt(), out.left(cut)};
}

} // namespace

class HttpTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<SimulatorProcess> one;
    std::unique_ptr<SimulatorProcess> two;
    MonitorRun monitor;
    quint16 port = 0;
    QString base;

    QByteArray configFor(const QString &store, quint16 httpPort, const QByteArray &http = QByteArray())
    {
        return QStringLiteral("[store]\npath=%1\n[instrument/cryo1]\nport=%2\nperiod=100\n"
                              "[instrument/cryo2]\nport=%3\nperiod=200\n"
                              "[alarm/warm]\ninstrument=cryo1\nabove=10\n"
                              "[http]\nlisten=127.0.0.1:%4\n")
                   .arg(store, dir.filePath("one"), dir.filePath("two"))
                   .arg(httpPort)
                   .toUtf8()
               + http;
    }

private slots:
    void initTestCase()
    {
        one = std::make_unique<SimulatorProcess>(QStringList{"--link", dir.filePath("one"), "--serial", "H1"});
        two = std::make_unique<SimulatorProcess>(QStringList{"--link", dir.filePath("two"), "--serial", "H2"});
        QVERIFY(one->started() && two->started());
        port = freePort();
        base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        QVERIFY(monitor.start(writeTestFile(dir, "web.conf", configFor(dir.filePath("web.db"), port))));
        QVERIFY2(monitor.waitForLog(QStringLiteral("http: serving on %1").arg(base)), qPrintable(monitor.log()));
        QVERIFY(monitor.waitForLog("cryo1: connected") && monitor.waitForLog("cryo2: connected"));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(dir.filePath("web.db"), "cryo2") >= 3, limitMs());
    }

    // The monitor stops cleanly with a client still on the event stream.
    void cleanupTestCase()
    {
        QProcess follower;
        follower.start(QStringLiteral("curl"), {"-s", "-N", base + "/api/stream"});
        QVERIFY(follower.waitForReadyRead(limitMs()));
        const QString log = monitor.stop();
        QVERIFY2(!log.startsWith(QLatin1String("exit")) && log.contains(QLatin1String("monitor stopped")),
                 qPrintable(log));
        QVERIFY(follower.waitForFinished(limitMs()));
    }

    void apiRequests_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::newRow("instruments") << "/api/instruments" << 200 << "\"name\":\"cryo2\",\"seq\":";
        QTest::newRow("history") << "/api/history?instrument=cryo1&points=10" << 200 << "\"columns\":[[";
        QTest::newRow("history without instrument") << "/api/history" << 400 << "instrument: is missing";
        QTest::newRow("history of an unknown instrument") << "/api/history?instrument=nope" << 400 << "instrument: no instrument nope";
        QTest::newRow("no points") << "/api/history?instrument=cryo1&points=0" << 400 << "points: takes a whole number from 1 to 10000";
        QTest::newRow("points as text") << "/api/history?instrument=cryo1&points=many" << 400 << "points: takes";
        QTest::newRow("time beyond 9999") << "/api/history?instrument=cryo1&from=10000-01-01T00:00:00" << 400 << "from: takes an ISO 8601 time";
        QTest::newRow("reversed range") << "/api/history?instrument=cryo1&from=2026-12-10T10:00:00Z&to=2026-12-10T09:00:00Z" << 400 << "from: comes after to";
        QTest::newRow("events") << "/api/events?instrument=cryo2" << 200 << "\"kind\":\"connected\"";
        QTest::newRow("events of all") << "/api/events" << 200 << "\"kind\":\"monitor started\"";
        QTest::newRow("csv") << "/api/readings.csv?instrument=cryo1" << 200 << "time,instrument,temperature_K\n";
        QTest::newRow("metrics") << "/metrics" << 200 << "frostgauge_instrument_up{instrument=\"cryo2\"} 1";
        QTest::newRow("alarm metric") << "/metrics" << 200 << "frostgauge_alarm_active{alarm=\"warm\",instrument=\"cryo1\"} 1";
        QTest::newRow("overview") << "/" << 200 << "<title>Frostgauge</title>";
        QTest::newRow("instrument page") << "/instrument/cryo2" << 200 << "/assets/instrument.js";
        QTest::newRow("unknown instrument page") << "/instrument/cryo3" << 404 << "no instrument cryo3";
        QTest::newRow("chart library") << "/assets/dygraph.min.js" << 200 << "Dygraph";
        QTest::newRow("nothing there") << "/admin" << 404 << "nothing at /admin";
        QTest::newRow("traversal, encoded") << "/assets/%2e%2e/%2e%2e/etc/passwd" << 404 << "nothing at";
        // clang-format on
    }

    void apiRequests()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, body);
        const Fetched got = fetch(base + path);
        QCOMPARE(got.status, status);
        QVERIFY2(QString::fromUtf8(got.body).contains(body), got.body.left(400).constData());
    }

    void hostileRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::newRow("dot segments") << QByteArray("GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n")
                                      << QByteArray("HTTP/1.1 404");
        QTest::newRow("post") << QByteArray("POST /api/instruments HTTP/1.1\r\nHost: x\r\nContent-Type: "
                                            "application/json\r\nContent-Length: 2\r\n\r\n{}")
                              << QByteArray("HTTP/1.1 405");
        QTest::newRow("post, not JSON") << QByteArray(
            "POST /api/notes HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc")
                                        << QByteArray("HTTP/1.1 415");
        QTest::newRow("post of 9 KiB") << "POST /api/notes HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                          "Content-Length: 9216\r\n\r\n"
                                              + QByteArray(9216, ' ')
                                       << QByteArray("HTTP/1.1 413");
        QTest::newRow("note without users")
            << QByteArray("POST /api/notes HTTP/1.1\r\nHost: x\r\nContent-Type: "
                          "application/json\r\nContent-Length: 12\r\n\r\n{\"text\":\"x\"}")
            << QByteArray("HTTP/1.1 403");
        QTest::newRow("put") << QByteArray("PUT /api/notes HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
                             << QByteArray("HTTP/1.1 405");
        QTest::newRow("url of 64 KiB") << "GET /" + QByteArray(65536, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"
                                       << QByteArray("HTTP/1.1 414");
        QTest::newRow("header of 64 KiB")
            << "GET / HTTP/1.1\r\nHost: x\r\nX-Junk: " + QByteArray(65536, 'a') + "\r\n\r\n"
            << QByteArray("HTTP/1.1 431");
        QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01 hello\r\n\r\n") << QByteArray("HTTP/1.1 400");
    }

    void hostileRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, statusLine);
        const QByteArray answer = rawRequestWithin(port, request, 1);
        QVERIFY2(answer.startsWith(statusLine), answer.left(200).constData());
        // Logging goes on.
        const qint64 before = storedReadings(dir.filePath("web.db"), "cryo1");
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(dir.filePath("web.db"), "cryo1") > before, limitMs());
    }

    void metricsPassPromtool()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("promtool")).isEmpty())
            QSKIP("promtool (package prometheus) is not installed");
        const Fetched metrics = fetch(base + QStringLiteral("/metrics"));
        QCOMPARE(metrics.status, 200);
        QProcess promtool;
        promtool.start(QStringLiteral("promtool"), {"check", "metrics"});
        promtool.write(metrics.body);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(limitMs()));
        QVERIFY2(promtool.exitCode() == 0,
                 (promtool.readAllStandardOutput() + promtool.readAllStandardError()).constData());
    }

    // The stream starts with every instrument and goes on with each reading.
    void eventStream()
    {
        QProcess curl;
        curl.start(QStringLiteral("curl"), {"-s", "-N", "--max-time", "2", base + "/api/stream"});
        QVERIFY(curl.waitForFinished(limitMs()));
        const QByteArray stream = curl.readAllStandardOutput();
        QVERIFY2(stream.startsWith("retry: 2000\nevent: instruments\ndata: [{"), stream.left(200).constData());
        QVERIFY2(stream.count("event: reading\ndata: {\"instrument\":\"cryo1\"") >= 5, stream.left(600).constData());
        QVERIFY(stream.count("event: reading\ndata: {\"instrument\":\"cryo2\"") >= 3);
    }

    // The overview in a real browser: both instruments with their readings,
    // and readings that came after the page loaded shown without a reload;
    // then one instrument's chart, drawn by dygraphs for the range.
    void dashboardInChromium()
    {
        if (!HeadlessBrowser::available())
            QSKIP("chromium is not installed");
        HeadlessBrowser browser;
        QVERIFY(browser.start(dir.filePath("chromium")));
        QVERIFY(browser.open(base + "/", 3000));
        const QString dom = browser.dom();
        for (const char *name : {"cryo1", "cryo2"}) {
            const QRegularExpression tile(QStringLiteral("<a class=\"tile online\" href=\"/instrument/%1\" "
                                                         "data-seq=\"(\\d+)\" data-first-seq=\"(\\d+)\">"
                                                         "<h2>%1</h2><div class=\"kelvin\">\\d+\\.\\d{3} K</div>")
                                              .arg(QLatin1String(name)));
            const QRegularExpressionMatch match = tile.match(dom);
            QVERIFY2(match.hasMatch(), qPrintable(dom.left(3000)));
            QVERIFY2(match.captured(1).toLongLong() > match.captured(2).toLongLong(), qPrintable(match.captured(0)));
        }
        QVERIFY(dom.contains(QStringLiteral("<span class=\"alarm unacknowledged\">warm · unacknowledged")));
        QVERIFY2(QRegularExpression(QStringLiteral("<polyline points=\"[0-9., ]+\"")).match(dom).hasMatch(),
                 qPrintable(dom.left(3000)));
        // With FROSTGAUGE_SCREENSHOTS=FOLDER the pages are kept there as images, to be looked at.
        browser.keepScreenshot("screenshot-dashboard.png");
        // A sparkline over more than two decades is drawn on decades.
        QCOMPARE(
            browser
                .evaluate(QStringLiteral("(() => { const tile = tiles.get('cryo2'); const now = Date.now();"
                                         " tile.points = [[now - 60000, 300, 300], [now - 1000, 0.02, 0.02]];"
                                         " drawSparkline(tile); return tile.spark.classList.contains('log'); })()"))
                .toBool(),
            true);

        QVERIFY(browser.open(base + "/instrument/cryo1", 3000));
        const QString chart = browser.dom();
        QVERIFY2(chart.contains(QStringLiteral("<canvas")), qPrintable(chart.left(3000)));
        QVERIFY2(QRegularExpression(QStringLiteral("\\d+ columns</p>")).match(chart).hasMatch(),
                 qPrintable(chart.left(3000)));
        QVERIFY(chart.contains(QStringLiteral("<td>connected</td>")));
        browser.keepScreenshot("screenshot-dashboard-chart.png");
        // The chart's log scale toggle, kept by the browser for the next visit.
        QCOMPARE(browser.evaluate(QStringLiteral("chart.getOption('logscale')")).toBool(), false);
        browser.evaluate(QStringLiteral("document.getElementById('log').click()"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate(QStringLiteral("chart.getOption('logscale')")).toBool(), true,
                                  limitMs());
        QVERIFY(browser.open(base + "/instrument/cryo2", 2000));
        QCOMPARE(browser.evaluate(QStringLiteral("chart.getOption('logscale')")).toBool(), true);
        QVERIFY(browser.dom().contains(QStringLiteral("<button id=\"log\" title=\"A logarithmic temperature axis "
                                                      "(remembered in this browser)\" class=\"active\">")));
    }

    // With users every request needs a login, over TLS or not; a wrong one is
    // refused and logged without the password, and many are slowed down.
    void logins_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("TLS") << true;
    }

    void logins()
    {
        QFETCH(bool, tls);
        QProcess hash;
        hash.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--hash-password", "ops"});
        hash.write("s3cret-pw\n");
        hash.closeWriteChannel();
        QVERIFY(hash.waitForFinished(limitMs()));
        const QString users = writeTestFile(dir, "users", hash.readAllStandardOutput());
        QByteArray http = "password_file=" + QFile::encodeName(users) + "\n";
        if (tls) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"),
                          {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                           "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
            QVERIFY(openssl.waitForFinished(limitMs()) && openssl.exitCode() == 0);
            http += "tls_cert=" + QFile::encodeName(dir.filePath("cert.pem"))
                    + "\ntls_key=" + QFile::encodeName(dir.filePath("key.pem")) + "\n";
        }
        const quint16 loginPort = freePort();
        const QString url = QStringLiteral("%1://127.0.0.1:%2/api/instruments")
                                .arg(tls ? QLatin1String("https") : QLatin1String("http"))
                                .arg(loginPort);
        MonitorRun guarded;
        const QString store = dir.filePath(tls ? "tls.db" : "plain.db");
        QVERIFY(guarded.start(writeTestFile(dir, tls ? "tls.conf" : "plain.conf", configFor(store, loginPort, http))));
        QVERIFY2(guarded.waitForLog("http: serving on"), qPrintable(guarded.log()));

        QCOMPARE(fetch(url).status, 401);
        QCOMPARE(fetch(url, {"-u", "ops:wrong-pw"}).status, 401);
        QCOMPARE(fetch(url, {"-u", "nobody:s3cret-pw"}).status, 401);
        const Fetched good = fetch(url, {"-u", "ops:s3cret-pw"});
        QCOMPARE(good.status, 200);
        QVERIFY(good.body.contains("\"name\":\"cryo1\""));
        QVERIFY(guarded.waitForLog("http: wrong login for user ops from 127.0.0.1"));
        QVERIFY(!guarded.log().contains("wrong-pw"));
        for (int i = 0; i < 4; ++i)
            fetch(url, {"-u", "ops:wrong-pw"});
        // Five wrong in a minute: the address waits, the right password too.
        const Fetched slowed = fetch(url, {"-u", "ops:s3cret-pw"});
        QCOMPARE(slowed.status, 429);
        QVERIFY(slowed.body.contains("too many wrong logins"));
        if (tls)
            QCOMPARE(fetch(QStringLiteral("http://127.0.0.1:%1/api/instruments").arg(loginPort)).status, 0);
        QVERIFY(!guarded.stop().startsWith(QLatin1String("exit")));
    }

    // A thousand clients that connect and say nothing: the next is refused,
    // logging goes on, and once they leave a request is answered again.
    void connectionLimit()
    {
        struct rlimit files;
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_max < 1200)
            QSKIP("this system allows fewer than 1200 open files");
        QVector<int> idle;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 1000; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM, 0);
            QVERIFY(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
            idle.append(client);
        }
        // Accepted in turn by the monitor's loop: until it holds them all.
        QTRY_VERIFY_WITH_TIMEOUT(openSockets(monitor.process.processId()) >= 1000, limitMs());
        const QByteArray refused = rawRequestWithin(port, "GET /api/instruments HTTP/1.1\r\nHost: x\r\n\r\n", 1);
        const qint64 before = storedReadings(dir.filePath("web.db"), "cryo1");
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(dir.filePath("web.db"), "cryo1") > before + 5, limitMs());
        for (const int client : qAsConst(idle))
            ::close(client);
        QVERIFY2(refused.isEmpty(), refused.left(200).constData());
        // On the clock, not on tries: each try is a curl of up to 10 s.
        QVERIFY(waitUntil([&] { return fetch(base + QStringLiteral("/api/instruments")).status == 200; }));
    }

    // A busy port is said with the address and the system's words, and the
    // monitor does not start.
    void busyPort()
    {
        MonitorRun second;
        QVERIFY(second.start(writeTestFile(dir, "busy.conf", configFor(dir.filePath("busy.db"), port))));
        QVERIFY(second.process.waitForFinished(limitMs()));
        QCOMPARE(second.process.exitCode(), 1);
        QVERIFY2(second.log().contains(
                     QStringLiteral("[http] listen: cannot listen on 127.0.0.1:%1: Address already in use").arg(port)),
                 qPrintable(second.log()));
    }
};

FROSTGAUGE_TEST_MAIN(HttpTest)
#include "test-http.moc"
