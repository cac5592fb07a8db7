// The two long exchanges with the instrument: a custom curve's upload and a
// firmware upgrade. Both erase, then write the payload chunk by chunk, one
// chunk per acknowledgement, each step on a clock; the commands of each
// come from one table.

#include "device/device-serial.h"

#include "device/log-categories.h"
#include "device/port-write.h"
#include "device/protocol.h"
#include "device/wire-values.h"

#include <QTimer>

#include <cstdio>
#include <cstring>

struct TransferCommands {
    const char *erase;
    Protocol::WriteCommand write;
};

namespace {

enum { CalibrationCommands, LegacyFirmwareCommands, FirmwareCommands };

const TransferCommands Commands[] = {
    {Protocol::CalibrationErase, Protocol::CalibrationWrite},
    // The firmware's command set up to 1.3.x, then from 1.4.0.0.
    {Protocol::FlashEraseLegacy, Protocol::FlashWriteLegacy},
    {Protocol::FlashErase, Protocol::FlashWrite},
};

} // namespace

void Device::sendErase(const TransferCommands &commands)
{
    serialSendCommand(QString::fromLatin1(commands.erase));
    awaitInstrument();
    emit progress(0, transferData.size());
}

bool Device::sendNextChunk(const TransferCommands &commands)
{
    if (transferPosition >= transferData.size())
        return false;
    sendBytes(writeCommand(commands.write));
    transferPosition += transferChunkSize;
    awaitInstrument();
    emit progress(transferPosition, transferData.size());
    return true;
}

QByteArray Device::writeCommand(const Protocol::WriteCommand &command) const
{
    // The offset goes through printf (the C locale's, whatever the user's); the
    // chunk's bytes are written as hexadecimal directly, two digits each.
    static const char digits[] = "0123456789abcdef";
    char prefix[64];
    const int prefixLength = qBound(
        0, snprintf(prefix, sizeof prefix, command.prefixFormat, unsigned(transferPosition)), int(sizeof prefix) - 1);

    const int chunkSize = qMin(transferChunkSize, transferData.size() - transferPosition);
    const auto *chunk = reinterpret_cast<const uchar *>(transferData.constData()) + transferPosition;
    QByteArray line(prefixLength + 2 * chunkSize + 1, Qt::Uninitialized);
    char *out = line.data();
    memcpy(out, prefix, size_t(prefixLength));
    out += prefixLength;
    for (int i = 0; i < chunkSize; ++i) {
        *out++ = digits[chunk[i] >> 4];
        *out++ = digits[chunk[i] & 0x0f];
    }
    *out = '\n';
    return line;
}

Device::Transfer Device::activeTransfer() const
{
    if (upgradeStage != UpgradeIdle)
        return FirmwareUpgrade;
    if (calibrationStage != CalibrationIdle)
        return CalibrationUpload;
    return NoTransfer;
}

bool Device::refuseTransfer(Transfer starting)
{
    const Transfer running = activeTransfer();
    if (running == NoTransfer || running == starting)
        return false;
    qCDebug(lcDevice) << (starting == FirmwareUpgrade ? "firmware upgrade" : "calibration upload") << "not started: a"
                      << (running == FirmwareUpgrade ? "firmware upgrade" : "calibration upload") << "is under way";
    return true;
}

void Device::awaitInstrument()
{
    transferTimer->start(transferTimeoutMs);
}

QString Device::awaitedStep() const
{
    if (upgradeStage == UpgradeResetting)
        return QStringLiteral("no answer from the management firmware after the reset");
    // transferPosition is already past the chunk whose acknowledgement is awaited;
    // at 0 only the erase has gone out.
    if (transferPosition == 0)
        return QStringLiteral("no acknowledgement of the erase");
    return QStringLiteral("no acknowledgement of the write at offset %1").arg(transferPosition - transferChunkSize);
}

void Device::transferTimedOut()
{
    if (activeTransfer() == NoTransfer)
        return;
    endTransfer(false, QStringLiteral("%1 within %2 s").arg(awaitedStep()).arg(transferTimeoutMs / 1000.0));
}

void Device::endTransfer(bool succeeded, const QString &message)
{
    const Transfer ended = activeTransfer();
    if (ended == NoTransfer)
        return;
    transferTimer->stop();
    upgradeStage = UpgradeIdle;
    calibrationStage = CalibrationIdle;
    managementRequested = false;
    transferPosition = 0;
    transferData.clear();

    QString text = message;
    if (!succeeded && ended == FirmwareUpgrade) {
        if (message != QLatin1String(NotInManagementFirmware))
            text = QStringLiteral("Firmware upgrade stopped: %1.").arg(message);
        if (managementMode)
            text += QStringLiteral(" The instrument waits in its management firmware: "
                                   "start the upgrade again.");
    } else if (!succeeded) {
        text = QStringLiteral("Calibration upload stopped: %1.").arg(message);
    }
    qCDebug(lcDevice) << "transfer ended:" << text;
    emit transferEnded(ended, succeeded, text);
}

bool Device::uploadCalibration(const QByteArray &data)
{
    if (refuseTransfer(CalibrationUpload))
        return false;
    transferData = transferPayload(data);
    calibrationStage = CalibrationErase;
    transferPosition = 0;
    transferChunkSize = Protocol::CalibrationWrite.chunkSize;
    emit transferStarted(CalibrationUpload);
    uploadCalibrationStep();
    return true;
}

void Device::uploadCalibrationStep()
{
    const TransferCommands &commands = Commands[CalibrationCommands];
    switch (calibrationStage) {
    case CalibrationErase:
        // The stage moves first: a write that loses the port ends the transfer for good.
        calibrationStage = CalibrationWriting;
        sendErase(commands);
        break;
    case CalibrationWriting:
        if (!sendNextChunk(commands))
            endTransfer(true, QStringLiteral("Calibration curve uploaded"));
        break;
    default:
        break;
    }
}

bool Device::upgradeFirmware(const QByteArray &image)
{
    if (refuseTransfer(FirmwareUpgrade))
        return false;
    transferData = transferPayload(image);
    transferPosition = 0;
    transferChunkSize = Protocol::FlashWrite.chunkSize;
    upgradeStage = managementMode ? UpgradeErase : UpgradeResetting;
    emit transferStarted(FirmwareUpgrade);
    upgradeFirmwareStep();
    return true;
}

void Device::upgradeFirmwareStep()
{
    // The command set follows the version known when each command goes out.
    const TransferCommands &commands =
        Commands[versionNumber <= Protocol::LegacyVersionLast ? LegacyFirmwareCommands : FirmwareCommands];
    switch (upgradeStage) {
    case UpgradeResetting:
        qCDebug(lcDevice, "upgradeFirmwareStep: resetting device");
        // Without a port the reset cannot go out; the step's clock still ends
        // the upgrade rather than leaving it waiting for ever.
        awaitInstrument();
        if (!link)
            break;
        serialSendCommand(QString::fromLatin1(Protocol::SystemReset));
        managementRequested = true;
        break;
    case UpgradeErase:
        qCDebug(lcDevice, "upgradeFirmwareStep: erasing device");
        upgradeStage = UpgradeWriting;
        sendErase(commands);
        break;
    case UpgradeWriting:
        // Formatted only when shown: this runs for every chunk.
        if (transferPosition < transferData.size() && lcDevice().isDebugEnabled())
            qCDebug(lcDevice, "upgradeFirmwareStep: writing device (%d of %d)", transferPosition,
                    int(transferData.size()));
        if (!sendNextChunk(commands)) {
            qCDebug(lcDevice, "upgradeFirmwareStep: booting device");
            serialSendCommand(QString::fromLatin1(Protocol::Boot));
            endTransfer(true, QStringLiteral("Firmware written; the instrument starts it"));
        }
        break;
    default:
        break;
    }
}
