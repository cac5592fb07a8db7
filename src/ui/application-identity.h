#pragma once

#include "frostgauge-version.h"

#include <QCoreApplication>

// The identity names the per-user settings store, so it is set before any
// settings object exists.
inline void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("NORDA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("norda.example"));
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FROSTGAUGE_VERSION));
}
