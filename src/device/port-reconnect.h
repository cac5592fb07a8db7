#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QTimer;

// Waits for a lost port to come back and reopens it. A USB adapter that resets,
// a /dev/serial/by-id link or a restarted simulator's link disappears and
// reappears: each attempt checks that the path exists and then asks the owner
// to open it, at growing intervals (0.5 s doubling to 10 s) so that a port that
// stays away costs nothing. The owner's open sends what a press of Open sends
// and nothing else.
class PortReconnector : public QObject
{
    Q_OBJECT

public:
    static constexpr int FirstDelayMs = 500;
    static constexpr int LongestDelayMs = 10000;

    explicit PortReconnector(QObject *parent = nullptr);

    // Starts waiting for path; open is called at each attempt and tells whether
    // the port opened. Waiting again replaces an earlier wait. A port that is
    // there but holds the wrong instrument is best tried again only slowly.
    void start(const QString &path, std::function<bool(const QString &)> open, int firstDelayMs = FirstDelayMs);
    void stop();
    bool isWaiting() const;
    // Whether a port at this path can come back as itself. A pseudo-terminal's
    // number (/dev/pts/N) goes to whatever program asks next: the terminal
    // that appears there is another one. Links to it (a simulator's --link,
    // socat's link=) and real device nodes come back.
    static bool canReturn(const QString &path);
    // Delay before the next attempt (for the status and for tests).
    int nextDelayMs() const { return m_delayMs; }

signals:
    void reconnected(const QString &path);

private:
    void attempt();

    // A link that still leads to a pseudo-terminal as it did at the loss is the
    // old link of a far end that died without removing it: its terminal's
    // number may now belong to another program (a shell), which must not get
    // our opening bytes. Only a link made anew counts as the port's return.
    bool isStaleTerminalLink() const;

    QTimer *m_timer;
    QString m_path;
    quint64 m_lostLinkInode = 0;
    qint64 m_lostLinkChangeNs = 0;
    std::function<bool(const QString &)> m_open;
    int m_delayMs = FirstDelayMs;
    bool m_active = false;
};

// The message for an instrument that came back as another one; empty when the
// serial numbers agree or none was known.
QString otherInstrumentMessage(const QString &path, const QString &knownSerial, const QString &newSerial);
