// The monitor's alarms in process, with made-up times: each row plays a script
// of readings and link events at given milliseconds and expects exactly the
// raises and clears it lists, at the times it lists.
//
// A script is a list of steps separated by blanks:
//   R<ms>=<kelvin>   a reading        C<ms>  connected      L<ms>  lost
//   M<ms>            maintenance      E<ms>  maintenance ended
//   T<ms>            the clock's tick (silence and hold times run out here)

#include "monitor/alarm-command.h"
#include "monitor/alarm.h"
#include "monitor/clock-watch.h"
#include "support/test-main.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>

namespace {

AlarmConfig alarmFrom(const QString &text)
{
    // "above=290 hysteresis=2 hold=0.3", "silence=1.5", "lost hold=2"
    AlarmConfig config;
    config.name = QStringLiteral("a");
    config.instrument = QStringLiteral("cryo");
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString key = word.section(QLatin1Char('='), 0, 0);
        const double value = word.section(QLatin1Char('='), 1).toDouble();
        if (key == QLatin1String("above")) {
            config.hasAbove = true;
            config.above = value;
        } else if (key == QLatin1String("below")) {
            config.hasBelow = true;
            config.below = value;
        } else if (key == QLatin1String("hysteresis")) {
            config.hysteresis = value;
        } else if (key == QLatin1String("hold")) {
            config.holdSeconds = value;
        } else if (key == QLatin1String("silence")) {
            config.kind = AlarmConfig::Silence;
            config.silenceSeconds = value;
        } else if (key == QLatin1String("lost")) {
            config.kind = AlarmConfig::Lost;
        } else {
            qFatal("unknown alarm key %s", qPrintable(key));
        }
    }
    return config;
}

// Plays the script; returns the changes as "+T" (raised at T) and "-T" (cleared at T).
QString play(Alarm &alarm, const QString &script)
{
    QStringList changes;
    QObject::connect(&alarm, &Alarm::changed, [&](const QString &, const QString &, bool raised, double, qint64 t) {
        changes << (raised ? QLatin1Char('+') : QLatin1Char('-')) + QString::number(t);
    });
    for (const QString &step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QChar what = step.at(0);
        const qint64 t = step.mid(1).section(QLatin1Char('='), 0, 0).toLongLong();
        if (what == QLatin1Char('R'))
            alarm.reading(t, step.section(QLatin1Char('='), 1).toDouble());
        else if (what == QLatin1Char('C'))
            alarm.connected(t);
        else if (what == QLatin1Char('L'))
            alarm.lost(t);
        else if (what == QLatin1Char('M'))
            alarm.maintenance(true, t);
        else if (what == QLatin1Char('E'))
            alarm.maintenance(false, t);
        else if (what == QLatin1Char('T'))
            alarm.tick(t);
        else
            qFatal("unknown step %s", qPrintable(step));
    }
    return changes.join(QLatin1Char(' '));
}

// The lines a command appended to a file so far.
QStringList linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class AlarmTest : public QObject
{
    Q_OBJECT

private slots:
    void scripts_data()
    {
        QTest::addColumn<QString>("alarm");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("changes");
        // clang-format off
        QTest::newRow("above: raised at the first reading over the limit")
            << "above=290" << "R0=289 R100=290 R200=290.5 R300=291" << "+200";
        QTest::newRow("below: raised under the limit, cleared at it")
            << "below=4" << "R0=4.5 R100=3.9 R200=3.8 R300=4" << "+100 -300";
        QTest::newRow("above and below: a band")
            << "above=10 below=5" << "R0=7 R100=11 R200=7 R300=4 R400=7" << "+100 -200 +300 -400";
        QTest::newRow("hysteresis: a wobble on the limit raises once")
            << "above=290 hysteresis=2" << "R0=291 R100=289.5 R200=290.5 R300=289 R400=288.1 R500=288" << "+0 -500";
        QTest::newRow("hysteresis below")
            << "below=4 hysteresis=0.5" << "R0=3.9 R100=4.2 R200=3.95 R300=4.5" << "+0 -300";
        QTest::newRow("without hysteresis a wobble raises and clears")
            << "above=290" << "R0=291 R100=289.5 R200=290.5" << "+0 -100 +200";
        QTest::newRow("hold: raised only after the time outside")
            << "above=290 hold=0.3" << "R0=291 R100=291 R200=291 R300=291 R400=291" << "+300";
        QTest::newRow("hold: an excursion shorter than the hold raises nothing")
            << "above=290 hold=0.3" << "R0=291 R100=291 R200=289 R300=291 R400=291 R500=291" << "";
        QTest::newRow("hold: the excursion counts from its first reading")
            << "above=290 hold=0.3" << "R0=289 R100=291 R350=291 R400=291" << "+400";
        QTest::newRow("silence: raised when no reading for the time, cleared by the next")
            << "silence=1.5" << "R0=4 T1000 T1499 T1500 T1700 R1800=4" << "+1500 -1800";
        QTest::newRow("silence counts from the last reading")
            << "silence=1" << "R0=4 R900=4 T1500 T1899 T1900" << "+1900";
        QTest::newRow("silence from the start when no reading came")
            << "silence=1" << "T999 T1000" << "+1000";
        QTest::newRow("silence raised once, not at every tick")
            << "silence=1" << "T1000 T1200 T5000" << "+1000";
        QTest::newRow("silence waits out a maintenance")
            << "silence=1" << "R0=4 M100 T1500 T3000 E3000 T3999 T4000" << "+4000";
        QTest::newRow("a connect restarts the silence")
            << "silence=1" << "R0=4 L200 C2000 T2500 T2999 T3000" << "+3000";
        QTest::newRow("lost: raised after the hold, cleared at the connect")
            << "lost hold=2" << "R0=4 L1000 T2000 T2999 T3000 C4000" << "+3000 -4000";
        QTest::newRow("lost without hold: raised at once")
            << "lost" << "L500" << "+500";
        QTest::newRow("lost and back within the hold: nothing")
            << "lost hold=2" << "L1000 T2000 C2500 T4000" << "";
        QTest::newRow("readings do not raise a lost alarm")
            << "lost hold=1" << "R0=1000 R100=0.001 T5000" << "";
        QTest::newRow("a value alarm ignores silence and loss")
            << "above=290" << "L0 T100000 C200000" << "";
        // clang-format on
    }

    void scripts()
    {
        QFETCH(QString, alarm);
        QFETCH(QString, script);
        QFETCH(QString, changes);
        Alarm under(alarmFrom(alarm), 0);
        QCOMPARE(play(under, script), changes);
    }

    // The reading that decided a change comes with it; none for a silence.
    void valueOfAChange()
    {
        Alarm warm(alarmFrom(QStringLiteral("above=290")), 0);
        QSignalSpy changed(&warm, &Alarm::changed);
        warm.reading(10, 291.25);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toString(), QStringLiteral("a"));
        QCOMPARE(changed.at(0).at(1).toString(), QStringLiteral("cryo"));
        QCOMPARE(changed.at(0).at(2).toBool(), true);
        QCOMPARE(changed.at(0).at(3).toDouble(), 291.25);
        QCOMPARE(changed.at(0).at(4).toLongLong(), qint64(10));

        Alarm quiet(alarmFrom(QStringLiteral("silence=1")), 0);
        QSignalSpy silent(&quiet, &Alarm::changed);
        quiet.tick(1000);
        QCOMPARE(silent.count(), 1);
        QVERIFY(std::isnan(silent.at(0).at(3).toDouble()));
    }

    // A step of the system clock against the monotonic one, a minute or more, is a jump.
    void clockJumps()
    {
        ClockWatch watch;
        QCOMPARE(watch.look(1000000, 0), qint64(0));
        QCOMPARE(watch.look(1000200, 200), qint64(0));                  // in step
        QCOMPARE(watch.look(1059000, 400), qint64(0));                  // 58.6 s ahead: within the bound
        QCOMPARE(watch.look(1200000, 600), qint64(140800));             // forward
        QCOMPARE(watch.look(1200000 - 3600000, 800), qint64(-3600200)); // an hour back
        QCOMPARE(watch.look(1200000 - 3600000 + 200, 1000), qint64(0));
    }

    // The command line of an alarm is split as a shell splits words, and
    // nothing in it is expanded.
    void commandWords_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("words");
        // clang-format off
        QTest::newRow("plain") << "mail -s alarm lab@x" << QStringList{"mail", "-s", "alarm", "lab@x"};
        QTest::newRow("single quotes") << "sh -c 'echo $X; rm -rf /'" << QStringList{"sh", "-c", "echo $X; rm -rf /"};
        QTest::newRow("double quotes and escapes") << "a \"b \\\" c\" d\\ e" << QStringList{"a", "b \" c", "d e"};
        QTest::newRow("empty quotes are a word") << "a '' b" << QStringList{"a", "", "b"};
        QTest::newRow("blanks only") << "   " << QStringList{};
        QTest::newRow("no expansion") << "echo $HOME `id` *" << QStringList{"echo", "$HOME", "`id`", "*"};
        // clang-format on
    }

    void commandWords()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, words);
        QCOMPARE(splitCommandLine(command), words);
    }

    // A reading flapping on a limit with a command that hangs: one run at a
    // time, ended with its child at the time-out, the latest state delivered
    // next, and nothing left running once the alarm is gone.
    void commandOneRunAtATime()
    {
        QTemporaryDir dir;
        const QString runs = dir.filePath(QStringLiteral("runs"));
        AlarmConfig config = alarmFrom(QStringLiteral("above=10"));
        config.command = QStringLiteral("sh -c 'sleep 60 & echo $$ $! $FROSTGAUGE_STATE >> %1; wait'").arg(runs);
        config.commandTimeoutSeconds = 1;
        auto lines = [&] { return linesOf(runs); };
        // A process counts as running until it is gone or a zombie no one reaped yet.
        auto alive = [](const QString &pid) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
        };
        auto running = [&](const QString &line) {
            const QStringList pids = line.split(QLatin1Char(' '));
            return alive(pids.at(0)) || alive(pids.at(1));
        };
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^alarm a: command timed out after 1 s")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^alarm a: command was ended as the monitor stopped")));
        {
            Alarm alarm(config, 0);
            for (int i = 0; i < 200; ++i)
                alarm.reading(i * 100, i % 2 ? 5 : 20);
            QTRY_VERIFY_WITH_TIMEOUT(!lines().isEmpty(), limitMs());
            QVERIFY(lines().at(0).endsWith(QStringLiteral(" raised")));
            // The next run starts only once the hanging one has been ended.
            QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 2, limitMs());
            QVERIFY(!running(lines().at(0)));
            QVERIFY(lines().at(1).endsWith(QStringLiteral(" cleared")));
            QVERIFY(running(lines().at(1)));
        }
        // The group was sent SIGKILL; its last child dies as the kernel gets to it.
        QTRY_VERIFY_WITH_TIMEOUT(!running(lines().at(1)), limitMs());
    }

    // repeat=: the command runs again while the alarm stays raised and nobody
    // took it on; an acknowledgement stops it, a clear and a new raise start
    // over; acknowledging what is not raised, or twice, is refused.
    void repeatUntilAcknowledged()
    {
        QTemporaryDir dir;
        const QString runs = dir.filePath(QStringLiteral("runs"));
        AlarmConfig config = alarmFrom(QStringLiteral("above=10"));
        config.command = QStringLiteral("sh -c 'echo $FROSTGAUGE_STATE $FROSTGAUGE_REPEAT >> %1'").arg(runs);
        config.repeatSeconds = 60;
        auto lines = [&] { return linesOf(runs); };
        Alarm alarm(config, 0);
        // A repeat falls due only when the last run has ended (its line may be
        // written before the process is reaped), so each tick waits for that.
        auto tickWhenIdle = [&](qint64 timeMs) {
            QTRY_VERIFY_WITH_TIMEOUT(!alarm.command()->isRunning(), limitMs());
            alarm.tick(timeMs);
        };
        QSignalSpy acknowledged(&alarm, &Alarm::acknowledged);
        QString why;
        QVERIFY(!alarm.acknowledge(QStringLiteral("ana"), 0, &why));
        QCOMPARE(why, QStringLiteral("alarm a is not raised"));
        alarm.reading(0, 20);
        QTRY_COMPARE_WITH_TIMEOUT(lines(), QStringList{"raised 0"}, limitMs());
        tickWhenIdle(59000); // not yet
        tickWhenIdle(60000);
        QTRY_COMPARE_WITH_TIMEOUT(lines(), QStringList({"raised 0", "raised 1"}), limitMs());
        tickWhenIdle(120000);
        QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 3, limitMs());
        QVERIFY(alarm.acknowledge(QStringLiteral("ana"), 130000, &why));
        QCOMPARE(acknowledged.size(), 1);
        QCOMPARE(acknowledged.at(0).at(2).toString(), QStringLiteral("ana"));
        QVERIFY(!alarm.acknowledge(QStringLiteral("bo"), 131000, &why));
        QVERIFY2(why.startsWith(QStringLiteral("alarm a was acknowledged already by ana")), qPrintable(why));
        // Acknowledged: no repeat starts (a run starts within the tick, so an
        // idle command after the ticks shows that none did).
        QTRY_VERIFY_WITH_TIMEOUT(!alarm.command()->isRunning(), limitMs());
        for (qint64 t = 180000; t <= 600000; t += 60000)
            alarm.tick(t);
        QVERIFY(!alarm.command()->isRunning());
        QCOMPARE(lines().size(), 3);
        // Cleared, raised again: a new raise wants its own acknowledgement.
        alarm.reading(610000, 5);
        alarm.reading(620000, 20);
        QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 5, limitMs());
        QVERIFY(!alarm.isAcknowledged());
        tickWhenIdle(680000);
        QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 6, limitMs());
        QCOMPARE(lines().mid(3), QStringList({"cleared 0", "raised 0", "raised 1"}));
    }

    // What a command writes reaches the log, a few KiB of it, with its failure.
    void commandOutputIsCut()
    {
        AlarmConfig config = alarmFrom(QStringLiteral("above=10"));
        config.command = QStringLiteral("sh -c 'head -c 100000 /dev/zero | tr \"\\\\0\" x; exit 3'");
        Alarm alarm(config, 0);
        QSignalSpy finished(alarm.command(), &AlarmCommand::finished);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "^alarm a: command exited with 3: x{4096} \\[95904 more bytes not logged\\]$")));
        alarm.reading(0, 20);
        QVERIFY(finished.wait(limitMs()));
    }
};

FROSTGAUGE_TEST_MAIN(AlarmTest)
#include "test-alarms.moc"
