#pragma once

// Writes a fixture file into a test's temporary folder and returns its path.

#include <QFile>
#include <QTemporaryDir>

inline QString writeTestFile(const QTemporaryDir &dir, const QString &name, const QByteArray &contents)
{
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(contents);
    return file.fileName();
}
