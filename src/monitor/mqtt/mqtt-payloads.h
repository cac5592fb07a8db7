#pragma once

// What the monitor publishes, as topics and payloads: built here, without a
// broker, so that subscribers' expectations are tested on their own.
//
//   PREFIX/INSTRUMENT/temperature   {"time":"...Z","kelvin":4.213,"seq":17}
//   PREFIX/INSTRUMENT:CHANNEL/value {"time":"...Z","value":1.2e-06,"unit":"mbar","seq":17}
//                                   (a state channel: "state":"ON" beside its value; a
//                                   channel in kelvin is a temperature as above)
//   PREFIX/INSTRUMENT/status        online | lost | refused
//   PREFIX/INSTRUMENT/info          {"model":...,"serial_number":...,"version":...}
//   PREFIX/INSTRUMENT/alarm/NAME    {"state":"raised","time":"...","value":4.2,"acknowledged":false}
//   PREFIX/INSTRUMENT/note          {"time":"...","text":"LN2 refilled","author":"ana"}
//   PREFIX/monitor/CLIENT_ID/note   a note on no instrument
//   PREFIX/monitor/CLIENT_ID/status online | offline (the Last Will)

#include "device/instrument-identity.h"

#include <QByteArray>
#include <QString>

namespace MqttPayloads {

QString instrumentTopic(const QString &prefix, const QString &instrument, const QString &leaf);
QString monitorStatusTopic(const QString &prefix, const QString &clientId);

// Three decimals, as the instrument reports them; the time in UTC.
QByteArray reading(qint64 timeMs, double kelvin, qint64 seq);
// Any other channel's reading: the value as exactly as it came (a pressure of
// 1.2e-06 mbar has no three decimals), its unit unless it has none, and a
// state channel's word.
QByteArray valueReading(qint64 timeMs, double value, const QString &unit, const QString &state, qint64 seq);
QByteArray info(const InstrumentIdentity &identity);
// value: NaN when no reading decided the change (a lost or silent instrument).
// A raised alarm says whether someone acknowledged it: "acknowledged" is false,
// or who and when.
QByteArray alarm(bool raised, double value, qint64 timeMs, const QString &acknowledgedBy = QString(),
                 qint64 acknowledgedMs = 0);
// A person's note: {"time":"...Z","text":"LN2 refilled","author":"ana"}.
QByteArray note(qint64 timeMs, const QString &text, const QString &author);

struct Message {
    QString topic;
    QByteArray payload;
};
// Home Assistant's discovery of one instrument's temperature sensor.
Message homeAssistantSensor(const QString &prefix, const QString &clientId, const QString &instrument);
// Of a line instrument's channel: the device class that takes its unit (none
// for a unit Home Assistant does not know), a state channel as text.
Message homeAssistantChannel(const QString &prefix, const QString &clientId, const QString &series,
                             const QString &instrument, const QString &unit, bool state);

} // namespace MqttPayloads
