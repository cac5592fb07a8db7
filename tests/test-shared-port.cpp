// The shared port of frostgauge-monitor: the window, frostgauge-cli and a bare
// terminal client speaking to a simulated instrument through the monitor while
// it keeps logging; one client at a time; a client that dies mid-line.

#include "device/port-list.h"
#include "history/history-store.h"
#include "support/cli-run.h"
#include "support/image-builder.h"
#include "support/monitor-run.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileInfo>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

class SharedPortTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<SimulatorProcess> sim;
    QProcess monitor;
    QString store;
    QString link;

    using Run = CliRun;

    static Run cli(const QStringList &args, const QString &folder = QString()) { return runCli(args, {}, folder); }

    QVector<StoredEvent> events(const QString &kind)
    {
        HistoryStore history;
        if (!history.openForReading(store))
            return {};
        QVector<StoredEvent> all, result;
        history.events(QString(), 0, std::numeric_limits<qint64>::max(), &all);
        for (const StoredEvent &event : qAsConst(all))
            if (event.kindText == kind)
                result.append(event);
        return result;
    }

    QVector<qint64> readingTimes(qint64 fromMs = 0)
    {
        HistoryStore history;
        QVector<qint64> times;
        if (history.openForReading(store))
            history.readings(QStringLiteral("cryo1"), fromMs, std::numeric_limits<qint64>::max(),
                             [&](const StoredReading &reading) { times.append(reading.timeMs); });
        return times;
    }

    // The longest time between two readings from fromMs to now.
    qint64 longestGap(qint64 fromMs)
    {
        const QVector<qint64> times = readingTimes(fromMs);
        qint64 gap = times.isEmpty() ? std::numeric_limits<qint64>::max() : times.first() - fromMs;
        for (int i = 1; i < times.size(); ++i)
            gap = qMax(gap, times.at(i) - times.at(i - 1));
        return gap;
    }

    static QString linkTarget(const QString &path) { return QFile::symLinkTarget(path); }

    // Whether the store holds the event of two clients' opens hung up together.
    bool bothHungUpRecorded()
    {
        for (const StoredEvent &event : events(QStringLiteral("client"))) {
            if (event.detail.contains(QStringLiteral("open at once; both were hung up")))
                return true;
        }
        return false;
    }

    // Reads what a client hears for ms milliseconds (or until it is hung up).
    static QByteArray hear(int client, int ms, bool *hungUp = nullptr)
    {
        QByteArray heard;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            struct pollfd wait = {client, POLLIN, 0};
            ::poll(&wait, 1, 20);
            char buffer[4096];
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n > 0) {
                heard.append(buffer, int(n));
            } else if (n == 0 || (n < 0 && errno == EIO)) {
                if (hungUp)
                    *hungUp = true;
                break;
            }
        }
        return heard;
    }

    // Reads until the client hears text (in time to answer a bootstrap's 200 ms window).
    static bool waitToHear(int client, const QByteArray &text, int timeoutMs = limitMs())
    {
        QByteArray heard;
        QElapsedTimer clock;
        clock.start();
        while (!heard.contains(text) && clock.elapsed() < timeoutMs) {
            struct pollfd wait = {client, POLLIN, 0};
            ::poll(&wait, 1, 5);
            char buffer[4096];
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n > 0)
                heard.append(buffer, int(n));
        }
        return heard.contains(text);
    }

    // Opens the shared port as a bare terminal client once it is free.
    int openClient()
    {
        if (!QTest::qWaitFor([&] { return linkTarget(link).startsWith(QLatin1String("/dev/pts/")); }, limitMs()))
            return -1;
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (client >= 0
            && !QTest::qWaitFor([&] { return !linkTarget(link).startsWith(QLatin1String("/dev/pts/")); }, limitMs())) {
            ::close(client);
            return -1;
        }
        return client;
    }

    static qint64 residentKiB(qint64 pid)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        QDir(dir.path()).mkpath(QStringLiteral("share"));
        qputenv("FROSTGAUGE_SHARED_PORTS", QFile::encodeName(dir.filePath(QStringLiteral("share"))));
        store = dir.filePath(QStringLiteral("history.db"));
        link = dir.filePath(QStringLiteral("share/cryo1"));
        sim = std::make_unique<SimulatorProcess>(
            QStringList{"--link", dir.filePath("sim"), "--serial", "SHARE-1", "--flash-dump", dir.filePath("flash.bin"),
                        "--state", writeTestFile(dir, "state.json", "{\"relay1:temp\": 77.5}")});
        QVERIFY(sim->started());
        QByteArray config = "[store]\npath=STORE\n\n[instrument/cryo1]\nport=SIM\nperiod=100\nshare=LINK\n"
                            "maintenance_limit=4\n\n"
                            "[alarm/quiet]\ninstrument=cryo1\nsilence=1\n";
        config.replace("STORE", QFile::encodeName(store));
        config.replace("SIM", QFile::encodeName(dir.filePath("sim")));
        config.replace("LINK", QFile::encodeName(link));
        monitor.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE),
                      {"--config", writeTestFile(dir, "monitor.conf", config)});
        QVERIFY(monitor.waitForStarted(limitMs()));
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes().size() >= 10, limitMs());
    }

    void cleanupTestCase()
    {
        stopProcess(monitor);
        // The monitor takes its link with it.
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    // The window finds the shared port by its instrument's name, reads back and
    // changes a set-point while the monitor goes on logging.
    void windowSessionThroughTheMonitor()
    {
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        MainWindow window;
        qunsetenv("FROSTGAUGE_EXTRA_PORTS");
        window.ui->serialPortsRefreshButton->click();
        const int index = window.ui->serialPortCombo->findData(link);
        QVERIFY(index >= 0);
        QCOMPARE(window.ui->serialPortCombo->itemText(index), QStringLiteral("cryo1 (shared by frostgauge-monitor)"));
        window.ui->serialPortCombo->setCurrentIndex(index);
        window.ui->serialPortOpenButton->click();
        QVERIFY2(window.device, qPrintable(window.statusBar()->currentMessage()));
        QTRY_COMPARE_WITH_TIMEOUT(window.ui->serialNumberValue->text(), QStringLiteral("SHARE-1"), limitMs());
        QTRY_COMPARE_WITH_TIMEOUT(window.getParametersStage, -1, limitMs());
        QCOMPARE(window.ui->relay1TempSpin->value(), 77.5);

        // The readings reach the window's plot too.
        QTRY_VERIFY_WITH_TIMEOUT(window.plotTemperatures.size() >= 5, limitMs());
        window.ui->relay1TempSpin->setValue(4.25);
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("setting")).isEmpty(), limitMs());
        QCOMPARE(events(QStringLiteral("setting")).last().detail, QStringLiteral("relay1:temp: 77.500 -> 4.250"));
        // The monitor logs on while the window holds the port.
        const qint64 changed = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(changed).size() >= 5, limitMs());
        window.ui->serialPortCloseButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        // Stored up to the close, so that a gap around it would show.
        const qint64 closed = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(!readingTimes(closed).isEmpty(), limitMs());
        QVERIFY2(longestGap(start) < 600, qPrintable(QString::number(longestGap(start))));

        // A path relative to where the command runs, as a person types it.
        const Run run = cli({"get", "share/cryo1", "relay1:temp"}, dir.path());
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QCOMPARE(run.out, QStringLiteral("relay1:temp = 4.250\n"));
    }

    // While one client holds the port, a second is refused with a reason,
    // whatever its user; when the first leaves, the next one gets in.
    void oneClientAtATime()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const int first = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(first >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(
            linkTarget(link), dir.filePath(QLatin1String("share/") + QLatin1String(SharedPortInUseTarget)), limitMs());

        const Run refused = cli({"identify", link, "--timeout", "2"});
        QCOMPARE(refused.code, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("is in use by another client of frostgauge-monitor")),
                 qPrintable(refused.err));
        MainWindow window;
        window.ui->serialPortsRefreshButton->click();
        const int index = window.ui->serialPortCombo->findData(link);
        QCOMPARE(window.ui->serialPortCombo->itemText(index),
                 QStringLiteral("cryo1 (shared by frostgauge-monitor, in use)"));
        window.ui->serialPortCombo->setCurrentIndex(index);
        window.ui->serialPortOpenButton->click();
        QVERIFY(!window.device);
        QVERIFY(window.statusBar()->currentMessage().contains(QStringLiteral("in use by another client")));

        ::close(first);
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const Run next = cli({"identify", link});
        QVERIFY2(next.code == 0, qPrintable(next.err));
    }

    // A client that dies in the middle of a line leaves nothing of it behind:
    // the next client's command arrives whole, and logging never stopped.
    void clientDyingMidLine()
    {
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(client >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        QCOMPARE(::write(client, ":relay1:temp 9", 14), ssize_t(14));
        QTest::qWait(200);
        ::close(client);

        QProcess killed;
        killed.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"monitor", link, "--duration", "60"});
        QVERIFY(killed.waitForStarted(limitMs()));
        QTRY_VERIFY_WITH_TIMEOUT(killed.bytesAvailable() > 0 || killed.waitForReadyRead(100), limitMs());
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(limitMs()));

        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const Run run = cli({"get", link, "relay1:temp"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY(run.out.startsWith(QStringLiteral("relay1:temp = ")));
        QVERIFY(!run.out.contains(QStringLiteral("9.000")));
        const qint64 done = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(!readingTimes(done).isEmpty(), limitMs());
        QVERIFY2(longestGap(start) < 600, qPrintable(QString::number(longestGap(start))));
    }

    // A client that writes a whole line and is gone before the monitor looks
    // (echo ... > PATH) is heard all the same.
    void clientGoneBeforeItIsSeen()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const int settingsBefore = events(QStringLiteral("setting")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(client >= 0);
        QCOMPARE(::write(client, ":relay2:hyst 6.500\n", 19), ssize_t(19));
        ::close(client);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("setting")).size(), settingsBefore + 1, limitMs());
        QCOMPARE(events(QStringLiteral("setting")).last().detail, QStringLiteral("relay2:hyst: 5.000 -> 6.500"));
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const Run run = cli({"get", link, "relay2:hyst"});
        QCOMPARE(run.out, QStringLiteral("relay2:hyst = 6.500\n"));
    }

    // A terminal user who resets the instrument and leaves before asking what
    // came back: the monitor stays aside while the client is there, then asks.
    void maintenanceEndsAfterTheClientLeaves()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(client >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        QTRY_VERIFY_WITH_TIMEOUT(
            events(QStringLiteral("maintenance")).size() > 0
                && events(QStringLiteral("maintenance")).last().detail.contains(QStringLiteral("reset")),
            limitMs());
        // The restarted application announces itself to the client alone.
        QVERIFY(waitToHear(client, "*APP "));
        // One store batch after the announcement: a maintenance ended by it would be stored.
        const qint64 announced = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY_WITH_TIMEOUT(!readingTimes(announced).isEmpty(), limitMs());
        QCOMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore);
        ::close(client);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1, limitMs());
    }

    // Held in its management firmware by a client, the instrument is silent on
    // purpose: the silence alarm waits for the end of the maintenance.
    void maintenanceHoldsTheSilenceAlarm()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(client >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        // The management firmware keeps the instrument when a break answers its bootstrap.
        QVERIFY(waitToHear(client, "*BOOTSTRAP"));
        QCOMPARE(::write(client, "\x03", 1), ssize_t(1));
        // Held past the silence alarm's second and one tick of its clock: nothing
        // happens, which only time can show.
        QTest::qWait(1500);
        QCOMPARE(readingTimes(start + 1500).size(), 0);
        QCOMPARE(::write(client, "boot\n", 5), ssize_t(5));
        ::close(client);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1, limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(start + 1500).size() >= 3, limitMs());
        for (const StoredEvent &event : events(QStringLiteral("alarm raised")))
            QVERIFY2(event.timeMs < start, qPrintable(event.detail));
    }

    // A client left the instrument in its management firmware and went: the
    // monitor starts its application and logs on.
    void leftInTheManagementFirmware()
    {
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int client = openClient();
        QVERIFY(client >= 0);
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        const bool bootstrap = waitToHear(client, "*BOOTSTRAP");
        QCOMPARE(::write(client, "\x03", 1), ssize_t(1));
        const bool management = waitToHear(client, "*MGMT");
        ::close(client);
        QVERIFY(bootstrap && management);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1, limitMs());
        QVERIFY(
            events(QStringLiteral("maintenance")).last().detail.contains(QStringLiteral("starting its application")));
        QVERIFY(events(QStringLiteral("maintenance ended"))
                    .last()
                    .detail.contains(QStringLiteral("back in its application")));
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(events(QStringLiteral("maintenance ended")).last().timeMs).size() >= 3,
                                 limitMs());
    }

    // A client that keeps the instrument in its management firmware past the
    // limit: the maintenance ends in the history and the silence alarm counts again.
    void maintenanceLimit()
    {
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int raisedBefore = events(QStringLiteral("alarm raised")).size();
        const int client = openClient();
        QVERIFY(client >= 0);
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        const bool bootstrap = waitToHear(client, "*BOOTSTRAP");
        QCOMPARE(::write(client, "\x03", 1), ssize_t(1));
        if (!bootstrap || !waitToHear(client, "*MGMT")) {
            ::close(client);
            QFAIL("the instrument did not stay in its management firmware");
        }
        if (!QTest::qWaitFor([&] { return events(QStringLiteral("maintenance ended")).size() == endedBefore + 1; },
                             limitMs()))
            ::close(client);
        QCOMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1);
        const StoredEvent overdue = events(QStringLiteral("maintenance ended")).last();
        QVERIFY2(overdue.detail.contains(QStringLiteral("not back in its application 4 s")),
                 qPrintable(overdue.detail));
        const bool raised =
            QTest::qWaitFor([&] { return events(QStringLiteral("alarm raised")).size() > raisedBefore; }, limitMs());
        const qint64 booted = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(::write(client, "boot\n", 5), ssize_t(5));
        ::close(client);
        QVERIFY(raised);
        QVERIFY(events(QStringLiteral("alarm raised")).last().timeMs >= overdue.timeMs + 900);
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(booted).size() >= 3, limitMs());
    }

    // The monitor sees a client's open at once (not at its next look): a
    // second client a few milliseconds later finds the port in use. One that
    // opens the terminal by its own name meanwhile, as root may despite
    // exclusive use, has both sessions hung up rather than shared.
    void secondOpenSoonAfter()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const QByteArray terminal = QFile::encodeName(linkTarget(link));
        const int first = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(first >= 0);
        QTest::qSleep(20);
        const int second = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int byName = ::open(terminal.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int byNameError = errno;
        bool firstHungUp = false, byNameHungUp = false;
        hear(first, 3000, &firstHungUp);
        if (byName >= 0)
            hear(byName, 3000, &byNameHungUp);
        ::close(first);
        if (second >= 0)
            ::close(second);
        if (byName >= 0)
            ::close(byName);
        QCOMPARE(second, -1);
        if (byName >= 0) {
            QVERIFY(firstHungUp && byNameHungUp);
            QTRY_VERIFY_WITH_TIMEOUT(bothHungUpRecorded(), limitMs());
        } else {
            QCOMPARE(byNameError, EBUSY);
        }
        const Run run = cli({"get", link, "relay2:hyst"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
    }

    // Two opens in the same instant (the monitor can only see them as one):
    // once the first closes, the second is hung up rather than left holding a
    // session nobody accounted for.
    void twoOpensInOneInstant()
    {
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), limitMs());
        // The second by the terminal's name: the monitor may turn the link
        // within the microseconds between the two.
        const QByteArray terminal = QFile::encodeName(linkTarget(link));
        const int first = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int second = ::open(terminal.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(first >= 0);
        if (second < 0) {
            ::close(first);
            QSKIP("the terminal was set for exclusive use between the two opens (not root)");
        }
        hear(first, 300);
        ::close(first);
        bool hungUp = false;
        hear(second, 3000, &hungUp);
        ::close(second);
        QVERIFY(hungUp);
        QTRY_VERIFY_WITH_TIMEOUT(bothHungUpRecorded(), limitMs());
        const Run run = cli({"get", link, "relay2:hyst"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
    }

    // A client writing far faster than the instrument's line carries waits in
    // its write: the monitor holds a few KiB of it, its readings keep their
    // rate, and what the client left and the answers to it reach no one else.
    void floodingClientWaits()
    {
        QTemporaryDir here;
        SimulatorProcess paced({"--link", here.filePath("sim"), "--serial", "PACED-1", "--pace-baud", "115200"});
        QVERIFY(paced.started());
        const QString pacedStore = here.filePath("h.db");
        const QString pacedLink = here.filePath("link");
        MonitorRun run;
        QVERIFY(run.start(writeTestFile(here, "m.conf",
                                        QStringLiteral("[store]\npath=%1\n[instrument/paced]\nport=%2\nperiod=100\n"
                                                       "share=%3\n")
                                            .arg(pacedStore, here.filePath("sim"), pacedLink)
                                            .toUtf8())));
        QTRY_VERIFY_WITH_TIMEOUT(storedReadings(pacedStore, QStringLiteral("paced")) >= 5, limitMs());
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(pacedLink).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const qint64 rssBefore = residentKiB(run.process.processId());

        const int client = ::open(QFile::encodeName(pacedLink).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(client >= 0);
        const QByteArray lines = QByteArray(":display:period 1000\n").repeated(3000);
        qint64 written = 0;
        const qint64 floodStart = QDateTime::currentMSecsSinceEpoch();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 3000) {
            // Whole lines: a short write goes on where it stopped.
            const int at = int(written % lines.size());
            const ssize_t n = ::write(client, lines.constData() + at, size_t(lines.size() - at));
            if (n > 0)
                written += n;
            hear(client, 5);
        }
        const qint64 floodEnd = QDateTime::currentMSecsSinceEpoch();
        // Questions whose answers would still be on their way when it leaves.
        const QByteArray questions = QByteArray(":relay2:hyst?\n").repeated(40);
        (void)!::write(client, questions.constData(), size_t(questions.size()));
        ::close(client);

        // The line carries about 11.5 kB/s: three seconds of it and the buffers on the way.
        QVERIFY2(written < 512 * 1024, qPrintable(QString::number(written)));
        const qint64 during = storedReadings(pacedStore, QStringLiteral("paced"), floodStart)
                              - storedReadings(pacedStore, QStringLiteral("paced"), floodEnd);
        // Ten a second: thirty, less what a loaded machine delays (2/s before).
        QVERIFY2(during >= 20, qPrintable(QString::number(during)));
        QVERIFY2(residentKiB(run.process.processId()) - rssBefore < 16 * 1024,
                 qPrintable(QString::number(residentKiB(run.process.processId()) - rssBefore)));

        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(pacedLink).startsWith(QLatin1String("/dev/pts/")), limitMs());
        const int next = ::open(QFile::encodeName(pacedLink).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(next >= 0);
        const QByteArray heard = hear(next, 1500);
        ::close(next);
        QVERIFY2(heard.contains("*T = "), heard.constData());
        QVERIFY2(!heard.contains("hyst"), heard.constData());

        const QString log = run.stop();
        // The same setting sent thousands of times is one change, or none.
        QVERIFY2(log.count(QStringLiteral("setting: display:period")) <= 1, qPrintable(log));
    }

    // An upgrade through the shared port: the monitor stands aside from the
    // reset to the restarted application, then logs on with its period set again.
    void upgradeThroughTheSharedPort()
    {
        QByteArray build;
        for (int i = 0; i < 6000; ++i)
            build.append(char(i * 7 + 3));
        const QString image = writeTestFile(
            dir, "upgrade.crp",
            ImageBuilder::sign(ImageBuilder::head() + ImageBuilder::record(ImageBuilder::revision1, build)));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const Run run = cli({"upgrade", link, image, "--yes"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY(run.out.contains(QStringLiteral("upgraded: VKRHX350")));
        const qint64 after = QDateTime::currentMSecsSinceEpoch();

        QFile flash(dir.filePath("flash.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(flash.exists() && flash.size() == build.size(), limitMs());
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);

        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1, limitMs());
        const StoredEvent began = events(QStringLiteral("maintenance")).last();
        const StoredEvent ended = events(QStringLiteral("maintenance ended")).last();
        QVERIFY(began.timeMs >= before && began.timeMs <= ended.timeMs && ended.timeMs <= after + 1000);
        QVERIFY(began.detail.contains(QStringLiteral("reset the instrument")));
        // Logging resumes: the restarted instrument gets its output period again.
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(ended.timeMs).size() >= 5, limitMs());
    }
};

FROSTGAUGE_TEST_MAIN(SharedPortTest)
#include "test-shared-port.moc"
