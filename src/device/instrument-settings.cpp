#include "instrument-settings.h"

#include <QStringList>

#include <cmath>

namespace InstrumentSettings {

const Setting *find(const QString &key)
{
    for (const Setting &setting : Settings) {
        if (key == QLatin1String(setting.key))
            return &setting;
    }
    return nullptr;
}

const Setting *fromCommand(const QByteArray &line, QString *value)
{
    if (!line.endsWith('\n'))
        return nullptr;
    for (const Setting &setting : Settings) {
        // The command is its format up to the value: ":relay1:temp " for ":relay1:temp %5.3lf\n".
        const QByteArray format(setting.setFormat);
        const QByteArray prefix = format.left(format.indexOf('%'));
        if (line.startsWith(prefix)) {
            *value = QString::fromLatin1(line.mid(prefix.size())).trimmed();
            return &setting;
        }
    }
    return nullptr;
}

const SensorCurve *sensorByKeyword(const QString &keyword)
{
    for (const SensorCurve &sensor : SensorCurves) {
        if (keyword == QLatin1String(sensor.keyword))
            return &sensor;
    }
    return nullptr;
}

const SensorCurve *sensorByCode(int code)
{
    for (const SensorCurve &sensor : SensorCurves) {
        if (sensor.code == code)
            return &sensor;
    }
    return nullptr;
}

bool setCommand(const Setting &setting, const QString &value, QString *command, QString *error)
{
    bool ok = false;
    switch (setting.kind) {
    case Kind::Sensor: {
        if (const SensorCurve *sensor = sensorByKeyword(value)) {
            *command = QString::asprintf(setting.setFormat, sensor->keyword);
            return true;
        }
        QStringList keywords;
        for (const SensorCurve &sensor : SensorCurves)
            keywords << QLatin1String(sensor.keyword);
        *error = QStringLiteral("%1: %2 is not one of %3").arg(setting.key, value, keywords.join(QStringLiteral(", ")));
        return false;
    }
    case Kind::Temperature: {
        const double number = value.toDouble(&ok);
        if (!ok || !std::isfinite(number) || number < setting.minimum || number > setting.maximum) {
            *error = QStringLiteral("%1: %2 is outside %3 to %4 K")
                         .arg(setting.key, value)
                         .arg(setting.minimum)
                         .arg(setting.maximum);
            return false;
        }
        *command = QString::asprintf(setting.setFormat, number);
        return true;
    }
    case Kind::State:
    case Kind::Period:
    case Kind::Display: {
        const int number = value.toInt(&ok);
        // An output period of 0 turns the output off.
        const bool allowed = ok
                             && ((number >= setting.minimum && number <= setting.maximum)
                                 || (setting.kind == Kind::Period && number == 0));
        if (!allowed) {
            *error = setting.kind == Kind::State
                         ? QStringLiteral("%1: %2 is not 0 (off) or 1 (on)").arg(setting.key, value)
                     : setting.kind == Kind::Period
                         ? QStringLiteral("%1: %2 is neither 0 (output off) nor within %3 to %4 ms")
                               .arg(setting.key, value)
                               .arg(setting.minimum)
                               .arg(setting.maximum)
                         : QStringLiteral("%1: %2 is outside %3 to %4 ms")
                               .arg(setting.key, value)
                               .arg(setting.minimum)
                               .arg(setting.maximum);
            return false;
        }
        *command = QString::asprintf(setting.setFormat, number);
        return true;
    }
    }
    return false;
}

bool sameValue(const Setting &setting, const QString &sent, const QString &readBack)
{
    if (setting.kind == Kind::Sensor)
        return sent == readBack;
    bool a = false, b = false;
    const double x = sent.toDouble(&a), y = readBack.trimmed().toDouble(&b);
    // Set-points travel with three decimals.
    return a && b && std::fabs(x - y) < 0.0005 + 1e-9;
}

} // namespace InstrumentSettings
