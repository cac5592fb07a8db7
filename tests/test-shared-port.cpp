// The shared port of frostgauge-monitor: the window, frostgauge-cli and a bare
// terminal client speaking to a simulated instrument through the monitor while
// it keeps logging; one client at a time; a client that dies mid-line.

#include "device/port-list.h"
#include "history/history-store.h"
#include "support/cli-run.h"
#include "support/image-builder.h"
#include "support/simulator-process.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileInfo>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <memory>
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
        QByteArray config = "[store]\npath=STORE\n\n[instrument/cryo1]\nport=SIM\nperiod=100\nshare=LINK\n\n"
                            "[alarm/quiet]\ninstrument=cryo1\nsilence=1\n";
        config.replace("STORE", QFile::encodeName(store));
        config.replace("SIM", QFile::encodeName(dir.filePath("sim")));
        config.replace("LINK", QFile::encodeName(link));
        monitor.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE),
                      {"--config", writeTestFile(dir, "monitor.conf", config)});
        QVERIFY(monitor.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(linkTarget(link).startsWith(QLatin1String("/dev/pts/")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes().size() >= 10, 10000);
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
        QTRY_COMPARE(window.ui->serialNumberValue->text(), QStringLiteral("SHARE-1"));
        QTRY_COMPARE(window.getParametersStage, -1);
        QCOMPARE(window.ui->relay1TempSpin->value(), 77.5);

        // The readings reach the window's plot too.
        QTRY_VERIFY(window.plotTemperatures.size() >= 5);
        window.ui->relay1TempSpin->setValue(4.25);
        QTRY_VERIFY(!events(QStringLiteral("setting")).isEmpty());
        QCOMPARE(events(QStringLiteral("setting")).last().detail, QStringLiteral("relay1:temp: 77.500 -> 4.250"));
        // The monitor logs on while the window holds the port.
        const qint64 changed = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY(readingTimes(changed).size() >= 5);
        window.ui->serialPortCloseButton->click();
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        // Stored up to the close, so that a gap around it would show.
        const qint64 closed = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY(!readingTimes(closed).isEmpty());
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
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const int first = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(first >= 0);
        QTRY_COMPARE(linkTarget(link), dir.filePath(QLatin1String("share/") + QLatin1String(SharedPortInUseTarget)));

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
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const Run next = cli({"identify", link});
        QVERIFY2(next.code == 0, qPrintable(next.err));
    }

    // A client that dies in the middle of a line leaves nothing of it behind:
    // the next client's command arrives whole, and logging never stopped.
    void clientDyingMidLine()
    {
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(client >= 0);
        QTRY_VERIFY(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        QCOMPARE(::write(client, ":relay1:temp 9", 14), ssize_t(14));
        QTest::qWait(200);
        ::close(client);

        QProcess killed;
        killed.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), {"monitor", link, "--duration", "60"});
        QVERIFY(killed.waitForStarted());
        QTRY_VERIFY(killed.bytesAvailable() > 0 || killed.waitForReadyRead(100));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished());

        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const Run run = cli({"get", link, "relay1:temp"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY(run.out.startsWith(QStringLiteral("relay1:temp = ")));
        QVERIFY(!run.out.contains(QStringLiteral("9.000")));
        const qint64 done = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY(!readingTimes(done).isEmpty());
        QVERIFY2(longestGap(start) < 600, qPrintable(QString::number(longestGap(start))));
    }

    // A client that writes a whole line and is gone before the monitor looks
    // (echo ... > PATH) is heard all the same.
    void clientGoneBeforeItIsSeen()
    {
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const int settingsBefore = events(QStringLiteral("setting")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(client >= 0);
        QCOMPARE(::write(client, ":relay2:hyst 6.500\n", 19), ssize_t(19));
        ::close(client);
        QTRY_COMPARE(events(QStringLiteral("setting")).size(), settingsBefore + 1);
        QCOMPARE(events(QStringLiteral("setting")).last().detail, QStringLiteral("relay2:hyst: 5.000 -> 6.500"));
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const Run run = cli({"get", link, "relay2:hyst"});
        QCOMPARE(run.out, QStringLiteral("relay2:hyst = 6.500\n"));
    }

    // A terminal user who resets the instrument and leaves before asking what
    // came back: the monitor stays aside while the client is there, then asks.
    void maintenanceEndsAfterTheClientLeaves()
    {
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(client >= 0);
        QTRY_VERIFY(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        QTRY_VERIFY(events(QStringLiteral("maintenance")).size() > 0
                    && events(QStringLiteral("maintenance")).last().detail.contains(QStringLiteral("reset")));
        // The restarted application announces itself to the client alone.
        QByteArray heard;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                char buffer[4096];
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n > 0)
                    heard.append(buffer, int(n));
                return heard.contains("*APP ");
            }(),
            10000);
        // One store batch after the announcement: a maintenance ended by it would be stored.
        const qint64 announced = QDateTime::currentMSecsSinceEpoch();
        QTRY_VERIFY(!readingTimes(announced).isEmpty());
        QCOMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore);
        ::close(client);
        QTRY_COMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1);
    }

    // Held in its management firmware by a client, the instrument is silent on
    // purpose: the silence alarm waits for the end of the maintenance.
    void maintenanceHoldsTheSilenceAlarm()
    {
        QTRY_VERIFY(linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        const int endedBefore = events(QStringLiteral("maintenance ended")).size();
        const int client = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(client >= 0);
        QTRY_VERIFY(!linkTarget(link).startsWith(QLatin1String("/dev/pts/")));
        QCOMPARE(::write(client, ":system:reset\n", 14), ssize_t(14));
        // The management firmware keeps the instrument when a break answers its bootstrap.
        QByteArray heard;
        QTRY_VERIFY([&] {
            char buffer[4096];
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n > 0)
                heard.append(buffer, int(n));
            return heard.contains("*BOOTSTRAP");
        }());
        QCOMPARE(::write(client, "\x03", 1), ssize_t(1));
        // Held past the silence alarm's second and one tick of its clock: nothing
        // happens, which only time can show.
        QTest::qWait(1500);
        QCOMPARE(readingTimes(start + 1500).size(), 0);
        QCOMPARE(::write(client, "boot\n", 5), ssize_t(5));
        ::close(client);
        QTRY_COMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1);
        QTRY_VERIFY(readingTimes(start + 1500).size() >= 3);
        for (const StoredEvent &event : events(QStringLiteral("alarm raised")))
            QVERIFY2(event.timeMs < start, qPrintable(event.detail));
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
        QTRY_VERIFY(flash.exists() && flash.size() == build.size());
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), build);

        QTRY_COMPARE(events(QStringLiteral("maintenance ended")).size(), endedBefore + 1);
        const StoredEvent began = events(QStringLiteral("maintenance")).last();
        const StoredEvent ended = events(QStringLiteral("maintenance ended")).last();
        QVERIFY(began.timeMs >= before && began.timeMs <= ended.timeMs && ended.timeMs <= after + 1000);
        QVERIFY(began.detail.contains(QStringLiteral("reset the instrument")));
        // Logging resumes: the restarted instrument gets its output period again.
        QTRY_VERIFY_WITH_TIMEOUT(readingTimes(ended.timeMs).size() >= 5, 10000);
    }
};

FROSTGAUGE_TEST_MAIN(SharedPortTest)
#include "test-shared-port.moc"
