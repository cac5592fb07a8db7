#pragma once

// The passes of one instrument's readings through time. Readings come in the
// order of their sequence numbers; one read more than a second before the
// newest of its pass (the system clock was set back, or a source's was)
// starts a new pass. The per-minute rows are kept per pass, so that an hour
// read twice is two sets of minutes, never one mean of both.

#include <QMap>
#include <QPair>
#include <QVector>
#include <QtGlobal>

class ClockPasses
{
public:
    static constexpr qint64 StepBackMs = 1000;

    // A pass as stored: the number of its first reading, and its own number.
    void load(qint64 firstSeq, int pass);
    // The newest time known of the current pass (from the store's minutes).
    void setNewestTime(qint64 timeMs);
    int current() const { return m_firstSeqs.isEmpty() ? 0 : m_firstSeqs.last(); }
    // A reading whose number is above every earlier one: its pass, a new one
    // when it goes back in time.
    int next(qint64 seq, qint64 timeMs);
    // A reading from before (an archive's refill): the pass in force at its number.
    int at(qint64 seq) const;
    // Passes begun and not yet stored, and their being stored.
    QVector<QPair<qint64, int>> unsaved() const { return m_unsaved; }
    void markSaved() { m_unsaved.clear(); }

private:
    QMap<qint64, int> m_firstSeqs;
    QVector<QPair<qint64, int>> m_unsaved;
    bool m_hasNewest = false;
    qint64 m_newestMs = 0;
};
