#include "drivers/line/line-framer.h"

LineFramer::LineFramer(const QByteArray &terminator, bool crOrLf, int replyLength)
    : m_terminator(terminator), m_crOrLf(crOrLf), m_replyLength(replyLength)
{}

QVector<QByteArray> LineFramer::feed(const QByteArray &bytes)
{
    QVector<QByteArray> replies;
    for (const char c : bytes)
        append(c, &replies);
    return replies;
}

void LineFramer::append(char c, QVector<QByteArray> *replies)
{
    if (m_crOrLf && (c == '\r' || c == '\n')) {
        if (!m_discarding && !m_buffer.isEmpty())
            replies->append(m_buffer);
        m_buffer.clear();
        m_discarding = false;
        return;
    }
    if (m_discarding) {
        // Without a terminator a reply has no end to wait for: the next byte begins one.
        if (!m_terminator.isEmpty() && !m_crOrLf) {
            m_buffer.append(c);
            if (m_buffer.endsWith(m_terminator)) {
                m_buffer.clear();
                m_discarding = false;
            } else if (m_buffer.size() > m_terminator.size()) {
                m_buffer.remove(0, m_buffer.size() - m_terminator.size());
            }
        }
        return;
    }
    m_buffer.append(c);
    if (!m_crOrLf && !m_terminator.isEmpty() && m_buffer.endsWith(m_terminator)) {
        m_buffer.chop(m_terminator.size());
        if (!m_buffer.isEmpty())
            replies->append(m_buffer);
        m_buffer.clear();
        return;
    }
    if (m_terminator.isEmpty() && m_replyLength > 0 && m_buffer.size() == m_replyLength) {
        replies->append(m_buffer);
        m_buffer.clear();
        return;
    }
    if (m_buffer.size() > LongestLine) {
        ++m_overlong;
        m_buffer.clear();
        m_discarding = !m_terminator.isEmpty();
    }
}

QByteArray LineFramer::flush()
{
    // A terminated line cut short stays held: the quiet ends only a reply
    // that has no terminator.
    if (!m_terminator.isEmpty())
        return QByteArray();
    const QByteArray reply = m_buffer;
    m_buffer.clear();
    return reply;
}

void LineFramer::clear()
{
    m_buffer.clear();
    m_discarding = false;
}

int LineFramer::takeOverlong()
{
    const int count = m_overlong;
    m_overlong = 0;
    return count;
}
