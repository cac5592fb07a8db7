#include "wire-values.h"

#include <QStringList>

#include <cmath>

quint32 packVersion(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    quint32 packed = 0;
    for (int i = 0; i < 4; ++i) {
        quint32 component = 0;
        if (i < parts.size()) {
            bool ok = false;
            component = parts.at(i).toUInt(&ok, 10);
            if (!ok)
                component = 0;
        }
        // Components are not limited to a byte: a large one spills into the
        // byte above, and bits shifted past bit 31 are lost.
        packed |= component << (24 - 8 * i);
    }
    return packed;
}

bool scaleAdcCalibration(double offset, double slope, qint32 *scaledOffset, qint32 *scaledSlope)
{
    const double scaled[2] = {offset * 1000000.0, slope * 16777216.0};
    qint32 result[2];
    for (int i = 0; i < 2; ++i) {
        // Converting a double outside the target range to an integer is undefined,
        // so the range is checked on the truncated value first.
        const double truncated = std::trunc(scaled[i]);
        if (!std::isfinite(truncated) || truncated < -2147483648.0 || truncated > 2147483647.0)
            return false;
        result[i] = qint32(truncated);
    }
    *scaledOffset = result[0];
    *scaledSlope = result[1];
    return true;
}

QByteArray transferPayload(const QByteArray &data)
{
    QByteArray payload = data;
    const int fill = (8 - data.size() % 8) % 8;
    payload.append(fill, char(0xFF));
    return payload;
}
