// upload-curve and upgrade: the two transfers. The Device bounds each step
// with its own clock and reports the end, finished or failed, with a message
// naming the step.

#include "cli-output.h"
#include "command-line.h"
#include "commands.h"
#include "instrument-session.h"

#include "device/protocol.h"
#include "device/sensor-curve.h"
#include "firmware/firmware.h"
#include "firmware/version-compare.h"

#include <QTextStream>

#include <climits>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Follows one transfer to its end.
class TransferWatch
{
public:
    TransferWatch(InstrumentSession &session, bool timeoutGiven) : m_session(session)
    {
        Device &device = session.device();
        QObject::connect(&device, &Device::transferEnded, [this](Device::Transfer, bool ok, const QString &message) {
            m_ended = true;
            m_succeeded = ok;
            m_message = message;
        });
        QObject::connect(&device, &Device::progress, &showProgress);
        if (timeoutGiven)
            device.setTransferTimeout(session.timeoutMs());
    }

    // Waits for the end of a transfer of size bytes sent in chunks; false with
    // the session's error set when it failed.
    bool wait(int size, int chunkSize)
    {
        // Only a guard: every step already ends within the Device's time-out.
        const qint64 steps = size / chunkSize + 8;
        const int bound = int(qMin<qint64>(steps * (m_session.device().transferTimeoutMs + 1000), INT_MAX));
        if (!m_session.waitUntil([this] { return m_ended; }, QStringLiteral("end of the transfer"), bound))
            return false;
        if (!m_succeeded)
            m_session.setError(m_message);
        return m_succeeded;
    }

private:
    InstrumentSession &m_session;
    bool m_ended = false;
    bool m_succeeded = false;
    QString m_message;
};

// Asks on the terminal unless --yes was given; a script without --yes is refused.
int confirmUpgrade(bool yes)
{
    if (yes)
        return Success;
    if (!isatty(STDIN_FILENO))
        return fail(QStringLiteral("not confirmed: give --yes to upgrade without asking"), Usage);
    fprintf(stderr, "Proceed? [y/N] ");
    char answer[16] = {};
    if (!fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y'))
        return fail(QStringLiteral("not confirmed; nothing was sent"), Usage);
    return Success;
}

} // namespace

int commandUploadCurve(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption nameOption(QStringLiteral("name"), QString(), QStringLiteral("NAME"),
                                        QStringLiteral("Custom"));
    parser.addOption(nameOption);
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("upload-curve"), parser, arguments, &args))
        return code;
    if (args.positional.size() != 2)
        return fail(QStringLiteral("upload-curve needs PORT and FILE"), Usage);
    const QString file = args.positional.at(1);
    QByteArray data;
    QString error;
    if (!readArgumentFile(file, MaxSensorCurveFileBytes, &data, &error))
        return fail(error, Usage);
    const SensorCurve curve = parseSensorCurve(data);
    if (!curve.error.isEmpty())
        return fail(QStringLiteral("%1: %2; nothing was sent").arg(file, curve.error), Usage);
    if (curve.temperatures.isEmpty())
        return fail(QStringLiteral("%1 holds no calibration points (lines of two numbers: kelvin and volts)").arg(file),
                    Usage);
    const QString name = parser.value(nameOption);
    if (name.size() > 8)
        return fail(QStringLiteral("--name takes at most 8 characters"), Usage);

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    TransferWatch transfer(session, args.timeoutGiven);
    const QByteArray record = sensorCurveRecord(name, curve.temperatures, curve.voltages);
    session.device().uploadCalibration(record);
    if (!transfer.wait(record.size(), Protocol::CalibrationChunkSize))
        return fail(session.error(), Failure);
    session.flushWrites();
    out() << QStringLiteral("uploaded %1 points as \"%2\"").arg(curve.temperatures.size()).arg(name) << '\n';
    return Success;
}

int commandUpgrade(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption yesOption(QStringLiteral("yes"));
    parser.addOption(yesOption);
    PortArguments args;
    if (const int code = parsePortCommand(QStringLiteral("upgrade"), parser, arguments, &args))
        return code;
    if (args.positional.size() != 2)
        return fail(QStringLiteral("upgrade needs PORT and IMAGE"), Usage);
    QByteArray imageData;
    QString error;
    if (!readArgumentFile(args.positional.at(1), MaxFirmwareImageBytes, &imageData, &error))
        return fail(error, Usage);

    InstrumentSession session(args.timeoutMs);
    if (!session.openIdentified(args.positional.first()))
        return fail(session.error(), Failure);
    Device &device = session.device();
    // The image holds one build per board revision: which one applies is known
    // only once the instrument has said what it is.
    const std::unique_ptr<Firmware> image(Firmware::fromFileData(imageData, device.compatibilityId()));
    if (!image->valid())
        return fail(QStringLiteral("invalid or unsupported firmware file (or no build for this "
                                   "instrument's revision, identifier %1)")
                        .arg(QString::fromLatin1(device.compatibilityId().toHex())),
                    Usage);
    out() << firmwareUpgradeQuestion(device.identity().version, image->version()) << '\n';
    out().flush();
    if (const int code = confirmUpgrade(parser.isSet(yesOption)))
        return code;

    TransferWatch transfer(session, args.timeoutGiven);
    bool restarted = false;
    QObject::connect(&device, &Device::deviceRestarted, [&] { restarted = true; });
    device.upgradeFirmware(image->blob());
    if (!transfer.wait(image->blob().size(), Protocol::FirmwareChunkSize))
        return fail(session.error(), Failure);
    if (!session.waitUntil(
            [&] {
                return restarted && device.knowsIdentity() && !device.inManagementMode()
                       && !device.compatibilityId().isEmpty();
            },
            QStringLiteral("identification of the restarted application"), qMax(session.timeoutMs(), 10000)))
        return fail(session.error(), Failure);
    out() << "upgraded: " << device.identity().model << " version " << device.identity().version << '\n';
    return Success;
}
