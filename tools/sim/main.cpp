// frostgauge-sim: a simulated VKRHX350 on a pseudo-terminal, for running and
// testing Frostgauge without the instrument; or, with --protocol, any line
// instrument its protocol file describes, on a pseudo-terminal or TCP.

#include "common/program-exit.h"
#include "common/termination-signals.h"
#include "instrument.h"
#include "line-instrument.h"
#include "pty-link.h"
#include "tcp-link.h"
#include "temperature-profile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <unistd.h>

namespace {

// A line instrument from its protocol file, on a pseudo-terminal (with a link
// to it) or on a TCP port. Prints where it is as its first line.
int runLineInstrument(const QString &protocolPath, const QString &serial, const QString &faultName,
                      const QString &tcpAddress, const QString &linkPath)
{
    LineProtocol protocol;
    QString error;
    if (!loadLineProtocol(protocolPath, &protocol, &error))
        return exitWith(2, error);
    const int fault = LineInstrument::faultNames().indexOf(faultName);
    const bool closeAtOnce = faultName == QLatin1String("close");
    if (fault < 0 && !closeAtOnce)
        return exitWith(2, QStringLiteral("--fault takes one of %1, close")
                               .arg(LineInstrument::faultNames().join(QLatin1String(", "))));
    LineInstrument instrument(protocol, serial,
                              closeAtOnce ? LineInstrument::Fault::None : LineInstrument::Fault(fault));
    PtyLink pty;
    TcpLink tcp;
    if (!tcpAddress.isEmpty()) {
        if (!tcp.listen(tcpAddress, &error))
            return exitWith(2, error);
        tcp.setCloseAtOnce(closeAtOnce);
        QObject::connect(&tcp, &TcpLink::received, &instrument, &LineInstrument::receive);
        QObject::connect(&instrument, &LineInstrument::send, &tcp, &TcpLink::send);
        printf("%s\n", qPrintable(tcp.url()));
    } else {
        if (!pty.open(&error))
            return exitWith(2, error);
        if (!linkPath.isEmpty()) {
            QFile::remove(linkPath);
            if (!QFile::link(pty.slavePath(), linkPath))
                return exitWith(2, QStringLiteral("cannot create the link ") + linkPath);
        }
        QObject::connect(&pty, &PtyLink::received, &instrument, &LineInstrument::receive);
        QObject::connect(&instrument, &LineInstrument::send, &pty,
                         [&pty](const QByteArray &bytes) { pty.send(bytes); });
        printf("%s\n", qPrintable(pty.slavePath()));
    }
    fflush(stdout);
    onTerminationSignals(qApp, [](int) { QCoreApplication::quit(); });
    const int result = QCoreApplication::exec();
    fprintf(stderr, "frostgauge-sim: sent %d replies\n", instrument.repliesSent());
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays a VKRHX350 temperature monitor on a pseudo-terminal. Prints the terminal's path as "
                       "its first line, then answers the tool's commands until interrupted."));
    parser.addHelpOption();
    const QCommandLineOption link("link", "Keep a symbolic link to the terminal at PATH.", "PATH");
    const QCommandLineOption serial("serial", "Serial number (default SIM0001).", "TEXT", "SIM0001");
    const QCommandLineOption version("version", "Application firmware version (default 1.5.2).", "VERSION", "1.5.2");
    const QCommandLineOption bootVersion("boot-version", "Management firmware version (default 1.4.0.0).", "VERSION",
                                         "1.4.0.0");
    const QCommandLineOption revision("revision", "Board revision, 1 or 2 (default 1).", "N", "1");
    const QCommandLineOption state("state", "Keep the saved settings in FILE.", "FILE");
    const QCommandLineOption flashDump("flash-dump", "Write the received flash image to FILE.", "FILE");
    const QCommandLineOption dropAck("drop-ack", "Never acknowledge the N-th write command.", "N");
    const QCommandLineOption hangupAfter("hangup-after", "Hang up after N received lines.", "N");
    const QCommandLineOption garbage("garbage", "Interleave lines that are no protocol at all.");
    const QCommandLineOption stayInApplication("stay-in-application",
                                               "Ignore the break after a reset: the application comes back "
                                               "instead of the management firmware.");
    const QCommandLineOption paceBaud("pace-baud", "Pace the line as a real one of this baud rate.", "BAUD");
    const QCommandLineOption adcInput("adc-input", "Voltage at the ADC input (default 1.0).", "VOLTS", "1.0");
    const QCommandLineOption profile("profile",
                                     "What the temperature does: " + TemperatureProfile::forms()
                                         + ". On the port, \"*SIM profile ...\" changes it.",
                                     "PROFILE");
    const QCommandLineOption protocol("protocol", "Play the line instrument that FILE describes instead.", "FILE");
    const QCommandLineOption tcp("tcp",
                                 "With --protocol: listen on ADDRESS:PORT (port 0: any free one) instead of "
                                 "a pseudo-terminal; prints tcp://HOST:PORT.",
                                 "ADDRESS:PORT");
    const QCommandLineOption fault("fault",
                                   "With --protocol: answer every query badly: error, garbage, silent, partial, "
                                   "no-terminator, binary, endless; or close each TCP connection at once (close).",
                                   "KIND", "none");
    parser.addOptions({link, serial, version, bootVersion, revision, state, flashDump, dropAck, hangupAfter, garbage,
                       stayInApplication, paceBaud, adcInput, profile, protocol, tcp, fault});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return exitWith(2, QStringLiteral("unexpected argument: ") + parser.positionalArguments().first());
    if (parser.isSet(protocol))
        return runLineInstrument(parser.value(protocol), parser.value(serial), parser.value(fault), parser.value(tcp),
                                 parser.value(link));
    if (parser.isSet(tcp) || parser.isSet(fault))
        return exitWith(2, QStringLiteral("--tcp and --fault go with --protocol"));

    Instrument::Options options;
    options.serialNumber = parser.value(serial);
    options.version = parser.value(version);
    options.bootVersion = parser.value(bootVersion);
    options.statePath = parser.value(state);
    options.flashDumpPath = parser.value(flashDump);
    options.garbage = parser.isSet(garbage);
    options.profile = parser.value(profile);
    QString profileProblem;
    if (TemperatureProfile tried; !options.profile.isEmpty() && !tried.set(options.profile, 0, &profileProblem))
        return exitWith(2, QStringLiteral("--profile: ") + profileProblem);
    options.stayInApplication = parser.isSet(stayInApplication);
    bool ok = true;
    options.revision = parser.value(revision).toInt(&ok);
    if (!ok || (options.revision != 1 && options.revision != 2))
        return exitWith(2, QStringLiteral("--revision must be 1 or 2"));
    options.adcInput = parser.value(adcInput).toDouble(&ok);
    if (!ok)
        return exitWith(2, QStringLiteral("--adc-input must be a number of volts"));
    auto count = [&](const QCommandLineOption &option, int *target) {
        if (!parser.isSet(option))
            return true;
        bool valid = false;
        *target = parser.value(option).toInt(&valid);
        return valid && *target > 0;
    };
    int baud = 0;
    if (!count(dropAck, &options.dropAck) || !count(hangupAfter, &options.hangupAfter) || !count(paceBaud, &baud))
        return exitWith(2, QStringLiteral("--drop-ack, --hangup-after and --pace-baud take a positive number"));

    PtyLink pty;
    QString error;
    if (!pty.open(&error))
        return exitWith(2, error);
    pty.setPaceBaud(baud);

    const QString linkPath = parser.value(link);
    if (!linkPath.isEmpty()) {
        QFile::remove(linkPath);
        if (!QFile::link(pty.slavePath(), linkPath))
            return exitWith(2, QStringLiteral("cannot create the link ") + linkPath);
    }
    printf("%s\n", qPrintable(pty.slavePath()));
    fflush(stdout);

    Instrument instrument(options);
    // With pacing, a reply cannot leave before its command has fully arrived.
    qint64 inputArrivedMs = 0;
    QObject::connect(&pty, &PtyLink::received, &instrument, [&](const QByteArray &bytes) {
        inputArrivedMs = qMax<qint64>(inputArrivedMs, pty.nowMs()) + qint64(pty.wireSeconds(bytes.size()) * 1000.0);
        instrument.receive(bytes);
    });
    QObject::connect(&instrument, &Instrument::send, &pty,
                     [&](const QByteArray &bytes) { pty.send(bytes, inputArrivedMs); });
    QObject::connect(&instrument, &Instrument::hangUpRequested, &app, [&] {
        pty.hangUp();
        QCoreApplication::quit();
    });

    onTerminationSignals(&app, [](int) { QCoreApplication::quit(); });

    const int result = app.exec();
    instrument.dumpFlash();
    fprintf(stderr, "frostgauge-sim: sent %d temperature readings\n", instrument.temperaturesSent());
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    return result;
}
