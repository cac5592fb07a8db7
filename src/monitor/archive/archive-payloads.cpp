#include "monitor/archive/archive-payloads.h"

#include "drivers/channel-units.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

namespace ArchivePayloads {

namespace {

constexpr qint64 Year2000Ms = 946684800000;
constexpr qint64 DayMs = 24 * 3600 * 1000;
constexpr double HottestKelvin = 2000;

// A time as monitors write it (2026-12-10T06:53:26.188Z), read without
// QDateTime's general parser, which costs more than the rest of a reading;
// any other ISO 8601 form goes through that parser.
bool utcMs(const QString &text, qint64 *ms)
{
    const auto digits = [&](int from, int count, int *value) {
        *value = 0;
        for (int i = from; i < from + count; ++i) {
            const QChar c = text.at(i);
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
            *value = *value * 10 + (c.unicode() - '0');
        }
        return true;
    };
    int year, month, day, hour, minute, second, milli;
    if (text.size() == 24 && text.at(4) == QLatin1Char('-') && text.at(7) == QLatin1Char('-')
        && text.at(10) == QLatin1Char('T') && text.at(13) == QLatin1Char(':') && text.at(16) == QLatin1Char(':')
        && text.at(19) == QLatin1Char('.') && text.at(23) == QLatin1Char('Z') && digits(0, 4, &year)
        && digits(5, 2, &month) && digits(8, 2, &day) && digits(11, 2, &hour) && digits(14, 2, &minute)
        && digits(17, 2, &second) && digits(20, 3, &milli)) {
        const QDate date(year, month, day);
        if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
            return false;
        *ms = (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000 + hour * 3600000 + minute * 60000
              + second * 1000 + milli;
        return true;
    }
    const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!when.isValid())
        return false;
    *ms = when.toMSecsSinceEpoch();
    return true;
}

bool object(const QByteArray &payload, int maxBytes, QJsonObject *result, Problem *problem)
{
    if (payload.size() > maxBytes) {
        *problem = Problem::TooLarge;
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *problem = Problem::NotJson;
        return false;
    }
    *result = document.object();
    return true;
}

// A whole number held exactly by a JSON number.
bool whole(const QJsonValue &value, qint64 *result)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) > double(HighestSeq))
        return false;
    *result = qint64(number);
    return true;
}

Problem checkSeq(const QJsonValue &value, qint64 *seq)
{
    if (!value.isDouble())
        return Problem::BadField;
    if (!whole(value, seq) || *seq < 1)
        return Problem::BadSeq;
    return Problem::None;
}

Problem checkReading(qint64 timeMs, const QJsonValue &kelvin, qint64 nowMs, RemoteReading *reading,
                     bool isKelvin = true)
{
    const Problem bad = isKelvin ? Problem::BadKelvin : Problem::BadValue;
    if (!kelvin.isDouble())
        return kelvin.isNull() ? bad : Problem::BadField;
    const double value = kelvin.toDouble();
    if (!std::isfinite(value) || (isKelvin && (value <= 0 || value > HottestKelvin)))
        return bad;
    if (timeMs < Year2000Ms || timeMs > nowMs + DayMs)
        return Problem::BadTime;
    reading->timeMs = timeMs;
    reading->kelvin = value;
    return Problem::None;
}

} // namespace

QString problemText(Problem problem)
{
    switch (problem) {
    case Problem::None:
        return QString();
    case Problem::NotJson:
        return QStringLiteral("not a JSON object");
    case Problem::BadField:
        return QStringLiteral("a field missing or of the wrong type");
    case Problem::TooLarge:
        return QStringLiteral("too large");
    case Problem::BadKelvin:
        return QStringLiteral("a temperature no sensor reports (not a number, infinite, at or below 0 K or above "
                              "2000 K)");
    case Problem::BadTime:
        return QStringLiteral("a time before 2000 or more than a day ahead of this clock");
    case Problem::BadSeq:
        return QStringLiteral("a sequence number that is not a whole number from 1 to 2^53-1");
    case Problem::BadValue:
        return QStringLiteral("a channel's value that is not a finite number");
    case Problem::BadUnit:
        return QStringLiteral("a unit this monitor does not know");
    }
    return QString();
}

Problem parseReading(const QByteArray &payload, qint64 nowMs, RemoteReading *reading)
{
    QJsonObject fields;
    Problem problem = Problem::None;
    if (!object(payload, MaxReadingBytes, &fields, &problem))
        return problem;
    const QJsonValue time = fields.value(QLatin1String("time"));
    if (!time.isString())
        return Problem::BadField;
    qint64 timeMs = 0;
    if (!utcMs(time.toString(), &timeMs))
        return Problem::BadTime;
    if ((problem = checkSeq(fields.value(QLatin1String("seq")), &reading->seq)) != Problem::None)
        return problem;
    return checkReading(timeMs, fields.value(QLatin1String("kelvin")), nowMs, reading);
}

Problem parseValueReading(const QByteArray &payload, qint64 nowMs, RemoteReading *reading, QString *unit)
{
    QJsonObject fields;
    Problem problem = Problem::None;
    if (!object(payload, MaxReadingBytes, &fields, &problem))
        return problem;
    const QJsonValue time = fields.value(QLatin1String("time"));
    const QJsonValue unitField = fields.value(QLatin1String("unit"));
    if (!time.isString() || !(unitField.isString() || unitField.isUndefined()))
        return Problem::BadField;
    *unit = unitField.toString();
    if (!findChannelUnit(*unit))
        return Problem::BadUnit;
    qint64 timeMs = 0;
    if (!utcMs(time.toString(), &timeMs))
        return Problem::BadTime;
    if ((problem = checkSeq(fields.value(QLatin1String("seq")), &reading->seq)) != Problem::None)
        return problem;
    return checkReading(timeMs, fields.value(QLatin1String("value")), nowMs, reading, false);
}

QByteArray replayRequest(const ReplayRequest &request)
{
    return QJsonDocument(QJsonObject{{"instrument", request.instrument},
                                     {"from_seq", double(request.fromSeq)},
                                     {"to_seq", double(request.toSeq)}})
        .toJson(QJsonDocument::Compact);
}

Problem parseReplayRequest(const QByteArray &payload, ReplayRequest *request)
{
    QJsonObject fields;
    Problem problem = Problem::None;
    if (!object(payload, MaxReadingBytes, &fields, &problem))
        return problem;
    const QJsonValue instrument = fields.value(QLatin1String("instrument"));
    if (!instrument.isString())
        return Problem::BadField;
    request->instrument = instrument.toString();
    if ((problem = checkSeq(fields.value(QLatin1String("from_seq")), &request->fromSeq)) != Problem::None
        || (problem = checkSeq(fields.value(QLatin1String("to_seq")), &request->toSeq)) != Problem::None)
        return problem;
    return request->toSeq < request->fromSeq ? Problem::BadSeq : Problem::None;
}

QByteArray replayChunk(const QString &instrument, const QVector<RemoteReading> &readings)
{
    // Written by hand: a chunk is the one large message, and the kelvin are
    // written in full (the shortest text that reads back as the same number).
    QByteArray text = "{\"instrument\":";
    text += QJsonDocument(QJsonArray{instrument}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    text += ",\"readings\":[";
    for (int i = 0; i < readings.size(); ++i) {
        const RemoteReading &reading = readings.at(i);
        if (i)
            text += ',';
        text += '[' + QByteArray::number(reading.seq) + ',' + QByteArray::number(reading.timeMs) + ','
                + QByteArray::number(reading.kelvin, 'g', QLocale::FloatingPointShortest) + ']';
    }
    text += "]}";
    return text;
}

QByteArray replayEnd(const ReplayRequest &answered, const QVector<SeqRange> &lost, qint64 lastSeq)
{
    QJsonArray ranges;
    for (const SeqRange &range : lost)
        ranges.append(QJsonArray{double(range.first), double(range.last)});
    return QJsonDocument(QJsonObject{{"instrument", answered.instrument},
                                     {"from_seq", double(answered.fromSeq)},
                                     {"to_seq", double(answered.toSeq)},
                                     {"done", true},
                                     {"lost", ranges},
                                     {"last_seq", double(lastSeq)}})
        .toJson(QJsonDocument::Compact);
}

Problem parseReplayAnswer(const QByteArray &payload, qint64 nowMs, ReplayAnswer *answer,
                          const std::function<bool(const QString &instrument)> &kelvin)
{
    QJsonObject fields;
    Problem problem = Problem::None;
    if (!object(payload, MaxAnswerBytes, &fields, &problem))
        return problem;
    const QJsonValue instrument = fields.value(QLatin1String("instrument"));
    if (!instrument.isString())
        return Problem::BadField;
    answer->instrument = instrument.toString();
    if (fields.contains(QLatin1String("done"))) {
        if (fields.value(QLatin1String("done")) != QJsonValue(true))
            return Problem::BadField;
        answer->done = true;
        answer->answered.instrument = answer->instrument;
        if ((problem = checkSeq(fields.value(QLatin1String("from_seq")), &answer->answered.fromSeq)) != Problem::None
            || (problem = checkSeq(fields.value(QLatin1String("to_seq")), &answer->answered.toSeq)) != Problem::None)
            return problem;
        const QJsonValue last = fields.value(QLatin1String("last_seq"));
        if (!whole(last, &answer->lastSeq) || answer->lastSeq < 0)
            return last.isDouble() ? Problem::BadSeq : Problem::BadField;
        const QJsonValue lost = fields.value(QLatin1String("lost"));
        if (!lost.isArray())
            return Problem::BadField;
        for (const QJsonValue &range : lost.toArray()) {
            const QJsonArray pair = range.toArray();
            SeqRange seqs;
            if (pair.size() != 2)
                return Problem::BadField;
            if (checkSeq(pair.at(0), &seqs.first) != Problem::None || checkSeq(pair.at(1), &seqs.last) != Problem::None
                || seqs.last < seqs.first)
                return Problem::BadSeq;
            answer->lost.append(seqs);
        }
        return Problem::None;
    }
    const QJsonValue readings = fields.value(QLatin1String("readings"));
    if (!readings.isArray())
        return Problem::BadField;
    const QJsonArray rows = readings.toArray();
    const bool inKelvin = !kelvin || kelvin(answer->instrument);
    answer->readings.reserve(rows.size());
    for (const QJsonValue &row : rows) {
        const QJsonArray values = row.toArray();
        RemoteReading reading;
        qint64 timeMs = 0;
        Problem bad = Problem::None;
        if (values.size() != 3 || !values.at(1).isDouble())
            bad = Problem::BadField;
        else if (!whole(values.at(1), &timeMs))
            bad = Problem::BadTime;
        if (bad == Problem::None)
            bad = checkSeq(values.at(0), &reading.seq);
        if (bad == Problem::None)
            bad = checkReading(timeMs, values.at(2), nowMs, &reading, inKelvin);
        if (bad != Problem::None) {
            if (answer->refused++ == 0)
                answer->refusedProblem = bad;
            continue;
        }
        answer->readings.append(reading);
    }
    return Problem::None;
}

} // namespace ArchivePayloads
