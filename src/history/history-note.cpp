#include "history/history-note.h"

#include "history/history-time.h"

#include <pwd.h>
#include <unistd.h>

QString noteProblem(const QString &text)
{
    if (text.trimmed().isEmpty())
        return QStringLiteral("a note needs some text");
    // Text read from bytes that were not UTF-8 carries replacement characters.
    if (text.contains(QChar::ReplacementCharacter))
        return QStringLiteral("a note is UTF-8 text; this is not");
    for (const QChar c : text) {
        if ((c.category() == QChar::Other_Control && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
            || (c.category() == QChar::Other_Format && c.unicode() != 0x200d))
            return QStringLiteral("a note is text: it may not hold control characters (U+%1)")
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    const int bytes = text.toUtf8().size();
    if (bytes > MaxNoteBytes)
        return QStringLiteral("a note holds at most %1 bytes of UTF-8; this one has %2").arg(MaxNoteBytes).arg(bytes);
    return QString();
}

QString noteTimeProblem(qint64 timeMs, qint64 nowMs)
{
    if (timeMs < EarliestHistoryMs || timeMs > LatestHistoryMs)
        return QStringLiteral("a note's time lies from 1970 to 9999");
    if (timeMs > nowMs + 60000)
        return QStringLiteral("a note's time may not lie ahead of now (%1 is)").arg(isoTime(timeMs));
    return QString();
}

QString currentUserName()
{
    const passwd *account = getpwuid(geteuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QStringLiteral("uid %1").arg(geteuid());
}
