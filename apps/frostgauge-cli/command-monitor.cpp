// monitor: temperature readings as they come, to standard output and a CSV
// file, across a pulled cable when asked.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "common/termination-signals.h"
#include "instrument-session.h"

#include "device/instrument-settings.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <limits>
#include <memory>

namespace {

// What `monitor` was asked to do.
struct MonitorOptions {
    int enablePeriod = 0;
    double durationSeconds = 0;
    long count = 0;
    bool reconnect = false;
    double giveUpSeconds = 0;
    QString csvPath;
};

QString isoNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

int runMonitor(InstrumentSession &session, const QString &port, const MonitorOptions &options)
{
    std::unique_ptr<QFile> csv;
    if (!options.csvPath.isEmpty()) {
        csv = std::make_unique<QFile>(options.csvPath);
        const bool fresh = !csv->exists() || csv->size() == 0;
        if (!csv->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            return fail(QStringLiteral("cannot write %1: %2").arg(csv->fileName(), csv->errorString()), Failure);
        if (fresh && !writeRow(*csv, "time,elapsed_s,temperature_K\n"))
            return fail(QStringLiteral("cannot write %1: %2").arg(csv->fileName(), csv->errorString()), Failure);
    }
    Device &device = session.device();
    if (options.enablePeriod > 0)
        device.serialSendCommand(QString::asprintf(Protocol::Rs232PeriodFormat, options.enablePeriod));

    const long count = options.count;
    long readings = 0;
    bool interrupted = false;
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 lastReadingMs = 0;
    QString writeError;
    // A line to standard output and, as a comment, to the CSV file.
    const auto note = [&](const QString &line) {
        out() << line << '\n';
        out().flush();
        if (csv && writeError.isEmpty() && !writeRow(*csv, (line + QLatin1Char('\n')).toUtf8()))
            writeError = QStringLiteral("cannot write %1: %2").arg(csv->fileName(), csv->errorString());
    };
    // After a return: the instrument may have restarted and forgotten what was
    // set at the first connection. outputOff: its read-back said the serial
    // output is off, so its silence is no failure; the wait goes on within --give-up.
    bool returned = false;
    bool outputOff = false;
    qint64 backAtMs = -1;
    QObject::connect(&device, &Device::temperatureChanged, [&](double kelvin) {
        outputOff = false;
        // One read may carry several readings: none past the count, none after a failed write.
        if ((count > 0 && readings >= count) || !writeError.isEmpty())
            return;
        const QString time = isoNow();
        const double seconds = elapsed.elapsed() / 1000.0;
        out() << time << ' ' << QString::asprintf("%.3f K", kelvin) << '\n';
        out().flush();
        if (out().status() != QTextStream::Ok) {
            writeError = QStringLiteral("cannot write standard output");
            return;
        }
        // One row at a time, flushed: a pulled cable loses nothing already read.
        if (csv && !writeRow(*csv, QString::asprintf("%s,%.3f,%.3f\n", qPrintable(time), seconds, kelvin).toUtf8())) {
            writeError = QStringLiteral("cannot write %1: %2").arg(csv->fileName(), csv->errorString());
            return;
        }
        // Rows written to a file that was deleted (or whose folder was) reach no one.
        if (csv && !QFileInfo::exists(csv->fileName())) {
            writeError = QStringLiteral("%1 was removed while being written").arg(csv->fileName());
            return;
        }
        ++readings;
        lastReadingMs = elapsed.elapsed();
    });

    // Across a reconnection the instrument must be the one that was there.
    const QString path = resolvePortName(port);
    QString knownSerial;
    QString refusal;
    const InstrumentSettings::Setting *outputPeriod = InstrumentSettings::find(QStringLiteral("rs232:period"));
    Q_ASSERT(outputPeriod);
    QObject::connect(&device, &Device::identified, [&] {
        if (knownSerial.isEmpty()) {
            knownSerial = device.identity().serialNumber;
            return;
        }
        refusal = otherInstrumentMessage(path, knownSerial, device.identity().serialNumber);
        if (!refusal.isEmpty() || !returned)
            return;
        returned = false;
        // What the first connection set is set again; without it, ask.
        if (options.enablePeriod > 0)
            device.serialSendCommand(QString::asprintf(Protocol::Rs232PeriodFormat, options.enablePeriod));
        else
            device.serialSendCommand(QString::fromLatin1(outputPeriod->query));
    });
    // A restart on a port that stayed (a power cycle behind a powered adapter)
    // is a return too.
    QObject::connect(&device, &Device::deviceRestarted, [&] {
        note(QStringLiteral("# restarted at %1").arg(isoNow()));
        lastReadingMs = backAtMs = elapsed.elapsed();
        returned = true;
    });
    QObject::connect(&device, &Device::parameterReceived, [&](const QString &key, const QString &value) {
        if (options.enablePeriod > 0 || backAtMs < 0 || lastReadingMs > backAtMs
            || key.trimmed() != QLatin1String(outputPeriod->key) || value.trimmed() != QLatin1String("0"))
            return;
        outputOff = true;
        note(QStringLiteral("# output off at %1: the instrument came back with its serial output off; waiting for "
                            "readings (--enable-output PERIOD turns it on at every connection)")
                 .arg(isoNow()));
    });
    PortReconnector reconnector;
    qint64 lostAtMs = -1;
    // Marked at once, before any reading of the new connection is read.
    QObject::connect(&reconnector, &PortReconnector::reconnected, [&] {
        note(QStringLiteral("# back at %1 after %2 s")
                 .arg(isoNow())
                 .arg((elapsed.elapsed() - lostAtMs) / 1000.0, 0, 'f', 1));
        lostAtMs = -1;
        lastReadingMs = elapsed.elapsed();
        backAtMs = lastReadingMs;
        returned = true;
    });

    onTerminationSignals(qApp, [&](int) { interrupted = true; });

    // A silent instrument is a failure too, not an endless wait; so is a port
    // that stays away longer than --give-up.
    bool silent = false;
    bool gaveUp = false;
    bool gaveUpOnOutput = false;
    for (;;) {
        const bool finished = session.waitUntil(
            [&] {
                const qint64 now = elapsed.elapsed();
                if (lostAtMs < 0 && !outputOff && now - lastReadingMs > session.timeoutMs())
                    silent = true;
                if (lostAtMs >= 0 && options.giveUpSeconds > 0 && now - lostAtMs >= options.giveUpSeconds * 1000)
                    gaveUp = true;
                if (outputOff && options.giveUpSeconds > 0 && now - backAtMs >= options.giveUpSeconds * 1000)
                    gaveUpOnOutput = true;
                return silent || gaveUp || gaveUpOnOutput || interrupted || !refusal.isEmpty() || !writeError.isEmpty()
                       || (count > 0 && readings >= count)
                       || (options.durationSeconds > 0 && now >= options.durationSeconds * 1000);
            },
            QString(), std::numeric_limits<int>::max());
        if (finished)
            break;
        if (!options.reconnect)
            return fail(session.error(), Failure);
        if (!PortReconnector::canReturn(path))
            return fail(session.error()
                            + QStringLiteral("; %1 is a pseudo-terminal, which does not come back").arg(path),
                        Failure);
        // Lost: the gap is marked, never filled, and the port is awaited.
        lostAtMs = elapsed.elapsed();
        note(QStringLiteral("# lost at %1: %2").arg(isoNow(), session.error()));
        session.clearLost();
        outputOff = false;
        returned = false;
        reconnector.start(path, [&](const QString &name) { return session.open(name); });
    }
    reconnector.stop();
    if (!writeError.isEmpty())
        return fail(writeError + QStringLiteral(" (after %1 readings)").arg(readings), Failure);
    if (!refusal.isEmpty())
        return fail(refusal, Failure);
    if (gaveUp)
        return fail(QStringLiteral("%1 did not return within %2 s").arg(path).arg(options.giveUpSeconds), Failure);
    if (gaveUpOnOutput)
        return fail(QStringLiteral("no temperature reading within %1 s of the instrument's return: its serial output "
                                   "is off (--enable-output 500 turns it on at every connection)")
                        .arg(options.giveUpSeconds),
                    Failure);
    if (silent)
        return fail(QStringLiteral("no temperature reading within %1 s (is the serial output on? "
                                   "--enable-output 500 turns it on)")
                        .arg(session.timeoutMs() / 1000.0),
                    Failure);
    return Success;
}

} // namespace

int commandMonitor(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption csv(QStringLiteral("csv"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption duration(QStringLiteral("duration"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
    const QCommandLineOption enableOutput(QStringLiteral("enable-output"), QString(), QStringLiteral("PERIOD_MS"));
    const QCommandLineOption reconnect(QStringLiteral("reconnect"));
    const QCommandLineOption giveUp(QStringLiteral("give-up"), QString(), QStringLiteral("SECONDS"));
    parser.addOptions({csv, duration, count, enableOutput, reconnect, giveUp});
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("monitor"), parser, arguments, &args))
        return code;
    if (args.positional.size() != 1)
        return fail(QStringLiteral("monitor takes one PORT"), Usage);

    // A year of seconds and two billion readings: far past any run, well inside the types.
    MonitorOptions options;
    options.csvPath = parser.value(csv);
    if (parser.isSet(duration) && !parseSeconds(parser.value(duration), 0.001, 31536000, &options.durationSeconds))
        return fail(QStringLiteral("--duration takes a number of seconds from 0.001 to 31536000"), Usage);
    bool ok = true;
    if (parser.isSet(count)) {
        options.count = parser.value(count).toLong(&ok);
        if (!ok || options.count < 1 || options.count > 2147483647)
            return fail(QStringLiteral("--count takes a whole number of readings from 1 to 2147483647"), Usage);
    }
    if (options.durationSeconds > 0 && options.count > 0)
        return fail(QStringLiteral("give --duration or --count, not both"), Usage);
    if (parser.isSet(enableOutput)) {
        options.enablePeriod = parser.value(enableOutput).toInt(&ok);
        if (!ok || options.enablePeriod < 100 || options.enablePeriod > 1000)
            return fail(QStringLiteral("--enable-output takes a period within 100 to 1000 ms"), Usage);
    }
    options.reconnect = parser.isSet(reconnect);
    if (parser.isSet(giveUp)) {
        if (!options.reconnect)
            return fail(QStringLiteral("--give-up goes with --reconnect"), Usage);
        if (!parseSeconds(parser.value(giveUp), 0.001, 31536000, &options.giveUpSeconds))
            return fail(QStringLiteral("--give-up takes a number of seconds from 0.001 to 31536000"), Usage);
    }

    InstrumentSession session(args.timeoutMs);
    if (!session.open(args.positional.first()))
        return fail(session.error(), Failure);
    return runMonitor(session, args.positional.first(), options);
}
