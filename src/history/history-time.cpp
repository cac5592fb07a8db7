#include "history/history-time.h"

#include <QDateTime>

bool parseHistoryTime(const QString &text, qint64 *ms)
{
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

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}
