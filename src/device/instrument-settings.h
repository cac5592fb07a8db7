#pragma once

// The instrument's settings, one row each: the key its answers carry, the
// query that reads it back, the command that sets it, and the values it takes.
// The window, frostgauge-cli and the monitor look settings up here.

#include "protocol.h"

#include <QString>

namespace InstrumentSettings {

enum class Kind {
    Sensor,      // a curve keyword of SensorCurves
    Temperature, // kelvin, three decimals on the wire
    State,       // a relay's state at power-on: 0 off, 1 on
    Period,      // output period in ms; 0 turns the output off
    Display,     // display refresh period in ms
};

struct Setting {
    const char *key;
    const char *query;
    const char *setFormat;
    Kind kind;
    double minimum;
    double maximum;
};

// In the order of the read-back.
inline constexpr Setting Settings[] = {
    {"cal", ":cal?\n", Protocol::SensorCommandFormat, Kind::Sensor, 0, 0},
    {"rs232:period", ":rs232:period?\n", Protocol::Rs232PeriodFormat, Kind::Period, 100, 1000},
    {"rs485:period", ":rs485:period?\n", Protocol::Rs485PeriodFormat, Kind::Period, 100, 1000},
    {"relay1:default", ":relay1:default?\n", Protocol::Relay1DefaultFormat, Kind::State, 0, 1},
    {"relay1:temp", ":relay1:temp?\n", Protocol::Relay1TemperatureFormat, Kind::Temperature, 0.1, 1000},
    {"relay1:hyst", ":relay1:hyst?\n", Protocol::Relay1HysteresisFormat, Kind::Temperature, 0.1, 1000},
    {"relay2:default", ":relay2:default?\n", Protocol::Relay2DefaultFormat, Kind::State, 0, 1},
    {"relay2:temp", ":relay2:temp?\n", Protocol::Relay2TemperatureFormat, Kind::Temperature, 0.1, 1000},
    {"relay2:hyst", ":relay2:hyst?\n", Protocol::Relay2HysteresisFormat, Kind::Temperature, 0.1, 1000},
    {"display:period", ":display:period?\n", Protocol::DisplayPeriodFormat, Kind::Display, 100, 10000},
};
inline constexpr int SettingCount = int(sizeof(Settings) / sizeof(Settings[0]));

// The sensor curves: the code the window stores and carries in its list, the
// instrument's keyword, and the name shown.
struct SensorCurve {
    int code;
    const char *keyword;
    const char *name;
};
inline constexpr SensorCurve SensorCurves[] = {
    {0, "vkr", "VKR"}, {1, "dt-400", "DT-400"}, {2, "dt-670", "DT-670"}, {3, "asc", "ASC"}, {16, "user", "Custom"},
};

const Setting *find(const QString &key);
// The setting a command line sets, and the value it carries (as written);
// null for any other line (a query, a transfer step).
const Setting *fromCommand(const QByteArray &line, QString *value);
const SensorCurve *sensorByKeyword(const QString &keyword);
const SensorCurve *sensorByCode(int code);

// Checks a value as text against the setting's range and formats the command
// that sets it. False with error ("key: value is ...") when it does not fit.
bool setCommand(const Setting &setting, const QString &value, QString *command, QString *error);

// Whether a read-back value is the one sent (numbers compared as the wire
// carries them).
bool sameValue(const Setting &setting, const QString &sent, const QString &readBack);

} // namespace InstrumentSettings
