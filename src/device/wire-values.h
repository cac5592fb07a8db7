#pragma once

// Values as the instrument's wire carries them: pure computations that the
// instrument link, the window, the tools and the simulator share, with no
// serial port behind them.

#include <QByteArray>
#include <QString>

// The dotted version text packed into one byte per component.
quint32 packVersion(const QString &version);

// Scales an ADC offset (volts) and slope to the instrument's fixed-point
// fields: microvolts and units of 2^-24. False when either is not a number or
// does not fit a signed 32-bit integer.
bool scaleAdcCalibration(double offset, double slope, qint32 *scaledOffset, qint32 *scaledSlope);

// Data extended with 0xFF to a multiple of 8 bytes; the data keeps its offsets.
QByteArray transferPayload(const QByteArray &data);
