// frostgauge-monitor: watches every configured instrument, keeps their history
// in an SQLite store and raises alarms, until SIGTERM, SIGINT or SIGHUP.

#include "common/program-exit.h"
#include "common/termination-signals.h"
#include "monitor/common/http-users.h"
#include "monitor/common/monitor-config.h"
#include "monitor/monitor.h"

#include "monitor/remote-write/remote-writer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The user the service's unit runs it as.
constexpr char ServiceUser[] = "frostgauge-monitor";

// The status after a hang-up: as a shell reports a process that SIGHUP ended.
constexpr int HangUpExitCode = 128 + SIGHUP;

// The service's own lines go to standard error as they are (journald adds the
// time), a failure that stops it as "frostgauge-monitor: reason"; the lines of
// other categories keep their category's name in front.
void writeLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool own = context.category && std::strcmp(context.category, "frostgauge.monitor") == 0;
    QString line = message;
    if (own && (type == QtCriticalMsg || type == QtFatalMsg))
        line = QCoreApplication::applicationName() + QStringLiteral(": ") + message;
    else if (!own && context.category && std::strcmp(context.category, "default") != 0)
        line = QString::fromLatin1(context.category) + QStringLiteral(": ") + message;
    // The journal stamps each line itself (systemd says so in JOURNAL_STREAM);
    // a log read anywhere else gets the time, in local time with its offset.
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    if (!journal) {
        const QDateTime now = QDateTime::currentDateTime();
        line = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line;
    }
    // UTF-8 whatever the locale: names are written in it, and the journal reads it.
    fprintf(stderr, "%s\n", line.toUtf8().constData());
    fflush(stderr);
}

// Where the store goes, as this user finds it: a folder that is missing is
// made at start when the user may; said either way, as the service's start
// would otherwise be the first to tell.
QStringList storeFolderWarnings(const MonitorConfig &settings, const QString &user)
{
    const QFileInfo folder(QFileInfo(settings.storePath).absolutePath());
    if (folder.isDir())
        return folder.isWritable() ? QStringList()
                                   : QStringList{QStringLiteral("[store] path: the store's folder %1 is not writable "
                                                                "by %2")
                                                     .arg(folder.filePath(), user)};
    QFileInfo above(folder.absolutePath());
    while (!above.exists() && !above.isRoot())
        above = QFileInfo(above.absolutePath());
    if (above.isDir() && above.isWritable())
        return {QStringLiteral("[store] path: the store's folder %1 does not exist yet; the monitor makes it when it "
                               "starts")
                    .arg(folder.filePath())};
    return {QStringLiteral("[store] path: the store's folder %1 does not exist and %2 cannot make it in %3; run the "
                           "service with systemd (its StateDirectory= makes /var/lib/frostgauge), or give [store] "
                           "path= a folder of yours to run it by hand")
                .arg(folder.filePath(), user, above.filePath())};
}

QByteArray withoutLineEnd(QByteArray line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// A line typed at the terminal on standard input, with its echo off; the
// prompt goes to standard error, so that standard output holds the result alone.
bool askPassword(const QString &prompt, QByteArray *password)
{
    fprintf(stderr, "%s", prompt.toUtf8().constData());
    fflush(stderr);
    termios shown;
    const bool terminal = ::tcgetattr(STDIN_FILENO, &shown) == 0;
    if (terminal) {
        termios hidden = shown;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        hidden.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    char buffer[4096];
    const bool read = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    *password = read ? withoutLineEnd(QByteArray(buffer)) : QByteArray();
    return read;
}

// The engine is asked to take an empty write with the configured login and
// certificates: a refused login or certificate fails the check; an engine
// that cannot be reached now is only a warning (the service waits for it).
int checkRemoteWrite(const MonitorConfig &settings)
{
    HistoryStore unused;
    RemoteWriter writer(settings.remoteWrite, &unused, {}, [] { return QDateTime::currentMSecsSinceEpoch(); });
    QString why;
    if (!writer.start(&why)) {
        fprintf(stderr, "frostgauge-monitor: [remote_write]: %s\n", qPrintable(why));
        return 2;
    }
    writer.stop();
    QEventLoop wait;
    QString problem;
    bool answered = false;
    writer.probe([&](const QString &found) {
        problem = found;
        answered = true;
        wait.quit();
    });
    QTimer::singleShot(RemoteWriter::RequestTimeoutMs + 1000, &wait, &QEventLoop::quit);
    if (!answered)
        wait.exec();
    // A refused login or certificate will not mend itself: the check fails.
    if (!answered || problem.isEmpty()
        || !(problem.contains(QLatin1String("refused the login")) || problem.startsWith(QLatin1String("TLS: ")))) {
        if (!problem.isEmpty() || !answered)
            fprintf(stderr, "frostgauge-monitor: warning: [remote_write] url: %s: %s\n",
                    qPrintable(settings.remoteWrite.url), answered ? qPrintable(problem) : "no answer within 30 s");
        return 0;
    }
    fprintf(stderr, "frostgauge-monitor: [remote_write]: %s: %s\n", qPrintable(settings.remoteWrite.url),
            qPrintable(problem));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-monitor"));
    qputenv("QT_LOGGING_RULES",
            qgetenv("QT_LOGGING_RULES").isEmpty() ? QByteArray("*.debug=false") : qgetenv("QT_LOGGING_RULES"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Watches VKRHX350 temperature monitors and line instruments (a protocol file each), keeps their "
                       "readings and events in an SQLite store and "
                       "raises alarms. Logs one line per event to standard error."));
    parser.addHelpOption();
    const QCommandLineOption config("config", "The configuration file (INI).", "FILE", "/etc/frostgauge/monitor.conf");
    const QCommandLineOption check("check", "Check the configuration and exit.");
    const QCommandLineOption hashPassword("hash-password",
                                          "Read a password from standard input and print the line of an [http] "
                                          "password_file for USER.",
                                          "USER");
    parser.addOptions({config, check, hashPassword});
    if (!parser.parse(app.arguments()))
        return exitWith(2, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return exitWith(2, QStringLiteral("unexpected argument: ") + parser.positionalArguments().first());

    if (parser.isSet(hashPassword)) {
        const QString user = parser.value(hashPassword);
        if (user.isEmpty() || user.contains(QLatin1Char(':')) || user.contains(QLatin1Char('\n')))
            return exitWith(2, QStringLiteral("--hash-password takes a user name without ':'"));
        QByteArray password;
        if (::isatty(STDIN_FILENO)) {
            // At a terminal: asked twice, and not shown as it is typed.
            QByteArray again;
            if (!askPassword(QStringLiteral("Password for %1: ").arg(user), &password)
                || !askPassword(QStringLiteral("The same again: "), &again))
                return exitWith(1, QStringLiteral("the terminal cannot be read"));
            if (again != password)
                return exitWith(2, QStringLiteral("the two passwords differ; nothing was written"));
        } else {
            QFile in;
            if (!in.open(stdin, QIODevice::ReadOnly))
                return exitWith(1, QStringLiteral("standard input cannot be read"));
            password = withoutLineEnd(in.readLine(4096));
        }
        if (password.isEmpty())
            return exitWith(2, QStringLiteral("an empty password is no password"));
        const QByteArray hash = hashHttpPassword(password);
        if (hash.isEmpty())
            return exitWith(1, QStringLiteral("the password cannot be hashed"));
        printf("%s:%s\n", user.toUtf8().constData(), hash.constData());
        return 0;
    }

    MonitorConfig settings;
    QString error;
    if (!readMonitorConfig(parser.value(config), &settings, &error))
        return exitWith(2, error);
    if (parser.isSet(check)) {
        // Files were opened as this user; the service's own user may read less.
        const struct passwd *user = getpwuid(geteuid());
        const QString name = user ? QString::fromLocal8Bit(user->pw_name) : QString::number(geteuid());
        if (name != QLatin1String(ServiceUser))
            fprintf(stderr,
                    "frostgauge-monitor: warning: checked as user %s; the service runs as %s, which may not "
                    "read every file %s can\n",
                    qPrintable(name), ServiceUser, qPrintable(name));
        for (const QString &warning : qAsConst(settings.warnings) + storeFolderWarnings(settings, name))
            fprintf(stderr, "frostgauge-monitor: warning: %s\n", qPrintable(warning));
        if (settings.remoteWrite.enabled) {
            const int checked = checkRemoteWrite(settings);
            if (checked != 0)
                return checked;
        }
        printf("%s: %d instrument(s), %d alarm(s)\n", qPrintable(parser.value(config)),
               int(settings.instruments.size()), int(settings.alarms.size()));
        return 0;
    }

    // A thousand HTTP clients and every port need more descriptors than the
    // usual soft limit of 1024: take what the hard limit allows.
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // A log reader that went away (a pipe to a closed pager, a stopped
    // collector) makes a log line fail, never ends the monitor.
    ::signal(SIGPIPE, SIG_IGN);
    qInstallMessageHandler(writeLogLine);
    Monitor monitor(settings);
    if (!monitor.start())
        return 1;
    QObject::connect(&monitor, &Monitor::failed, &app, [&](int code) { app.exit(code); });
    // SIGTERM and SIGINT stop it as asked. A hang-up (SIGHUP: its terminal or
    // session gone) is no request to stop monitoring: it stops as cleanly, but
    // with a failure status, so that a service manager starts it again.
    onTerminationSignals(
        &app,
        [&](int signal) {
            if (signal == SIGHUP) {
                monitor.stop(QStringLiteral("on a hang-up signal (SIGHUP); exit status %1").arg(HangUpExitCode));
                app.exit(HangUpExitCode);
                return;
            }
            app.exit(monitor.stop() ? 0 : 1);
        },
        {SIGINT, SIGTERM, SIGHUP});
    return app.exec();
}
