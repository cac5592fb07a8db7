#pragma once

// Runs frostgauge-cli as a script would (the test defines
// FROSTGAUGE_CLI_EXECUTABLE) and keeps its exit code and output.

#include "wait-limits.h"

#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

struct CliRun {
    int code = -1; // -1: it did not end within the wait limit, or crashed
    QString out;
    QString err;
};

// environment: added to (or, with an empty value, removed from) the test's own.
inline CliRun runCli(const QStringList &args, const QMap<QString, QString> &environment = {},
                     const QString &folder = QString())
{
    QProcess process;
    QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it) {
        if (it.value().isEmpty())
            system.remove(it.key());
        else
            system.insert(it.key(), it.value());
    }
    process.setProcessEnvironment(system);
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE), args);
    CliRun run;
    if (!process.waitForFinished(limitMs()))
        return run;
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
