// What the monitor publishes, built without a broker: the topics and payloads
// that subscribers (scripts, Home Assistant, a facility archive) rely on.

#include "monitor/mqtt/mqtt-payloads.h"
#include "support/test-main.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <limits>

class MqttPayloadsTest : public QObject
{
    Q_OBJECT

private slots:
    void topics()
    {
        QCOMPARE(MqttPayloads::instrumentTopic("frostgauge", "cryo1", "temperature"),
                 QStringLiteral("frostgauge/cryo1/temperature"));
        QCOMPARE(MqttPayloads::instrumentTopic("site/lab2", "cryo1", "alarm/warm"),
                 QStringLiteral("site/lab2/cryo1/alarm/warm"));
        QCOMPARE(MqttPayloads::monitorStatusTopic("frostgauge", "lab1"),
                 QStringLiteral("frostgauge/monitor/lab1/status"));
    }

    void readings_data()
    {
        QTest::addColumn<qint64>("timeMs");
        QTest::addColumn<double>("kelvin");
        QTest::addColumn<qint64>("seq");
        QTest::addColumn<QByteArray>("payload");
        // clang-format off
        QTest::newRow("three decimals, UTC") << qint64(1796882400123) << 4.2134 << qint64(17)
                                             << QByteArray("{\"time\":\"2026-12-10T06:00:00.123Z\",\"kelvin\":4.213,\"seq\":17}");
        QTest::newRow("whole milliseconds") << qint64(1796882400000) << 295.0 << qint64(1)
                                            << QByteArray("{\"time\":\"2026-12-10T06:00:00.000Z\",\"kelvin\":295.000,\"seq\":1}");
        QTest::newRow("millikelvin, a large seq") << qint64(0) << 0.0125 << qint64(9007199254740993)
                                                      << QByteArray("{\"time\":\"1970-01-01T00:00:00.000Z\",\"kelvin\":0.013,\"seq\":9007199254740993}");
        // clang-format on
    }

    void readings()
    {
        QFETCH(qint64, timeMs);
        QFETCH(double, kelvin);
        QFETCH(qint64, seq);
        QFETCH(QByteArray, payload);
        const QByteArray built = MqttPayloads::reading(timeMs, kelvin, seq);
        QCOMPARE(built, payload);
        QJsonParseError error;
        QVERIFY(QJsonDocument::fromJson(built, &error).isObject());
    }

    void info()
    {
        const QByteArray payload = MqttPayloads::info({"NORDA", "VKRHX350", "SN \"7\"", "1.5.2"});
        QCOMPARE(payload,
                 QByteArray("{\"model\":\"VKRHX350\",\"serial_number\":\"SN \\\"7\\\"\",\"version\":\"1.5.2\"}"));
    }

    void alarms()
    {
        const QJsonObject raised = QJsonDocument::fromJson(MqttPayloads::alarm(true, 291.5, 1796882400000)).object();
        QCOMPARE(raised.value("state").toString(), QStringLiteral("raised"));
        QCOMPARE(raised.value("time").toString(), QStringLiteral("2026-12-10T06:00:00.000Z"));
        QCOMPARE(raised.value("value").toDouble(), 291.5);
        QCOMPARE(raised.value("acknowledged"), QJsonValue(false));
        const QJsonObject taken =
            QJsonDocument::fromJson(MqttPayloads::alarm(true, 291.5, 1796882400000, "ana", 1796882460000)).object();
        QCOMPARE(taken.value("acknowledged").toObject().value("by").toString(), QStringLiteral("ana"));
        QCOMPARE(taken.value("acknowledged").toObject().value("time").toString(),
                 QStringLiteral("2026-12-10T06:01:00.000Z"));
        // No reading decided a silence or a loss: the value is null, not NaN (no JSON has NaN).
        const QByteArray silent = MqttPayloads::alarm(false, std::numeric_limits<double>::quiet_NaN(), 0);
        const QJsonObject cleared = QJsonDocument::fromJson(silent).object();
        QCOMPARE(cleared.value("state").toString(), QStringLiteral("cleared"));
        QVERIFY(cleared.value("value").isNull());
        QVERIFY(!silent.contains("nan"));
    }

    // A channel's value as it came, with its unit and a state's word.
    void channelReadings_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("a vacuum") << 1.2e-6 << "mbar"
                                  << ""
                                  << QByteArray("{\"time\":\"2026-12-10T06:00:00.000Z\",\"value\":1.2e-06,"
                                                "\"unit\":\"mbar\",\"seq\":7}");
        QTest::newRow("a state") << 1.0 << ""
                                 << "ON"
                                 << QByteArray("{\"time\":\"2026-12-10T06:00:00.000Z\",\"value\":1,\"state\":\"ON\","
                                               "\"seq\":7}");
        QTest::newRow("a unit with a quote") << 16.25 << "b\"ar"
                                             << ""
                                             << QByteArray("{\"time\":\"2026-12-10T06:00:00.000Z\",\"value\":16.25,"
                                                           "\"unit\":\"b\\\"ar\",\"seq\":7}");
    }

    void channelReadings()
    {
        QFETCH(double, value);
        QFETCH(QString, unit);
        QFETCH(QString, state);
        QFETCH(QByteArray, payload);
        const QByteArray made = MqttPayloads::valueReading(1796882400000, value, unit, state, 7);
        QCOMPARE(made, payload);
        QJsonParseError error;
        QJsonDocument::fromJson(made, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
    }

    void homeAssistantChannels()
    {
        const MqttPayloads::Message gauge = MqttPayloads::homeAssistantChannel(
            "frostgauge", "lab1", "cryo1-gauge:pressure", "cryo1-gauge", "mbar", false);
        QVERIFY2(gauge.topic.startsWith("homeassistant/sensor/lab1_cryo1-gauge_pressure_"), qPrintable(gauge.topic));
        const QJsonObject config = QJsonDocument::fromJson(gauge.payload).object();
        QCOMPARE(config.value("name").toString(), QStringLiteral("cryo1-gauge pressure"));
        QCOMPARE(config.value("state_topic").toString(), QStringLiteral("frostgauge/cryo1-gauge:pressure/value"));
        QCOMPARE(config.value("value_template").toString(), QStringLiteral("{{ value_json.value }}"));
        QCOMPARE(config.value("unit_of_measurement").toString(), QStringLiteral("mbar"));
        QCOMPARE(config.value("device_class").toString(), QStringLiteral("pressure"));
        QCOMPARE(config.value("availability_topic").toString(), QStringLiteral("frostgauge/cryo1-gauge/status"));
        // Torr is no unit of Home Assistant's pressure class: no class, the unit kept.
        const QJsonObject torr =
            QJsonDocument::fromJson(MqttPayloads::homeAssistantChannel("f", "lab1", "g:p", "g", "Torr", false).payload)
                .object();
        QVERIFY(!torr.contains("device_class"));
        QCOMPARE(torr.value("unit_of_measurement").toString(), QStringLiteral("Torr"));
        // A state is text: its word, no unit, no class, no measurement.
        const QJsonObject state =
            QJsonDocument::fromJson(MqttPayloads::homeAssistantChannel("f", "lab1", "c:state", "c", "", true).payload)
                .object();
        QCOMPARE(state.value("value_template").toString(), QStringLiteral("{{ value_json.state }}"));
        QVERIFY(!state.contains("unit_of_measurement") && !state.contains("device_class")
                && !state.contains("state_class"));
    }

    void homeAssistantDiscovery()
    {
        const MqttPayloads::Message sensor = MqttPayloads::homeAssistantSensor("frostgauge", "lab1", "cryo1");
        QCOMPARE(sensor.topic, QStringLiteral("homeassistant/sensor/lab1_cryo1/config"));
        const QJsonObject config = QJsonDocument::fromJson(sensor.payload).object();
        QCOMPARE(config.value("unique_id").toString(), QStringLiteral("lab1_cryo1"));
        QCOMPARE(config.value("name").toString(), QStringLiteral("cryo1 temperature"));
        QCOMPARE(config.value("state_topic").toString(), QStringLiteral("frostgauge/cryo1/temperature"));
        QCOMPARE(config.value("value_template").toString(), QStringLiteral("{{ value_json.kelvin }}"));
        QCOMPARE(config.value("unit_of_measurement").toString(), QStringLiteral("K"));
        QCOMPARE(config.value("device_class").toString(), QStringLiteral("temperature"));
        QCOMPARE(config.value("availability_topic").toString(), QStringLiteral("frostgauge/cryo1/status"));
        QCOMPARE(config.value("payload_available").toString(), QStringLiteral("online"));
        QCOMPARE(config.value("payload_not_available").toString(), QStringLiteral("lost"));
        QVERIFY(config.value("availability_template").toString().contains(QStringLiteral("else 'lost'")));

        // A name Home Assistant cannot take as an object id keeps its own
        // name everywhere else; the id gets _ and a hash of the whole.
        const QString name = QString::fromUtf8("K\xc3\xbchler 1");
        const MqttPayloads::Message utf8 = MqttPayloads::homeAssistantSensor("frostgauge", "lab1", name);
        QVERIFY2(QRegularExpression(QStringLiteral("^homeassistant/sensor/lab1_K_hler_1_[0-9a-f]{8}/config$"))
                     .match(utf8.topic)
                     .hasMatch(),
                 qPrintable(utf8.topic));
        const QJsonObject named = QJsonDocument::fromJson(utf8.payload).object();
        QCOMPARE(named.value("unique_id").toString(), QStringLiteral("lab1_") + name);
        QCOMPARE(named.value("state_topic").toString(),
                 QStringLiteral("frostgauge/") + name + QStringLiteral("/temperature"));
        QVERIFY(MqttPayloads::homeAssistantSensor("frostgauge", "lab1", QString::fromUtf8("K\xc3\xb6hler 1")).topic
                != utf8.topic);
    }
};

FROSTGAUGE_TEST_MAIN(MqttPayloadsTest)
#include "test-mqtt-payloads.moc"
