#include "settings-file-check.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// Parses INI text with Qt's own reader in a scratch file, reading every key.
// False when the reader throws or cannot allocate.
bool qtCanRead(const QTemporaryDir &scratch, const QByteArray &text)
{
    // A new name each time: Qt keeps parsed files cached by path.
    static int serial = 0;
    const QString path = scratch.filePath(QStringLiteral("probe-%1.ini").arg(++serial));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return false;
    }
    bool readable = true;
    try {
        QSettings settings(path, QSettings::IniFormat);
        for (const QString &key : settings.allKeys())
            settings.value(key);
    } catch (...) {
        readable = false;
    }
    QFile::remove(path);
    return readable;
}

bool writeWhole(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

bool keepOriginal(const QString &path, QString *keptAs)
{
    *keptAs = path + QStringLiteral(".bad");
    QFile::remove(*keptAs);
    return QFile::copy(path, *keptAs);
}

} // namespace

QString SettingsFileCheck::message() const
{
    if (dropped.isEmpty())
        return QString();
    return QStringLiteral("Settings: unreadable values set aside (%1); the original file is kept as %2")
        .arg(dropped.join(QStringLiteral(", ")), keptAs);
}

QString nativeSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
           + QCoreApplication::organizationName() + QLatin1Char('/') + QCoreApplication::applicationName()
           + QStringLiteral(".conf");
}

SettingsFileCheck checkSettingsFile(const QString &path)
{
    SettingsFileCheck check;
    const QFileInfo info(path);
    if (!info.exists())
        return check;
    if (!info.isFile() || info.size() > MaxSettingsFileBytes) {
        // Not a settings file this program could have written: set it aside whole.
        check.keptAs = path + QStringLiteral(".bad");
        QFile::remove(check.keptAs);
        if (QFile::rename(path, check.keptAs))
            check.dropped << QStringLiteral("the whole file: %1")
                                 .arg(info.isFile() ? QStringLiteral("%1 bytes").arg(info.size())
                                                    : QStringLiteral("not a regular file"));
        else
            qWarning() << "cannot set aside the settings file" << path;
        return check;
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return check; // QSettings will find it unreadable too and use the defaults
    const QByteArray text = file.read(MaxSettingsFileBytes);
    file.close();

    QTemporaryDir scratch;
    if (!scratch.isValid() || qtCanRead(scratch, text))
        return check;

    // Find the lines that stop the reader, each tried alone under its section.
    const QList<QByteArray> lines = text.split('\n');
    QByteArray section;
    QByteArray kept;
    for (const QByteArray &line : lines) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith('[')) {
            section = trimmed;
        } else if (!trimmed.isEmpty() && !qtCanRead(scratch, section + '\n' + line + '\n')) {
            const int equals = line.indexOf('=');
            check.dropped << QString::fromUtf8(equals < 0 ? line.left(40) : line.left(equals)).trimmed();
            continue;
        }
        kept += line + '\n';
    }
    if (!qtCanRead(scratch, kept)) {
        check.dropped = QStringList{QStringLiteral("the whole file")};
        kept.clear();
    }
    if (!keepOriginal(path, &check.keptAs) || !writeWhole(path, kept)) {
        // The store cannot be mended in place: the window must still start.
        qWarning() << "cannot rewrite the settings file" << path << "; it is set aside";
        QFile::remove(path + QStringLiteral(".bad"));
        QFile::rename(path, path + QStringLiteral(".bad"));
    }
    qWarning().noquote() << check.message();
    return check;
}
