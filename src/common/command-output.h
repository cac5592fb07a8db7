#pragma once

// What a command-line program writes with: standard output, the failure line
// on standard error, the exit codes.

#include <QString>

class QTextStream;

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

QTextStream &out();
// Flushes standard output first, so that the failure follows what was printed.
int fail(const QString &message, int code);
