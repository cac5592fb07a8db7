#pragma once

// The shared port of one instrument: a pseudo-terminal that a symbolic link
// names, for one client at a time (the window, frostgauge-cli, a terminal
// program). The client writes as if it held the instrument's port; its lines
// come out of clientLine() whole, for the monitor to pass on between its own.
//
// Each client gets a fresh pseudo-terminal: when one leaves (or dies) the link
// is pointed at a new one, so nothing of the last session (terminal modes,
// exclusive use, unread bytes) reaches the next. While a client is connected
// the link points nowhere ("in use by another client"), so a second open
// fails at once, and the terminal itself is set for exclusive use.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Whether path is a link a shared port made: one to a pseudo-terminal, or one
// saying the port is in use. Only such a link is ever replaced or removed.
bool isSharedPortLink(const QString &path);
class QTimer;

class SharedPort : public QObject
{
    Q_OBJECT

public:
    // A client's line longer than this is dropped, not sent in pieces.
    static constexpr int MaxLineLength = 65536;
    // How often the monitor looks for a client while none is connected.
    static constexpr int ClientPollMs = 50;

    // Whoever may open instrumentPort (its group) may open the shared port.
    SharedPort(const QString &linkPath, const QString &instrumentPort, QObject *parent = nullptr);
    ~SharedPort() override;

    // Makes the first pseudo-terminal and the link. False with error set when
    // the link cannot be made (no folder, or a file there that is not a link).
    bool open(QString *error);
    QString linkPath() const { return m_linkPath; }
    bool hasClient() const { return m_client; }

    // Bytes for the client; dropped while none is connected.
    void send(const QByteArray &bytes);

signals:
    void clientConnected();
    void clientDisconnected();
    // One line of the client's with its line feed, or a lone Ctrl-C (which
    // the instrument's management firmware takes without a line end).
    void clientLine(const QByteArray &line);
    // The next client's terminal could not be made: the port is no longer shared.
    void failed(const QString &error);

private:
    bool makeTerminal(QString *error);
    bool pointLink(const QByteArray &target, QString *error);
    void closeTerminal();
    void lookForClient();
    void readClient();
    void dropClient();
    void flushOutput();

    QString m_linkPath;
    QString m_instrumentPort;
    QByteArray m_slavePath;
    int m_master = -1;
    bool m_client = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_pollTimer;
    QByteArray m_input;
    bool m_discarding = false;
    QByteArray m_output;
};
