// Arbitrary curve files through the parser and the record builder.
//
// Input: the file's bytes; the name for the record is taken from its first 24.

#include "device/sensor-curve.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), int(size));
    const SensorCurve curve = parseSensorCurve(file);
    if (curve.temperatures.size() != curve.voltages.size())
        abort();
    const QString name = QString::fromUtf8(file.left(24));
    const QByteArray record = sensorCurveRecord(name.left(8), curve.temperatures, curve.voltages);
    if (record.size() != 24 + 8 * curve.temperatures.size())
        abort();
    return 0;
}
