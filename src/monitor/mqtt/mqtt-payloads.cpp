#include "monitor/mqtt/mqtt-payloads.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

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

Message homeAssistantSensor(const QString &prefix, const QString &clientId, const QString &instrument)
{
    const QString id = clientId + QLatin1Char('_') + instrument;
    // Home Assistant takes an object id of letters, digits, _ and - only: a
    // name with others (a blank, a UTF-8 letter) gets them as _ and a short
    // hash of the whole id, so that two such names stay apart.
    QString objectId = id;
    for (QChar &c : objectId) {
        if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-'))))
            c = QLatin1Char('_');
    }
    if (objectId != id)
        objectId +=
            QLatin1Char('_')
            + QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
    const QJsonObject sensor{
        {"name", instrument + QStringLiteral(" temperature")},
        {"unique_id", id},
        {"state_topic", instrumentTopic(prefix, instrument, QStringLiteral("temperature"))},
        {"value_template", "{{ value_json.kelvin }}"},
        {"unit_of_measurement", "K"},
        {"device_class", "temperature"},
        {"state_class", "measurement"},
        {"availability_topic", instrumentTopic(prefix, instrument, QStringLiteral("status"))},
        // Every status but online (lost, refused, no answer) is unavailable.
        {"availability_template", "{{ 'online' if value == 'online' else 'lost' }}"},
        {"payload_available", "online"},
        {"payload_not_available", "lost"},
    };
    return {QStringLiteral("homeassistant/sensor/%1/config").arg(objectId), compact(sensor)};
}

} // namespace MqttPayloads
