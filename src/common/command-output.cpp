#include "command-output.h"

#include "common/program-exit.h"

#include <QTextStream>

#include <cstdio>

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message, int code)
{
    out().flush();
    return exitWith(code, message);
}
