#pragma once

// The far end of a pseudo-terminal: the program under test opens path() exactly
// as it opens a real serial port, and the test plays the instrument here.

#include "wait-limits.h"

#include <QByteArray>
#include <QString>

class PtyPeer
{
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    QString path() const { return m_path; }

    // Sends bytes to the program as the instrument would.
    void write(const QByteArray &bytes);
    // Runs the event loop until at least count bytes have arrived from the
    // program (or the timeout passes) and returns everything received so far.
    QByteArray waitForBytes(int count, int timeoutMs = limitMs());
    // Runs the event loop until the received bytes contain needle.
    QByteArray waitFor(const QByteArray &needle, int timeoutMs = limitMs());
    // Lets the program run for a while and returns what it sent in that time.
    QByteArray drain(int settleMs = 100);
    // Everything received and not yet taken; taking clears it.
    QByteArray take();
    // Lets the program answer for a while, then takes what it sent.
    QByteArray takeAfter(int settleMs = 40);
    // Closes the master side: the program sees the line hang up.
    void hangUp();

private:
    void pump();

    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QByteArray m_received;
};
