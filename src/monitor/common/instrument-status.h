#pragma once

// Where an instrument of this monitor stands, as its events leave it. The
// words are those published on MQTT and shown on the pages: they never change.

#include "history/history-event.h"

#include <QMetaType>
#include <QString>

enum class InstrumentStatus {
    Online,
    Maintenance, // a client's maintenance: silent on purpose
    Lost,
    Refused,
    NoAnswer,
    Impossible, // it sends values, none of them a possible reading
};

QString instrumentStatusName(InstrumentStatus status);
// The status an event of the instrument leaves it in; false for an event that
// changes none (a setting, a client). (Impossible values end with a reading.)
bool statusAfterEvent(EventKind kind, InstrumentStatus *status);

Q_DECLARE_METATYPE(InstrumentStatus)
