#include "cli-output.h"

#include "device/input-file.h"

#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

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
    "               [--csv | --json] [--local]  readings (or per-bucket min/max/mean, or events)\n"
    "                               of a frostgauge-monitor store; TIME is ISO 8601, epoch ms\n"
    "                               or before now (-10m, -12h, -7d, \"2 hours ago\", now);\n"
    "                               --local writes local times with their offset, not UTC\n"
    "  plot STORE -o FILE.png|svg|pdf [--instrument NAME] [--from TIME] [--to TIME]\n"
    "               [--size WIDTHxHEIGHT] [--log | --linear]  the store's readings drawn as\n"
    "                               frostgauge-history draws them (default 1600x900 pixels), no\n"
    "                               display needed; a log axis when they span over two decades\n"
    "  note STORE|URL [--instrument NAME] [--at TIME] TEXT\n"
    "                               a note at a time of the history (now by default): into a\n"
    "                               store beside the monitor writing it, signed with the login\n"
    "                               name, or through a monitor's web address with a login\n"
    "  ack URL ALARM [--note TEXT]  acknowledge a raised alarm at a monitor's web address: its\n"
    "                               command repeats no more\n"
    "                               (URL: http(s)://HOST:PORT with --user NAME, the password\n"
    "                               from --password-file FILE or FROSTGAUGE_PASSWORD, --ca-file)\n"
    "  try --protocol FILE PORT [--polls N] [--period MS]\n"
    "                               a line instrument's protocol file tried on its port (or\n"
    "                               tcp://HOST:PORT): every exchange, escaped and timed, each\n"
    "                               channel's value or why it has none, N rounds (default 3)\n"
    "\n"
    "Every command that talks to an instrument takes --timeout SECONDS (default 5): the longest\n"
    "wait for an answer; given, it also bounds each step of an upload or upgrade (10 s each\n"
    "without it).\n"
    "PORT is a device path or a name from `frostgauge-cli ports`.\n"
    "Exit codes: 0 success, 1 instrument or transfer failure, 2 usage or bad input.\n";

int usageError(const QString &message)
{
    return fail(message + QLatin1String("\n\n") + QLatin1String(generalUsage), Usage);
}

bool writeRow(QFile &file, const QByteArray &row)
{
    return file.write(row) == row.size() && file.flush();
}

bool readArgumentFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error)
{
    if (path == QLatin1String("-"))
        return readInputStream(STDIN_FILENO, QStringLiteral("standard input"), maxBytes, data, error);
    return readInputFile(path, maxBytes, data, error);
}

void showProgress(int state, int total)
{
    if (!isatty(STDERR_FILENO) || total <= 0)
        return;
    const int percent = int(qMin<qint64>(100, qint64(qMin(state, total)) * 100 / total));
    const int filled = percent * 40 / 100;
    fprintf(stderr, "\r[%s%s] %3d%%", QByteArray(filled, '#').constData(), QByteArray(40 - filled, ' ').constData(),
            percent);
    if (percent >= 100)
        fputc('\n', stderr);
    fflush(stderr);
}

bool parseSeconds(const QString &text, double min, double max, double *seconds)
{
    bool ok = false;
    *seconds = text.toDouble(&ok);
    return ok && *seconds >= min && *seconds <= max; // NaN fails both comparisons
}
