#pragma once

// The drivers an instrument's configuration chooses from by name.

#include "drivers/instrument-driver.h"

#include <QStringList>

// The name a configuration without a choice gets: every configuration written
// before there was a choice names this instrument.
inline constexpr char DefaultInstrumentDriver[] = "vkrhx350";
// Any instrument that a protocol file describes.
inline constexpr char LineInstrumentDriver[] = "line";

QStringList instrumentDriverNames();
// Null for a name not in instrumentDriverNames().
InstrumentDriver *createInstrumentDriver(const QString &name, const DriverOptions &options, QObject *parent = nullptr);
