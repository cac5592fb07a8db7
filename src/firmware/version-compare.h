#pragma once

#include <QString>

// Compares dotted versions part by part as base-10 integers (a part that is not
// a number counts as 0, the shorter list is extended with zeros). True unless
// the instrument's version is newer than the image's, i.e. equal counts as an
// upgrade.
bool isFirmwareUpgrade(const QString &deviceVersion, const QString &imageVersion);

// "Upgrade firmware from version X to version Y?" or the same with "Downgrade".
QString firmwareUpgradeQuestion(const QString &deviceVersion, const QString &imageVersion);
