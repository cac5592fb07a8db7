#include "common/program-exit.h"

#include <QCoreApplication>

#include <cstdio>

int exitWith(int status, const QString &message)
{
    fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(message));
    fflush(stderr);
    return status;
}
