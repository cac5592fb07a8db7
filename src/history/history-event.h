#pragma once

// The kinds of event the history keeps, and the text each is stored and
// exported as. The texts are what existing stores and scripts read: they
// never change; a new kind gets a new text.

#include <QMetaType>
#include <QString>

enum class EventKind {
    Unknown, // a text this version does not know (written by a newer one)
    MonitorStarted,
    MonitorStopped,
    Connected,
    Lost,
    Refused,
    Client,
    Setting,
    Maintenance,
    MaintenanceEnded,
    Share,
    AlarmRaised,
    AlarmCleared,
    ReadingsDropped,   // the store could not be written for long: the oldest waiting readings went
    ReadingsRejected,  // values no sensor of the instrument reports (at or below 0 K, or far too hot)
    ClockJumped,       // the system clock went forward or back: the curve's times jump there
    NoAnswer,          // the port opened but no instrument answers identification
    Gap,               // an archive: readings its source no longer has, never to come
    Note,              // what a person wrote at a time: "LN2 refilled"; its author is kept with it
    AlarmAcknowledged, // a person has taken a raised alarm on
    OnlyImpossible,    // an instrument that sends values, none of them a possible reading
    Stalled,           // the monitor did not run for a while: readings after it carry the time they were read
    BadReply,          // a line instrument's reply that gives no value: no match, no number, not text, too long
    ErrorReply,        // a line instrument said no (its error reply) to a command
    AnsweringAgain,    // a line instrument that did not answer its queries answers them again
    RemoteWriteOutage, // the time-series engine could not be reached or would not take readings for a while
    SamplesRefused,    // the time-series engine refused readings (too old, out of order): counted, never resent
};

// The stored text of a kind ("connected", "alarm raised", ...); empty for Unknown.
QString eventKindName(EventKind kind);
// The kind a stored text names; Unknown for any other text.
EventKind eventKindFromName(const QString &name);

// What the plot and the service group kinds by.
inline bool isAlarmEvent(EventKind kind)
{
    return kind == EventKind::AlarmRaised || kind == EventKind::AlarmCleared;
}
// The instrument is not being read: lost, refused as not the one configured,
// or silent.
inline bool isLossEvent(EventKind kind)
{
    return kind == EventKind::Lost || kind == EventKind::Refused || kind == EventKind::NoAnswer;
}
inline bool isMaintenanceEvent(EventKind kind)
{
    return kind == EventKind::Maintenance || kind == EventKind::MaintenanceEnded;
}

Q_DECLARE_METATYPE(EventKind)
