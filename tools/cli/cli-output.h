#pragma once

// What every frostgauge-cli command writes with: standard output, the failure
// line on standard error, the exit codes, the progress bar.

#include <QByteArray>
#include <QString>

class QFile;
class QTextStream;

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

extern const char generalUsage[];

QTextStream &out();
// Flushes standard output first, so that the failure follows what was printed.
int fail(const QString &message, int code);
// A usage error, followed by the usage text.
int usageError(const QString &message);

// Writes and flushes one row; false when the disk is full or the file went away.
bool writeRow(QFile &file, const QByteArray &row);
// A file argument; "-" reads standard input.
bool readArgumentFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error);
// A progress bar on standard error, only when it is a terminal.
void showProgress(int state, int total);
// A number of seconds within [min, max]; false for text, NaN and anything outside.
bool parseSeconds(const QString &text, double min, double max, double *seconds);
