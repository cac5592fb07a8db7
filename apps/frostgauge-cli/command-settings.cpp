// ports, identify, get, set and measure: the instrument's identity and settings.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "instrument-session.h"

#include "device/instrument-settings.h"
#include "device/port-list.h"
#include "device/protocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTextStream>

using InstrumentSettings::Setting;

int commandPorts(const QStringList &arguments)
{
    QCommandLineParser parser;
    if (const int code = parseCommandLine(QStringLiteral("ports"), parser, arguments))
        return code;
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("ports takes no arguments"), Usage);
    for (const PortEntry &entry : availablePortEntries())
        out() << entry.displayText << '\n';
    return Success;
}

int commandIdentify(const QStringList &arguments)
{
    QCommandLineParser parser;
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("identify"), parser, arguments, &args))
        return code;
    if (args.positional.size() != 1)
        return fail(QStringLiteral("identify takes one PORT"), Usage);

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    const Device &device = session.device();
    const InstrumentIdentity identity = device.identity();
    out() << "manufacturer: " << identity.manufacturer << '\n'
          << "model: " << identity.model << '\n'
          << "serial number: " << identity.serialNumber << '\n'
          << "version: " << identity.version << '\n'
          << "compatibility identifier: " << device.compatibilityId().toHex() << '\n';
    return Success;
}

int commandGet(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOption(json);
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("get"), parser, arguments, &args))
        return code;
    QStringList keys = args.positional.mid(1);
    for (const QString &key : qAsConst(keys)) {
        if (!InstrumentSettings::find(key))
            return fail(QStringLiteral("unknown key %1").arg(key), Usage);
    }
    if (keys.isEmpty()) {
        for (const Setting &setting : InstrumentSettings::Settings)
            keys << QLatin1String(setting.key);
    }

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    QJsonObject values;
    for (const QString &key : qAsConst(keys)) {
        QString value;
        if (!session.query(QLatin1String(InstrumentSettings::find(key)->query), key, &value))
            return fail(session.error(), Failure);
        if (parser.isSet(json))
            values.insert(key, value);
        else
            out() << key << " = " << value << '\n';
    }
    if (parser.isSet(json))
        out() << QJsonDocument(values).toJson(QJsonDocument::Indented);
    return Success;
}

int commandSet(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption save(QStringLiteral("save"));
    parser.addOption(save);
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("set"), parser, arguments, &args))
        return code;
    if (args.positional.size() < 2)
        return fail(QStringLiteral("set needs at least one KEY=VALUE"), Usage);
    // Every assignment is checked before the port is opened: bad input never
    // puts a byte on the wire.
    QList<QPair<const Setting *, QString>> changes;
    QStringList commands;
    for (const QString &assignment : args.positional.mid(1)) {
        const int equals = assignment.indexOf(QLatin1Char('='));
        const Setting *setting = equals > 0 ? InstrumentSettings::find(assignment.left(equals)) : nullptr;
        if (!setting)
            return fail(QStringLiteral("not a KEY=VALUE with a known key: %1").arg(assignment), Usage);
        QString line, error;
        if (!InstrumentSettings::setCommand(*setting, assignment.mid(equals + 1), &line, &error))
            return fail(error + QLatin1String("; nothing was sent"), Usage);
        changes.append({setting, assignment.mid(equals + 1)});
        commands << line;
    }

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    for (const QString &command : qAsConst(commands))
        session.device().serialSendCommand(command);
    int mismatches = 0;
    for (const auto &change : qAsConst(changes)) {
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
    if (parser.isSet(save))
        session.device().serialSendCommand(QString::fromLatin1(Protocol::Save));
    session.flushWrites();
    return Success;
}

int commandMeasure(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption calibratedOption(QStringLiteral("calibrated"));
    parser.addOption(calibratedOption);
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("measure"), parser, arguments, &args))
        return code;
    if (args.positional.size() != 1)
        return fail(QStringLiteral("measure takes one PORT"), Usage);

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    const Device &device = session.device();
    if (device.versionAsNumber() <= Protocol::VoltQueriesAfter)
        return fail(QStringLiteral("instrument version %1 answers no voltage queries (needs 1.5.0.0)")
                        .arg(device.identity().version),
                    Failure);
    const bool calibrated = parser.isSet(calibratedOption);
    const QString key = QLatin1String(calibrated ? Protocol::CalibratedVoltageKey : Protocol::UncalibratedVoltageKey);
    QString value;
    if (!session.query(QLatin1String(calibrated ? Protocol::VoltCalibratedQuery : Protocol::VoltUncalibratedQuery), key,
                       &value))
        return fail(session.error(), Failure);
    QString number = value;
    QString state;
    if (number.endsWith(QLatin1String(" C")) || number.endsWith(QLatin1String(" U"))) {
        state =
            number.endsWith(QLatin1String(" C")) ? QStringLiteral(" (calibrated)") : QStringLiteral(" (uncalibrated)");
        number.chop(2);
    }
    bool ok = false;
    const int microvolts = number.toInt(&ok);
    if (!ok)
        return fail(QStringLiteral("the instrument answered %1 = %2").arg(key, value), Failure);
    out() << QString::asprintf("%.6f V", microvolts / 1e6) << state << '\n';
    return Success;
}
