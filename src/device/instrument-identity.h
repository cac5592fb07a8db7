#pragma once

// Who answered the identification query: one value instead of four strings.

#include <QString>

struct InstrumentIdentity {
    QString manufacturer;
    QString model;
    QString serialNumber;
    QString version;
};
