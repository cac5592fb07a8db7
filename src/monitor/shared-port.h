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
// fails at once, and the terminal itself is set for exclusive use. Every open
// of the terminal is watched (inotify), so the link turns to "in use" as a
// client opens it; two clients that still got it open together (in the same
// instant, or one by the terminal's own name as root) are both hung up as soon
// as that shows, at once or when the first of them closes.
//
// The client is read only as fast as its lines are taken (setPaused): one
// that writes faster than the instrument's line carries waits in its write,
// as on a real port.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QSocketNotifier;

class QTimer;

class SharedPort : public QObject
{
    Q_OBJECT

public:
    // A client's line longer than this is dropped, not sent in pieces.
    static constexpr int MaxLineLength = 65536;
    // How often the monitor looks for a client while none is connected (an
    // open is seen at once; this finds one that came and went unseen).
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
    // While paused the client's lines wait in the terminal (its writes block
    // once it is full); a client that leaves meanwhile is still noticed.
    void setPaused(bool paused);
    // What the instrument says goes to no client for this long (answers to a
    // client that left), or until the next client's first line goes out (0
    // ends it); a client's bytes always start at a line.
    void quietFor(int ms);
    bool isQuiet() const { return m_quiet.isValid() && !m_quiet.hasExpired(m_quietMs); }

signals:
    void clientConnected();
    void clientDisconnected();
    // One line of the client's with its line feed, or a lone Ctrl-C (which
    // the instrument's management firmware takes without a line end).
    void clientLine(const QByteArray &line);
    // Two clients had the terminal open at once: both were hung up.
    void clientsCollided();
    // The next client's terminal could not be made: the port is no longer shared.
    void failed(const QString &error);

private:
    bool makeTerminal(QString *error);
    bool pointLink(const QByteArray &target, QString *error);
    void closeTerminal();
    void lookForClient();
    void readClient();
    void takeLines();
    void dropClient();
    void flushOutput();
    void watchOpens();
    void openSeen();
    // Opens of the terminal by others than the monitor, as inotify tells them.
    void readOpens();
    bool clientHungUp() const;

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
    bool m_paused = false;
    QByteArray m_output;
    int m_watch = -1; // inotify descriptor watching the terminal's opens
    QSocketNotifier *m_watchNotifier = nullptr;
    int m_opens = 0;     // open minus closed descriptors of others
    int m_ownEvents = 0; // inotify events our own open will bring
    QElapsedTimer m_quiet;
    int m_quietMs = 0;
    bool m_clientFed = false;            // the client has had bytes of the instrument's
    bool m_instrumentAtLineStart = true; // the instrument's last byte ended a line
};
