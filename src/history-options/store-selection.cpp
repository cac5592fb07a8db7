#include "history-options/store-selection.h"

#include "common/command-output.h"

#include <QFileInfo>

StoreSelection::StoreSelection()
    : m_instrument(QStringLiteral("instrument"), QString(), QStringLiteral("NAME")),
      m_from(QStringLiteral("from"), QString(), QStringLiteral("TIME")),
      m_to(QStringLiteral("to"), QString(), QStringLiteral("TIME"))
{}

void StoreSelection::addOptionsTo(QCommandLineParser &parser) const
{
    parser.addOptions({m_instrument, m_from, m_to});
}

int StoreSelection::readTimes(const QCommandLineParser &parser)
{
    fromGiven = parser.isSet(m_from);
    toGiven = parser.isSet(m_to);
    for (const auto &bound : {qMakePair(&m_from, &fromMs), qMakePair(&m_to, &toMs)}) {
        if (parser.isSet(*bound.first) && !parseHistoryTime(parser.value(*bound.first), bound.second))
            return fail(
                QStringLiteral("--%1 takes %2").arg(bound.first->names().constFirst(), QLatin1String(HistoryTimeForms)),
                Usage);
    }
    return Success;
}

int StoreSelection::open(const QCommandLineParser &parser, const QString &path)
{
    // A path that names no store file is a wrong argument; a file that is
    // there but cannot be read is a failure (it may be repaired, or read by another user).
    if (!store.openForReading(path))
        return fail(store.error(), QFileInfo(path).isFile() ? Failure : Usage);
    instrument = parser.value(m_instrument);
    if (!instrument.isEmpty() && !store.instruments().contains(instrument))
        return fail(QStringLiteral("%1 holds no instrument %2 (it has: %3)")
                        .arg(path, instrument, store.instruments().join(QStringLiteral(", "))),
                    Usage);
    return Success;
}
