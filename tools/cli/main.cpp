// frostgauge-cli: the instrument from scripts. Same Device and Firmware code as
// the window, the same command lines on the wire, and a time-out on every wait.
//
// Exit codes: 0 success, 1 instrument or transfer failure, 2 usage or bad input.

#include "device/input-file.h"
#include "device/instrument-settings.h"
#include "device/port-list.h"
#include "device/port-reconnect.h"
#include "device/protocol.h"
#include "device/sensor-curve.h"
#include "firmware/firmware.h"
#include "firmware/version-compare.h"
#include "history-store.h"
#include "instrument-session.h"
#include "termination-signals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTextStream>

#include <sodium.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

const char generalUsage[] =
    "Usage: frostgauge-cli COMMAND [OPTIONS] ...\n"
    "\n"
    "Commands:\n"
    "  ports                        list the serial ports\n"
    "  identify PORT                manufacturer, model, serial number, version, identifier\n"
    "  get PORT [KEY...] [--json]   read back the settings\n"
    "  set PORT KEY=VALUE... [--save]\n"
    "                               change settings, read them back and compare\n"
    "  monitor PORT [--csv FILE] [--duration SECONDS | --count N] [--enable-output PERIOD_MS]\n"
    "               [--reconnect [--give-up SECONDS]]\n"
    "                               print temperature readings (and append them to a CSV file)\n"
    "  measure PORT [--calibrated]  the ADC voltage reading\n"
    "  upload-curve PORT FILE [--name NAME]\n"
    "                               upload a custom sensor curve\n"
    "  upgrade PORT IMAGE [--yes]   upgrade the firmware from a signed image file\n"
    "  history STORE [--instrument NAME] [--from TIME] [--to TIME] [--every SECONDS] [--events]\n"
    "               [--csv | --json]  readings (or per-bucket min/max/mean, or events) of a\n"
    "                               frostgauge-monitor store; TIME is ISO 8601 or epoch ms\n"
    "\n"
    "Every command takes --timeout SECONDS (default 5): the longest wait for an answer; given,\n"
    "it also bounds each step of an upload or upgrade (10 s each without it).\n"
    "PORT is a device path or a name from `frostgauge-cli ports`.\n"
    "Exit codes: 0 success, 1 instrument or transfer failure, 2 usage or bad input.\n";

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message, int code)
{
    out().flush();
    fprintf(stderr, "frostgauge-cli: %s\n", qPrintable(message));
    return code;
}

// Writes and flushes one row; false when the disk is full or the file went away.
bool writeRow(QFile &file, const QByteArray &row)
{
    return file.write(row) == row.size() && file.flush();
}

// A file argument; "-" reads standard input.
bool readArgumentFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error)
{
    if (path == QLatin1String("-"))
        return readInputStream(STDIN_FILENO, QStringLiteral("standard input"), maxBytes, data, error);
    return readInputFile(path, maxBytes, data, error);
}

// Options and positional arguments of one command.
struct Arguments {
    QStringList positional;
    QMap<QString, QString> options;
    QSet<QString> flags;
    QString error;

    bool has(const QString &flag) const { return flags.contains(flag); }
    QString value(const QString &option) const { return options.value(option); }
};

Arguments parseArguments(const QStringList &args, const QStringList &valueOptions,
                         const QStringList &flagOptions)
{
    Arguments parsed;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (valueOptions.contains(arg)) {
            if (i + 1 >= args.size()) {
                parsed.error = arg + QStringLiteral(" needs a value");
                return parsed;
            }
            parsed.options.insert(arg, args.at(++i));
        } else if (flagOptions.contains(arg)) {
            parsed.flags.insert(arg);
        } else if (arg.startsWith(QLatin1String("--"))) {
            parsed.error = QStringLiteral("unknown option ") + arg;
            return parsed;
        } else {
            parsed.positional << arg;
        }
    }
    return parsed;
}

// --- Settings: looked up in the instrument's settings table ---

using InstrumentSettings::Setting;

// --- Progress on standard error, when it is a terminal ---

void showProgress(int state, int total)
{
    if (!isatty(STDERR_FILENO) || total <= 0)
        return;
    const int percent = int(qMin<qint64>(100, qint64(qMin(state, total)) * 100 / total));
    const int filled = percent * 40 / 100;
    fprintf(stderr, "\r[%s%s] %3d%%", QByteArray(filled, '#').constData(),
            QByteArray(40 - filled, ' ').constData(), percent);
    if (percent >= 100)
        fputc('\n', stderr);
    fflush(stderr);
}

// --- Commands ---

int commandPorts(const Arguments &)
{
    for (const PortEntry &entry : availablePortEntries())
        out() << entry.displayText << '\n';
    return Success;
}

int commandIdentify(InstrumentSession &session, const Arguments &)
{
    if (!session.identify())
        return fail(session.error(), Failure);
    const Device &device = session.device();
    out() << "manufacturer: " << device.manufacturer << '\n'
          << "model: " << device.model << '\n'
          << "serial number: " << device.serialNumber << '\n'
          << "version: " << device.version << '\n'
          << "compatibility identifier: " << device.compatId.toHex() << '\n';
    return Success;
}

int commandGet(InstrumentSession &session, const Arguments &args)
{
    QStringList keys = args.positional.mid(1);
    for (const QString &key : keys) {
        if (!InstrumentSettings::find(key))
            return fail(QStringLiteral("unknown key %1").arg(key), Usage);
    }
    if (keys.isEmpty()) {
        for (const Setting &setting : InstrumentSettings::Settings)
            keys << QLatin1String(setting.key);
    }
    if (!session.identify())
        return fail(session.error(), Failure);
    QJsonObject json;
    for (const QString &key : qAsConst(keys)) {
        QString value;
        if (!session.query(QLatin1String(InstrumentSettings::find(key)->query), key, &value))
            return fail(session.error(), Failure);
        if (args.has(QStringLiteral("--json")))
            json.insert(key, value);
        else
            out() << key << " = " << value << '\n';
    }
    if (args.has(QStringLiteral("--json")))
        out() << QJsonDocument(json).toJson(QJsonDocument::Indented);
    return Success;
}

int commandSet(InstrumentSession &session, const Arguments &args,
               const QList<QPair<const Setting *, QString>> &changes, const QStringList &commands)
{
    if (!session.identify())
        return fail(session.error(), Failure);
    for (const QString &command : commands)
        session.device().serialSendCommand(command);
    int mismatches = 0;
    for (const auto &change : changes) {
        QString value;
        const QString key = QLatin1String(change.first->key);
        if (!session.query(QLatin1String(change.first->query), key, &value))
            return fail(session.error(), Failure);
        const bool same = InstrumentSettings::sameValue(*change.first, change.second, value);
        out() << key << " = " << value << (same ? "" : "  (differs from what was sent)") << '\n';
        if (!same)
            ++mismatches;
    }
    if (mismatches)
        return fail(QStringLiteral("%1 setting(s) read back differently").arg(mismatches), Failure);
    if (args.has(QStringLiteral("--save")))
        session.device().serialSendCommand(QString::fromLatin1(Protocol::Save));
    // Let the last command leave before the port closes.
    if (session.device().port)
        session.device().port->waitForBytesWritten(session.timeoutMs());
    return Success;
}


// What `monitor` was asked to do.
struct MonitorOptions {
    int enablePeriod = 0;
    double durationSeconds = 0;
    long count = 0;
    bool reconnect = false;
    double giveUpSeconds = 0;
};

QString isoNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

int commandMonitor(InstrumentSession &session, const Arguments &args, const MonitorOptions &options)
{
    std::unique_ptr<QFile> csv;
    if (args.options.contains(QStringLiteral("--csv"))) {
        csv = std::make_unique<QFile>(args.value(QStringLiteral("--csv")));
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
    QObject::connect(&device, &Device::temperatureChanged, [&](double kelvin) {
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
    const QString path = resolvePortName(args.positional.first());
    QString knownSerial;
    QString refusal;
    QObject::connect(&device, &Device::identified, [&] {
        if (knownSerial.isEmpty())
            knownSerial = device.serialNumber;
        else
            refusal = otherInstrumentMessage(path, knownSerial, device.serialNumber);
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
    });

    onTerminationSignals(qApp, [&] { interrupted = true; });

    // A silent instrument is a failure too, not an endless wait; so is a port
    // that stays away longer than --give-up.
    bool silent = false;
    bool gaveUp = false;
    for (;;) {
        const bool finished = session.waitUntil(
            [&] {
                const qint64 now = elapsed.elapsed();
                if (lostAtMs < 0 && now - lastReadingMs > session.timeoutMs())
                    silent = true;
                if (lostAtMs >= 0 && options.giveUpSeconds > 0 && now - lostAtMs >= options.giveUpSeconds * 1000)
                    gaveUp = true;
                return silent || gaveUp || interrupted || !refusal.isEmpty()
                       || !writeError.isEmpty() || (count > 0 && readings >= count)
                       || (options.durationSeconds > 0 && now >= options.durationSeconds * 1000);
            },
            QString(), std::numeric_limits<int>::max());
        if (finished)
            break;
        if (!options.reconnect)
            return fail(session.error(), Failure);
        if (!PortReconnector::canReturn(path))
            return fail(session.error() + QStringLiteral("; %1 is a pseudo-terminal, which does not come back").arg(path),
                        Failure);
        // Lost: the gap is marked, never filled, and the port is awaited.
        lostAtMs = elapsed.elapsed();
        note(QStringLiteral("# lost at %1: %2").arg(isoNow(), session.error()));
        session.clearLost();
        reconnector.start(path, [&](const QString &name) { return session.open(name); });
    }
    reconnector.stop();
    if (!writeError.isEmpty())
        return fail(writeError + QStringLiteral(" (after %1 readings)").arg(readings), Failure);
    if (!refusal.isEmpty())
        return fail(refusal, Failure);
    if (gaveUp)
        return fail(QStringLiteral("%1 did not return within %2 s").arg(path).arg(options.giveUpSeconds), Failure);
    if (silent)
        return fail(QStringLiteral("no temperature reading within %1 s (is the serial output on? "
                                   "--enable-output 500 turns it on)")
                        .arg(session.timeoutMs() / 1000.0),
                    Failure);
    return Success;
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

int commandHistory(const Arguments &args)
{
    if (args.positional.size() != 1)
        return fail(QStringLiteral("history needs one STORE"), Usage);
    if (args.has(QStringLiteral("--csv")) && args.has(QStringLiteral("--json")))
        return fail(QStringLiteral("give --csv or --json, not both"), Usage);
    qint64 from = 0;
    qint64 to = std::numeric_limits<qint64>::max();
    for (const auto &bound : {qMakePair(QStringLiteral("--from"), &from), qMakePair(QStringLiteral("--to"), &to)}) {
        if (args.options.contains(bound.first) && !parseHistoryTime(args.value(bound.first), bound.second))
            return fail(QStringLiteral("%1 takes an ISO 8601 time (2026-12-10T06:00:00) or milliseconds since 1970")
                            .arg(bound.first),
                        Usage);
    }
    qint64 everyMs = 0;
    if (args.options.contains(QStringLiteral("--every"))) {
        bool ok = false;
        const double seconds = args.value(QStringLiteral("--every")).toDouble(&ok);
        if (!ok || !(seconds >= 0.001 && seconds <= 31536000))
            return fail(QStringLiteral("--every takes a number of seconds from 0.001 to 31536000"), Usage);
        everyMs = qint64(std::llround(seconds * 1000));
    }
    if (everyMs > 0 && args.has(QStringLiteral("--events")))
        return fail(QStringLiteral("give --every or --events, not both"), Usage);

    HistoryStore store;
    if (!store.openForReading(args.positional.first()))
        return fail(store.error(), Usage);
    const QString instrument = args.value(QStringLiteral("--instrument"));
    if (!instrument.isEmpty() && !store.instruments().contains(instrument))
        return fail(QStringLiteral("%1 holds no instrument %2 (it has: %3)")
                        .arg(args.positional.first(), instrument, store.instruments().join(QStringLiteral(", "))),
                    Usage);

    const bool json = args.has(QStringLiteral("--json"));
    QJsonArray rows;
    if (args.has(QStringLiteral("--events"))) {
        if (!json)
            out() << "time,instrument,kind,detail\n";
        for (const StoredEvent &event : store.events(instrument, from, to)) {
            if (json)
                rows.append(QJsonObject{{"time", isoTime(event.timeMs)}, {"instrument", event.instrument},
                                        {"kind", event.kind}, {"detail", event.detail}});
            else
                out() << isoTime(event.timeMs) << ',' << csvField(event.instrument) << ',' << csvField(event.kind)
                      << ',' << csvField(event.detail) << '\n';
        }
    } else if (everyMs > 0) {
        if (!json)
            out() << "time,instrument,min_K,max_K,mean_K,count\n";
        for (const Bucket &bucket : store.buckets(instrument, from, to, everyMs)) {
            if (json)
                rows.append(QJsonObject{{"time", isoTime(bucket.startMs)}, {"instrument", bucket.instrument},
                                        {"min", bucket.min}, {"max", bucket.max}, {"mean", bucket.mean},
                                        {"count", bucket.count}});
            else
                out() << isoTime(bucket.startMs) << ',' << csvField(bucket.instrument)
                      << QString::asprintf(",%.3f,%.3f,%.3f,", bucket.min, bucket.max, bucket.mean) << bucket.count
                      << '\n';
        }
    } else {
        if (!json)
            out() << "time,instrument,temperature_K\n";
        const bool ok = store.readings(instrument, from, to, [&](const StoredReading &reading) {
            if (json)
                rows.append(QJsonObject{{"time", isoTime(reading.timeMs)}, {"instrument", reading.instrument},
                                        {"kelvin", reading.kelvin}});
            else
                out() << isoTime(reading.timeMs) << ',' << csvField(reading.instrument)
                      << QString::asprintf(",%.3f\n", reading.kelvin);
        });
        if (!ok)
            return fail(store.error(), Failure);
    }
    if (json)
        out() << QJsonDocument(rows).toJson(QJsonDocument::Indented);
    return Success;
}

} // namespace

int run();

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int code = run();
    // Output that did not reach its file (a full disk, a closed pipe) is no success.
    out().flush();
    if (code == Success && (out().status() != QTextStream::Ok || fflush(stdout) != 0 || ferror(stdout)))
        return fail(QStringLiteral("cannot write standard output"), Failure);
    return code;
}

int run()
{
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-cli"));
    qputenv("QT_LOGGING_RULES", qgetenv("QT_LOGGING_RULES").isEmpty() ? QByteArray("*.debug=false")
                                                                       : qgetenv("QT_LOGGING_RULES"));
    if (sodium_init() != 0)
        return fail(QStringLiteral("cannot initialise libsodium"), Failure);

    QStringList all = QCoreApplication::arguments().mid(1);
    if (all.isEmpty() || all.first() == QLatin1String("--help") || all.first() == QLatin1String("-h")) {
        fputs(generalUsage, all.isEmpty() ? stderr : stdout);
        return all.isEmpty() ? Usage : Success;
    }
    const QString command = all.takeFirst();
    if (all.contains(QStringLiteral("--help")) || all.contains(QStringLiteral("-h"))) {
        fputs(generalUsage, stdout);
        return Success;
    }

    if (command == QLatin1String("history")) {
        const Arguments args = parseArguments(all, {"--instrument", "--from", "--to", "--every"},
                                              {"--csv", "--json", "--events"});
        if (!args.error.isEmpty())
            return fail(args.error + QLatin1String("\n\n") + QLatin1String(generalUsage), Usage);
        return commandHistory(args);
    }

    const Arguments args = parseArguments(
        all, {"--timeout", "--csv", "--duration", "--count", "--enable-output", "--name", "--give-up"},
        {"--json", "--save", "--calibrated", "--yes", "--reconnect"});
    if (!args.error.isEmpty())
        return fail(args.error + QLatin1String("\n\n") + QLatin1String(generalUsage), Usage);

    double timeoutSeconds = 5.0;
    if (args.options.contains(QStringLiteral("--timeout"))) {
        bool ok = false;
        timeoutSeconds = args.value(QStringLiteral("--timeout")).toDouble(&ok);
        // Written so that "nan" fails the test too.
        if (!ok || !(timeoutSeconds >= 0.001 && timeoutSeconds <= 3600))
            return fail(QStringLiteral("--timeout takes a number of seconds from 0.001 to 3600"), Usage);
    }

    if (command == QLatin1String("ports"))
        return commandPorts(args);

    static const QStringList portCommands = {"identify", "get", "set", "monitor", "measure",
                                             "upload-curve", "upgrade"};
    if (!portCommands.contains(command))
        return fail(QStringLiteral("unknown command %1\n\n%2").arg(command, QLatin1String(generalUsage)), Usage);
    if (args.positional.isEmpty())
        return fail(QStringLiteral("%1 needs a PORT").arg(command), Usage);
    if (args.positional.first().trimmed().isEmpty())
        return fail(QStringLiteral("the PORT given to %1 is empty").arg(command), Usage);

    // Everything that can be checked without the instrument is checked before
    // the port is opened: bad input never puts a byte on the wire.
    QList<QPair<const Setting *, QString>> changes;
    QStringList setCommands;
    MonitorOptions monitor;
    SensorCurve curve;
    QString curveName;
    QByteArray imageData;

    if (command == QLatin1String("set")) {
        if (args.positional.size() < 2)
            return fail(QStringLiteral("set needs at least one KEY=VALUE"), Usage);
        for (const QString &assignment : args.positional.mid(1)) {
            const int equals = assignment.indexOf(QLatin1Char('='));
            const Setting *setting = equals > 0 ? InstrumentSettings::find(assignment.left(equals)) : nullptr;
            if (!setting)
                return fail(QStringLiteral("not a KEY=VALUE with a known key: %1").arg(assignment), Usage);
            QString line, error;
            if (!InstrumentSettings::setCommand(*setting, assignment.mid(equals + 1), &line, &error))
                return fail(error + QLatin1String("; nothing was sent"), Usage);
            changes.append({setting, assignment.mid(equals + 1)});
            setCommands << line;
        }
    } else if (command == QLatin1String("monitor")) {
        bool ok = true;
        // A year of seconds and two billion readings: far past any run, well inside the types.
        const auto seconds = [&](const char *option, double *target) {
            *target = args.value(QLatin1String(option)).toDouble(&ok);
            return ok && *target >= 0.001 && *target <= 31536000; // written so that "nan" fails
        };
        if (args.options.contains(QStringLiteral("--duration")) && !seconds("--duration", &monitor.durationSeconds))
            return fail(QStringLiteral("--duration takes a number of seconds from 0.001 to 31536000"), Usage);
        if (args.options.contains(QStringLiteral("--count"))) {
            monitor.count = args.value(QStringLiteral("--count")).toLong(&ok);
            if (!ok || monitor.count < 1 || monitor.count > 2147483647)
                return fail(QStringLiteral("--count takes a whole number of readings from 1 to 2147483647"), Usage);
        }
        if (monitor.durationSeconds > 0 && monitor.count > 0)
            return fail(QStringLiteral("give --duration or --count, not both"), Usage);
        if (args.options.contains(QStringLiteral("--enable-output"))) {
            monitor.enablePeriod = args.value(QStringLiteral("--enable-output")).toInt(&ok);
            if (!ok || monitor.enablePeriod < 100 || monitor.enablePeriod > 1000)
                return fail(QStringLiteral("--enable-output takes a period within 100 to 1000 ms"), Usage);
        }
        monitor.reconnect = args.has(QStringLiteral("--reconnect"));
        if (args.options.contains(QStringLiteral("--give-up"))) {
            if (!monitor.reconnect)
                return fail(QStringLiteral("--give-up goes with --reconnect"), Usage);
            if (!seconds("--give-up", &monitor.giveUpSeconds))
                return fail(QStringLiteral("--give-up takes a number of seconds from 0.001 to 31536000"), Usage);
        }
    } else if (command == QLatin1String("upload-curve")) {
        if (args.positional.size() != 2)
            return fail(QStringLiteral("upload-curve needs PORT and FILE"), Usage);
        QByteArray data;
        QString error;
        if (!readArgumentFile(args.positional.at(1), MaxSensorCurveFileBytes, &data, &error))
            return fail(error, Usage);
        curve = parseSensorCurve(data);
        if (!curve.error.isEmpty())
            return fail(QStringLiteral("%1: %2; nothing was sent").arg(args.positional.at(1), curve.error), Usage);
        if (curve.temperatures.isEmpty())
            return fail(QStringLiteral("%1 holds no calibration points (lines of two numbers: kelvin and volts)")
                            .arg(args.positional.at(1)),
                        Usage);
        curveName = args.options.value(QStringLiteral("--name"), QStringLiteral("Custom"));
        if (curveName.size() > 8)
            return fail(QStringLiteral("--name takes at most 8 characters"), Usage);
    } else if (command == QLatin1String("upgrade")) {
        if (args.positional.size() != 2)
            return fail(QStringLiteral("upgrade needs PORT and IMAGE"), Usage);
        QString error;
        if (!readArgumentFile(args.positional.at(1), MaxFirmwareImageBytes, &imageData, &error))
            return fail(error, Usage);
    } else if (args.positional.size() != 1 && command != QLatin1String("get")) {
        return fail(QStringLiteral("%1 takes one PORT").arg(command), Usage);
    }

    InstrumentSession session(int(timeoutSeconds * 1000));
    if (!session.open(args.positional.first()))
        return fail(session.error(), Failure);
    Device &device = session.device();

    if (command == QLatin1String("identify"))
        return commandIdentify(session, args);
    if (command == QLatin1String("get"))
        return commandGet(session, args);
    if (command == QLatin1String("set"))
        return commandSet(session, args, changes, setCommands);
    if (command == QLatin1String("monitor"))
        return commandMonitor(session, args, monitor);

    if (!session.identify())
        return fail(session.error(), Failure);

    if (command == QLatin1String("measure")) {
        if (device.versionNumber <= Protocol::VoltQueriesAfter)
            return fail(QStringLiteral("instrument version %1 answers no voltage queries (needs 1.5.0.0)")
                            .arg(device.version),
                        Failure);
        const bool calibrated = args.has(QStringLiteral("--calibrated"));
        const QString key = QLatin1String(calibrated ? Protocol::CalibratedVoltageKey
                                                     : Protocol::UncalibratedVoltageKey);
        QString value;
        if (!session.query(QLatin1String(calibrated ? Protocol::VoltCalibratedQuery
                                                    : Protocol::VoltUncalibratedQuery),
                           key, &value))
            return fail(session.error(), Failure);
        QString number = value;
        QString state;
        if (number.endsWith(QLatin1String(" C")) || number.endsWith(QLatin1String(" U"))) {
            state = number.endsWith(QLatin1String(" C")) ? QStringLiteral(" (calibrated)")
                                                          : QStringLiteral(" (uncalibrated)");
            number.chop(2);
        }
        bool ok = false;
        const int microvolts = number.toInt(&ok);
        if (!ok)
            return fail(QStringLiteral("the instrument answered %1 = %2").arg(key, value), Failure);
        out() << QString::asprintf("%.6f V", microvolts / 1e6) << state << '\n';
        return Success;
    }

    // The two transfers: the Device bounds each step with its own clock and
    // reports the end, finished or failed, with a message naming the step.
    bool ended = false;
    bool succeeded = false;
    QString endMessage;
    QObject::connect(&device, &Device::transferEnded,
                     [&](Device::Transfer, bool ok, const QString &message) {
                         ended = true;
                         succeeded = ok;
                         endMessage = message;
                     });
    QObject::connect(&device, &Device::progress, &showProgress);
    if (args.options.contains(QStringLiteral("--timeout")))
        device.transferTimeoutMs = session.timeoutMs();
    const auto waitForTransfer = [&](int size, int chunkSize) {
        // Only a guard: every step already ends within the Device's time-out.
        const qint64 steps = size / chunkSize + 8;
        const int bound = int(qMin<qint64>(steps * (device.transferTimeoutMs + 1000), INT_MAX));
        if (!session.waitUntil([&] { return ended; }, QStringLiteral("end of the transfer"), bound))
            return false;
        if (!succeeded)
            session.setError(endMessage);
        return succeeded;
    };

    if (command == QLatin1String("upload-curve")) {
        const QByteArray record = sensorCurveRecord(curveName, curve.temperatures, curve.voltages);
        device.uploadCalibration(record);
        if (!waitForTransfer(record.size(), Protocol::CalibrationChunkSize))
            return fail(session.error(), Failure);
        if (device.port)
            device.port->waitForBytesWritten(session.timeoutMs());
        out() << QStringLiteral("uploaded %1 points as \"%2\"").arg(curve.temperatures.size()).arg(curveName) << '\n';
        return Success;
    }

    // upgrade
    const std::unique_ptr<Firmware> image(Firmware::fromFileData(imageData, device.compatId));
    if (!image->valid())
        return fail(QStringLiteral("invalid or unsupported firmware file (or no build for this "
                                   "instrument's revision, identifier %1)")
                        .arg(QString::fromLatin1(device.compatId.toHex())),
                    Usage);
    const QString question = firmwareUpgradeQuestion(device.version, image->version());
    out() << question << '\n';
    out().flush();
    if (!args.has(QStringLiteral("--yes"))) {
        if (!isatty(STDIN_FILENO))
            return fail(QStringLiteral("not confirmed: give --yes to upgrade without asking"), Usage);
        fprintf(stderr, "Proceed? [y/N] ");
        char answer[16] = {};
        if (!fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y'))
            return fail(QStringLiteral("not confirmed; nothing was sent"), Usage);
    }
    bool restarted = false;
    QObject::connect(&device, &Device::deviceRestarted, [&] { restarted = true; });
    device.upgradeFirmware(image->blob());
    if (!waitForTransfer(image->blob().size(), Protocol::FirmwareChunkSize))
        return fail(session.error(), Failure);
    if (!session.waitUntil([&] { return restarted && device.isIdentified && !device.managementMode
                                        && !device.compatId.isEmpty(); },
                           QStringLiteral("identification of the restarted application"),
                           qMax(session.timeoutMs(), 10000)))
        return fail(session.error(), Failure);
    out() << "upgraded: " << device.model << " version " << device.version << '\n';
    return Success;
}
