#pragma once

// The units a channel's values may be given in, and what the programs that
// pass them on need to know of each: the base unit and factor that
// Prometheus' naming asks for, and the device class of Home Assistant's
// sensors that takes the unit as it is.

#include <QString>
#include <QStringList>

struct ChannelUnit {
    const char *symbol;      // as written in a protocol file and shown after a value
    const char *metric;      // a Prometheus metric name's quantity and base unit: "pressure_pascals"
    double toBase;           // a value times this is in the base unit
    const char *deviceClass; // Home Assistant's sensor device class, or "" when it has none for the unit
};

// Null for a unit not known; an empty unit (a state, a count) is known.
const ChannelUnit *findChannelUnit(const QString &symbol);
QStringList channelUnitSymbols();
