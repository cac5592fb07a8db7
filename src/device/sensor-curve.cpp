#include "sensor-curve.h"

#include <QRegularExpression>
#include <QStringList>
#include <QtEndian>

#include <cmath>

namespace {

// The record's fields are signed 32-bit integers of the truncated product.
bool fitsField(double value, double scale)
{
    const double scaled = std::trunc(value * scale);
    return std::isfinite(scaled) && scaled >= -2147483648.0 && scaled <= 2147483647.0;
}

QString pointError(int lineNumber, double temperature, double voltage)
{
    if (temperature < 0)
        return QStringLiteral("line %1: %2 K is below absolute zero").arg(lineNumber).arg(temperature);
    if (!fitsField(temperature, 1000.0))
        return QStringLiteral("line %1: %2 K does not fit the curve record (at most 2147483.647 K)")
            .arg(lineNumber)
            .arg(temperature);
    if (!fitsField(voltage, 1000000.0))
        return QStringLiteral("line %1: %2 V does not fit the curve record (within \u00b12147.483647 V)")
            .arg(lineNumber)
            .arg(voltage);
    return QString();
}

} // namespace

SensorCurve parseSensorCurve(const QByteArray &fileData)
{
    const int nul = fileData.indexOf('\0');
    QString text = QString::fromUtf8(fileData.constData(), nul < 0 ? fileData.size() : nul);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));

    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    SensorCurve curve;
    const QStringList lines = text.split(QLatin1Char('\n'));
    int lineNumber = 0;
    for (const QString &line : lines) {
        ++lineNumber;
        const QStringList tokens = line.split(whitespace, Qt::SkipEmptyParts);
        if (tokens.size() != 2)
            continue;
        bool temperatureOk = false;
        bool voltageOk = false;
        const double temperature = tokens.at(0).toDouble(&temperatureOk);
        const double voltage = tokens.at(1).toDouble(&voltageOk);
        // "nan" and "inf" convert too, but are no point of a curve.
        if (!temperatureOk || !voltageOk || !std::isfinite(temperature) || !std::isfinite(voltage))
            continue;
        QString error = pointError(lineNumber, temperature, voltage);
        if (error.isEmpty() && curve.temperatures.size() == MaxSensorCurvePoints)
            error = QStringLiteral("line %1: more than %2 points, more than the instrument's curve can hold")
                        .arg(lineNumber)
                        .arg(MaxSensorCurvePoints);
        if (!error.isEmpty()) {
            SensorCurve refused;
            refused.error = error;
            return refused;
        }
        curve.temperatures.append(temperature);
        curve.voltages.append(voltage);
    }
    return curve;
}

namespace {

// The low 32 bits of the value truncated toward zero, computed without an
// out-of-range conversion.
quint32 low32Truncated(double value)
{
    const double wrapped = std::fmod(std::trunc(value), 4294967296.0);
    return quint32(wrapped < 0 ? wrapped + 4294967296.0 : wrapped);
}

void appendLe32(QByteArray &record, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    record.append(bytes, 4);
}

} // namespace

QByteArray sensorCurveRecord(const QString &name, const QVector<double> &temperatures, const QVector<double> &voltages)
{
    const int count = qMin(temperatures.size(), voltages.size());
    QByteArray record;
    record.reserve(24 + 8 * count);
    appendLe32(record, quint32(SensorCurveMagic));
    appendLe32(record, quint32(count));
    QByteArray nameBytes = name.toUtf8();
    if (nameBytes.size() > SensorCurveNameSize) {
        // Cut before the character that does not fit whole: continuation bytes
        // (10xxxxxx) never start a character.
        int end = SensorCurveNameSize;
        while (end > 0 && (uchar(nameBytes.at(end)) & 0xC0) == 0x80)
            --end;
        nameBytes.truncate(end);
    }
    nameBytes.append(SensorCurveNameSize - nameBytes.size(), '\0');
    record.append(nameBytes);
    for (int i = 0; i < count; ++i) {
        appendLe32(record, low32Truncated(temperatures.at(i) * 1000.0));
        appendLe32(record, low32Truncated(voltages.at(i) * 1000000.0));
    }
    return record;
}
