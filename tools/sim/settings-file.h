#pragma once

// The settings a simulated instrument keeps across restarts (":save"), in a
// JSON file of the simulator's own (--state FILE).

#include <QByteArray>
#include <QString>

struct SimulatedSettings {
    QString sensor = QStringLiteral("dt-670");
    int rs232Period = 0;
    int rs485Period = 0;
    int relayDefault[2] = {0, 0};
    double relayTemperature[2] = {77.0, 150.0};
    double relayHysteresis[2] = {2.0, 5.0};
    int displayPeriod = 500;
    QByteArray curveRecord; // the custom curve as uploaded
};

// Reads what the file holds over the defaults in settings; a missing or
// unreadable file leaves them.
void loadSimulatedSettings(const QString &path, SimulatedSettings *settings);
void saveSimulatedSettings(const QString &path, const SimulatedSettings &settings);
// A test that reads the file must not take a half-written or missing one for the truth.
void writeWholeFile(const QString &path, const QByteArray &data);
