#pragma once

// The commands of frostgauge-cli. Each takes the arguments after its name,
// checks them before it opens anything, and returns the exit code.

#include <QStringList>

int commandPorts(const QStringList &arguments);
int commandIdentify(const QStringList &arguments);
int commandGet(const QStringList &arguments);
int commandSet(const QStringList &arguments);
int commandMeasure(const QStringList &arguments);
int commandMonitor(const QStringList &arguments);
int commandUploadCurve(const QStringList &arguments);
int commandUpgrade(const QStringList &arguments);
int commandHistory(const QStringList &arguments);
int commandPlot(const QStringList &arguments);
int commandNote(const QStringList &arguments);
int commandAck(const QStringList &arguments);
int commandTry(const QStringList &arguments);
