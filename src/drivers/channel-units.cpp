#include "drivers/channel-units.h"

namespace {

// Pressures span decades in a cryostat (a vacuum of 1e-7 mbar beside a
// mixture of 1 bar), so each is given as the gauge shows it and converted
// for the programs that want base units.
const ChannelUnit Units[] = {
    {"", "value", 1, ""},
    {"K", "temperature_kelvin", 1, "temperature"},
    {"mK", "temperature_kelvin", 1e-3, ""},
    {"°C", "temperature_celsius", 1, "temperature"},
    {"Pa", "pressure_pascals", 1, "pressure"},
    {"hPa", "pressure_pascals", 1e2, "pressure"},
    {"kPa", "pressure_pascals", 1e3, "pressure"},
    {"mbar", "pressure_pascals", 1e2, "pressure"},
    {"bar", "pressure_pascals", 1e5, "pressure"},
    {"Torr", "pressure_pascals", 133.322368, ""},
    {"psi", "pressure_pascals", 6894.757293, "pressure"},
    {"V", "voltage_volts", 1, "voltage"},
    {"mV", "voltage_volts", 1e-3, "voltage"},
    {"A", "current_amperes", 1, "current"},
    {"mA", "current_amperes", 1e-3, "current"},
    {"W", "power_watts", 1, "power"},
    {"mW", "power_watts", 1e-3, "power"},
    {"Hz", "frequency_hertz", 1, "frequency"},
    {"Ohm", "resistance_ohms", 1, ""},
    {"s", "duration_seconds", 1, "duration"},
    {"%", "ratio", 1e-2, ""},
    {"L/min", "flow_cubic_meters_per_second", 1e-3 / 60, "volume_flow_rate"},
    {"m3/h", "flow_cubic_meters_per_second", 1.0 / 3600, "volume_flow_rate"},
    {"g/s", "mass_flow_grams_per_second", 1, ""},
    {"mol/s", "molar_flow_moles_per_second", 1, ""},
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
