#include "history/history-time.h"

#include <QDateTime>
#include <QRegularExpression>

namespace {

// Milliseconds in one of a relative time's units, by its letter or word; 0 for none.
qint64 unitMs(const QString &unit)
{
    const QString word = unit.toLower();
    const auto is = [&](const char *letter, const char *name) {
        return word == QLatin1String(letter) || word == QLatin1String(name)
               || word == QLatin1String(name) + QLatin1Char('s');
    };
    if (is("s", "second"))
        return 1000;
    if (is("m", "minute"))
        return 60 * 1000;
    if (is("h", "hour"))
        return 3600 * 1000;
    if (is("d", "day"))
        return 24 * 3600 * 1000LL;
    if (is("w", "week"))
        return 7 * 24 * 3600 * 1000LL;
    return 0;
}

// "now", "-10m", "2 hours ago": false for anything else.
bool relativeTime(const QString &text, qint64 nowMs, qint64 *ms)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("now"), Qt::CaseInsensitive) == 0) {
        *ms = nowMs;
        return true;
    }
    static const QRegularExpression shortForm(QStringLiteral("^-(\\d{1,9})\\s*([a-zA-Z]+)$"));
    static const QRegularExpression longForm(QStringLiteral("^(\\d{1,9})\\s+([a-zA-Z]+)\\s+ago$"),
                                             QRegularExpression::CaseInsensitiveOption);
    QRegularExpressionMatch match = shortForm.match(trimmed);
    if (!match.hasMatch())
        match = longForm.match(trimmed);
    if (!match.hasMatch())
        return false;
    const qint64 unit = unitMs(match.captured(2));
    if (unit == 0)
        return false;
    *ms = nowMs - match.captured(1).toLongLong() * unit;
    return true;
}

} // namespace

bool parseHistoryTime(const QString &text, qint64 *ms, qint64 nowMs)
{
    if (relativeTime(text, nowMs >= 0 ? nowMs : QDateTime::currentMSecsSinceEpoch(), ms))
        return *ms >= EarliestHistoryMs && *ms <= LatestHistoryMs;
    bool isNumber = false;
    const qint64 number = text.toLongLong(&isNumber);
    if (isNumber) {
        *ms = number;
        return number >= EarliestHistoryMs && number <= LatestHistoryMs;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return false;
    *ms = time.toMSecsSinceEpoch();
    return *ms >= EarliestHistoryMs && *ms <= LatestHistoryMs;
}

QString localIsoTime(qint64 ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}
