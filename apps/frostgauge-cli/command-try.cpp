// try: a line instrument's protocol file against the instrument, for the one
// writing it. Every byte each way is shown, escaped and timed, with each
// channel's value or the reason it has none; a few rounds and out.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "drivers/line/line-driver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <cstdio>

namespace {

void show(const QElapsedTimer &clock, const QString &text)
{
    printf("%8.3f %s\n", clock.elapsed() / 1000.0, qPrintable(text));
    fflush(stdout);
}

} // namespace

int commandTry(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption protocolOption(QStringLiteral("protocol"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption pollsOption(QStringLiteral("polls"), QString(), QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption periodOption(QStringLiteral("period"), QString(), QStringLiteral("MS"),
                                          QStringLiteral("1000"));
    parser.addOptions({protocolOption, pollsOption, periodOption});
    if (const int code = parseCommandLine(QStringLiteral("try"), parser, arguments))
        return code;
    if (parser.positionalArguments().size() != 1 || !parser.isSet(protocolOption))
        return fail(QStringLiteral("try needs --protocol FILE and a PORT (a device path or tcp://HOST:PORT)"), Usage);
    bool ok = false;
    const int polls = parser.value(pollsOption).toInt(&ok);
    if (!ok || polls < 1 || polls > 1000)
        return fail(QStringLiteral("--polls takes a whole number from 1 to 1000"), Usage);
    const int period = parser.value(periodOption).toInt(&ok);
    if (!ok || period < 100 || period > 3600000)
        return fail(QStringLiteral("--period takes milliseconds from 100 to 3600000"), Usage);
    DriverOptions options;
    QString error;
    if (!loadLineProtocol(parser.value(protocolOption), &options.protocol, &error))
        return fail(error, Usage);
    options.periodMs = period;
    const QString port = parser.positionalArguments().first();
    const LineProtocol &protocol = options.protocol;

    LineDriver driver(options);
    const QVector<InstrumentChannel> channels = driver.channels();
    QElapsedTimer clock;
    clock.start();
    int result = Success;
    QSet<int> read;
    int rounds = 0;
    QObject::connect(&driver, &LineDriver::sent, &driver,
                     [&](const QByteArray &bytes) { show(clock, QStringLiteral("> ") + escapeLineBytes(bytes)); });
    QObject::connect(&driver, &InstrumentDriver::received, &driver,
                     [&](const QByteArray &bytes) { show(clock, QStringLiteral("< ") + escapeLineBytes(bytes)); });
    auto end = [&](int code) {
        result = code;
        QCoreApplication::exit(code);
    };
    int queries = 0;
    for (const LineChannel &channel : protocol.channels)
        queries += channel.query.isEmpty() ? 0 : 1;
    QObject::connect(&driver, &InstrumentDriver::connected, &driver, [&](const InstrumentIdentity &identity) {
        // An instrument asked nothing is listened to for the rounds' time.
        if (queries == 0)
            QTimer::singleShot(polls * period + protocol.readTimeoutMs, &driver, [&] { end(Success); });
        if (protocol.identify.isEmpty())
            show(clock, QStringLiteral("  connected to the %1 (the file has no identify=)").arg(identity.model));
        else
            show(clock, QStringLiteral("  identified: ")
                            + QStringLiteral("%1 %2, serial number %3, version %4")
                                  .arg(identity.manufacturer, identity.model, identity.serialNumber, identity.version)
                                  .simplified());
    });
    QObject::connect(&driver, &InstrumentDriver::reading, &driver, [&](int channel, double value) {
        const InstrumentChannel &about = channels.at(channel);
        const bool possible = about.holds(value);
        if (possible)
            read.insert(channel);
        show(clock, QStringLiteral("  %1 = %2%3%4")
                        .arg(about.name, QString::number(value, 'g', 10),
                             about.unit.isEmpty() ? QString() : QStringLiteral(" ") + about.unit,
                             possible ? QString() : QStringLiteral(" (outside min= and max=: no reading)")));
    });
    QObject::connect(&driver, &InstrumentDriver::event, &driver, [&](EventKind kind, const QString &detail) {
        show(clock, QStringLiteral("  %1: %2").arg(eventKindName(kind), detail));
    });
    QObject::connect(&driver, &InstrumentDriver::refused, &driver, [&](const QString &why) {
        show(clock, QStringLiteral("  refused: ") + why);
        end(Failure);
    });
    QObject::connect(&driver, &InstrumentDriver::lost, &driver, [&](const QString &why) {
        show(clock, QStringLiteral("  lost: ") + why);
        end(Failure);
    });
    QObject::connect(&driver, &LineDriver::roundDone, &driver, [&] {
        if (++rounds >= polls)
            end(Success);
    });
    // Never answering: out after the rounds' time and the waits of each.
    const int limitMs = 5000 + polls * (period + queries * 2 * (protocol.replyTimeoutMs + protocol.gapMs))
                        + PortStream::ConnectTimeoutMs + (protocol.identify.isEmpty() ? 0 : protocol.replyTimeoutMs);
    QTimer::singleShot(limitMs, &driver, [&] { end(Success); });
    if (!driver.open(port))
        return fail(QStringLiteral("cannot open %1").arg(port), Failure);
    show(clock, QStringLiteral("  opening %1 with %2").arg(port, protocol.path));
    QCoreApplication::exec();
    driver.close();
    QStringList never;
    for (int i = 0; i < channels.size(); ++i) {
        if (!read.contains(i))
            never << channels.at(i).name;
    }
    if (result == Success && !never.isEmpty())
        return fail(QStringLiteral("no reading of %1").arg(never.join(QLatin1String(", "))), Failure);
    return result;
}
