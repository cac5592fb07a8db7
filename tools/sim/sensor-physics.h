#pragma once

// The simulated instrument's physics (its temperature is temperature-profile's):
// a silicon diode read through an uploaded custom curve, and an
// ADC that reads low and with an offset, so that calibration matters.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace SimulatedPhysics {

// The diode's voltage at a temperature (volts).
double diodeVoltage(double kelvin);
// What the ADC reports for the voltage at its input, before calibration.
double uncalibratedVolts(double inputVolts);

// A custom curve as the instrument stores it: a header (magic, point count,
// 16-byte name) and (millikelvin, microvolts) pairs, little-endian.
struct CustomCurve {
    QString name;
    QVector<double> temperatures;
    QVector<double> voltages;
    bool complete = false; // every point the header announces is there
};
// False while the record is too short for its header or not a curve.
bool decodeCurveRecord(const QByteArray &record, CustomCurve *curve);
// The temperature the curve gives for the diode at the true temperature.
double curveKelvin(const CustomCurve &curve, double trueKelvin);

} // namespace SimulatedPhysics
