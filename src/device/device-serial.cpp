#include "device/device-serial.h"

#include "device/compat-ids.h"
#include "device/log-categories.h"
#include "device/port-write.h"
#include "device/protocol.h"
#include "device/wire-values.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QStringList>

#include <QTimer>
#include <algorithm>

#include <cmath>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

Device::Device(QObject *parent) : QObject(parent), transferTimer(new QTimer(this))
{
    qRegisterMetaType<Device::Transfer>();
    transferTimer->setSingleShot(true);
    connect(transferTimer, &QTimer::timeout, this, &Device::transferTimedOut);
}

Device::~Device() = default;

bool Device::openPort(const QString &name)
{
    if (port || link)
        close();

    port = new QSerialPort(name, this);
    port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    if (!port->open(QIODevice::ReadWrite))
        return false;

    port->flush();
    connect(port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { handlePortError(error); });
    startLink(port);
    return true;
}

void Device::openLink(QIODevice *other)
{
    if (port || link)
        close();
    connect(other, &QIODevice::readChannelFinished, this, [this] {
        closePort(QStringLiteral("the connection was lost (the link closed)"));
        emit connectionLost(QStringLiteral("the link closed"));
    });
    startLink(other);
}

void Device::startLink(QIODevice *io)
{
    link = io;
    receiveBuffer.clear();
    discardingLine = false;
    connect(link, &QIODevice::readyRead, this, &Device::serialRead);
    serialSendCommand(QString::fromLatin1(Protocol::OpeningSequence));
}

bool Device::close()
{
    closePort(QStringLiteral("the port was closed"));
    return true;
}

void Device::closePort(const QString &transferEndReason)
{
    // The port goes first: whatever the end of a transfer sets off in its
    // receivers finds nothing to write to.
    const bool transferring = activeTransfer() != NoTransfer;
    if (port) {
        port->close();
        port->deleteLater();
        port = nullptr;
    } else if (link) {
        disconnect(link, nullptr, this, nullptr);
    }
    link = nullptr;
    if (transferring)
        endTransfer(false, transferEndReason);
}

void Device::serialSendCommand(const QString &command)
{
    sendBytes(command.toUtf8());
}

void Device::forwardBytes(const QByteArray &bytes)
{
    writeToLink(bytes);
}

QString Device::portErrorString() const
{
    return port ? port->errorString() : QString();
}

bool Device::waitForWritten(int ms)
{
    return !port || port->waitForBytesWritten(ms);
}

qint64 Device::bytesNotYetSent() const
{
    if (!link || !link->isOpen())
        return 0;
    qint64 waiting = link->bytesToWrite();
#ifdef Q_OS_UNIX
    int queued = 0;
    if (port && ::ioctl(int(port->handle()), TIOCOUTQ, &queued) == 0)
        waiting += queued;
#endif
    return waiting;
}

void Device::sendBytes(const QByteArray &bytes)
{
    if (!listenOnly)
        writeToLink(bytes);
}

void Device::writeToLink(const QByteArray &bytes)
{
    // After a failed open the port object exists but is closed: nothing to write to.
    if (!link || !link->isOpen())
        return;
    if (port)
        writeNow(port, bytes);
    else
        link->write(bytes);
}

QString Device::lostPortReason(int error, const QString &systemText)
{
    // The system's words for a vanished port ("Unknown error", "Inappropriate
    // ioctl for device") tell an operator little; they follow in brackets.
    const QString words = error == QSerialPort::ResourceError
                              ? QStringLiteral("the port closed: cable pulled or device gone")
                              : QStringLiteral("the port could not be read: cable pulled or device gone");
    if (systemText.isEmpty() || systemText == QLatin1String("Unknown error"))
        return words;
    return QStringLiteral("%1 (%2)").arg(words, systemText);
}

void Device::handlePortError(int error)
{
    // A vanished port keeps reporting errors from its read notifier (a hung-up
    // pseudo-terminal does so without pause), so the link ends at the first one.
    if (!port || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
        return;
    const QString reason = lostPortReason(error, port->errorString());
    closePort(QStringLiteral("the connection was lost (%1)").arg(reason));
    emit connectionLost(reason);
}

void Device::serialRead()
{
    if (!link)
        return;
    const qint64 available = link->bytesAvailable();
    if (available <= 0)
        return;
    receiveBytes(link->read(available));
}

void Device::receiveBytes(const QByteArray &bytes)
{
    emit bytesReceived(bytes);
    QByteArray chunk = bytes;
    chunk.replace('\r', '\n');
    receiveBuffer.append(chunk);
    serialParse();
}

void Device::serialParse()
{
    // Lines are handed on in order; the consumed bytes are removed once at the
    // end rather than line by line, which would cost quadratic time on a large read.
    int start = 0;
    for (;;) {
        const int end = receiveBuffer.indexOf('\n', start);
        if (end < 0)
            break;
        const int length = end - start;
        if (discardingLine) {
            discardingLine = false;
        } else if (length > MaxLineLength) {
            qCDebug(lcDevice) << "discarding overlong line of" << length << "bytes";
        } else {
            serialParseLine(receiveBuffer.mid(start, length));
        }
        start = end + 1;
    }
    receiveBuffer.remove(0, start);

    if (receiveBuffer.size() > MaxLineLength) {
        if (!discardingLine)
            qCDebug(lcDevice) << "discarding overlong line of more than" << MaxLineLength << "bytes";
        receiveBuffer.clear();
        discardingLine = true;
    }
}

void Device::serialParseLine(const QByteArray &line)
{
    if (line.isEmpty())
        return;

    const int nul = line.indexOf('\0');
    const QString text = QString::fromUtf8(line.constData(), nul < 0 ? line.size() : nul);

    using namespace Protocol;
    // Each announcement of the restart is progress of the reset step: its
    // clock starts again, so only a silent instrument runs out of time.
    const bool announcement = text.startsWith(QLatin1String(ResetAnnouncement))
                              || text.startsWith(QLatin1String(BootstrapAnnouncement))
                              || text.startsWith(QLatin1String(ManagementAnnouncement))
                              || text.startsWith(QLatin1String(ApplicationAnnouncement));
    if (announcement && upgradeStage == UpgradeResetting)
        awaitInstrument();

    if (text.startsWith(QLatin1String(ResetAnnouncement))) {
        emit deviceReset();
    } else if (text.startsWith(QLatin1String(BootstrapAnnouncement))) {
        if (managementRequested)
            serialSendCommand(QString::fromLatin1(BootstrapBreak));
    } else if (text.startsWith(QLatin1String(ManagementAnnouncement))) {
        serialSendCommand(QString::fromLatin1(IdentifyQuery));
    } else if (text.startsWith(QLatin1String(ApplicationAnnouncement))) {
        serialSendCommand(QString::fromLatin1(IdentifyQuery));
        emit deviceRestarted();
    } else if (text.startsWith(QLatin1String(TemperaturePrefix))) {
        if (strictReadings
            && std::any_of(line.cbegin(), line.cend(), [](char c) { return (c >= 0 && c < ' ') || c == '\x7f'; }))
            return;
        // The number runs up to an optional unit. "inf" and "nan" convert too,
        // but are no reading (and an infinite one would bring the plot's scale down).
        QStringRef number = text.midRef(int(sizeof TemperaturePrefix) - 1);
        if (number.endsWith(QLatin1String(TemperatureUnit)))
            number.chop(int(sizeof TemperatureUnit) - 1);
        bool ok = false;
        const double value = number.toDouble(&ok);
        if (ok && std::isfinite(value))
            emit temperatureChanged(value);
    } else if (text.startsWith(QLatin1String(IdentificationPrefix))) {
        handleIdentification(text);
    } else if (text.startsWith(QLatin1String(CompatPrefix))) {
        // Only a known instrument's answer counts: another device that happens
        // to answer "@00" is still not identified.
        if (!isIdentified) {
            qCDebug(lcDevice) << "compatibility answer without an identification ignored:" << text;
        } else {
            compatId = QByteArray::fromHex(text.mid(int(sizeof CompatPrefix) - 1).toUtf8());
            emit identified();
        }
    } else if (text.startsWith(QLatin1String(CalibrationEraseDone))
               || text.startsWith(QLatin1String(CalibrationWriteDone))) {
        uploadCalibrationStep();
    } else if (text.startsWith(QLatin1String(FlashEraseOk)) || text.startsWith(QLatin1String(FlashWriteOk))) {
        upgradeFirmwareStep();
    } else if (text.contains(QLatin1String(ParameterSeparator))) {
        const QStringList parts = text.split(QLatin1String(ParameterSeparator));
        if (parts.size() == 2)
            emit parameterReceived(parts.at(0), parts.at(1));
    } else {
        qCDebug(lcDevice) << "message from device: " << text;
    }
}

void Device::reportForeign(const QString &text)
{
    isIdentified = false;
    foreignIdentification = text;
    qCDebug(lcDevice) << "not a VKRHX350:" << text;
    emit unknownInstrument(text);
}

void Device::handleIdentification(const QString &text)
{
    isIdentified = false;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() == 4) {
        manufacturer = parts.at(0);
        model = parts.at(1);
        serialNumber = parts.at(2);
        version = parts.at(3);
        versionNumber = packVersion(version);

        if (manufacturer == QLatin1String(Protocol::Manufacturer)) {
            bool supported = true;
            if (model == QLatin1String(Protocol::ManagementModel)) {
                isIdentified = true;
                managementMode = true;
            } else if (model == QLatin1String(Protocol::ApplicationModel)) {
                managementMode = false;
                isIdentified = true;
            } else {
                supported = false;
            }
            if (supported) {
                foreignIdentification.clear();
                if (versionNumber <= Protocol::LegacyVersionLast) {
                    compatId = compatIdBytes(uuid_compat_stm32g071kb_r1);
                    emit identified();
                } else {
                    serialSendCommand(QString::fromLatin1(Protocol::CompatQuery));
                }
            }
        }
    }
    if (!isIdentified)
        reportForeign(text);

    if (managementRequested) {
        managementRequested = false;
        if (upgradeStage != UpgradeResetting) {
            emit deviceManagementMode();
        } else if (isIdentified && managementMode) {
            upgradeStage = UpgradeErase;
            upgradeFirmwareStep();
        } else {
            // Erasing would wipe the running application (or a stranger's
            // flash) with no management firmware to write it back.
            qCDebug(lcDevice) << "upgrade not started: after the reset the instrument answered" << text;
            endTransfer(false, QString::fromLatin1(NotInManagementFirmware));
        }
    }
}

void Device::reset(ResetMode mode)
{
    if (!link)
        return;
    serialSendCommand(QString::fromLatin1(Protocol::SystemReset));
    if (mode == ResetToManagement)
        managementRequested = true;
}

void Device::provision() {}

bool Device::sendVoltQuery(const char *query)
{
    if (versionNumber <= Protocol::VoltQueriesAfter)
        return false;
    serialSendCommand(QString::fromLatin1(query));
    return true;
}

bool Device::measureRaw()
{
    return sendVoltQuery(Protocol::VoltRawQuery);
}

bool Device::measureUncalibrated()
{
    return sendVoltQuery(Protocol::VoltUncalibratedQuery);
}

bool Device::measureCalibrated()
{
    return sendVoltQuery(Protocol::VoltCalibratedQuery);
}

void Device::sendADCCalibration(double offset, double slope)
{
    qint32 scaledOffset = 0;
    qint32 scaledSlope = 0;
    if (!scaleAdcCalibration(offset, slope, &scaledOffset, &scaledSlope)) {
        qCDebug(lcDevice) << "calibration not sent: offset" << offset << "slope" << slope
                          << "do not fit the instrument's 32-bit fields";
        return;
    }
    const QString command =
        QString::asprintf(Protocol::AdcCalibrationFormat, quint32(scaledOffset), quint32(scaledSlope));
    qCDebug(lcDevice) << "calibration command" << command;
    serialSendCommand(command);
}
