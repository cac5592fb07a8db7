// plot: drawing needs Qt Widgets and Qwt, which frostgauge-cli does without so
// that it runs on a server with no display libraries. The plot is drawn by
// frostgauge-history --plot, which this command becomes when it is installed.

#include "cli-output.h"
#include "commands.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

// Beside this program first (an installation or a build tree), then on PATH.
QString historyViewer()
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/frostgauge-history");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("frostgauge-history"));
}

} // namespace

int commandPlot(const QStringList &arguments)
{
    const QString viewer = historyViewer();
    if (viewer.isEmpty())
        return fail(QStringLiteral("plot is drawn by frostgauge-history (package frostgauge), which is not installed "
                                   "here; on a machine with it: frostgauge-history --plot STORE -o FILE ..."),
                    Failure);
    QList<QByteArray> words{QFile::encodeName(viewer), QByteArrayLiteral("--plot")};
    for (const QString &argument : arguments)
        words << argument.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    out().flush();
    fflush(stdout);
    execv(argv[0], argv.data());
    return fail(QStringLiteral("cannot run %1: %2").arg(viewer, QString::fromLocal8Bit(strerror(errno))), Failure);
}
