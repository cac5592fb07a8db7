#include "tcp-link.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

TcpLink::TcpLink(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TcpLink::accept);
}

bool TcpLink::listen(const QString &address, QString *error)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = address.mid(colon + 1).toInt(&ok);
    QHostAddress host;
    if (colon <= 0 || !ok || port < 0 || port > 65535
        || !host.setAddress(address.left(colon).remove('[').remove(']'))) {
        *error =
            QStringLiteral("--tcp takes ADDRESS:PORT (127.0.0.1:5025; port 0 for any free one), not %1").arg(address);
        return false;
    }
    if (!m_server->listen(host, quint16(port))) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(address, m_server->errorString());
        return false;
    }
    return true;
}

QString TcpLink::url() const
{
    const QHostAddress address = m_server->serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("tcp://%1:%2").arg(host).arg(m_server->serverPort());
}

void TcpLink::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_closeAtOnce || m_client) {
            // One at a time, as a serial server's port is.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_client = socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { emit received(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_client == socket)
                m_client = nullptr;
            socket->deleteLater();
        });
        emit connected();
    }
}

void TcpLink::send(const QByteArray &bytes)
{
    if (m_client)
        m_client->write(bytes);
}
