#pragma once

// Cuts what an instrument sends into replies. A reply ends at the protocol's
// terminator; where that is CR, LF or CR-LF, any of them ends a line (the
// mixed line ends of instruments and terminal servers), and empty lines are
// none. Without a terminator a reply is replyLength bytes, or what came before
// a quiet time, which the owner's timer decides (flush()). A line that grows
// past the bound without its end is dropped, and the rest of it up to its end
// with it.

#include <QByteArray>
#include <QVector>

class LineFramer
{
public:
    static constexpr int LongestLine = 4096;

    LineFramer(const QByteArray &terminator, bool crOrLf, int replyLength);
    // The complete replies in what came, in order.
    QVector<QByteArray> feed(const QByteArray &bytes);
    // What is held ends a reply (a quiet time after it); empty when nothing is.
    QByteArray flush();
    bool holding() const { return !m_buffer.isEmpty(); }
    void clear();
    // Lines cut for their length since the last call.
    int takeOverlong();

private:
    void append(char c, QVector<QByteArray> *replies);

    QByteArray m_terminator;
    bool m_crOrLf;
    int m_replyLength;
    QByteArray m_buffer;
    bool m_discarding = false; // the rest of an overlong line
    int m_overlong = 0;
};
