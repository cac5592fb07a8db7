// frostgauge-monitor: watches every configured instrument, keeps their history
// in an SQLite store and raises alarms, until SIGTERM or SIGINT.

#include "monitor-config.h"
#include "monitor.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

int usageError(const QString &message)
{
    fprintf(stderr, "frostgauge-monitor: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-monitor"));
    qputenv("QT_LOGGING_RULES", qgetenv("QT_LOGGING_RULES").isEmpty() ? QByteArray("*.debug=false")
                                                                       : qgetenv("QT_LOGGING_RULES"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Watches VKRHX350 temperature monitors, keeps their readings and events in an SQLite store and "
        "raises alarms. Logs one line per event to standard error."));
    parser.addHelpOption();
    const QCommandLineOption config("config", "The configuration file (INI).", "FILE",
                                    "/etc/frostgauge/monitor.conf");
    const QCommandLineOption check("check", "Check the configuration and exit.");
    parser.addOptions({config, check});
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument: ") + parser.positionalArguments().first());

    MonitorConfig settings;
    QString error;
    if (!readMonitorConfig(parser.value(config), &settings, &error))
        return usageError(error);
    if (parser.isSet(check)) {
        printf("%s: %d instrument(s), %d alarm(s)\n", qPrintable(parser.value(config)),
               int(settings.instruments.size()), int(settings.alarms.size()));
        return 0;
    }

    Monitor monitor(settings);
    if (!monitor.start()) {
        fprintf(stderr, "frostgauge-monitor: %s\n", qPrintable(monitor.error()));
        return 1;
    }
    // Signals reach the event loop through a socket pair: a handler may do
    // next to nothing, the loop writes what is pending.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
            monitor.stop();
            app.quit();
        });
        signal(SIGINT, onSignal);
        signal(SIGTERM, onSignal);
    }
    return app.exec();
}
