#include "monitor/mqtt/mqtt-payloads.h"

#include "drivers/channel-units.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

namespace {

QString isoUtc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

namespace MqttPayloads {

QString instrumentTopic(const QString &prefix, const QString &instrument, const QString &leaf)
{
    return prefix + QLatin1Char('/') + instrument + QLatin1Char('/') + leaf;
}

QString monitorStatusTopic(const QString &prefix, const QString &clientId)
{
    return prefix + QStringLiteral("/monitor/") + clientId + QStringLiteral("/status");
}

QByteArray reading(qint64 timeMs, double kelvin, qint64 seq)
{
    return QStringLiteral("{\"time\":\"%1\",\"kelvin\":%2,\"seq\":%3}")
        .arg(isoUtc(timeMs))
        .arg(kelvin, 0, 'f', 3)
        .arg(seq)
        .toUtf8();
}

QByteArray valueReading(qint64 timeMs, double value, const QString &unit, const QString &state, qint64 seq)
{
    QByteArray payload = "{\"time\":\"" + isoUtc(timeMs).toUtf8()
                         + "\",\"value\":" + QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    if (!unit.isEmpty())
        payload += ",\"unit\":" + QJsonDocument(QJsonArray{unit}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    if (!state.isEmpty())
        payload += ",\"state\":" + QJsonDocument(QJsonArray{state}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    return payload + ",\"seq\":" + QByteArray::number(seq) + '}';
}

QByteArray info(const InstrumentIdentity &identity)
{
    return compact(
        {{"model", identity.model}, {"serial_number", identity.serialNumber}, {"version", identity.version}});
}

QByteArray alarm(bool raised, double value, qint64 timeMs, const QString &acknowledgedBy, qint64 acknowledgedMs)
{
    QJsonObject object{{"state", raised ? "raised" : "cleared"}, {"time", isoUtc(timeMs)}};
    object.insert(QStringLiteral("value"), std::isfinite(value) ? QJsonValue(value) : QJsonValue());
    if (raised)
        object.insert(QStringLiteral("acknowledged"),
                      acknowledgedBy.isEmpty()
                          ? QJsonValue(false)
                          : QJsonValue(QJsonObject{{"by", acknowledgedBy}, {"time", isoUtc(acknowledgedMs)}}));
    return compact(object);
}

QByteArray note(qint64 timeMs, const QString &text, const QString &author)
{
    return compact({{"time", isoUtc(timeMs)}, {"text", text}, {"author", author}});
}

namespace {

// Home Assistant takes an object id of letters, digits, _ and - only: a name
// with others (a blank, a UTF-8 letter, a channel's ':') gets them as _ and a
// short hash of the whole id, so that two such names stay apart.
QString objectIdOf(const QString &id)
{
    QString objectId = id;
    for (QChar &c : objectId) {
        if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-'))))
            c = QLatin1Char('_');
    }
    if (objectId != id)
        objectId +=
            QLatin1Char('_')
            + QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
    return objectId;
}

void addAvailability(QJsonObject *sensor, const QString &prefix, const QString &instrument)
{
    sensor->insert(QStringLiteral("availability_topic"), instrumentTopic(prefix, instrument, QStringLiteral("status")));
    // Every status but online (lost, refused, no answer) is unavailable.
    sensor->insert(QStringLiteral("availability_template"), "{{ 'online' if value == 'online' else 'lost' }}");
    sensor->insert(QStringLiteral("payload_available"), "online");
    sensor->insert(QStringLiteral("payload_not_available"), "lost");
}

} // namespace

Message homeAssistantSensor(const QString &prefix, const QString &clientId, const QString &instrument)
{
    const QString id = clientId + QLatin1Char('_') + instrument;
    QJsonObject sensor{
        {"name", instrument + QStringLiteral(" temperature")},
        {"unique_id", id},
        {"state_topic", instrumentTopic(prefix, instrument, QStringLiteral("temperature"))},
        {"value_template", "{{ value_json.kelvin }}"},
        {"unit_of_measurement", "K"},
        {"device_class", "temperature"},
        {"state_class", "measurement"},
    };
    addAvailability(&sensor, prefix, instrument);
    return {QStringLiteral("homeassistant/sensor/%1/config").arg(objectIdOf(id)), compact(sensor)};
}

Message homeAssistantChannel(const QString &prefix, const QString &clientId, const QString &series,
                             const QString &instrument, const QString &unit, bool state)
{
    const QString id = clientId + QLatin1Char('_') + series;
    QJsonObject sensor{
        {"name", QString(series).replace(QLatin1Char(':'), QLatin1Char(' '))},
        {"unique_id", id},
        {"state_topic", instrumentTopic(prefix, series, QStringLiteral("value"))},
        {"value_template", state ? "{{ value_json.state }}" : "{{ value_json.value }}"},
    };
    if (!state) {
        sensor.insert(QStringLiteral("state_class"), "measurement");
        if (!unit.isEmpty())
            sensor.insert(QStringLiteral("unit_of_measurement"), unit);
        const ChannelUnit *known = findChannelUnit(unit);
        if (known && *known->deviceClass)
            sensor.insert(QStringLiteral("device_class"), QString::fromLatin1(known->deviceClass));
    }
    addAvailability(&sensor, prefix, instrument);
    return {QStringLiteral("homeassistant/sensor/%1/config").arg(objectIdOf(id)), compact(sensor)};
}

} // namespace MqttPayloads
