#pragma once

#include <QString>
#include <QVector>

// One entry of the serial-port list: what the operator sees and the name that
// opening the port uses.
struct PortEntry {
    QString displayText;
    QString portName;
};

// "NAME (manufacturer, description, serial number)" with the empty parts left
// out, or the name alone when all three are empty.
QString portDisplayText(const QString &name, const QString &manufacturer, const QString &description,
                        const QString &serialNumber);

// The ports the system enumerates, in its order, followed by the device paths
// listed in FROSTGAUGE_EXTRA_PORTS (colon-separated): pseudo-terminals, socat or
// ser2net bridges and rfcomm ports that the enumeration does not know.
QVector<PortEntry> availablePortEntries();
