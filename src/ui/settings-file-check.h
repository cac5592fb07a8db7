#pragma once

#include <QString>
#include <QStringList>

// The per-user settings file is read before the window uses it. Qt's INI reader
// throws (std::bad_alloc) on some encoded values, such as an @Variant list that
// claims billions of items, and a file of absurd size would be read whole: one
// such line would stop the window at every start. What Qt cannot read is set
// aside here, so the window starts and keeps every other value.
struct SettingsFileCheck {
    // Lines (or the whole file) that were taken out; empty when all was well.
    QStringList dropped;
    // Where the original file was kept when something was taken out.
    QString keptAs;
    QString message() const;
};

// Largest settings file read at all; this program's own are a few hundred bytes.
inline constexpr qint64 MaxSettingsFileBytes = 1024 * 1024;

// Checks the INI file at path and, where Qt cannot read it, rewrites it without
// the offending lines (the original is kept beside it as PATH.bad).
SettingsFileCheck checkSettingsFile(const QString &path);

// Path of the settings store that QSettings() uses for this application.
QString nativeSettingsPath();
