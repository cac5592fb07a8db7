#include "port-list.h"

#include <QSerialPortInfo>
#include <QStringList>

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
    return entries;
}
