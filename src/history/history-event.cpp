#include "history/history-event.h"

#include <iterator>

namespace {

struct KindName {
    EventKind kind;
    const char *name;
};

const KindName Names[] = {
    {EventKind::MonitorStarted, "monitor started"},
    {EventKind::MonitorStopped, "monitor stopped"},
    {EventKind::Connected, "connected"},
    {EventKind::Lost, "lost"},
    {EventKind::Refused, "refused"},
    {EventKind::Client, "client"},
    {EventKind::Setting, "setting"},
    {EventKind::Maintenance, "maintenance"},
    {EventKind::MaintenanceEnded, "maintenance ended"},
    {EventKind::Share, "share"},
    {EventKind::AlarmRaised, "alarm raised"},
    {EventKind::AlarmCleared, "alarm cleared"},
    {EventKind::ReadingsDropped, "readings dropped"},
    {EventKind::ReadingsRejected, "readings rejected"},
    {EventKind::ClockJumped, "clock jumped"},
    {EventKind::NoAnswer, "no answer"},
    {EventKind::Gap, "gap"},
    {EventKind::Note, "note"},
    {EventKind::AlarmAcknowledged, "alarm acknowledged"},
    {EventKind::OnlyImpossible, "only impossible values"},
    {EventKind::Stalled, "stalled"},
    {EventKind::BadReply, "bad reply"},
    {EventKind::ErrorReply, "error reply"},
    {EventKind::AnsweringAgain, "answering again"},
    {EventKind::RemoteWriteOutage, "remote write outage"},
    {EventKind::SamplesRefused, "samples refused"},
};

} // namespace

QString eventKindName(EventKind kind)
{
    for (const KindName &entry : Names) {
        if (entry.kind == kind)
            return QLatin1String(entry.name);
    }
    return QString();
}

EventKind eventKindFromName(const QString &name)
{
    for (const KindName &entry : Names) {
        if (name == QLatin1String(entry.name))
            return entry.kind;
    }
    return EventKind::Unknown;
}
