#include "port-list.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

#include <unistd.h>

QString portDisplayText(const QString &name, const QString &manufacturer, const QString &description,
                        const QString &serialNumber)
{
    QStringList details;
    for (const QString &part : {manufacturer, description, serialNumber}) {
        if (!part.isEmpty())
            details << part;
    }
    if (details.isEmpty())
        return name;
    return name + QLatin1String(" (") + details.join(QLatin1String(", ")) + QLatin1Char(')');
}

QVector<PortEntry> availablePortEntries()
{
    QVector<PortEntry> entries;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        entries.append({portDisplayText(info.portName(), info.manufacturer(), info.description(), info.serialNumber()),
                        info.portName()});
    }
    const QString extra = qEnvironmentVariable("FROSTGAUGE_EXTRA_PORTS");
    const QStringList paths = extra.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &path : paths)
        entries.append({path, path});
    // Links only: a dangling one is a shared port in use, listed so the
    // operator sees that the instrument is there but taken.
    const QDir shared(sharedPortFolder());
    const QFileInfoList links = shared.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink() || link.fileName().endsWith(QLatin1String(".new")))
            continue;
        const bool inUse = QFile::symLinkTarget(link.absoluteFilePath()).endsWith(QLatin1String(SharedPortInUseTarget));
        entries.append({link.fileName()
                            + (inUse ? QStringLiteral(" (shared by frostgauge-monitor, in use)")
                                     : QStringLiteral(" (shared by frostgauge-monitor)")),
                        link.absoluteFilePath()});
    }
    return entries;
}

QString sharedPortFolder()
{
    const QString folder = qEnvironmentVariable("FROSTGAUGE_SHARED_PORTS");
    return folder.isEmpty() ? QString::fromLatin1(DefaultSharedPortFolder) : folder;
}

bool sharedPortInUse(const QString &name)
{
    return QFileInfo(name).isSymLink() && QFile::symLinkTarget(name).endsWith(QLatin1String(SharedPortInUseTarget));
}

QString portOpenError(const QString &name, const QString &systemText)
{
    if (sharedPortInUse(name))
        return QStringLiteral("%1 is in use by another client of frostgauge-monitor (one at a time); "
                              "try again when it has closed the port")
            .arg(name);
    return systemText;
}

QByteArray rawLinkTarget(const QString &path)
{
    char target[256];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1);
    return n > 0 ? QByteArray(target, int(n)) : QByteArray();
}

bool isSharedPortLink(const QString &path)
{
    const QByteArray raw = rawLinkTarget(path);
    return raw == SharedPortInUseTarget || (raw.startsWith("/dev/pts/") && !raw.contains(".."));
}
