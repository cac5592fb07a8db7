// Notes and acknowledged alarms: frostgauge-cli note into a store the monitor
// is writing at full speed and through the monitor's web API with a login,
// each writer's notes in the others' views, hostile notes refused, and an
// alarm acknowledged over HTTP and from the command line. (That an
// acknowledgement stops the command's repeats is shown in process, with a
// made-up clock.)

#include "history/history-store.h"
#include "support/cli-run.h"
#include "support/free-port.h"
#include "support/headless-browser.h"
#include "support/monitor-run.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>

#include <limits>
#include <memory>

namespace {

struct Answer {
    int status = 0;
    QByteArray body;
};

// curl, as a script or a browser would ask.
Answer request(const QString &url, const QStringList &extra)
{
    QProcess curl;
    curl.start("curl", QStringList{"-s", "--max-time", "10", "-w", "\n%{http_code}"} + extra + QStringList{url});
    curl.waitForFinished(limitMs());
    const QByteArray out = curl.readAllStandardOutput();
    const int cut = out.lastIndexOf('\n');
    return {out.mid(cut + 1).toInt(), out.left(cut)};
}

QStringList notesIn(const QString &path)
{
    HistoryStore store;
    QStringList result;
    QVector<StoredEvent> events;
    if (store.openForReading(path) && store.events(QString(), 0, std::numeric_limits<qint64>::max(), &events)) {
        for (const StoredEvent &event : qAsConst(events)) {
            if (event.kind == EventKind::Note)
                result << QStringLiteral("%1|%2|%3").arg(event.instrument, event.detail, event.author);
        }
    }
    return result;
}

} // namespace

class NotesTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimulatorProcess> sim;

    QString path(const QString &name) const { return dir->filePath(name); }

    QString users()
    {
        QProcess hash;
        hash.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--hash-password", "ana"});
        hash.write("s3cret-pw\n");
        hash.closeWriteChannel();
        hash.waitForFinished(limitMs());
        return writeTestFile(*dir, "users", hash.readAllStandardOutput());
    }

    QString config(quint16 port, const QByteArray &http, const QByteArray &alarm = {})
    {
        return writeTestFile(*dir, "monitor.conf",
                             "[store]\npath=" + QFile::encodeName(path("store.db"))
                                 + "\n[instrument/cryo]\nport=" + QFile::encodeName(path("tty"))
                                 + "\n[http]\nlisten=127.0.0.1:" + QByteArray::number(port) + "\n" + http + alarm);
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        // The fastest output the instrument has: ten readings a second.
        const QString state = writeTestFile(*dir, "state.json", "{\"rs232:period\": 100}");
        sim = std::make_unique<SimulatorProcess>(QStringList{"--link", path("tty"), "--state", state});
        QVERIFY(sim->started());
    }

    void cleanup()
    {
        sim.reset();
        dir.reset();
    }

    void badNotes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << QStringList{"STORE", ""} << "a note needs some text";
        QTest::newRow("blank") << QStringList{"STORE", "  \t "} << "a note needs some text";
        QTest::newRow("over the bound") << QStringList{"STORE", QString(1001, 'a')} << "at most 1000 bytes";
        QTest::newRow("bound in UTF-8") << QStringList{"STORE", QString(501, QChar(0x00e9))} << "this one has 1002";
        QTest::newRow("control character") << QStringList{"STORE", "a\x1b[31mred"} << "control characters (U+001b)";
        QTest::newRow("before 1970") << QStringList{"STORE", "--at", "1969-12-31T23:00:00Z", "x"}
                                     << "--at takes a time";
        QTest::newRow("ahead of now") << QStringList{"STORE", "--at", "2999-01-01T00:00:00Z", "x"}
                                      << "may not lie ahead of now";
        QTest::newRow("unknown instrument")
            << QStringList{"STORE", "--instrument", "cryo9", "x"} << "no instrument cryo9 in this store (it has: cryo)";
        QTest::newRow("not a store") << QStringList{"monitor.conf", "x"} << "is not a Frostgauge history store";
        QTest::newRow("no store") << QStringList{"absent.db", "x"} << "absent.db: no such file";
        QTest::newRow("address with a password")
            << QStringList{"http://ana:pw@127.0.0.1:1", "x"} << "without a password in it";
        QTest::newRow("no password") << QStringList{"http://127.0.0.1:1", "x"} << "no password for";
    }

    // Each refused with its reason, and the store left as it was.
    void badNotes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(path("store.db")));
            store.addReading("cryo", QDateTime::currentMSecsSinceEpoch() - 1000, 4.2);
            QVERIFY(store.commit());
        }
        writeTestFile(*dir, "monitor.conf", "[store]\n");
        arguments.replaceInStrings(QRegularExpression("^STORE$"), path("store.db"));
        const CliRun run = runCli(QStringList{"note"} + arguments, {{"FROSTGAUGE_PASSWORD", ""}}, dir->path());
        QVERIFY2(run.code == 2 || run.code == 1, qPrintable(run.err));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(notesIn(path("store.db")).isEmpty());
    }

    // Notes written into the store while the monitor writes ten readings a
    // second all land, no reading is lost, and the monitor passes each on
    // (its log, its event stream); a note through the web API lands as well,
    // and both show in the others' views.
    void notesBesideTheMonitor()
    {
        const quint16 port = freePort();
        MonitorRun monitor;
        QVERIFY(monitor.start(config(port, "password_file=" + QFile::encodeName(users()) + "\n")));
        QVERIFY(monitor.waitForLog("cryo: connected"));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(path("store.db"), "cryo") >= 10, limitMs());
        for (int i = 0; i < 20; ++i) {
            const CliRun run =
                runCli({"note", path("store.db"), "--instrument", "cryo", QStringLiteral("refill %1").arg(i)});
            QVERIFY2(run.code == 0, qPrintable(run.err));
        }
        const CliRun unicode = runCli({"note", path("store.db"), QString::fromUtf8("Probe gewechselt, Kühlung ✓")});
        QCOMPARE(unicode.code, 0);
        QVERIFY(monitor.waitForLog("cryo: note by ", 20));
        QVERIFY(monitor.waitForLog(QString::fromUtf8("Kühlung ✓")));

        // Through the monitor, with a login; without one nothing changes.
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        const Answer refused = request(base + "/api/notes", {"-H", "Content-Type: application/json", "-d",
                                                             "{\"text\":\"no login\",\"instrument\":\"cryo\"}"});
        QCOMPARE(refused.status, 401);
        const CliRun web = runCli({"note", base, "--instrument", "cryo", "--user", "ana", "compressor restarted"},
                                  {{"FROSTGAUGE_PASSWORD", "s3cret-pw"}});
        QVERIFY2(web.code == 0, qPrintable(web.err));
        // Bad notes through the API: refused with the reason, nothing written.
        for (const QByteArray &body :
             {QByteArray("{\"text\":\"\"}"), QByteArray("{\"text\":\"x\",\"time\":\"2999-01-01T00:00:00Z\"}"),
              QByteArray("{\"text\":\"x\",\"instrument\":\"cryo9\"}"), QByteArray("not json"),
              QByteArray("{\"text\":\"a\\u0001b\"}"), QByteArray("{\"text\":7}"),
              "{\"text\":\"" + QByteArray(1001, 'a') + "\"}"}) {
            const Answer answer =
                request(base + "/api/notes",
                        {"-u", "ana:s3cret-pw", "-H", "Content-Type: application/json", "--data-binary", body});
            QVERIFY2(answer.status == 400, qPrintable(body.left(60) + " -> " + answer.body));
        }
        const CliRun wrong = runCli({"note", base, "--user", "ana", "x"}, {{"FROSTGAUGE_PASSWORD", "wrong"}});
        QCOMPARE(wrong.code, 1);
        QVERIFY(wrong.err.contains("refused the login of ana"));
        QVERIFY(monitor.waitForLog("cryo: note by ana at "));
        const QJsonArray events =
            QJsonDocument::fromJson(request(base + "/api/events?instrument=cryo", {"-u", "ana:s3cret-pw"}).body)
                .array();
        int notes = 0;
        for (const QJsonValue &event : events)
            notes += event["kind"] == QJsonValue("note") ? 1 : 0;
        QCOMPARE(notes, 22);
        const QString log = monitor.stop();
        QVERIFY2(!log.startsWith("exit") && !log.startsWith("did not"), qPrintable(log));

        const QStringList stored = notesIn(path("store.db"));
        QCOMPARE(stored.size(), 22);
        // Signed with the login name of whoever ran the command.
        QCOMPARE(stored.filter("cryo|refill 19|").size(), 1);
        QVERIFY(!stored.filter("cryo|refill 19|").first().endsWith('|'));
        QVERIFY(stored.contains("cryo|compressor restarted|ana"));
        // Every reading from the first on, none lost to the notes' writes.
        HistoryStore store;
        QVERIFY(store.openForReading(path("store.db")));
        QList<qint64> seqs;
        store.readings("cryo", 0, std::numeric_limits<qint64>::max(),
                       [&](const StoredReading &reading) { seqs << reading.seq; });
        std::sort(seqs.begin(), seqs.end());
        QVERIFY(seqs.size() > 20);
        for (int i = 0; i < seqs.size(); ++i)
            QCOMPARE(seqs.at(i), qint64(i + 1));
        const CliRun exported = runCli({"history", path("store.db"), "--events", "--csv"});
        QVERIFY(exported.out.startsWith("time,instrument,kind,detail,author\n"));
        QVERIFY(exported.out.contains(",cryo,note,compressor restarted,ana\n"));
    }

    // An acknowledgement needs a login and a request from the page's own
    // origin, says who, and reaches the store and the API; a second one is
    // refused with who took it on.
    void acknowledgedAlarm()
    {
        const quint16 port = freePort();
        const QString runs = path("runs");
        MonitorRun monitor;
        // The simulator starts at room temperature: the alarm is raised at once.
        QVERIFY(monitor.start(config(port, "password_file=" + QFile::encodeName(users()) + "\n",
                                     "[alarm/warm]\ninstrument=cryo\nabove=20\ncommand=sh -c 'echo "
                                     "$FROSTGAUGE_REPEAT >> "
                                         + QFile::encodeName(runs) + "'\n")));
        QVERIFY(monitor.waitForLog("cryo: alarm warm at "));
        auto runCount = [&] {
            QFile file(runs);
            return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(runCount() == 1, limitMs()); // its command ran for the raise
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        const QStringList json{"-H", "Content-Type: application/json", "-d", "{\"alarm\":\"warm\"}"};
        QCOMPARE(request(base + "/api/acknowledge", json).status, 401);
        QCOMPARE(request(base + "/api/acknowledge",
                         QStringList{"-u", "ana:s3cret-pw", "-H", "Origin: http://elsewhere"} + json)
                     .status,
                 403);
        const CliRun unknown = runCli({"ack", base, "cold", "--user", "ana"}, {{"FROSTGAUGE_PASSWORD", "s3cret-pw"}});
        QCOMPARE(unknown.code, 2);
        QVERIFY(unknown.err.contains("no alarm cold"));
        const CliRun ack = runCli({"ack", base, "warm", "--user", "ana", "--note", "on my way"},
                                  {{"FROSTGAUGE_PASSWORD", "s3cret-pw"}});
        QVERIFY2(ack.code == 0, qPrintable(ack.err));
        QCOMPARE(ack.out, QStringLiteral("alarm warm acknowledged at %1 by ana: on my way\n").arg(base));
        QVERIFY(monitor.waitForLog("cryo: alarm warm acknowledged by ana: on my way"));
        const CliRun again = runCli({"ack", base, "warm", "--user", "ana"}, {{"FROSTGAUGE_PASSWORD", "s3cret-pw"}});
        QCOMPARE(again.code, 2);
        QVERIFY(again.err.contains("was acknowledged already by ana"));
        const QJsonArray instruments =
            QJsonDocument::fromJson(request(base + "/api/instruments", {"-u", "ana:s3cret-pw"}).body).array();
        QCOMPARE(instruments.at(0)["alarms"].toArray().at(0)["acknowledged_by"].toString(), QStringLiteral("ana"));
        QVERIFY(!monitor.stop().startsWith("exit"));
        HistoryStore store;
        QVERIFY(store.openForReading(path("store.db")));
        QVector<StoredEvent> events;
        QVERIFY(store.events("cryo", 0, std::numeric_limits<qint64>::max(), &events));
        bool recorded = false;
        for (const StoredEvent &event : qAsConst(events))
            recorded = recorded
                       || (event.kind == EventKind::AlarmAcknowledged && event.detail == "warm: on my way"
                           && event.author == "ana");
        QVERIFY(recorded);
    }

    // The dashboard with a login: a raised alarm says it is unacknowledged and
    // its button takes it on; a note typed on the chart page lands in the
    // store with the login's name and shows as a labelled marker.
    void notesAndAcknowledgementInTheBrowser()
    {
        if (!HeadlessBrowser::available())
            QSKIP("chromium is not installed");
        const quint16 port = freePort();
        MonitorRun monitor;
        QVERIFY(monitor.start(config(port, "password_file=" + QFile::encodeName(users()) + "\n",
                                     "[alarm/warm]\ninstrument=cryo\nabove=20\n")));
        QVERIFY(monitor.waitForLog("cryo: alarm warm at "));
        QCOMPARE(runCli({"note", path("store.db"), "--instrument", "cryo", "LN2 refilled"}).code, 0);
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        HeadlessBrowser browser;
        QVERIFY(browser.start(path("chromium")));
        QVERIFY(browser.openWithLogin(base + "/", "ana", "s3cret-pw", 3000));
        QVERIFY2(browser.dom().contains(QStringLiteral("<span class=\"alarm unacknowledged\">warm · unacknowledged "
                                                       "<button class=\"acknowledge\">Acknowledge</button>")),
                 qPrintable(browser.dom().left(3000)));
        browser.keepScreenshot("screenshot-dashboard-alarm.png");
        browser.evaluate("document.querySelector('button.acknowledge').click()");
        QVERIFY(monitor.waitForLog("cryo: alarm warm acknowledged by ana"));
        QTRY_VERIFY_WITH_TIMEOUT(browser.dom().contains("warm · acknowledged by ana"), limitMs());

        QVERIFY(browser.openWithLogin(base + "/instrument/cryo", "ana", "s3cret-pw", 3000));
        browser.evaluate("document.getElementById('note-text').value = 'sample changed';"
                         "document.querySelector('#note-form button').click()");
        QVERIFY(monitor.waitForLog("cryo: note by ana at "));
        QTRY_VERIFY_WITH_TIMEOUT(browser.dom().contains("<td>sample changed</td><td>ana</td>"), limitMs());
        QVERIFY(browser.dom().contains("<td>LN2 refilled</td>"));
        browser.keepScreenshot("screenshot-dashboard-notes.png");
        QVERIFY(!monitor.stop().startsWith("exit"));
        QVERIFY(notesIn(path("store.db")).contains("cryo|sample changed|ana"));
    }

    // Without users the monitor serves reading only: a write is refused.
    void writingNeedsUsers()
    {
        const quint16 port = freePort();
        MonitorRun monitor;
        QVERIFY(monitor.start(config(port, {})));
        QVERIFY(monitor.waitForLog("http: serving"));
        const Answer answer = request(QStringLiteral("http://127.0.0.1:%1/api/notes").arg(port),
                                      {"-H", "Content-Type: application/json", "-d", "{\"text\":\"x\"}"});
        QCOMPARE(answer.status, 403);
        QVERIFY(answer.body.contains("writing needs a login"));
        QVERIFY(!monitor.stop().startsWith("exit"));
        QVERIFY(notesIn(path("store.db")).isEmpty());
    }
};

FROSTGAUGE_TEST_MAIN(NotesTest)
#include "test-notes.moc"
