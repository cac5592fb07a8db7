#include "history/clock-passes.h"

void ClockPasses::load(qint64 firstSeq, int pass)
{
    m_firstSeqs.insert(firstSeq, pass);
}

void ClockPasses::setNewestTime(qint64 timeMs)
{
    m_hasNewest = true;
    m_newestMs = timeMs;
}

int ClockPasses::next(qint64 seq, qint64 timeMs)
{
    if (m_hasNewest && timeMs < m_newestMs - StepBackMs) {
        const int pass = current() + 1;
        m_firstSeqs.insert(seq, pass);
        m_unsaved.append({seq, pass});
        m_newestMs = timeMs;
        return pass;
    }
    m_newestMs = m_hasNewest ? qMax(m_newestMs, timeMs) : timeMs;
    m_hasNewest = true;
    return current();
}

int ClockPasses::at(qint64 seq) const
{
    auto after = m_firstSeqs.upperBound(seq);
    return after == m_firstSeqs.constBegin() ? 0 : (--after).value();
}
