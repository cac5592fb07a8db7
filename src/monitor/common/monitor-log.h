#pragma once

// The service's log: one line per event, through one category, so that every
// part reports the same way and QT_LOGGING_RULES can quiet or route it.
// frostgauge-monitor writes these lines to standard error as they are
// (journald adds the time); a failure that stops the service is critical.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMonitor)
