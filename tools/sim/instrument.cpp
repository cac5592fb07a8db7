#include "instrument.h"

#include "device/compat-ids.h"
#include "device/wire-values.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>
#include <QtEndian>

#include <cmath>
#include <cstdio>

namespace {

const int BootstrapWindowMs = 200;
const int MaxCommandLength = 1024;

// Sensor voltage of a silicon diode against temperature (kelvin, volts): the
// simulated sensor that a custom curve is read against.
const double diodeCurve[][2] = {
    {1.4, 1.644},  {4.2, 1.5696}, {10, 1.4212},  {20, 1.2134},  {30, 1.1072},  {50, 1.0716}, {77, 1.0253},
    {100, 0.9755}, {150, 0.8683}, {200, 0.7555}, {250, 0.6382}, {300, 0.5185}, {400, 0.28},
};

double diodeVoltage(double kelvin)
{
    const int n = int(sizeof diodeCurve / sizeof diodeCurve[0]);
    if (kelvin <= diodeCurve[0][0])
        return diodeCurve[0][1];
    for (int i = 1; i < n; ++i) {
        if (kelvin <= diodeCurve[i][0]) {
            const double f = (kelvin - diodeCurve[i - 1][0]) / (diodeCurve[i][0] - diodeCurve[i - 1][0]);
            return diodeCurve[i - 1][1] + f * (diodeCurve[i][1] - diodeCurve[i - 1][1]);
        }
    }
    return diodeCurve[n - 1][1];
}

bool parseHexBytes(const QString &hex, QByteArray *bytes)
{
    static const QRegularExpression hexDigits(QStringLiteral("^([0-9a-fA-F]{2})*$"));
    if (!hexDigits.match(hex).hasMatch())
        return false;
    *bytes = QByteArray::fromHex(hex.toLatin1());
    return true;
}

} // namespace

namespace {
// A test that reads the file must not take a half-written or missing one for the truth.
void writeWhole(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        qWarning("frostgauge-sim: cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
}
} // namespace

Instrument::Instrument(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_uptime.start();
    m_temperatureTimer = new QTimer(this);
    connect(m_temperatureTimer, &QTimer::timeout, this, &Instrument::emitTemperature);
    m_bootstrapTimer = new QTimer(this);
    m_bootstrapTimer->setSingleShot(true);
    connect(m_bootstrapTimer, &QTimer::timeout, this, &Instrument::enterApplication);
    loadState();
    updateTemperatureTimer();
}

void Instrument::receive(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        if (byte == '\x03') {
            // A break: in the bootstrap window it keeps the management firmware,
            // otherwise it clears a half-received command.
            if (m_mode == Mode::Bootstrap && !m_options.stayInApplication) {
                m_bootstrapTimer->stop();
                m_mode = Mode::Management;
                reply(QStringLiteral("*MGMT VKRHX350-BS ready"));
            }
            m_input.clear();
        } else if (byte == '\n' || byte == '\r') {
            if (m_input.isEmpty())
                continue;
            const QByteArray line = m_input;
            m_input.clear();
            ++m_linesReceived;
            if (m_options.hangupAfter > 0 && m_linesReceived >= m_options.hangupAfter) {
                emit hangUpRequested();
                return;
            }
            handleLine(QString::fromUtf8(line));
        } else if (m_input.size() < MaxCommandLength) {
            m_input.append(byte);
        }
    }
}

void Instrument::handleLine(const QString &line)
{
    switch (m_mode) {
    case Mode::Application:
        handleApplication(line);
        break;
    case Mode::Management:
        handleManagement(line);
        break;
    case Mode::Bootstrap:
        break; // nothing listens while the bootstrap waits for its break
    }
}

void Instrument::reply(const QString &line)
{
    if (m_options.garbage && QRandomGenerator::global()->bounded(3) == 0)
        sendGarbage();
    emit send(line.toUtf8() + '\n');
}

void Instrument::sendGarbage()
{
    // Never a recognised prefix and never " = ", so the tool must only skip it.
    QRandomGenerator *random = QRandomGenerator::global();
    QByteArray junk("#");
    switch (random->bounded(3)) {
    case 0:
        for (int i = 0, n = 20 + random->bounded(60); i < n; ++i)
            junk.append(char(' ' + 1 + random->bounded(28))); // '!' to '<'
        break;
    case 1:
        junk.append(QByteArray("\0\0nul\0bytes\0", 12));
        break;
    default:
        junk.append(QByteArray(6000, 'x'));
        break;
    }
    emit send(junk + '\n');
}

void Instrument::error(const QString &what)
{
    QString text = what;
    text.replace(QLatin1Char('='), QLatin1Char(':'));
    reply(QStringLiteral("!ERR ") + text);
}

QString Instrument::identification() const
{
    const bool management = m_mode == Mode::Management;
    return QStringLiteral("NORDA,%1,%2,%3")
        .arg(management ? QStringLiteral("VKRHX350-BS") : QStringLiteral("VKRHX350"), m_options.serialNumber,
             management ? m_options.bootVersion : m_options.version);
}

QString Instrument::compatLine() const
{
    const QByteArray id =
        m_options.revision == 2 ? compatIdBytes(uuid_compat_stm32g070kb_r2) : compatIdBytes(uuid_compat_stm32g071kb_r1);
    return QStringLiteral("*COMPAT = ") + QString::fromLatin1(id.toHex());
}

bool Instrument::handleCommon(const QString &line, bool management)
{
    const QString &version = management ? m_options.bootVersion : m_options.version;
    if (line == QLatin1String("*idn?") || line == QLatin1String("*IDN?")) {
        reply(identification());
    } else if (line == QLatin1String("@00")) {
        if (packVersion(version) >= 0x01040000)
            reply(compatLine());
        else
            error(QStringLiteral("unknown command: ") + line);
    } else if (line == QLatin1String(":system:reset")) {
        startReset();
    } else {
        return false;
    }
    return true;
}

// The simulator spells the commands and keys out itself rather than using the
// program's settings table: it is an independent check of what goes on the wire.
void Instrument::handleApplication(const QString &line)
{
    if (handleCommon(line, false))
        return;

    static const QRegularExpression setCommand(QStringLiteral("^(:[a-z0-9:-]+)\\s+(.*)$"));
    const bool voltQueries = packVersion(m_options.version) > 0x0104FFFF;

    if (line == QLatin1String(":cal?")) {
        reply(QStringLiteral("cal = ") + m_sensor);
    } else if (line == QLatin1String(":rs232:period?")) {
        reply(QStringLiteral("rs232:period = %1").arg(m_rs232Period));
    } else if (line == QLatin1String(":rs485:period?")) {
        reply(QStringLiteral("rs485:period = %1").arg(m_rs485Period));
    } else if (line == QLatin1String(":relay1:default?") || line == QLatin1String(":relay2:default?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QStringLiteral("relay%1:default = %2").arg(relay + 1).arg(m_relayDefault[relay]));
    } else if (line == QLatin1String(":relay1:temp?") || line == QLatin1String(":relay2:temp?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QString::asprintf("relay%d:temp = %.3f", relay + 1, m_relayTemperature[relay]));
    } else if (line == QLatin1String(":relay1:hyst?") || line == QLatin1String(":relay2:hyst?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QString::asprintf("relay%d:hyst = %.3f", relay + 1, m_relayHysteresis[relay]));
    } else if (line == QLatin1String(":display:period?")) {
        reply(QStringLiteral("display:period = %1").arg(m_displayPeriod));
    } else if (line == QLatin1String(":save")) {
        saveState();
    } else if (line == QLatin1String(":volt:unc?") && voltQueries) {
        reply(QStringLiteral("Vunc = %1").arg(qRound64(uncalibratedVolts() * 1e6)));
    } else if (line == QLatin1String(":volt:raw?") && voltQueries) {
        reply(QStringLiteral("Vraw = %1").arg(qRound64(uncalibratedVolts() * 1e6)));
    } else if (line == QLatin1String(":volt:cor?") && voltQueries) {
        const double reading = uncalibratedVolts();
        if (m_adcSlopeFixed == 0) {
            reply(QStringLiteral("Vcor = %1 U").arg(qRound64(reading * 1e6)));
        } else {
            const double slope = m_adcSlopeFixed / 16777216.0;
            const double volts = slope * (reading + m_adcOffsetMicrovolts / 1e6);
            reply(QStringLiteral("Vcor = %1 C").arg(qRound64(volts * 1e6)));
        }
    } else if (line == QLatin1String(":cal:erase")) {
        m_curveRecord.clear();
        m_curveErased = true;
        reply(QStringLiteral("*cal-erase-done"));
    } else {
        const QRegularExpressionMatch match = setCommand.match(line);
        const QString command = match.captured(1);
        const QStringList args = match.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool ok = false;
        if (!match.hasMatch() || args.isEmpty()) {
            error(QStringLiteral("unknown command: ") + line);
        } else if (command == QLatin1String(":cal") && args.size() == 1) {
            static const QStringList sensors = {"vkr", "dt-400", "dt-670", "asc", "user"};
            if (sensors.contains(args.at(0)))
                m_sensor = args.at(0);
            else
                error(QStringLiteral("unknown sensor: ") + args.at(0));
        } else if ((command == QLatin1String(":relay1:temp") || command == QLatin1String(":relay2:temp")
                    || command == QLatin1String(":relay1:hyst") || command == QLatin1String(":relay2:hyst"))
                   && args.size() == 1) {
            const double value = args.at(0).toDouble(&ok);
            const int relay = command.at(6).digitValue() - 1;
            if (!ok || !(value > 0 && value <= 1000))
                error(QStringLiteral("value out of range: ") + line);
            else if (command.endsWith(QLatin1String("temp")))
                m_relayTemperature[relay] = value;
            else
                m_relayHysteresis[relay] = value;
        } else if ((command == QLatin1String(":relay1:default") || command == QLatin1String(":relay2:default"))
                   && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || (value != 0 && value != 1))
                error(QStringLiteral("value out of range: ") + line);
            else
                m_relayDefault[command.at(6).digitValue() - 1] = value;
        } else if ((command == QLatin1String(":rs232:period") || command == QLatin1String(":rs485:period"))
                   && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || (value != 0 && (value < 10 || value > 60000))) {
                error(QStringLiteral("value out of range: ") + line);
            } else if (command == QLatin1String(":rs232:period")) {
                m_rs232Period = value;
                updateTemperatureTimer();
            } else {
                m_rs485Period = value;
            }
        } else if (command == QLatin1String(":display:period") && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || value < 100 || value > 10000)
                error(QStringLiteral("value out of range: ") + line);
            else
                m_displayPeriod = value;
        } else if (command == QLatin1String(":volt:cal") && args.size() == 2) {
            bool slopeOk = false;
            const uint offset = args.at(0).toUInt(&ok, 16);
            const uint slope = args.at(1).toUInt(&slopeOk, 16);
            if (!ok || !slopeOk || args.at(0).size() != 8 || args.at(1).size() != 8) {
                error(QStringLiteral("bad calibration: ") + line);
            } else {
                m_adcOffsetMicrovolts = qint32(offset);
                m_adcSlopeFixed = qint32(slope);
            }
        } else if (command == QLatin1String(":cal:write") && args.size() == 2) {
            const int offset = args.at(0).toInt(&ok, 16);
            QByteArray data;
            if (!m_curveErased)
                error(QStringLiteral("write before erase"));
            else if (!ok || offset != m_curveRecord.size())
                error(QStringLiteral("write at unexpected offset: ") + args.at(0));
            else if (!parseHexBytes(args.at(1), &data) || data.isEmpty() || data.size() > 48)
                error(QStringLiteral("bad data"));
            else {
                m_curveRecord.append(data);
                decodeCurve();
                if (acknowledgeWrite())
                    reply(QStringLiteral("*cal-write-done"));
            }
        } else if (command == QLatin1String(":sim:adc-input") && args.size() == 1) {
            // Not the instrument's: stands in for connecting another reference.
            const double value = args.at(0).toDouble(&ok);
            if (ok)
                m_options.adcInput = value;
        } else {
            error(QStringLiteral("unknown command: ") + line);
        }
    }
}

void Instrument::handleManagement(const QString &line)
{
    if (handleCommon(line, true))
        return;
    const bool legacy = packVersion(m_options.bootVersion) < 0x01040000;
    static const QRegularExpression writeCommand(QStringLiteral("^(@03|flash write) ([0-9a-fA-F]+) ([0-9a-fA-F]*)$"));

    if (line == QLatin1String(legacy ? "flash erase" : "@02")) {
        m_flash.clear();
        m_flashErased = true;
        dumpFlash();
        reply(QStringLiteral("*ERASE_OK"));
    } else if (line == QLatin1String("boot")) {
        dumpFlash();
        enterApplication();
    } else {
        const QRegularExpressionMatch match = writeCommand.match(line);
        if (!match.hasMatch() || (match.captured(1) == QLatin1String("@03")) == legacy) {
            error(QStringLiteral("unknown command: ") + line.left(40));
            return;
        }
        bool ok = false;
        const int offset = match.captured(2).toInt(&ok, 16);
        QByteArray data;
        if (!m_flashErased)
            error(QStringLiteral("write before erase"));
        else if (!ok || match.captured(2).size() < 6 || offset != m_flash.size())
            error(QStringLiteral("write at unexpected offset: ") + match.captured(2));
        else if (!parseHexBytes(match.captured(3), &data) || data.isEmpty() || data.size() > 112)
            error(QStringLiteral("bad data"));
        else {
            m_flash.append(data);
            if (acknowledgeWrite())
                reply(QStringLiteral("*WRITE_OK"));
        }
    }
}

bool Instrument::acknowledgeWrite()
{
    ++m_writesSeen;
    return m_writesSeen != m_options.dropAck;
}

void Instrument::startReset()
{
    m_temperatureTimer->stop();
    m_mode = Mode::Bootstrap;
    reply(QStringLiteral("*RESET VKRHX350 restarting"));
    reply(QStringLiteral("*BOOTSTRAP VKRHX350-BS %1").arg(m_options.bootVersion));
    m_bootstrapTimer->start(BootstrapWindowMs);
}

void Instrument::enterApplication()
{
    m_mode = Mode::Application;
    reply(QStringLiteral("*APP VKRHX350 %1").arg(m_options.version));
    updateTemperatureTimer();
}

void Instrument::updateTemperatureTimer()
{
    if (m_mode == Mode::Application && m_rs232Period > 0)
        m_temperatureTimer->start(m_rs232Period);
    else
        m_temperatureTimer->stop();
}

double Instrument::trueTemperature() const
{
    // A cool-down from room temperature toward liquid helium.
    const double seconds = m_uptime.elapsed() / 1000.0;
    const double noise = (QRandomGenerator::global()->generateDouble() - 0.5) * 0.01;
    return 4.2 + (295.0 - 4.2) * std::exp(-seconds / 120.0) + noise;
}

double Instrument::reportedTemperature() const
{
    const double kelvin = trueTemperature();
    if (m_sensor != QLatin1String("user") || m_curveVoltages.size() < 2)
        return kelvin;
    // The custom curve turns the sensor's voltage back into a temperature.
    const double volts = diodeVoltage(kelvin);
    double best = m_curveTemperatures.first();
    for (int i = 1; i < m_curveVoltages.size(); ++i) {
        const double v0 = m_curveVoltages.at(i - 1), v1 = m_curveVoltages.at(i);
        if ((volts - v0) * (volts - v1) <= 0 && v0 != v1) {
            const double f = (volts - v0) / (v1 - v0);
            return m_curveTemperatures.at(i - 1) + f * (m_curveTemperatures.at(i) - m_curveTemperatures.at(i - 1));
        }
        if (std::fabs(v1 - volts) < std::fabs(diodeVoltage(best) - volts))
            best = m_curveTemperatures.at(i);
    }
    return best;
}

void Instrument::emitTemperature()
{
    reply(QString::asprintf("*T = %.3f K", reportedTemperature()));
    ++m_temperaturesSent;
}

double Instrument::uncalibratedVolts() const
{
    // The simulated ADC reads low and with an offset, so calibration matters.
    return m_options.adcInput / 1.2 - 0.01;
}

void Instrument::decodeCurve()
{
    if (m_curveRecord.size() < 24)
        return;
    const char *bytes = m_curveRecord.constData();
    if (qFromLittleEndian<qint32>(bytes) != 0x05DE41D4)
        return;
    const qint32 count = qFromLittleEndian<qint32>(bytes + 4);
    if (count < 0 || m_curveRecord.size() < 24 + 8LL * count)
        return;
    const QByteArray name = m_curveRecord.mid(8, 16);
    m_curveName = QString::fromUtf8(name.constData(), name.size()).remove(QChar(0));
    m_curveTemperatures.clear();
    m_curveVoltages.clear();
    for (int i = 0; i < count; ++i) {
        m_curveTemperatures.append(qFromLittleEndian<qint32>(bytes + 24 + 8 * i) / 1000.0);
        m_curveVoltages.append(qFromLittleEndian<qint32>(bytes + 28 + 8 * i) / 1e6);
    }
    if (m_curveRecord.size() == 24 + 8 * count)
        fprintf(stderr, "frostgauge-sim: custom curve \"%s\", %d points\n", qPrintable(m_curveName), count);
}

void Instrument::loadState()
{
    if (m_options.statePath.isEmpty())
        return;
    QFile file(m_options.statePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    m_sensor = state.value("cal").toString(m_sensor);
    m_rs232Period = state.value("rs232:period").toInt(m_rs232Period);
    m_rs485Period = state.value("rs485:period").toInt(m_rs485Period);
    for (int relay = 0; relay < 2; ++relay) {
        const QString prefix = QStringLiteral("relay%1:").arg(relay + 1);
        m_relayDefault[relay] = state.value(prefix + "default").toInt(m_relayDefault[relay]);
        m_relayTemperature[relay] = state.value(prefix + "temp").toDouble(m_relayTemperature[relay]);
        m_relayHysteresis[relay] = state.value(prefix + "hyst").toDouble(m_relayHysteresis[relay]);
    }
    m_displayPeriod = state.value("display:period").toInt(m_displayPeriod);
    m_curveRecord = QByteArray::fromHex(state.value("curve").toString().toLatin1());
    m_curveErased = !m_curveRecord.isEmpty();
    decodeCurve();
}

void Instrument::saveState() const
{
    if (m_options.statePath.isEmpty())
        return;
    QJsonObject state;
    state.insert("cal", m_sensor);
    state.insert("rs232:period", m_rs232Period);
    state.insert("rs485:period", m_rs485Period);
    for (int relay = 0; relay < 2; ++relay) {
        const QString prefix = QStringLiteral("relay%1:").arg(relay + 1);
        state.insert(prefix + "default", m_relayDefault[relay]);
        state.insert(prefix + "temp", m_relayTemperature[relay]);
        state.insert(prefix + "hyst", m_relayHysteresis[relay]);
    }
    state.insert("display:period", m_displayPeriod);
    state.insert("curve", QString::fromLatin1(m_curveRecord.toHex()));
    writeWhole(m_options.statePath, QJsonDocument(state).toJson());
}

void Instrument::dumpFlash() const
{
    if (m_options.flashDumpPath.isEmpty())
        return;
    writeWhole(m_options.flashDumpPath, m_flash);
}
