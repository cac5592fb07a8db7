#include "drivers/channel-units.h"

namespace {

// Pressures span decades in a cryostat (a vacuum of 1e-7 mbar beside a
// mixture of 1 bar), so each is given as the gauge shows it and converted
// for the programs that want base units.
const ChannelUnit Units[] = {
    {"", "", 1, ""},
    {"K", "kelvin", 1, "temperature"},
    {"mK", "kelvin", 1e-3, ""},
    {"°C", "celsius", 1, "temperature"},
    {"Pa", "pascals", 1, "pressure"},
    {"hPa", "pascals", 1e2, "pressure"},
    {"kPa", "pascals", 1e3, "pressure"},
    {"mbar", "pascals", 1e2, "pressure"},
    {"bar", "pascals", 1e5, "pressure"},
    {"Torr", "pascals", 133.322368, ""},
    {"psi", "pascals", 6894.757293, "pressure"},
    {"V", "volts", 1, "voltage"},
    {"mV", "volts", 1e-3, "voltage"},
    {"A", "amperes", 1, "current"},
    {"mA", "amperes", 1e-3, "current"},
    {"W", "watts", 1, "power"},
    {"mW", "watts", 1e-3, "power"},
    {"Hz", "hertz", 1, "frequency"},
    {"Ohm", "ohms", 1, ""},
    {"s", "seconds", 1, "duration"},
    {"%", "ratio", 1e-2, ""},
    {"L/min", "cubic_meters_per_second", 1e-3 / 60, "volume_flow_rate"},
    {"m3/h", "cubic_meters_per_second", 1.0 / 3600, "volume_flow_rate"},
    {"g/s", "grams_per_second", 1, ""},
    {"mol/s", "moles_per_second", 1, ""},
};

} // namespace

const ChannelUnit *findChannelUnit(const QString &symbol)
{
    for (const ChannelUnit &unit : Units) {
        if (symbol == QString::fromUtf8(unit.symbol))
            return &unit;
    }
    return nullptr;
}

QStringList channelUnitSymbols()
{
    QStringList symbols;
    for (const ChannelUnit &unit : Units) {
        if (*unit.symbol)
            symbols << QString::fromUtf8(unit.symbol);
    }
    return symbols;
}
