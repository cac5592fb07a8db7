#include "monitor/common/instrument-status.h"

QString instrumentStatusName(InstrumentStatus status)
{
    switch (status) {
    case InstrumentStatus::Online:
        return QStringLiteral("online");
    case InstrumentStatus::Maintenance:
        return QStringLiteral("maintenance");
    case InstrumentStatus::Lost:
        return eventKindName(EventKind::Lost);
    case InstrumentStatus::Refused:
        return eventKindName(EventKind::Refused);
    case InstrumentStatus::NoAnswer:
        return eventKindName(EventKind::NoAnswer);
    case InstrumentStatus::Impossible:
        return QStringLiteral("impossible values");
    }
    return QString();
}

bool statusAfterEvent(EventKind kind, InstrumentStatus *status)
{
    switch (kind) {
    case EventKind::Connected:
    case EventKind::MaintenanceEnded:
    case EventKind::AnsweringAgain:
        *status = InstrumentStatus::Online;
        return true;
    case EventKind::Maintenance:
        *status = InstrumentStatus::Maintenance;
        return true;
    case EventKind::Lost:
        *status = InstrumentStatus::Lost;
        return true;
    case EventKind::Refused:
        *status = InstrumentStatus::Refused;
        return true;
    case EventKind::NoAnswer:
        *status = InstrumentStatus::NoAnswer;
        return true;
    case EventKind::OnlyImpossible:
        *status = InstrumentStatus::Impossible;
        return true;

    default:
        return false;
    }
}
