#include "settings-file.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

void writeWholeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        qWarning("frostgauge-sim: cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
}

void loadSimulatedSettings(const QString &path, SimulatedSettings *settings)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    settings->sensor = state.value("cal").toString(settings->sensor);
    settings->rs232Period = state.value("rs232:period").toInt(settings->rs232Period);
    settings->rs485Period = state.value("rs485:period").toInt(settings->rs485Period);
    for (int relay = 0; relay < 2; ++relay) {
        const QString prefix = QStringLiteral("relay%1:").arg(relay + 1);
        settings->relayDefault[relay] = state.value(prefix + "default").toInt(settings->relayDefault[relay]);
        settings->relayTemperature[relay] = state.value(prefix + "temp").toDouble(settings->relayTemperature[relay]);
        settings->relayHysteresis[relay] = state.value(prefix + "hyst").toDouble(settings->relayHysteresis[relay]);
    }
    settings->displayPeriod = state.value("display:period").toInt(settings->displayPeriod);
    settings->curveRecord = QByteArray::fromHex(state.value("curve").toString().toLatin1());
}

void saveSimulatedSettings(const QString &path, const SimulatedSettings &settings)
{
    QJsonObject state;
    state.insert("cal", settings.sensor);
    state.insert("rs232:period", settings.rs232Period);
    state.insert("rs485:period", settings.rs485Period);
    for (int relay = 0; relay < 2; ++relay) {
        const QString prefix = QStringLiteral("relay%1:").arg(relay + 1);
        state.insert(prefix + "default", settings.relayDefault[relay]);
        state.insert(prefix + "temp", settings.relayTemperature[relay]);
        state.insert(prefix + "hyst", settings.relayHysteresis[relay]);
    }
    state.insert("display:period", settings.displayPeriod);
    state.insert("curve", QString::fromLatin1(settings.curveRecord.toHex()));
    writeWholeFile(path, QJsonDocument(state).toJson());
}
