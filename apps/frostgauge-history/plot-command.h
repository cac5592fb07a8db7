#pragma once

#include <QStringList>

// frostgauge-history --plot ARGUMENTS: the plot into a file, no window.
// Returns the exit code (0 drawn, 1 failure, 2 usage or bad input).
int plotCommand(const QStringList &arguments);
