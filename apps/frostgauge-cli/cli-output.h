#pragma once

// What every frostgauge-cli command writes with besides standard output and
// the failure line: the usage, CSV rows, argument files, the progress bar.

#include "common/command-output.h"

#include <QByteArray>
#include <QString>

class QFile;

extern const char generalUsage[];

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
