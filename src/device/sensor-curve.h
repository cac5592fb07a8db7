#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// A sensor calibration curve: temperature (kelvin) and sensor voltage (volts)
// pairs in file order.
struct SensorCurve {
    QVector<double> temperatures;
    QVector<double> voltages;
    // Why the file cannot be sent, with its line number; the points are then
    // empty. Empty when the file is usable.
    QString error;
};

// Largest curve file read: a few thousand points of a few dozen bytes each.
inline constexpr qint64 MaxSensorCurveFileBytes = 1024 * 1024;
// Most points a record can carry: the upload addresses it with four hex digits.
inline constexpr int MaxSensorCurvePoints = (65536 - 24) / 8;

// Reads a curve text file: decoded as UTF-8 up to the first NUL byte, one point
// per line of exactly two whitespace-separated numbers (full stop as decimal
// point); every other line is ignored. A point the record cannot hold (below
// 0 K, or beyond its 32-bit millikelvin and microvolt fields) or more points
// than it can carry make the whole curve an error.
SensorCurve parseSensorCurve(const QByteArray &fileData);

// Magic number that opens a curve record.
inline constexpr qint32 SensorCurveMagic = 0x05DE41D4;
inline constexpr int SensorCurveNameSize = 16;

// The record the instrument stores as its custom curve, little-endian: magic,
// point count, the name's UTF-8 bytes cut or NUL-padded to 16, then per point
// millikelvin and microvolts as signed 32-bit integers truncated toward zero.
QByteArray sensorCurveRecord(const QString &name, const QVector<double> &temperatures, const QVector<double> &voltages);
