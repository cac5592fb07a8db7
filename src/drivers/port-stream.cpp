#include "drivers/port-stream.h"

#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

PortStream::PortStream(QObject *parent) : QObject(parent), m_connectTimer(new QTimer(this))
{
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no connection to %1 within %2 s").arg(m_port).arg(ConnectTimeoutMs / 1000));
    });
}

PortStream::~PortStream()
{
    close();
}

bool PortStream::isTcp(const QString &port)
{
    return port.startsWith(QLatin1String("tcp://"));
}

bool PortStream::parseTcp(const QString &port, QString *host, quint16 *number, QString *why)
{
    const QUrl url(port, QUrl::StrictMode);
    if (!isTcp(port) || !url.isValid() || url.host().isEmpty() || url.port() <= 0 || !url.userInfo().isEmpty()
        || !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery() || url.hasFragment()) {
        *why = QStringLiteral("%1 is not tcp://HOST:PORT (a port from 1 to 65535)").arg(port);
        return false;
    }
    *host = url.host();
    *number = quint16(url.port());
    return true;
}

bool PortStream::open(const QString &port, const SerialLine &line, QString *why)
{
    close();
    m_port = port;
    if (isTcp(port)) {
        QString host;
        quint16 number = 0;
        if (!parseTcp(port, &host, &number, why))
            return false;
        m_socket = new QTcpSocket(this);
        connect(m_socket, &QTcpSocket::connected, this, [this] {
            m_connectTimer->stop();
            m_open = true;
            emit opened();
        });
        connect(m_socket, &QTcpSocket::readyRead, this, &PortStream::readAll);
        connect(m_socket, &QTcpSocket::disconnected, this,
                [this] { fail(QStringLiteral("the connection to %1 was closed by the other end").arg(m_port)); });
        connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            fail(QStringLiteral("%1: %2").arg(m_port, m_socket->errorString()));
        });
        m_connectTimer->start(ConnectTimeoutMs);
        m_socket->connectToHost(host, number);
        return true;
    }
    m_serial = new QSerialPort(port, this);
    m_serial->setBaudRate(line.baud);
    m_serial->setDataBits(QSerialPort::DataBits(line.dataBits));
    m_serial->setParity(line.parity == SerialLine::EvenParity  ? QSerialPort::EvenParity
                        : line.parity == SerialLine::OddParity ? QSerialPort::OddParity
                                                               : QSerialPort::NoParity);
    m_serial->setStopBits(line.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    m_serial->setFlowControl(line.flow == SerialLine::HardwareFlow   ? QSerialPort::HardwareControl
                             : line.flow == SerialLine::SoftwareFlow ? QSerialPort::SoftwareControl
                                                                     : QSerialPort::NoFlowControl);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        *why = QStringLiteral("cannot open %1: %2").arg(port, m_serial->errorString());
        delete m_serial;
        m_serial = nullptr;
        return false;
    }
    connect(m_serial, &QSerialPort::readyRead, this, &PortStream::readAll);
    // A pulled adapter is a ResourceError, a hung-up terminal a ReadError:
    // either ends the stream at once (the port would report it again and
    // again otherwise).
    connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError || error == QSerialPort::WriteError)
            fail(QStringLiteral("the port closed: cable pulled or device gone (%1)").arg(m_serial->errorString()));
    });
    m_open = true;
    QTimer::singleShot(0, this, [this] {
        if (m_open)
            emit opened();
    });
    return true;
}

void PortStream::readAll()
{
    QIODevice *io = device();
    if (!io)
        return;
    const QByteArray bytes = io->readAll();
    if (!bytes.isEmpty())
        emit received(bytes);
}

void PortStream::fail(const QString &reason)
{
    if (!m_serial && !m_socket)
        return;
    close();
    emit lost(reason);
}

void PortStream::close()
{
    m_connectTimer->stop();
    m_open = false;
    if (m_serial) {
        disconnect(m_serial, nullptr, this, nullptr);
        m_serial->close();
        m_serial->deleteLater();
        m_serial = nullptr;
    }
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

void PortStream::write(const QByteArray &bytes)
{
    if (QIODevice *io = device())
        io->write(bytes);
}

qint64 PortStream::bytesToWrite() const
{
    const QIODevice *io = device();
    return io ? io->bytesToWrite() : 0;
}

void PortStream::handOver()
{
    if (QIODevice *io = device())
        disconnect(io, &QIODevice::readyRead, this, &PortStream::readAll);
}

QIODevice *PortStream::device() const
{
    if (!m_open)
        return nullptr;
    if (m_serial)
        return m_serial;
    return m_socket;
}
