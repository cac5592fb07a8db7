#pragma once

#include "device/instrument-identity.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;
class QSerialPort;
namespace Protocol {
struct WriteCommand;
}
struct TransferCommands;
class QTimer;

// The link to one instrument over one serial port: frames reply lines, keeps the
// instrument's identity, and runs the multi-step exchanges (management reset,
// calibration upload, firmware upgrade) one step per reply line.
class Device : public QObject
{
    Q_OBJECT

public:
    enum ResetMode { ResetNormal = 0, ResetToManagement = 1 };

    // Stages of the two transfers; the members below hold them as plain ints.
    enum CalibrationStage { CalibrationIdle = -1, CalibrationErase = 1, CalibrationWriting = 2 };
    enum UpgradeStage {
        UpgradeIdle = -1,
        UpgradeResetting = 0,
        UpgradeErase = 1,
        UpgradeWriting = 2,
    };

    // The two long exchanges. They share the transfer members below, so only one
    // runs at a time.
    enum Transfer { NoTransfer, CalibrationUpload, FirmwareUpgrade };
    Q_ENUM(Transfer)

    // How long a transfer step may wait for its acknowledgement (or, after the
    // reset, for the management firmware to announce itself) before the
    // transfer ends as failed.
    static constexpr int DefaultTransferTimeoutMs = 10000;

    static constexpr char NotInManagementFirmware[] =
        "The instrument did not enter its management firmware; nothing was written.";

    // A line longer than this is dropped up to its terminator, so an instrument
    // (or a wrong device) streaming bytes without line ends cannot exhaust memory.
    static constexpr int MaxLineLength = 4096;

    explicit Device(QObject *parent = nullptr);
    ~Device() override;

    bool openPort(const QString &name);
    // Talks over a link that is already open instead of a serial port: a
    // socket, or a test's scripted instrument. The link stays its owner's; the
    // opening sequence is sent as on a port, and the end of its read channel
    // counts as a lost connection.
    void openLink(QIODevice *link);
    bool close();
    void serialSendCommand(const QString &command);
    // Writes bytes another program sent to the instrument through this link,
    // unchanged, even while listenOnly is set.
    void forwardBytes(const QByteArray &bytes);
    // Bytes written to the link that have not gone down the line yet: those
    // the port still buffers and those in the system's output queue.
    qint64 bytesNotYetSent() const;
    // The read path after the port: carriage returns become line feeds, the
    // bytes join the buffer, and every complete line is handled.
    void receiveBytes(const QByteArray &bytes);

    void reset(ResetMode mode);
    void provision();
    // The voltage queries; false (nothing sent) below the version that knows them.
    bool measureRaw();
    bool measureUncalibrated();
    bool measureCalibrated();
    void sendADCCalibration(double offset, double slope);

    // Start a transfer; false, with nothing sent, while the other kind is under
    // way. Starting the same kind again starts it over. Either way it ends with
    // transferEnded.
    bool uploadCalibration(const QByteArray &data);
    void uploadCalibrationStep();
    bool upgradeFirmware(const QByteArray &image);
    void upgradeFirmwareStep();
    Transfer activeTransfer() const;
    InstrumentIdentity identity() const { return {manufacturer, model, serialNumber, version}; }
    // What the service and the command line read and set; the window's own
    // code reaches the members below directly.
    bool knowsIdentity() const { return isIdentified; }
    bool inManagementMode() const { return managementMode; }
    QByteArray compatibilityId() const { return compatId; }
    quint32 versionAsNumber() const { return versionNumber; }
    bool isListeningOnly() const { return listenOnly; }
    void setListeningOnly(bool only) { listenOnly = only; }
    void setTransferTimeout(int ms) { transferTimeoutMs = ms; }
    // A logger's reading is a whole line: with this set, a temperature line
    // with a NUL or another control byte in it (a corrupted line) is no
    // reading, where the window reads up to the NUL.
    void setStrictReadings(bool strict) { strictReadings = strict; }
    // The serial port's last error in words; empty without a port.
    QString portErrorString() const;
    // Waits up to ms for what was written to leave for the port; false on a time-out.
    bool waitForWritten(int ms);

    // What the loss of the port means, in words an operator understands, with
    // the system's own text after it.
    static QString lostPortReason(int error, const QString &systemText);

    QSerialPort *port = nullptr;
    QByteArray receiveBuffer;
    bool isIdentified = false;
    QString manufacturer;
    QString model;
    QString version;
    QString serialNumber;
    quint32 versionNumber = 0;
    QByteArray compatId;
    bool managementMode = false;
    bool managementRequested = false;
    // The identification line of an instrument that is not a known model of
    // this maker; empty otherwise. Nothing but identification goes to it.
    QString foreignIdentification;
    QByteArray transferData;
    qint32 transferPosition = 0;
    qint32 transferChunkSize = 0;
    qint32 calibrationStage = CalibrationIdle;
    qint32 upgradeStage = UpgradeIdle;
    int transferTimeoutMs = DefaultTransferTimeoutMs;
    // While set, the Device sends nothing of its own (no identification query,
    // no command): another program is speaking to the instrument through the
    // same port and must not find its exchange interleaved with ours.
    bool listenOnly = false;

signals:
    // The seven signals the window's contract fixes, in this order (their order
    // is their index in the meta-object); those added since follow them.
    void identified();
    void deviceReset();
    void deviceRestarted();
    void deviceManagementMode();
    void temperatureChanged(double value);
    void progress(int state, int maxState);
    void parameterReceived(const QString &key, const QString &value);
    // Every byte read from the link, as read, before any of it is handled.
    void bytesReceived(const QByteArray &bytes);
    // An identification reply with this maker's prefix and a model that is not a
    // VKRHX350: another instrument answered.
    void unknownInstrument(const QString &answer);
    // The port went away (cable pulled, far end hung up); the port is closed.
    void connectionLost(const QString &reason);
    // A transfer was accepted (also one that starts over).
    void transferStarted(Device::Transfer transfer);
    // A transfer finished (succeeded) or was given up; message says which step
    // failed and why, or what happens next.
    void transferEnded(Device::Transfer transfer, bool succeeded, const QString &message);

public slots:
    void serialRead();
    void serialParse();
    void serialParseLine(const QByteArray &line);

private:
    void handleIdentification(const QString &text);
    void reportForeign(const QString &text);
    // The voltage query, from the version that knows it.
    bool sendVoltQuery(const char *query);
    // A transfer's erase, then its chunks one per call (false when all are sent).
    void sendErase(const TransferCommands &commands);
    bool sendNextChunk(const TransferCommands &commands);
    // The write command of a transfer for the chunk at transferPosition.
    QByteArray writeCommand(const Protocol::WriteCommand &command) const;
    // Writes the bytes of a command of ours to the open port (none while listenOnly).
    void sendBytes(const QByteArray &bytes);
    void writeToLink(const QByteArray &bytes);
    // Reads from and writes to io from now on, and sends the opening sequence.
    void startLink(QIODevice *io);
    void handlePortError(int error);
    void closePort(const QString &transferEndReason);
    bool refuseTransfer(Transfer starting);
    // (Re)starts the clock of the step that now awaits the instrument's answer.
    void awaitInstrument();
    void transferTimedOut();
    // Ends the running transfer: its stage back to idle, its data dropped.
    void endTransfer(bool succeeded, const QString &message);
    QString awaitedStep() const;

    // Set while the rest of an overlong line is being skipped.
    bool discardingLine = false;
    bool strictReadings = false;
    // What bytes are read from and written to: the port, or a link given to openLink.
    QIODevice *link = nullptr;
    QTimer *transferTimer;
};
