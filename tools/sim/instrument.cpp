#include "instrument.h"

#include "sensor-physics.h"

#include "device/compat-ids.h"
#include "device/wire-values.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

namespace {

const int BootstrapWindowMs = 200;
const int MaxCommandLength = 1024;

bool parseHexBytes(const QString &hex, QByteArray *bytes)
{
    static const QRegularExpression hexDigits(QStringLiteral("^([0-9a-fA-F]{2})*$"));
    if (!hexDigits.match(hex).hasMatch())
        return false;
    *bytes = QByteArray::fromHex(hex.toLatin1());
    return true;
}

} // namespace

Instrument::Instrument(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_uptime.start();
    QString unused; // main checked it
    if (!options.profile.isEmpty())
        m_profile.set(options.profile, 0, &unused);
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
    // The simulator's own command, which no instrument has: what its
    // temperature does from now on.
    if (line.startsWith(QLatin1String("*SIM profile "))) {
        QString why;
        if (m_profile.set(line.mid(int(qstrlen("*SIM profile "))), m_uptime.elapsed() / 1000.0, &why))
            reply(QStringLiteral("*SIM OK"));
        else
            reply(QStringLiteral("*SIM ERROR ") + why);
        return;
    }
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
        reply(QStringLiteral("cal = ") + m_settings.sensor);
    } else if (line == QLatin1String(":rs232:period?")) {
        reply(QStringLiteral("rs232:period = %1").arg(m_settings.rs232Period));
    } else if (line == QLatin1String(":rs485:period?")) {
        reply(QStringLiteral("rs485:period = %1").arg(m_settings.rs485Period));
    } else if (line == QLatin1String(":relay1:default?") || line == QLatin1String(":relay2:default?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QStringLiteral("relay%1:default = %2").arg(relay + 1).arg(m_settings.relayDefault[relay]));
    } else if (line == QLatin1String(":relay1:temp?") || line == QLatin1String(":relay2:temp?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QString::asprintf("relay%d:temp = %.3f", relay + 1, m_settings.relayTemperature[relay]));
    } else if (line == QLatin1String(":relay1:hyst?") || line == QLatin1String(":relay2:hyst?")) {
        const int relay = line.at(6).digitValue() - 1;
        reply(QString::asprintf("relay%d:hyst = %.3f", relay + 1, m_settings.relayHysteresis[relay]));
    } else if (line == QLatin1String(":display:period?")) {
        reply(QStringLiteral("display:period = %1").arg(m_settings.displayPeriod));
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
        m_settings.curveRecord.clear();
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
                m_settings.sensor = args.at(0);
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
                m_settings.relayTemperature[relay] = value;
            else
                m_settings.relayHysteresis[relay] = value;
        } else if ((command == QLatin1String(":relay1:default") || command == QLatin1String(":relay2:default"))
                   && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || (value != 0 && value != 1))
                error(QStringLiteral("value out of range: ") + line);
            else
                m_settings.relayDefault[command.at(6).digitValue() - 1] = value;
        } else if ((command == QLatin1String(":rs232:period") || command == QLatin1String(":rs485:period"))
                   && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || (value != 0 && (value < 10 || value > 60000))) {
                error(QStringLiteral("value out of range: ") + line);
            } else if (command == QLatin1String(":rs232:period")) {
                m_settings.rs232Period = value;
                updateTemperatureTimer();
            } else {
                m_settings.rs485Period = value;
            }
        } else if (command == QLatin1String(":display:period") && args.size() == 1) {
            const int value = args.at(0).toInt(&ok);
            if (!ok || value < 100 || value > 10000)
                error(QStringLiteral("value out of range: ") + line);
            else
                m_settings.displayPeriod = value;
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
            else if (!ok || offset != m_settings.curveRecord.size())
                error(QStringLiteral("write at unexpected offset: ") + args.at(0));
            else if (!parseHexBytes(args.at(1), &data) || data.isEmpty() || data.size() > 48)
                error(QStringLiteral("bad data"));
            else {
                m_settings.curveRecord.append(data);
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
    if (m_mode == Mode::Application && m_settings.rs232Period > 0)
        m_temperatureTimer->start(m_settings.rs232Period);
    else
        m_temperatureTimer->stop();
}

double Instrument::reportedTemperature() const
{
    const double kelvin = m_profile.kelvin(m_uptime.elapsed() / 1000.0);
    if (m_settings.sensor != QLatin1String("user") || m_curve.voltages.size() < 2)
        return kelvin;
    return SimulatedPhysics::curveKelvin(m_curve, kelvin);
}

void Instrument::emitTemperature()
{
    reply(QString::asprintf("*T = %.3f K", reportedTemperature()));
    ++m_temperaturesSent;
}

double Instrument::uncalibratedVolts() const
{
    return SimulatedPhysics::uncalibratedVolts(m_options.adcInput);
}

void Instrument::decodeCurve()
{
    if (SimulatedPhysics::decodeCurveRecord(m_settings.curveRecord, &m_curve) && m_curve.complete)
        fprintf(stderr, "frostgauge-sim: custom curve \"%s\", %d points\n", qPrintable(m_curve.name),
                int(m_curve.temperatures.size()));
}

void Instrument::loadState()
{
    if (m_options.statePath.isEmpty())
        return;
    loadSimulatedSettings(m_options.statePath, &m_settings);
    m_curveErased = !m_settings.curveRecord.isEmpty();
    decodeCurve();
}

void Instrument::saveState() const
{
    if (!m_options.statePath.isEmpty())
        saveSimulatedSettings(m_options.statePath, m_settings);
}

void Instrument::dumpFlash() const
{
    if (m_options.flashDumpPath.isEmpty())
        return;
    writeWholeFile(m_options.flashDumpPath, m_flash);
}
