#include "sensor-physics.h"

#include <QtEndian>

#include <cmath>

namespace {

// Sensor voltage of a silicon diode against temperature (kelvin, volts): the
// simulated sensor that a custom curve is read against.
const double diodeCurve[][2] = {
    {1.4, 1.644},  {4.2, 1.5696}, {10, 1.4212},  {20, 1.2134},  {30, 1.1072},  {50, 1.0716}, {77, 1.0253},
    {100, 0.9755}, {150, 0.8683}, {200, 0.7555}, {250, 0.6382}, {300, 0.5185}, {400, 0.28},
};

} // namespace

namespace SimulatedPhysics {

double diodeVoltage(double kelvin)
{
    const int n = int(sizeof diodeCurve / sizeof diodeCurve[0]);
    if (kelvin <= diodeCurve[0][0])
        return diodeCurve[0][1];
    for (int i = 1; i < n; ++i) {
        if (kelvin <= diodeCurve[i][0]) {
            const double f = (kelvin - diodeCurve[i - 1][0]) / (diodeCurve[i][0] - diodeCurve[i - 1][0]);
            return diodeCurve[i - 1][1] + f * (diodeCurve[i][1] - diodeCurve[i - 1][1]);
        }
    }
    return diodeCurve[n - 1][1];
}

double uncalibratedVolts(double inputVolts)
{
    return inputVolts / 1.2 - 0.01;
}

bool decodeCurveRecord(const QByteArray &record, CustomCurve *curve)
{
    if (record.size() < 24)
        return false;
    const char *bytes = record.constData();
    if (qFromLittleEndian<qint32>(bytes) != 0x05DE41D4)
        return false;
    const qint32 count = qFromLittleEndian<qint32>(bytes + 4);
    if (count < 0 || record.size() < 24 + 8LL * count)
        return false;
    const QByteArray name = record.mid(8, 16);
    curve->name = QString::fromUtf8(name.constData(), name.size()).remove(QChar(0));
    curve->temperatures.clear();
    curve->voltages.clear();
    for (int i = 0; i < count; ++i) {
        curve->temperatures.append(qFromLittleEndian<qint32>(bytes + 24 + 8 * i) / 1000.0);
        curve->voltages.append(qFromLittleEndian<qint32>(bytes + 28 + 8 * i) / 1e6);
    }
    curve->complete = record.size() == 24 + 8 * count;
    return true;
}

double curveKelvin(const CustomCurve &curve, double trueKelvin)
{
    // The custom curve turns the sensor's voltage back into a temperature.
    const double volts = diodeVoltage(trueKelvin);
    double best = curve.temperatures.first();
    for (int i = 1; i < curve.voltages.size(); ++i) {
        const double v0 = curve.voltages.at(i - 1), v1 = curve.voltages.at(i);
        if ((volts - v0) * (volts - v1) <= 0 && v0 != v1) {
            const double f = (volts - v0) / (v1 - v0);
            return curve.temperatures.at(i - 1) + f * (curve.temperatures.at(i) - curve.temperatures.at(i - 1));
        }
        if (std::fabs(v1 - volts) < std::fabs(diodeVoltage(best) - volts))
            best = curve.temperatures.at(i);
    }
    return best;
}

} // namespace SimulatedPhysics
