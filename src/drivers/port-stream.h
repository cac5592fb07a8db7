#pragma once

// The bytes to and from an instrument, on a serial port (or a pseudo-
// terminal) or on TCP (port=tcp://HOST:PORT: raw SCPI on 5025, a serial
// server or ser2net in raw mode). A TCP connection is made in the
// background with a time-out; either way a loss is one lost() and the stream
// is closed then.

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;
class QSerialPort;
class QTcpSocket;
class QTimer;

struct SerialLine {
    qint32 baud = 115200;
    int dataBits = 8;
    enum Parity { NoParity, EvenParity, OddParity } parity = NoParity;
    int stopBits = 1;
    enum Flow { NoFlow, HardwareFlow, SoftwareFlow } flow = NoFlow;
};

class PortStream : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 5000;

    explicit PortStream(QObject *parent = nullptr);
    ~PortStream() override;

    static bool isTcp(const QString &port);
    // HOST and PORT of tcp://HOST:PORT (an IPv6 address in brackets); false
    // with why set when the text is not one.
    static bool parseTcp(const QString &port, QString *host, quint16 *number, QString *why);

    // A serial port is open when this returns true, and opened() follows at
    // once; a TCP connection is begun, and opened() or lost() follows. False
    // with why set when it cannot even be begun.
    bool open(const QString &port, const SerialLine &line, QString *why);
    void close();
    bool isOpen() const { return m_open; }
    void write(const QByteArray &bytes);
    qint64 bytesToWrite() const;
    // The open device, for a reader that takes one (null before opened()).
    QIODevice *device() const;
    // Another reader reads the device from now on: received() is no longer
    // emitted (the stream would take its bytes), lost() still is.
    void handOver();

signals:
    void opened();
    void received(const QByteArray &bytes);
    void lost(const QString &reason);

private:
    void fail(const QString &reason);
    void readAll();

    QSerialPort *m_serial = nullptr;
    QTcpSocket *m_socket = nullptr;
    QTimer *m_connectTimer;
    QString m_port;
    bool m_open = false;
};
