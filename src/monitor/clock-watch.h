#pragma once

// Notices a step of the system clock: between two looks, the wall clock and
// a monotonic clock should advance alike; a difference of a minute or more is
// a jump (set by hand, or corrected after running wrong).

#include <QtGlobal>

class ClockWatch
{
public:
    static constexpr qint64 JumpMs = 60000;

    // The jump since the last look (positive: forward), or 0.
    qint64 look(qint64 wallMs, qint64 monotonicMs)
    {
        qint64 jump = 0;
        if (m_looked) {
            const qint64 step = (wallMs - m_wallMs) - (monotonicMs - m_monotonicMs);
            if (qAbs(step) >= JumpMs)
                jump = step;
        }
        m_looked = true;
        m_wallMs = wallMs;
        m_monotonicMs = monotonicMs;
        return jump;
    }

private:
    bool m_looked = false;
    qint64 m_wallMs = 0;
    qint64 m_monotonicMs = 0;
};
