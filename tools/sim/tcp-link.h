#pragma once

// The simulator on a TCP port, as an instrument on a LAN or behind a serial
// server is: one connection at a time, taken as it comes.

#include <QByteArray>
#include <QObject>

class QTcpServer;
class QTcpSocket;

class TcpLink : public QObject
{
    Q_OBJECT

public:
    explicit TcpLink(QObject *parent = nullptr);
    // ADDRESS:PORT (port 0: any free one); false with error set.
    bool listen(const QString &address, QString *error);
    // tcp://HOST:PORT, as a monitor's port= names it.
    QString url() const;
    // Each connection is closed as soon as it is made.
    void setCloseAtOnce(bool close) { m_closeAtOnce = close; }
    void send(const QByteArray &bytes);

signals:
    void received(const QByteArray &bytes);
    void connected();

private:
    void accept();

    QTcpServer *m_server;
    QTcpSocket *m_client = nullptr;
    bool m_closeAtOnce = false;
};
