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

// frostgauge-monitor shares the port of an instrument as a link in this folder
// (FROSTGAUGE_SHARED_PORTS overrides it), named after the instrument.
inline constexpr char DefaultSharedPortFolder[] = "/run/frostgauge";
// While a client holds a shared port, its link points here: at nothing, so
// that a second open fails, with words that say why.
inline constexpr char SharedPortInUseTarget[] = "in use by another client";
QString sharedPortFolder();
// Whether path is a link a shared port made: one to a pseudo-terminal, or one
// saying the port is in use. Only such a link is ever replaced or removed.
bool isSharedPortLink(const QString &path);
// What the symbolic link at path names, as written (empty for no link).
QByteArray rawLinkTarget(const QString &path);

// The ports the system enumerates, in its order, then the device paths listed
// in FROSTGAUGE_EXTRA_PORTS (colon-separated: pseudo-terminals, socat or ser2net
// bridges and rfcomm ports that the enumeration does not know), then the
// shared ports of frostgauge-monitor, "NAME (shared by frostgauge-monitor)".
QVector<PortEntry> availablePortEntries();

// Whether name is a shared port that another client holds now.
bool sharedPortInUse(const QString &name);

// Why a port could not be opened, in words for the operator: a shared port
// that another client holds says so; anything else is the system's text.
QString portOpenError(const QString &name, const QString &systemText);
